#include "natives.h"

#include <windows.h>

#include <stdexcept>

#include "../java_classes.h"
#include "../jni_standin.h"

namespace java_launcher {

namespace {

using jni_standin::JavaVm;
using jni_standin::NativeLibrary;

constexpr char kSystemPrefix[] = "Java_com_bravik_application_install_windows_KPNativeWin_";
constexpr char kRegistryPrefix[] = "Java_com_bravik_service_registry_NativeRegistryKey_";
constexpr char kVersionKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr char kCommonFilesValue[] = "CommonFilesDir";
constexpr jint kLocalMachine = static_cast<jint>(0x80000002u);

std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string environmentValue(const char* name)
{
    const DWORD size = GetEnvironmentVariableA(name, nullptr, 0);
    std::string value(size, '\0');
    value.resize(size ? GetEnvironmentVariableA(name, value.data(), size) : 0);
    return value;
}

std::vector<std::string> librarySearchPath()
{
    char buffer[MAX_PATH + 1] = {};
    std::vector<std::string> folders;
    GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    folders.push_back(folderOf(buffer));
    GetSystemDirectoryA(buffer, MAX_PATH);
    folders.emplace_back(buffer);
    GetWindowsDirectoryA(buffer, MAX_PATH);
    folders.push_back(std::string(buffer) + "\\System");
    folders.emplace_back(buffer);
    const std::string path = environmentValue("PATH");
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find(';', start), path.size());
        if (end > start)
            folders.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    folders.emplace_back(".");
    return folders;
}

std::string findLibrary(const std::string& name)
{
    for (const std::string& folder : librarySearchPath()) {
        const std::string candidate = folder + "\\" + name;
        const DWORD attributes = GetFileAttributesA(candidate.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            return candidate;
    }
    return {};
}

std::string askSystemNatives(const NativeLibrary& library)
{
    JavaVm vm;
    const auto self = reinterpret_cast<jclass>(jni_standin::defineSystemClasses(vm));
    const jobject directory = library.call<jobject>(std::string(kSystemPrefix) + "nativeWinGetCurrentDirectory",
                                                    vm.env(), self);
    return "nativeWinGetCurrentDirectory=" + (directory ? vm.bytesOf(directory) : std::string("null"));
}

std::string askRegistryNatives(const NativeLibrary& library)
{
    JavaVm vm;
    const jni_standin::RegistryClasses classes = jni_standin::defineRegistryClasses(vm);
    const jobject key = vm.newInstance(classes.key);
    const auto call = [&](const char* method, auto... args) {
        return library.call<jint>(std::string(kRegistryPrefix) + method, vm.env(), key, args...);
    };
    const jint opened = call("openKey", kLocalMachine, vm.newString(std::string_view(kVersionKey)), jint{KEY_READ});
    if (opened != 0)
        return "openKey=" + std::to_string(opened);
    const jint handle = vm.instance(key)->intFields["hKey"];
    const jintArray type = vm.newIntArray(1);
    const jobjectArray value = vm.newObjectArray(1, classes.object);
    const jint queried = call("regQueryValueEx", handle, vm.newString(std::string_view(kCommonFilesValue)), type, value);
    call("closeKey");
    const jobject text = vm.itemsOf(value).at(0);
    if (queried != 0 || !text || !vm.isString(text))
        return "regQueryValueEx=" + std::to_string(queried);
    return std::string(kCommonFilesValue) + "=" + vm.asciiOf(text);
}

NativeUse useNative(const std::string& name, std::string (*ask)(const NativeLibrary&))
{
    NativeUse use{name, findLibrary(name), {}};
    if (use.path.empty())
        return use;
    try {
        const NativeLibrary library(use.path);
        use.answer = ask(library);
    } catch (const std::exception& failure) {
        use.answer = std::string("UnsatisfiedLinkError: ") + failure.what() + " (error " +
                     std::to_string(GetLastError()) + ")";
    }
    return use;
}

} // namespace

std::vector<NativeUse> useNatives()
{
    return {useNative("sysnat.dll", askSystemNatives), useNative("hivenat.dll", askRegistryNatives)};
}

} // namespace java_launcher
