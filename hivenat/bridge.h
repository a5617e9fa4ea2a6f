// What every native method of hivenat shares: the status convention and RegistryException,
// the conversions between Java Strings and ANSI text, and between typed registry data and Java
// objects, and owners for heap blocks, string characters, array elements and keys.
#pragma once

#include <windows.h>

#include <jni.h>

#include "jni_guard.h"
#include "jni_owners.h"

#include <cstdlib>
#include <memory>

#include "../common/owners.h"

// Statuses of the library's own, besides the registry's.
inline constexpr jint kStatusOk = ERROR_SUCCESS;
inline constexpr jint kStatusNoMemory = ERROR_NOT_ENOUGH_MEMORY;        // 8
inline constexpr jint kStatusInvalidParameter = ERROR_INVALID_PARAMETER;  // 87
inline constexpr jint kStatusJavaFailure = -1;

// A block of the C runtime heap.
using HeapBlock = UniqueCBlock;

// malloc that never answers a request for nothing with null.
HeapBlock allocateBlock(std::size_t size);

// A key handle travels through a Java int. Predefined keys are sign-extended values
// (HKEY_CURRENT_USER is 0xFFFFFFFF80000001 on 64-bit Windows) and the handles of opened keys have
// 32 significant bits on both architectures, so sign extension back from the int gives each one
// unchanged; on 32-bit Windows both conversions are the identity.
inline HKEY keyFromJava(jint hKey)
{
    return reinterpret_cast<HKEY>(static_cast<LONG_PTR>(hKey));
}

inline jint keyToJava(HKEY key)
{
    return static_cast<jint>(reinterpret_cast<LONG_PTR>(key));
}

// Raises RegistryException for a nonzero status, unless a Java exception is pending already.
void throwRegistryException(JNIEnv* env, jint status);

// Ends a method: raises for a nonzero status and hands the status back.
jint finish(JNIEnv* env, jint status);

// The boundary of every method: a body that throws ends the call with status -1 and the usual
// RegistryException (unless one is pending already). Raising -1 allocates nothing in C++: -1
// has no system message, so only the int constructor is called.
template <typename Body>
jint callGuardedStatus(JNIEnv* env, Body&& body) noexcept
{
    try {
        return body();
    } catch (...) {
        return finish(env, kStatusJavaFailure);
    }
}

// A Java String as NUL-terminated ANSI text; null when it is null or holds a character the
// ANSI code page cannot represent exactly.
HeapBlock toAnsiString(JNIEnv* env, jstring string);

// ANSI text as a Java String; null when the bytes are not valid in the code page.
jstring toJavaString(JNIEnv* env, const char* text);

// Typed registry data as a Java object (String, Integer, String[] or byte[]); status 0, -1 or 87.
// Reads no further than length.
jint registryDataToObject(JNIEnv* env, jint type, DWORD length, const char* data, jobject& out);

// A Java object as registry data of a type; status 0, -1 or 87, and on 0 a new heap block.
jint objectToRegistryData(JNIEnv* env, jint type, DWORD& length, HeapBlock& buffer, jobject object);

// The key's longest value name and largest value data, either of which may be unwanted.
LONG queryValueLimits(HKEY key, DWORD* longestName, DWORD* largestData);
