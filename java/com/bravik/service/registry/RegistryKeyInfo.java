package com.bravik.service.registry;

/** What NativeRegistryKey.regQueryInfoKey reports about a key. */
public class RegistryKeyInfo {
    public int subKeyCount;
    public int maxSubKeyNameLength;
    public int valueCount;
    public int maxValueNameLength;
    public int maxValueSize;
    /** The last-write time, UTC, as MS-DOS date (low 16 bits) and time (high 16 bits). */
    public int lastWriteTime;
}
