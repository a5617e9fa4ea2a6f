package com.bravik.service.registry;

/** A registry call that failed, with the Windows status it failed with. */
public class RegistryException extends RuntimeException {

    private static final long serialVersionUID = 1L;

    private int cCode;

    /** The system's message text for the status; the status follows through setCCode. */
    public RegistryException(String message) {
        super(message);
    }

    /** A status for which the system has no message text. */
    public RegistryException(int cCode) {
        super("registry status " + cCode);
        this.cCode = cCode;
    }

    public void setCCode(int cCode) {
        this.cCode = cCode;
    }

    public int getCCode() {
        return cCode;
    }
}
