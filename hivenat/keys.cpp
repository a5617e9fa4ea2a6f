// Key operations of NativeRegistryKey: open, close, create, delete, enumerate, query, save.
#include <windows.h>

#include "bridge.h"
#include "com_bravik_service_registry_NativeRegistryKey.h"

namespace {

constexpr char kKeyField[] = "hKey";
constexpr char kIntSignature[] = "I";
constexpr DWORD kNameBuffer = 512;
constexpr jint kClassesRoot = static_cast<jint>(0x80000000u);
constexpr REGSAM kAllAccess = KEY_ALL_ACCESS;
static_assert(kAllAccess == 0xF003F);

// The receiver's int field "hKey", or null when its class has none.
jfieldID keyField(JNIEnv* env, jobject self)
{
    const jclass type = env->GetObjectClass(self);
    return type ? env->GetFieldID(type, kKeyField, kIntSignature) : nullptr;
}

// The last-write time as the MS-DOS date in the low 16 bits and the time in the high 16 bits,
// in UTC as the registry keeps it; 0 when it has no MS-DOS form.
jint packLastWriteTime(const FILETIME& time)
{
    WORD date = 0, dosTime = 0;
    if (!FileTimeToDosDateTime(&time, &date, &dosTime))
        return 0;
    return static_cast<jint>(static_cast<DWORD>(date) | (static_cast<DWORD>(dosTime) << 16));
}

// Deletes name below parent and everything below it, deepest keys first and siblings from
// the highest index down; the first failure ends the walk with its status.
LONG deleteKeyTree(HKEY parent, const char* name)
{
    if (!name || !*name)
        return ERROR_SUCCESS;
    UniqueRegistryKey key;
    LONG status = RegOpenKeyExA(parent, name, 0, kAllAccess, key.put());
    if (status != ERROR_SUCCESS)
        return status;
    DWORD remaining = 0;
    status = RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &remaining, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr, nullptr);
    while (remaining > 0 && status == ERROR_SUCCESS) {
        --remaining;
        char child[kNameBuffer];
        DWORD length = kNameBuffer;
        status = RegEnumKeyExA(key.get(), remaining, child, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_SUCCESS) {
            child[length < kNameBuffer ? length : kNameBuffer - 1] = '\0';
            status = deleteKeyTree(key.get(), child);
        }
    }
    const LONG closed = key.close();
    if (status == ERROR_SUCCESS)
        status = closed;
    if (status == ERROR_SUCCESS)
        status = RegDeleteKeyA(parent, name);
    return status;
}

} // namespace

JNIEXPORT jint JNICALL Java_com_bravik_service_registry_NativeRegistryKey_openKey(JNIEnv* env, jobject self,
                                                                                  jint hKey, jstring subKey,
                                                                                  jint samDesired)
{
    return callGuardedStatus(env, [&]() -> jint {
        const HeapBlock name = toAnsiString(env, subKey);
        if (!name)
            return finish(env, kStatusJavaFailure);
        UniqueRegistryKey opened;
        jint status = RegOpenKeyExA(keyFromJava(hKey), name.get(), 0, static_cast<REGSAM>(samDesired), opened.put());
        if (status == kStatusOk) {
            // Nobody could ever close a key the object cannot hold: without the field it goes.
            if (const jfieldID field = keyField(env, self))
                env->SetIntField(self, field, keyToJava(opened.release()));
            else
                status = kStatusInvalidParameter;
        }
        return finish(env, status);
    });
}

JNIEXPORT jint JNICALL Java_com_bravik_service_registry_NativeRegistryKey_closeKey(JNIEnv* env, jobject self)
{
    return callGuardedStatus(env, [&]() -> jint {
        const jfieldID field = keyField(env, self);
        if (!field)
            return finish(env, kStatusInvalidParameter);
        const jint handle = env->GetIntField(self, field);
        // HKEY_CLASSES_ROOT is never closed; 0 is what a closed (or never opened) object holds.
        if (handle == kClassesRoot || handle == 0)
            return kStatusOk;
        // The key belongs to the Java object until this call closes it.
        const jint status = UniqueRegistryKey(keyFromJava(handle)).close();
        // Forgetting the closed handle keeps a second close from closing a key opened since under
        // the same handle value.
        if (status == kStatusOk)
            env->SetIntField(self, field, 0);
        return finish(env, status);
    });
}

JNIEXPORT jint JNICALL Java_com_bravik_service_registry_NativeRegistryKey_flushKey(JNIEnv* env, jobject)
{
    return callGuardedStatus(env, [&]() -> jint {
        return kStatusOk;
    });
}

