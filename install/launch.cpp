#include "launch.h"

#include "../common/architecture.h"
#include "globals.h"
#include "paths.h"
#include "platform.h"
#include "tracelog.h"

namespace {

constexpr char kNewDirectoryFormat[] = "new current directory is %s\n";
constexpr char kCreateFailedFormat[] = "%s\n";
constexpr char kCreateFailedText[] = "For some reason, CreateProcess failed";
constexpr char kUnknownParametersFormat[] = "Unknown parameters passed: Passing them to Driver %s \n";
constexpr char kAddingParameterFormat[] = "Adding parameter %s to buffer \n";
constexpr char kAboutToLaunchFormat[] = "About to launch %s hence closing %s  \n";
constexpr char kReopenedFormat[] = "In install.exe-- opened the file %s again\n";
constexpr char kBatchCreatedFormat[] = "Just created developer file %s \n";
constexpr char kRemoveTailMissingFormat[] = "No ..\\data\\ip.db on the command line to pass on: %s\n";

constexpr char kRemoveTailStart[] = "..\\data\\ip.db";
constexpr char kOutputToFile[] = "/OUTPUT_TO_FILE";

constexpr const char* kBatchHead[] = {
    "REM This file helps the developer to either run it as",
    "REM a batch file or for building a Visual Cafe debugging",
    "REM Environment. The -cp parameter containing the various",
    "REM classpaths can be used for setting the classpath",
    "REM environment variable while debugging your application",
};
constexpr char kSavePathFormat[] = "set SAVEPATH=%s;\n";
constexpr char kSetPathFormat[] = "set %s \n";
constexpr char kBatchClassFormat[] = "jre -cp \"%s\" %s %s";
constexpr char kRestorePathFormat[] = "set PATH=%s;\n";

// The command line of the Java process for class slot i.
std::string javaCommandLine(const std::string& launcherPath, const std::string& commandLine, std::size_t slot)
{
    std::string command = launcherPath + "  " + classTable[slot];
    if (contains(commandLine, "-remove")) {
        const std::size_t tail = commandLine.find(kRemoveTailStart);
        if (tail != std::string::npos)
            command += "   " + commandLine.substr(tail);
        else
            writeTraceLog(kRemoveTailMissingFormat, commandLine.c_str());
    }
    if (!commandLine.empty() && !paramsGiven) {
        command += "  " + parameterTable[slot] + "  " + commandLine;
        writeTraceLog(kUnknownParametersFormat, commandLine.c_str());
    } else if (!parameterTable[slot].empty()) {
        writeTraceLog(kAddingParameterFormat, parameterTable[slot].c_str());
        command += "  " + parameterTable[slot];
    }
    return command;
}

void appendBatchClassLine(std::size_t slot)
{
    const UniqueFile batch = openOwnFile(batchFilePath, OwnFileMode::append);
    if (!batch)
        return;
    const std::string& parameter = parameterTable[slot];
    const std::string parameterText = parameter.substr(0, parameter.find(kOutputToFile));
    const std::size_t equals = classPathBuf.find('=');
    const std::string classPathValue = equals == std::string::npos ? classPathBuf : classPathBuf.substr(equals + 1);
    std::fprintf(batch.get(), kBatchClassFormat, classPathValue.c_str(), classTable[slot].c_str(),
                 parameterText.c_str());
    std::fputs("\n", batch.get());
}

} // namespace

void selectRuntimeDirectory()
{
    if (const std::optional<DWORD> platform = windowsPlatform()) {
        const char* candidate = *platform == VER_PLATFORM_WIN32_NT ? "kp\\bin_nt" : "kp\\bin_win";
        if (pathExists(candidate) && changeDirectory(candidate)) {
            writeTraceLog(kNewDirectoryFormat, currentDirectory().c_str());
            return;
        }
    }
    if (pathExists("kp\\windows"))
        changeDirectory("kp\\windows");
    else
        changeDirectory("kp\\bin");
}

bool runAndWait(const std::string& program, const std::string& commandLine, int showWindow)
{
    static_assert(sizeof(STARTUPINFOA) == kStartupInfoBytes, "the start-up record of this architecture");
    std::optional<ChildProcess> child = startProcess(program, commandLine, showWindow);
    if (!child) {
        if (UniqueFile log = openOwnFile(traceLogPath, OwnFileMode::append, traceLogIdentity))
            std::fprintf(log.get(), kCreateFailedFormat, kCreateFailedText);
        return false;
    }
    child->thread.reset();
    WaitForSingleObject(child->process.get(), INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(child->process.get(), &exitCode);
    return true;
}

bool launchJavaClasses(const std::string& launcherPath, const std::string& commandLine, int showWindow)
{
    const bool developer = contains(commandLine, "-developer");
    for (std::size_t slot = 0; slot < kClassSlots && !classTable[slot].empty(); ++slot) {
        const std::string command = javaCommandLine(launcherPath, commandLine, slot);
        if (developer)
            appendBatchClassLine(slot);
        else
            writeTraceLog(kAboutToLaunchFormat, command.c_str(), traceLogPath.c_str());
        closeTraceLog();
        if (!developer && !runAndWait(launcherPath, command, showWindow))
            return false;
        if (reopenTraceLog() && !developer)
            writeTraceLog(kReopenedFormat, traceLogPath.c_str());
    }
    return true;
}

void writeBatchFileHead()
{
    const UniqueFile batch = openOwnFile(batchFilePath, OwnFileMode::truncate);
    if (!batch)
        return;
    writeTraceLog(kBatchCreatedFormat, batchFilePath.c_str());
    for (const char* line : kBatchHead)
        std::fprintf(batch.get(), "%s\n", line);
    std::fputs("\n\n\n", batch.get());
    std::fprintf(batch.get(), kSavePathFormat, "%PATH%");
    std::fputs("\n\n\n", batch.get());
    std::fprintf(batch.get(), kSetPathFormat, pathBuf.c_str());
    std::fputs("\n\n\n", batch.get());
}

void writeBatchFileTail()
{
    const UniqueFile batch = openOwnFile(batchFilePath, OwnFileMode::append);
    if (!batch)
        return;
    std::fputs("\n\n\n", batch.get());
    std::fprintf(batch.get(), kRestorePathFormat, "%SAVEPATH%");
}
