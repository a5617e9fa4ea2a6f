#include "registry.h"

#include <cstring>
#include <vector>

#include "globals.h"
#include "platform.h"
#include "tracelog.h"

namespace {

constexpr char kWindowsKey[] = "Software\\Microsoft\\Windows\\CurrentVersion";
constexpr char kCommonFilesValue[] = "CommonFilesDir";
constexpr wchar_t kCommonFilesValueWide[] = L"CommonFilesDir";
constexpr char kProductFolder[] = "\\bravik\\";
constexpr char kJavaKey[] = "Software\\JavaSoft\\Java Runtime Environment\\1.1";
constexpr char kMicroVersionValue[] = "MicroVersion";
constexpr char kJavaHomeValue[] = "JavaHome";
constexpr char kLowestMicroVersion[] = "7";

constexpr char kCommonFilesFormat[] = "Program Files directory was %s \n";
constexpr char kVersionKeyFormat[] = "version key is %s \n";
constexpr char kJavaHomeFailedFormat[] = "%s\n";
constexpr char kJavaHomeFailedText[] = "For some reason, Query for JavaHome failed";

constexpr DWORD kCommonFilesBuffer = 128;
constexpr DWORD kMicroVersionBuffer = 5;

UniqueRegistryKey openMachineKey(const char* subKey)
{
    UniqueRegistryKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        key.reset();
    return key;
}

// The text of value data, which need not end in a zero: it stops at the first zero or at
// the length the registry reported.
std::string textOf(const char* data, DWORD length)
{
    return std::string(data, strnlen(data, length));
}

} // namespace

namespace {

// The Common Files folder as the registry names it; on the NT family read wide and given in its
// ANSI form, since the ANSI answer for a name the code page cannot write is a best-fit
// look-alike. Nothing when it cannot be read or does not fit; unwritableFolder is set when it
// has no ANSI form.
std::optional<std::string> readCommonFilesValue(HKEY key)
{
    if (windowsPlatform() != VER_PLATFORM_WIN32_NT) {
        char buffer[kCommonFilesBuffer] = {};
        DWORD length = sizeof(buffer);
        if (RegQueryValueExA(key, kCommonFilesValue, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &length) !=
            ERROR_SUCCESS)
            return std::nullopt;
        return textOf(buffer, length);
    }
    wchar_t buffer[kCommonFilesBuffer] = {};
    DWORD length = sizeof(buffer);
    if (RegQueryValueExW(key, kCommonFilesValueWide, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &length) !=
        ERROR_SUCCESS)
        return std::nullopt;
    const std::wstring value(buffer, wcsnlen(buffer, length / sizeof(wchar_t)));
    if (value.size() >= kCommonFilesBuffer)
        return std::nullopt;
    std::optional<std::string> ansi = ansiPathOf(value);
    if (!ansi)
        unwritableFolder = value;
    return ansi;
}

} // namespace

std::optional<std::string> getCommonFilesDir()
{
    const UniqueRegistryKey key = openMachineKey(kWindowsKey);
    if (!key)
        return std::nullopt;
    const std::optional<std::string> value = readCommonFilesValue(key.get());
    // A value that filled the buffer without its terminator did not fit it either.
    if (!value || value->size() >= kCommonFilesBuffer)
        return std::nullopt;
    writeTraceLog(kCommonFilesFormat, value->c_str());
    return *value + kProductFolder;
}

std::optional<std::string> getJavaHome()
{
    writeTraceLog(kVersionKeyFormat, kJavaKey);
    const UniqueRegistryKey key = openMachineKey(kJavaKey);
    if (!key)
        return std::nullopt;

    char microVersion[kMicroVersionBuffer] = {};
    DWORD length = sizeof(microVersion);
    if (RegQueryValueExA(key.get(), kMicroVersionValue, nullptr, nullptr, reinterpret_cast<BYTE*>(microVersion),
                         &length) != ERROR_SUCCESS)
        return std::nullopt;
    const std::string micro = textOf(microVersion, length);
    if (micro.size() >= kMicroVersionBuffer)
        return std::nullopt;
    if (std::strncmp(micro.c_str(), kLowestMicroVersion, micro.size()) < 0)
        return std::nullopt;

    DWORD size = 0;
    if (RegQueryValueExA(key.get(), kJavaHomeValue, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) {
        writeTraceLog(kJavaHomeFailedFormat, kJavaHomeFailedText);
        return std::nullopt;
    }
    std::vector<char> home(size + 1, '\0');
    if (RegQueryValueExA(key.get(), kJavaHomeValue, nullptr, nullptr, reinterpret_cast<BYTE*>(home.data()), &size) !=
        ERROR_SUCCESS) {
        writeTraceLog(kJavaHomeFailedFormat, kJavaHomeFailedText);
        return std::nullopt;
    }
    return textOf(home.data(), size);
}
