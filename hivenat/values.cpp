// Value operations of NativeRegistryKey: query, enumerate, set and delete values.
#include <windows.h>

#include <cstring>
#include <vector>

#include "bridge.h"
#include "com_bravik_service_registry_NativeRegistryKey.h"

namespace {

constexpr DWORD kNameBuffer = 512;
// Readers that need a buffer even for a key whose values are all empty use this size.
constexpr DWORD kSmallestBuffer = 10;

struct NamedValue {
    jint status = kStatusOk;
    DWORD type = 0;
    DWORD length = 0;
    HeapBlock data;
};

// One named value, read once into a buffer of the key's largest value size. A name that does
// not convert is refused (8) rather than read as the default value.
NamedValue readNamedValue(JNIEnv* env, HKEY key, jstring valueName)
{
    NamedValue read;
    DWORD largest = 0;
    read.status = queryValueLimits(key, nullptr, &largest);
    if (read.status != kStatusOk)
        return read;
    read.data = allocateBlock(largest);
    const HeapBlock name = toAnsiString(env, valueName);
    if (!read.data || !name) {
        read.status = kStatusNoMemory;
        return read;
    }
    read.length = largest;
    read.status = RegQueryValueExA(key, name.get(), nullptr, &read.type, reinterpret_cast<BYTE*>(read.data.get()),
                                   &read.length);
    return read;
}

} // namespace

JNIEXPORT jint JNICALL Java_com_bravik_service_registry_NativeRegistryKey_regQueryValue(JNIEnv* env, jobject,
                                                                                        jint hKey,
                                                                                        jobjectArray value)
{
    return callGuardedStatus(env, [&]() -> jint {
        const HKEY key = keyFromJava(hKey);
        DWORD largest = 0;
        jint status = queryValueLimits(key, nullptr, &largest);
        if (status != kStatusOk)
            return finish(env, status);
        const DWORD size = largest ? largest : kSmallestBuffer;
        const HeapBlock buffer = allocateBlock(size);
        if (!buffer)
            return finish(env, kStatusNoMemory);
        LONG length = static_cast<LONG>(size);
        status = RegQueryValueA(key, nullptr, buffer.get(), &length);
        if (status == kStatusOk) {
            const std::string text(buffer.get(), strnlen(buffer.get(), length > 0 ? length : 0));
            const jstring string = toJavaString(env, text.c_str());
            if (string)
                env->SetObjectArrayElement(value, 0, string);
            else
                status = kStatusNoMemory;
        }
        return finish(env, status);
    });
}

JNIEXPORT jint JNICALL Java_com_bravik_service_registry_NativeRegistryKey_regQueryValueEx(
    JNIEnv* env, jobject, jint hKey, jstring valueName, jintArray type, jobjectArray value)
{
    return callGuardedStatus(env, [&]() -> jint {
        const NamedValue read = readNamedValue(env, keyFromJava(hKey), valueName);
        jint status = read.status;
        if (status == kStatusOk) {
            jobject object = nullptr;
            status = registryDataToObject(env, static_cast<jint>(read.type), read.length, read.data.get(), object);
            if (status == kStatusOk) {
                const jint typeCode = static_cast<jint>(read.type);
                env->SetIntArrayRegion(type, 0, 1, &typeCode);
                env->SetObjectArrayElement(value, 0, object);
            }
        }
        return finish(env, status);
    });
}

JNIEXPORT jint JNICALL Java_com_bravik_service_registry_NativeRegistryKey_regQueryValueBinary(
    JNIEnv* env, jobject, jint hKey, jstring valueName, jobjectArray data)
{
    return callGuardedStatus(env, [&]() -> jint {
        const NamedValue read = readNamedValue(env, keyFromJava(hKey), valueName);
        if (read.status == kStatusOk) {
            // Whatever the type, the bytes as they are.
            const jbyteArray bytes = env->NewByteArray(static_cast<jsize>(read.length));
            if (!bytes)
                return finish(env, kStatusJavaFailure);
            env->SetByteArrayRegion(bytes, 0, static_cast<jsize>(read.length),
                                    reinterpret_cast<const jbyte*>(read.data.get()));
            env->SetObjectArrayElement(data, 0, bytes);
        }
        return finish(env, read.status);
    });
}

