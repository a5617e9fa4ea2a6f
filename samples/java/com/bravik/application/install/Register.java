package com.bravik.application.install;

/** The sample product's second class, started after the installer has ended. */
public final class Register {

    private Register() {
    }

    public static void main(String[] args) {
        System.out.println("Register runs with " + String.join(" ", args));
    }
}
