package com.bravik.service.registry;

/**
 * A registry key of the Windows installer, implemented natively by hivenat.dll.
 *
 * Key handles cross as ints and are handed to the registry unchanged, the predefined root keys
 * included (HKEY_CLASSES_ROOT is 0x80000000). Every method returns the Windows status; a
 * nonzero status also raises {@link RegistryException} unless another exception is pending.
 * Results other than the status come back in element 0 of the arrays passed in.
 */
public class NativeRegistryKey {

    /** The key that {@link #openKey} opened for this object; 0 once it is closed. */
    protected int hKey;

    public native int openKey(int hKey, String subKey, int samDesired);

    public native int closeKey();

    public native int flushKey();

    public native int regCreateKeyEx(int hKey, String subKey, int options, int samDesired, int[] result);

    public native int regDeleteKey(int hKey, String subKey);

    public native int regEnumKeyEx(int hKey, int index, String[] name);

    public native int regQueryInfoKey(int hKey, RegistryKeyInfo info);

    public native int regSaveKey(int hKey, String file, Object securityAttributes);

    public native int regQueryValue(int hKey, String[] value);

    public native int regQueryValueEx(int hKey, String valueName, int[] type, Object[] value);

    public native int regQueryValueBinary(int hKey, String valueName, byte[][] data);

    public native int regQueryMultipleValues(int hKey, String[] names, int[] types, Object[] values);

    public native int regEnumValue(int hKey, int index, boolean withData, String[] name, int[] type,
            Object[] data);

    public native int regSetValue(int hKey, String value);

    public native int regSetValueEx(int hKey, String valueName, int type, Object value);

    public native int regSetValueBinary(int hKey, String valueName, int type, byte[] data);

    public native int regDeleteValue(int hKey, String valueName);
}
