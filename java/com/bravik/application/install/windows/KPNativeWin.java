package com.bravik.application.install.windows;

/**
 * System services of the Windows installer, implemented natively by sysnat.dll.
 *
 * Text crosses as bytes in the system's ANSI code page, without a terminating zero; only the
 * computer name comes back as a String. The disk and attribute queries return 32-bit unsigned
 * platform values widened to long, with -1 as the failure value where there is one.
 */
public final class KPNativeWin {

    /** Archive attribute (the getter's and the setter's 0x02). */
    public static final int STREAM_ARCHIVE = 0x02;
    /** Read-only attribute, as the getter reports it. */
    public static final int STREAM_READONLY = 0x04;
    /** The file is writable; in the setter this decides the read-only attribute. */
    public static final int STREAM_WRITABLE = 0x08;
    /** Hidden attribute (setter only). */
    public static final int STREAM_HIDDEN = 0x20;

    private KPNativeWin() {
    }

    public static native long getNativeDiskSpaceAvail(byte[] path);

    public static native long getNativeTotalDiskSpace(byte[] path);

    public static native long getNativeClusterSize(byte[] path);

    public static native long getNativeBytesPerSector(byte[] path);

    public static native long getNativeSectorsPerCluster(byte[] path);

    public static native long getNativeDriveType(byte[] path);

    public static native boolean isNativeDiskInserted(byte[] path);

    public static native byte[] nativeGetDriveList();

    public static native byte[] nativeGetEnvironmentVariable(byte[] name);

    public static native void nativeSetEnvironmentVariable(byte[] name, byte[] value);

    public static native byte[] nativeGetWindowsDirectory();

    public static native byte[] nativeGetSystemDirectory();

    public static native byte[] nativeWinGetCurrentDirectory();

    public static native String nativeGetHostName();

    // 1 when a module of that name is loaded, else 0: a whole 32-bit value, so a declaration
    // of boolean reads the same answer.
    public static native int isDllLoaded(byte[] moduleName);

    public static native long nativeWinGetStreamAttributes(byte[] path);

    public static native void nativeWinSetStreamAttributes(byte[] path, int flags);

    public static native void nativeWinSetDateAndTime(byte[] path, int year, int month, int day, int hour,
            int minute, int second);

    /** Prints that restarting is not implemented; the argument is not read. */
    public static native void nativeRestartComputer(int reason);
}
