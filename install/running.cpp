#include "running.h"

#include <windows.h>

#include <tlhelp32.h>

#include "../common/architecture.h"
#include "../common/system_libraries.h"
#include "globals.h"
#include "platform.h"
#include "tracelog.h"

namespace {

constexpr char kFoundFormat[] = "Finally we found our process is %s \n";
constexpr char kLauncherName[] = "launch.exe";
constexpr char kPsapiLibrary[] = "PSAPI.DLL";
constexpr char kVdmDebugLibrary[] = "VDMDBG.DLL";
constexpr char kKernelLibrary[] = "Kernel32.DLL";
constexpr std::size_t kFirstIdBufferBytes = 1024;
constexpr DWORD kQueryAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;

static_assert(kQueryAccess == 0x0410);
static_assert(sizeof(PROCESSENTRY32) == kProcessEntryBytes, "the Toolhelp record of this architecture");

using EnumProcessesFunction = BOOL(WINAPI*)(DWORD*, DWORD, DWORD*);
using EnumProcessModulesFunction = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, DWORD*);
using GetModuleFileNameExFunction = DWORD(WINAPI*)(HANDLE, HMODULE, LPSTR, DWORD);
using CreateSnapshotFunction = HANDLE(WINAPI*)(DWORD, DWORD);
using ProcessWalkFunction = BOOL(WINAPI*)(HANDLE, PROCESSENTRY32*);


// A path names the launcher when the text after its last backslash is "launch.exe"; a name
// without a backslash never does.
bool isLauncherPath(const char* path)
{
    const std::string_view text = path;
    const std::size_t slash = text.rfind('\\');
    if (slash == std::string_view::npos)
        return false;
    const std::string_view base = text.substr(slash + 1);
    if (!equalsIgnoreCase(base, kLauncherName))
        return false;
    writeTraceLog(kFoundFormat, std::string(base).c_str());
    return true;
}

} // namespace

int isInstallerRunningNt(std::size_t firstIdBufferBytes)
{
    const UniqueModule psapi = loadSystemLibrary(kPsapiLibrary);
    if (!psapi)
        return 0;
    const UniqueModule vdmDebug = loadSystemLibrary(kVdmDebugLibrary);
    if (!vdmDebug)
        return 0;
    const auto enumProcesses = resolveFunction<EnumProcessesFunction>(psapi.get(), "EnumProcesses");
    const auto enumProcessModules = resolveFunction<EnumProcessModulesFunction>(psapi.get(), "EnumProcessModules");
    const auto moduleFileName = resolveFunction<GetModuleFileNameExFunction>(psapi.get(), "GetModuleFileNameExA");
    if (!enumProcesses || !enumProcessModules || !moduleFileName)
        return 0;

    std::size_t bufferBytes = firstIdBufferBytes;
    UniqueHeapBlock ids;
    DWORD returned = 0;
    for (;;) {
        ids.reset(HeapAlloc(GetProcessHeap(), 0, bufferBytes));
        if (!ids)
            return 0;
        if (!enumProcesses(static_cast<DWORD*>(ids.get()), static_cast<DWORD>(bufferBytes), &returned))
            return 0;
        // A full buffer may have cut the list.
        if (returned < bufferBytes)
            break;
        bufferBytes *= 2;
    }

    const DWORD* id = static_cast<const DWORD*>(ids.get());
    for (DWORD i = 0; i < returned / sizeof(DWORD); ++i) {
        const UniqueHandle process(OpenProcess(kQueryAccess, FALSE, id[i]));
        if (!process)
            continue;
        HMODULE firstModule = nullptr;
        DWORD needed = 0;
        char path[MAX_PATH] = {};
        if (enumProcessModules(process.get(), &firstModule, sizeof(firstModule), &needed) &&
            moduleFileName(process.get(), firstModule, path, sizeof(path)) && isLauncherPath(path))
            return 1;
    }
    return 0;
}

int isInstallerRunning95()
{
    const UniqueModule kernel = loadSystemLibrary(kKernelLibrary);
    if (!kernel)
        return 0;
    const auto createSnapshot = resolveFunction<CreateSnapshotFunction>(kernel.get(), "CreateToolhelp32Snapshot");
    const auto firstProcess = resolveFunction<ProcessWalkFunction>(kernel.get(), "Process32First");
    const auto nextProcess = resolveFunction<ProcessWalkFunction>(kernel.get(), "Process32Next");
    if (!createSnapshot || !firstProcess || !nextProcess)
        return 0;
    const UniqueFileHandle snapshot(createSnapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return 0;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = firstProcess(snapshot.get(), &entry); more; more = nextProcess(snapshot.get(), &entry)) {
        if (isLauncherPath(entry.szExeFile))
            return 1;
        entry.dwSize = sizeof(entry);
    }
    return 0;
}

int isInstallerRunning()
{
    const std::optional<DWORD> platform = windowsPlatform();
    if (!platform)
        return 0;
    if (*platform == VER_PLATFORM_WIN32_NT)
        return isInstallerRunningNt(kFirstIdBufferBytes);
    if (*platform == VER_PLATFORM_WIN32_WINDOWS)
        return isInstallerRunning95();
    return 0;
}
