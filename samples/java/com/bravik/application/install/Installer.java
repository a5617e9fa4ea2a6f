package com.bravik.application.install;

import com.bravik.application.install.windows.KPNativeWin;
import com.bravik.service.registry.NativeRegistryKey;

/**
 * The sample product's installer: what install.exe starts first. It loads the two natives as a
 * product's Java side does and says where it runs and what it was given.
 */
public final class Installer {

    private Installer() {
    }

    public static void main(String[] args) {
        System.loadLibrary("sysnat");
        System.loadLibrary("hivenat");
        String folder = new String(KPNativeWin.nativeWinGetCurrentDirectory());
        System.out.println("Installer runs in " + folder + " with " + String.join(" ", args));
        System.out.println("Registry natives: " + NativeRegistryKey.class.getName());
    }
}