JNIEXPORT jint JNICALL Java_com_bravik_service_registry_NativeRegistryKey_regQueryMultipleValues(
    JNIEnv* env, jobject, jint hKey, jobjectArray names, jintArray types, jobjectArray values)
{
    return callGuardedStatus(env, [&]() -> jint {
        const HKEY key = keyFromJava(hKey);
        const jsize count = names ? env->GetArrayLength(names) : 0;
        DWORD longestName = 0, largest = 0;
        jint status = queryValueLimits(key, &longestName, &largest);
        if (status != kStatusOk)
            return finish(env, status);

        // All memory in three blocks up front: the names, the data, and one entry per name.
        const std::size_t nameAreaSize = static_cast<std::size_t>(longestName + 1) * count;
        DWORD dataAreaSize = static_cast<DWORD>(static_cast<std::size_t>(largest) * count);
        const HeapBlock nameArea = allocateBlock(nameAreaSize);
        const HeapBlock dataArea = allocateBlock(dataAreaSize);
        const HeapBlock entryBlock = allocateBlock(sizeof(VALENTA) * count);
        if (!nameArea || !dataArea || !entryBlock)
            return finish(env, kStatusNoMemory);
        auto* entries = reinterpret_cast<VALENTA*>(entryBlock.get());

        std::size_t used = 0;
        for (jsize i = 0; i < count; ++i) {
            const HeapBlock name = toAnsiString(env, static_cast<jstring>(env->GetObjectArrayElement(names, i)));
            // A name that does not convert, like one that does not fit, ends the call before the
            // registry is read.
            if (!name)
                return finish(env, kStatusJavaFailure);
            const std::size_t size = std::strlen(name.get()) + 1;
            if (used + size > nameAreaSize)
                return finish(env, kStatusJavaFailure);
            std::memcpy(nameArea.get() + used, name.get(), size);
            entries[i].ve_valuename = nameArea.get() + used;
            used += size;
        }

        status = RegQueryMultipleValuesA(key, entries, static_cast<DWORD>(count), dataArea.get(), &dataAreaSize);
        for (jsize i = 0; status == kStatusOk && i < count; ++i) {
            jobject object = nullptr;
            status = registryDataToObject(env, static_cast<jint>(entries[i].ve_type), entries[i].ve_valuelen,
                                          reinterpret_cast<const char*>(entries[i].ve_valueptr), object);
            if (status == kStatusOk) {
                const jint typeCode = static_cast<jint>(entries[i].ve_type);
                env->SetIntArrayRegion(types, i, 1, &typeCode);
                env->SetObjectArrayElement(values, i, object);
            }
        }
        return finish(env, status);
    });
}

