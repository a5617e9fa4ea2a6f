// Environment, directories, host and file methods of KPNativeWin.
#include <windows.h>

#include <cstdio>
#include <vector>

#include "com_bravik_application_install_windows_KPNativeWin.h"
#include "frame.h"

namespace {

constexpr DWORD kEnvironmentBuffer = 4096;
constexpr UINT kDirectoryBuffer = 1024;
constexpr DWORD kComputerNameBuffer = 256;

constexpr char kSetFailedFormat[] = "Attempt to set environment variable %s to %s failed.";
constexpr char kNullValue[] = "null";
constexpr const char* kRestartNotice[] = {"\n\n", "Rebooting Computer...\r\n",
                                          "(Currently not implemented for the Windows Platform)\r\n", "\n\n"};

// The stream attribute flags the Java side exchanges.
constexpr jint kStreamArchive = 0x02;
constexpr jint kStreamReadOnly = 0x04;
constexpr jint kStreamWritable = 0x08;
constexpr jint kStreamHidden = 0x20;

// Calls a query of the form length = query(buffer, size) with a buffer of firstSize bytes and,
// when the answer does not fit, once more with the size it asked for. The text, or null when
// the query fails (answers 0).
template <typename Query>
jbyteArray queryText(JNIEnv* env, DWORD firstSize, Query query)
{
    std::vector<char> buffer(firstSize, '\0');
    DWORD length = query(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length >= buffer.size()) {
        buffer.assign(length + 1, '\0');
        length = query(buffer.data(), static_cast<DWORD>(buffer.size()));
    }
    if (length == 0 || length >= buffer.size())
        return nullptr;
    return newByteArrayFromCString(env, buffer.data());
}

} // namespace

JNIEXPORT jbyteArray JNICALL
Java_com_bravik_application_install_windows_KPNativeWin_nativeGetEnvironmentVariable(JNIEnv* env, jclass,
                                                                                     jbyteArray name)
{
    return callGuarded(jbyteArray{nullptr}, [&]() -> jbyteArray {
        const CString variable = copyByteArrayToCString(env, name);
        if (!variable)
            return nullptr;
        // A value that does not fit is read whole rather than left unread.
        return queryText(env, kEnvironmentBuffer, [&](char* buffer, DWORD size) {
            return GetEnvironmentVariableA(variable.get(), buffer, size);
        });
    });
}

JNIEXPORT void JNICALL Java_com_bravik_application_install_windows_KPNativeWin_nativeSetEnvironmentVariable(
    JNIEnv* env, jclass, jbyteArray name, jbyteArray value)
{
    callGuarded([&] {
        const CString variable = copyByteArrayToCString(env, name);
        if (!variable)
            return;
        CString text;
        if (value) {
            text = copyByteArrayToCString(env, value);
            if (!text)
                return;
        }
        // A null value deletes the variable.
        if (SetEnvironmentVariableA(variable.get(), text.get()) != TRUE)
            std::printf(kSetFailedFormat, variable.get(), text ? text.get() : kNullValue);
    });
}

JNIEXPORT jbyteArray JNICALL
Java_com_bravik_application_install_windows_KPNativeWin_nativeGetWindowsDirectory(JNIEnv* env, jclass)
{
    return callGuarded(jbyteArray{nullptr}, [&]() -> jbyteArray {
        return queryText(env, kDirectoryBuffer,
                         [](char* buffer, DWORD size) { return GetWindowsDirectoryA(buffer, size); });
    });
}

JNIEXPORT jbyteArray JNICALL
Java_com_bravik_application_install_windows_KPNativeWin_nativeGetSystemDirectory(JNIEnv* env, jclass)
{
    return callGuarded(jbyteArray{nullptr}, [&]() -> jbyteArray {
        return queryText(env, kDirectoryBuffer,
                         [](char* buffer, DWORD size) { return GetSystemDirectoryA(buffer, size); });
    });
}

JNIEXPORT jbyteArray JNICALL
Java_com_bravik_application_install_windows_KPNativeWin_nativeWinGetCurrentDirectory(JNIEnv* env, jclass)
{
    return callGuarded(jbyteArray{nullptr}, [&]() -> jbyteArray {
        return queryText(env, kDirectoryBuffer,
                         [](char* buffer, DWORD size) { return GetCurrentDirectoryA(size, buffer); });
    });
}

