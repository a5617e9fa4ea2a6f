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
// A class line starts the launcher that install itself starts (no runtime today has the "jre"
// program of old), from the folder the Java processes start in, so that their argument files
// are found.
constexpr char kBatchClassFormat[] = "%s -cp \"%s\" %s %s";
constexpr char kBatchClassFromFileFormat[] = "%s %s %s %s";
constexpr char kEnterRuntimeFormat[] = "pushd \"%s\"\n";
constexpr char kLeaveRuntime[] = "popd\n";
constexpr char kRestorePathFormat[] = "set PATH=%s;\n";
// cmd.exe reads at most 8191 characters of a line. A class path longer than a line holds goes
// into an argument file beside the batch file, which launchers from Java 9 on read.
constexpr std::size_t kBatchLineLimit = 8191;
constexpr char kClassPathFileName[] = "install-cp.args";
constexpr char kClassPathFileFormat[] = "-cp \"%s\"\n";
constexpr char kClassPathFileFailedFormat[] = "Could not write %s for the developer file\n";
constexpr char kBatchLineTooLongFormat[] =
    "A line of the developer file is %u characters, more than the 8191 cmd.exe reads: %s\n";

// The command line of the Java process for class slot i.
std::string javaCommandLine(const std::string& launcherPath, const std::string& commandLine, std::size_t slot)
{
    std::string command = commandLineProgram(launcherPath) + "  " + classTable[slot];
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

std::string formatted(const char* format, const std::string& a, const std::string& b, const std::string& c,
                      const std::string& d)
{
    const int size = std::snprintf(nullptr, 0, format, a.c_str(), b.c_str(), c.c_str(), d.c_str());
    std::string text(static_cast<std::size_t>(size) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, a.c_str(), b.c_str(), c.c_str(), d.c_str());
    text.resize(static_cast<std::size_t>(size));
    return text;
}

// Says so in the trace log when cmd.exe would not read the whole line.
void checkBatchLineLength(const std::string& line)
{
    if (line.size() > kBatchLineLimit)
        writeTraceLog(kBatchLineTooLongFormat, static_cast<unsigned>(line.size()), line.substr(0, 80).c_str());
}

// Writes the class path into the argument file beside the batch file, quoted, with each
// backslash doubled as the launcher's reader of argument files wants it inside quotes; gives
// the argument that names the file, or nothing when it could not be written.
std::optional<std::string> writeClassPathFile(const std::string& classPathValue)
{
    const std::size_t slash = batchFilePath.find_last_of('\\');
    const std::string path = joinPath(slash == std::string::npos ? std::string() : batchFilePath.substr(0, slash),
                                      kClassPathFileName);
    const UniqueFile file = openOwnFile(path, OwnFileMode::truncate);
    if (!file) {
        writeTraceLog(kClassPathFileFailedFormat, path.c_str());
        return std::nullopt;
    }
    std::string escaped;
    for (const char c : classPathValue)
        escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    std::fprintf(file.get(), kClassPathFileFormat, escaped.c_str());
    return commandLineProgram("@" + path);
}

void appendBatchClassLine(const std::string& launcherPath, std::size_t slot)
{
    const UniqueFile batch = openOwnFile(batchFilePath, OwnFileMode::append);
    if (!batch)
        return;
    const std::string& parameter = parameterTable[slot];
    const std::string parameterText = parameter.substr(0, parameter.find(kOutputToFile));
    const std::size_t equals = classPathBuf.find('=');
    const std::string classPathValue = equals == std::string::npos ? classPathBuf : classPathBuf.substr(equals + 1);
    const std::string program = commandLineProgram(programFile(launcherPath));
    std::string line = formatted(kBatchClassFormat, program, classPathValue, classTable[slot], parameterText);
    if (line.size() > kBatchLineLimit)
        if (const std::optional<std::string> classPathFile = writeClassPathFile(classPathValue))
            line = formatted(kBatchClassFromFileFormat, program, *classPathFile, classTable[slot], parameterText);
    checkBatchLineLength(line);
    std::fprintf(batch.get(), "%s\n", line.c_str());
}

} // namespace

RuntimeFolder runtimeFolder()
{
    if (const std::optional<DWORD> platform = windowsPlatform()) {
        const char* candidate = *platform == VER_PLATFORM_WIN32_NT ? "kp\\bin_nt" : "kp\\bin_win";
        if (isDirectory(candidate))
            return {candidate, true};
    }
    return {isDirectory("kp\\windows") ? "kp\\windows" : "kp\\bin", false};
}

void selectRuntimeDirectory()
{
    const RuntimeFolder folder = runtimeFolder();
    if (changeDirectory(folder.name) && folder.platformOwn)
        writeTraceLog(kNewDirectoryFormat, currentDirectory().c_str());
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
            appendBatchClassLine(launcherPath, slot);
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
    checkBatchLineLength("set " + pathBuf + " ");
    std::fputs("\n\n\n", batch.get());
    std::fprintf(batch.get(), kEnterRuntimeFormat, currentDirectory().c_str());
}

void writeBatchFileTail()
{
    const UniqueFile batch = openOwnFile(batchFilePath, OwnFileMode::append);
    if (!batch)
        return;
    std::fputs(kLeaveRuntime, batch.get());
    std::fputs("\n\n\n", batch.get());
    std::fprintf(batch.get(), kRestorePathFormat, "%SAVEPATH%");
}