JNIEXPORT jint JNICALL Java_com_bravik_service_registry_NativeRegistryKey_regCreateKeyEx(
    JNIEnv* env, jobject, jint hKey, jstring subKey, jint options, jint samDesired, jintArray result)
{
    return callGuardedStatus(env, [&]() -> jint {
        const HeapBlock name = toAnsiString(env, subKey);
        // Without a name the registry would hand back the parent key as if it were a new one.
        if (!name)
            return finish(env, kStatusJavaFailure);
        UniqueRegistryKey created;
        DWORD disposition = 0;
        jint status = RegCreateKeyExA(keyFromJava(hKey), name.get(), 0, nullptr, static_cast<DWORD>(options),
                                      static_cast<REGSAM>(samDesired), nullptr, created.put(), &disposition);
        if (status == kStatusInvalidParameter)
            status = RegCreateKeyA(keyFromJava(hKey), name.get(), created.put());
        if (status == kStatusOk) {
            const jint handle = keyToJava(created.get());
            env->SetIntArrayRegion(result, 0, 1, &handle);
            // The Java side holds the key from here on, unless it never received it.
            if (!env->ExceptionOccurred())
                created.release();
        }
        return finish(env, status);
    });
}

JNIEXPORT jint JNICALL Java_com_bravik_service_registry_NativeRegistryKey_regDeleteKey(JNIEnv* env, jobject,
                                                                                       jint hKey, jstring subKey)
{
    return callGuardedStatus(env, [&]() -> jint {
        const HeapBlock name = toAnsiString(env, subKey);
        return finish(env, deleteKeyTree(keyFromJava(hKey), name.get()));
    });
}

JNIEXPORT jint JNICALL Java_com_bravik_service_registry_NativeRegistryKey_regEnumKeyEx(JNIEnv* env, jobject,
                                                                                       jint hKey, jint index,
                                                                                       jobjectArray name)
{
    return callGuardedStatus(env, [&]() -> jint {
        char buffer[kNameBuffer];
        DWORD length = kNameBuffer;
        jint status = RegEnumKeyExA(keyFromJava(hKey), static_cast<DWORD>(index), buffer, &length, nullptr, nullptr,
                                    nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) {
            env->SetObjectArrayElement(name, 0, nullptr);
            return kStatusOk;
        }
        if (status == kStatusOk) {
            buffer[length < kNameBuffer ? length : kNameBuffer - 1] = '\0';
            const jstring text = toJavaString(env, buffer);
            // A name that makes no Java String is reported by status alone.
            if (!text)
                return kStatusJavaFailure;
            env->SetObjectArrayElement(name, 0, text);
        }
        return finish(env, status);
    });
}

JNIEXPORT jint JNICALL Java_com_bravik_service_registry_NativeRegistryKey_regQueryInfoKey(JNIEnv* env, jobject,
                                                                                          jint hKey, jobject info)
{
    return callGuardedStatus(env, [&]() -> jint {
        DWORD subKeys = 0, longestSubKey = 0, values = 0, longestValueName = 0, largestValue = 0;
        FILETIME lastWrite{};
        jint status = RegQueryInfoKeyA(keyFromJava(hKey), nullptr, nullptr, nullptr, &subKeys, &longestSubKey, nullptr,
                                       &values, &longestValueName, &largestValue, nullptr, &lastWrite);
        if (status == kStatusOk && !info)
            status = kStatusInvalidParameter;
        if (status == kStatusOk) {
            const jclass type = env->GetObjectClass(info);
            const struct {
                const char* name;
                jint value;
            } fields[] = {{"subKeyCount", static_cast<jint>(subKeys)},
                          {"maxSubKeyNameLength", static_cast<jint>(longestSubKey)},
                          {"valueCount", static_cast<jint>(values)},
                          {"maxValueNameLength", static_cast<jint>(longestValueName)},
                          {"maxValueSize", static_cast<jint>(largestValue)},
                          {"lastWriteTime", packLastWriteTime(lastWrite)}};
            for (const auto& field : fields) {
                // An object of a class without the field is the wrong kind of object.
                const jfieldID id = type ? env->GetFieldID(type, field.name, kIntSignature) : nullptr;
                if (!id)
                    return finish(env, kStatusInvalidParameter);
                env->SetIntField(info, id, field.value);
            }
        }
        return finish(env, status);
    });
}

JNIEXPORT jint JNICALL Java_com_bravik_service_registry_NativeRegistryKey_regSaveKey(JNIEnv* env, jobject,
                                                                                     jint hKey, jstring file,
                                                                                     jobject)
{
    return callGuardedStatus(env, [&]() -> jint {
        const HeapBlock name = toAnsiString(env, file);
        if (!name)
            return finish(env, kStatusJavaFailure);
        return finish(env, RegSaveKeyA(keyFromJava(hKey), name.get(), nullptr));
    });
}