JNIEXPORT jstring JNICALL Java_com_bravik_application_install_windows_KPNativeWin_nativeGetHostName(JNIEnv* env,
                                                                                                   jclass)
{
    return callGuarded(jstring{nullptr}, [&]() -> jstring {
        char name[kComputerNameBuffer] = {};
        DWORD size = sizeof(name);
        if (!GetComputerNameA(name, &size))
            return nullptr;
        // The bytes go over as they are, read as modified UTF-8.
        return env->NewStringUTF(name);
    });
}

// A whole 32-bit 1 or 0, which a Java declaration of boolean or of int reads alike; a jboolean
// result would leave bits 8-31 of the 32-bit return register undefined.
JNIEXPORT jint JNICALL Java_com_bravik_application_install_windows_KPNativeWin_isDllLoaded(JNIEnv* env, jclass,
                                                                                          jbyteArray moduleName)
{
    return callGuarded(jint{0}, [&]() -> jint {
        const CString module = copyByteArrayToCString(env, moduleName);
        if (!module)
            return 0;
        // Looks only among the modules already loaded; loads nothing, counts nothing.
        return GetModuleHandleA(module.get()) ? 1 : 0;
    });
}

JNIEXPORT jlong JNICALL Java_com_bravik_application_install_windows_KPNativeWin_nativeWinGetStreamAttributes(
    JNIEnv* env, jclass, jbyteArray path)
{
    return callGuarded(jlong{0}, [&]() -> jlong {
        const CString file = copyByteArrayToCString(env, path);
        if (!file)
            return 0;
        // Attributes that cannot be read give no flags at all, rather than a read-only archive.
        const DWORD attributes = GetFileAttributesA(file.get());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return 0;
        jint flags = 0;
        if (attributes & FILE_ATTRIBUTE_ARCHIVE)
            flags |= kStreamArchive;
        flags |= (attributes & FILE_ATTRIBUTE_READONLY) ? kStreamReadOnly : kStreamWritable;
        return flags;
    });
}

JNIEXPORT void JNICALL Java_com_bravik_application_install_windows_KPNativeWin_nativeWinSetStreamAttributes(
    JNIEnv* env, jclass, jbyteArray path, jint flags)
{
    callGuarded([&] {
        const CString file = copyByteArrayToCString(env, path);
        if (!file)
            return;
        // The file's present attributes are not read: every attribute not named here is removed.
        DWORD attributes = 0;
        if (flags & kStreamArchive)
            attributes |= FILE_ATTRIBUTE_ARCHIVE;
        if (flags & kStreamReadOnly)
            attributes |= FILE_ATTRIBUTE_READONLY;
        else
            attributes &= ~FILE_ATTRIBUTE_READONLY;
        // Writable decides read-only in every case.
        if (flags & kStreamWritable)
            attributes &= ~FILE_ATTRIBUTE_READONLY;
        else
            attributes |= FILE_ATTRIBUTE_READONLY;
        if (flags & kStreamHidden)
            attributes |= FILE_ATTRIBUTE_HIDDEN;
        SetFileAttributesA(file.get(), attributes);
    });
}

JNIEXPORT void JNICALL Java_com_bravik_application_install_windows_KPNativeWin_nativeWinSetDateAndTime(
    JNIEnv* env, jclass, jbyteArray path, jint year, jint month, jint day, jint hour, jint minute, jint second)
{
    callGuarded([&] {
        const CString file = copyByteArrayToCString(env, path);
        if (!file)
            return;
        SYSTEMTIME fields{};
        fields.wYear = static_cast<WORD>(year);
        fields.wMonth = static_cast<WORD>(month);
        fields.wDay = static_cast<WORD>(day);
        fields.wHour = static_cast<WORD>(hour);
        fields.wMinute = static_cast<WORD>(minute);
        fields.wSecond = static_cast<WORD>(second);
        // The components are UTC. Components that form no time leave the file's times alone.
        FILETIME time;
        if (!SystemTimeToFileTime(&fields, &time))
            return;
        const UniqueFileHandle handle(CreateFileA(file.get(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (handle)
            SetFileTime(handle.get(), &time, nullptr, &time);
    });
}

JNIEXPORT void JNICALL Java_com_bravik_application_install_windows_KPNativeWin_nativeRestartComputer(JNIEnv*, jclass,
                                                                                                     jint)
{
    callGuarded([&] {
        for (const char* text : kRestartNotice)
            std::printf("%s", text);
    });
}
