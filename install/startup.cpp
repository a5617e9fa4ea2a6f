#include "startup.h"

#include <cstdarg>
#include <ctime>
#include <vector>

#include "driver.h"

bool debugFlag = false;
std::string windowsDir;
std::string traceLogPath;
std::string batchFilePath;
UniqueFile traceLog;

namespace {

constexpr char kDebugStampPath[] = "c:\\nnndbg";
constexpr char kTraceLogName[] = "kp_nstal.out";
constexpr char kBatchFileName[] = "install.bat";
constexpr char kTraceLogStart[] = "started\n";
constexpr DWORD kTempPathBufferSize = 128;

void writeDebugStamp()
{
    if (UniqueFile stamp = openFile(kDebugStampPath, "w+"))
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

void readWindowsDirectory()
{
    std::vector<char> buffer(MAX_PATH + 1);
    const UINT length = GetWindowsDirectoryA(buffer.data(), static_cast<UINT>(buffer.size()));
    windowsDir = length > 0 && length < buffer.size() ? std::string(buffer.data(), length) : std::string();
}

std::string windowsDrive()
{
    return windowsDir.substr(0, 2);
}

void writeTraceLog(const char* format, ...)
{
    if (!traceLog)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(traceLog.get(), format, args);
    va_end(args);
}

bool reopenTraceLog()
{
    traceLog = openFile(traceLogPath, "a+");
    return static_cast<bool>(traceLog);
}

void closeTraceLog()
{
    traceLog.reset();
}

void flushTraceLog()
{
    closeTraceLog();
    reopenTraceLog();
}

void TraceLines::add(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0)
        std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    lines_.push_back({std::move(text)});
}

void TraceLines::addFlush()
{
    if (!lines_.empty())
        lines_.back().flushAfter = true;
}

void TraceLines::append(const TraceLines& other)
{
    lines_.insert(lines_.end(), other.lines_.begin(), other.lines_.end());
}

void TraceLines::write() const
{
    for (const Line& line : lines_) {
        writeTraceLog("%s", line.text.c_str());
        if (line.flushAfter)
            flushTraceLog();
    }
}

int startInstall(const char* commandLine, int showWindow)
{
    const std::string arguments = commandLine ? commandLine : "";
    debugFlag = contains(arguments, "-debug");
    if (debugFlag)
        writeDebugStamp();

    readWindowsDirectory();
    const std::string logDirectory = chooseLogDirectory();
    if (!pathExists(logDirectory))
        CreateDirectoryA(logDirectory.c_str(), nullptr);
    traceLogPath = resolvePath(logDirectory + kTraceLogName);
    if (contains(arguments, "-developer"))
        batchFilePath = resolvePath(logDirectory + kBatchFileName);

    if (UniqueFile created = openFile(traceLogPath, "w+"))
        std::fputs(kTraceLogStart, created.get());
    if (!reopenTraceLog())
        return 0;

    runInstallation(arguments, showWindow);
    closeTraceLog();
    return 0;
}
