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

// The temporary directory, unless it is unavailable, does not fit its 128-byte buffer or lies
// on a CD-ROM drive; then the Windows drive alone.
std::string chooseLogDirectory()
{
    char temp[kTempPathBufferSize] = {};
    const DWORD length = GetTempPathA(kTempPathBufferSize, temp);
    // A longer path is reported by the size it needs, with nothing filled in.
    if (length == 0 || length >= kTempPathBufferSize)
        return windowsDrive();
    // The drive type is a property of the root; asked of a deeper directory Windows answers
    // "no root directory", which would hide a CD-ROM.
    std::string root(temp, length);
    if (root.size() >= 3 && root[1] == ':')
        root.resize(3);
    if (GetDriveTypeA(root.c_str()) == DRIVE_CDROM)
        return windowsDrive();
    return std::string(temp, length);
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