JNIEXPORT jint JNICALL Java_com_bravik_service_registry_NativeRegistryKey_regEnumValue(
    JNIEnv* env, jobject, jint hKey, jint index, jboolean withData, jobjectArray name, jintArray type,
    jobjectArray data)
{
    return callGuardedStatus(env, [&]() -> jint {
        const HKEY key = keyFromJava(hKey);
        HeapBlock buffer;
        DWORD size = 0;
        if (withData) {
            DWORD largest = 0;
            const jint limits = queryValueLimits(key, nullptr, &largest);
            if (limits != kStatusOk)
                return finish(env, limits);
            size = largest ? largest : kSmallestBuffer;
            buffer = allocateBlock(size);
            if (!buffer)
                return finish(env, kStatusNoMemory);
        }
        char nameBuffer[kNameBuffer];
        DWORD nameLength = kNameBuffer;
        DWORD valueType = 0;
        jint status = RegEnumValueA(key, static_cast<DWORD>(index), nameBuffer, &nameLength, nullptr, &valueType,
                                    withData ? reinterpret_cast<BYTE*>(buffer.get()) : nullptr, withData ? &size : nullptr);
        if (status == ERROR_NO_MORE_ITEMS) {
            env->SetObjectArrayElement(name, 0, nullptr);
            return kStatusOk;
        }
        if (status == kStatusOk) {
            nameBuffer[nameLength < kNameBuffer ? nameLength : kNameBuffer - 1] = '\0';
            const jstring text = toJavaString(env, nameBuffer);
            if (!text)
                return finish(env, kStatusJavaFailure);
            env->SetObjectArrayElement(name, 0, text);
            const jint typeCode = static_cast<jint>(valueType);
            env->SetIntArrayRegion(type, 0, 1, &typeCode);
            if (withData) {
                jobject object = nullptr;
                status = registryDataToObject(env, typeCode, size, buffer.get(), object);
                if (status == kStatusOk)
                    env->SetObjectArrayElement(data, 0, object);
            }
        }
        return finish(env, status);
    });
}

JNIEXPORT jint JNICALL Java_com_bravik_service_registry_NativeRegistryKey_regSetValue(JNIEnv* env, jobject,
                                                                                      jint hKey, jstring value)
{
    return callGuardedStatus(env, [&]() -> jint {
        DWORD length = 0;
        HeapBlock buffer;
        jint status = objectToRegistryData(env, REG_SZ, length, buffer, value);
        if (status == kStatusOk)
            status = RegSetValueA(keyFromJava(hKey), nullptr, REG_SZ, buffer.get(), length);
        return finish(env, status);
    });
}

JNIEXPORT jint JNICALL Java_com_bravik_service_registry_NativeRegistryKey_regSetValueEx(
    JNIEnv* env, jobject, jint hKey, jstring valueName, jint type, jobject value)
{
    return callGuardedStatus(env, [&]() -> jint {
        DWORD length = 0;
        HeapBlock buffer;
        jint status = objectToRegistryData(env, type, length, buffer, value);
        if (status == kStatusOk) {
            // Without its name the call would overwrite the key's default value instead.
            const HeapBlock name = toAnsiString(env, valueName);
            status = name ? RegSetValueExA(keyFromJava(hKey), name.get(), 0, static_cast<DWORD>(type),
                                           reinterpret_cast<const BYTE*>(buffer.get()), length)
                          : kStatusInvalidParameter;
        }
        return finish(env, status);
    });
}

JNIEXPORT jint JNICALL Java_com_bravik_service_registry_NativeRegistryKey_regSetValueBinary(
    JNIEnv* env, jobject, jint hKey, jstring valueName, jint type, jbyteArray data)
{
    return callGuardedStatus(env, [&]() -> jint {
        const HeapBlock name = toAnsiString(env, valueName);
        if (!name || !data)
            return finish(env, kStatusInvalidParameter);
        const ByteArrayElements elements(env, data, JNI_ABORT);
        if (!elements)
            return finish(env, kStatusInvalidParameter);
        // The type code and the bytes go to the registry unchanged.
        const jint status = RegSetValueExA(keyFromJava(hKey), name.get(), 0, static_cast<DWORD>(type),
                                           reinterpret_cast<const BYTE*>(elements.get()),
                                           static_cast<DWORD>(env->GetArrayLength(data)));
        return finish(env, status);
    });
}

JNIEXPORT jint JNICALL Java_com_bravik_service_registry_NativeRegistryKey_regDeleteValue(JNIEnv* env, jobject,
                                                                                         jint hKey,
                                                                                         jstring valueName)
{
    return callGuardedStatus(env, [&]() -> jint {
        // Without its name the call would delete the key's default value instead.
        const HeapBlock name = toAnsiString(env, valueName);
        if (!name)
            return finish(env, kStatusInvalidParameter);
        return finish(env, RegDeleteValueA(keyFromJava(hKey), name.get()));
    });
}
