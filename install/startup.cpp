#include "startup.h"

#include <ctime>
#include <vector>

#include "globals.h"
#include "tracelog.h"

namespace {

constexpr char kDebugStampPath[] = "c:\\nnndbg";
constexpr char kTraceLogName[] = "kp_nstal.out";
constexpr char kBatchFileName[] = "install.bat";
constexpr char kTraceLogStart[] = "started\n";
constexpr DWORD kTempPathBufferSize = 128;

void writeDebugStamp()
{
    if (UniqueFile stamp = openOwnFile(kDebugStampPath, OwnFileMode::truncate))
        std::fprintf(stamp.get(), "%d", static_cast<int>(std::time(nullptr)));
}

// The temporary directory, unless it is unavailable, does not fit its 128-byte buffer, has no
// ANSI form or lies on a CD-ROM drive; then the Windows drive alone. On the NT family it is read
// wide: the ANSI answer for a folder the code page cannot write is a best-fit look-alike that
// names no folder.
std::string chooseLogDirectory()
{
    std::string temp;
    if (windowsPlatform() == VER_PLATFORM_WIN32_NT) {
        wchar_t wide[MAX_PATH + 1] = {};
        const DWORD length = GetTempPathW(MAX_PATH + 1, wide);
        if (length == 0 || length > MAX_PATH)
            return windowsDrive();
        temp = ansiPathOf(std::wstring(wide, length)).value_or(std::string());
    } else {
        char ansi[kTempPathBufferSize] = {};
        const DWORD length = GetTempPathA(kTempPathBufferSize, ansi);
        // A longer path is reported by the size it needs, with nothing filled in.
        if (length < kTempPathBufferSize)
            temp.assign(ansi, length);
    }
    if (temp.empty() || temp.size() >= kTempPathBufferSize)
        return windowsDrive();
    // The drive type is a property of the root; asked of a deeper directory Windows answers
    // "no root directory", which would hide a CD-ROM.
    std::string root = temp;
    if (root.size() >= 3 && root[1] == ':')
        root.resize(3);
    if (GetDriveTypeA(root.c_str()) == DRIVE_CDROM)
        return windowsDrive();
    return temp;
}

// The log directory may be a bare drive such as "C:". Resolved once, the trace log stays one
// file even though the current directory changes during the run.
std::string resolvePath(const std::string& path)
{
    std::vector<char> full(MAX_PATH + 1);
    DWORD length = GetFullPathNameA(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length >= full.size()) {
        full.resize(length + 1);
        length = GetFullPathNameA(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    }
    if (length == 0 || length >= full.size())
        return path;
    return std::string(full.data(), length);
}

} // namespace


bool startInstall(const std::string& arguments)
{
    debugFlag = contains(arguments, "-debug");
    if (debugFlag)
        writeDebugStamp();

    readWindowsDirectory();
    const std::string logDirectory = chooseLogDirectory();
    createDirectoryIfMissing(logDirectory);
    traceLogPath = resolvePath(logDirectory + kTraceLogName);
    if (contains(arguments, "-developer"))
        batchFilePath = resolvePath(logDirectory + kBatchFileName);

    FileIdentity identity;
    if (UniqueFile created = openOwnFile(traceLogPath, OwnFileMode::truncate, std::nullopt, &identity)) {
        std::fputs(kTraceLogStart, created.get());
        traceLogIdentity = identity;
    }
    return reopenTraceLog();
}
