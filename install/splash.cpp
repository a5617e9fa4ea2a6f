#include "splash.h"

#include "globals.h"
#include "trust/media_manifest.h"
#include "paths.h"
#include "tracelog.h"

namespace {

constexpr char kSplashProgram[] = "Splash.exe";
constexpr char kCommandLineFormat[] = "...CmdLine parameter now passed to CreateProcess %s \n";
constexpr char kLaunchedFormat[] = "%s %s\n";
constexpr char kLaunchedText[] = "....Successfully launched a splash screen";
constexpr char kNotLaunchedFormat[] = "%s\n";
constexpr char kNotLaunchedText[] = "Did not successfully launch a splash screen";
// Nobody reads the splash program's exit code.
constexpr UINT kSplashExitCode = 0;

// True for a drive root such as C:\ (or a directory text without any backslash).
bool isDriveRoot(const std::string& dir)
{
    const std::size_t slash = dir.find('\\');
    return slash == std::string::npos || slash + 1 == dir.size();
}

} // namespace

int launchSplash(const std::string& splashArgument, int showWindow)
{
    const CurrentDirectoryGuard back;
    const std::string cwd = currentDirectory();
    splashCommandLine = cwd + (isDriveRoot(cwd) ? kSplashProgram : "\\Splash");

    const std::optional<std::string> program = findProgram(splashCommandLine, pathBuf, kSplashProgram);
    if (!program)
        return 0;
    // The program and its bitmap (named below the program's folder) are the media's only as
    // their manifest lists them.
    const std::size_t programSlash = program->rfind('\\');
    const std::string bitmap = joinPath(program->substr(0, programSlash == std::string::npos ? 0 : programSlash),
                                        splashArgument);
    if (!requireMediaProgram(*program, commonDir) ||
        (!splashArgument.empty() && pathExists(bitmap) && !requireMediaProgram(bitmap, commonDir)))
        return 0;
    splashCommandLine = commandLineProgram(*program);
    if (!splashArgument.empty())
        splashCommandLine += "  " + splashArgument;
    writeTraceLog(kCommandLineFormat, splashCommandLine.c_str());

    const std::size_t slash = program->rfind('\\');
    if (slash != std::string::npos)
        changeDirectory(program->substr(0, slash));
    std::optional<ChildProcess> child = startProcess(*program, splashCommandLine, showWindow);
    if (!child) {
        if (traceLog) {
            writeTraceLog(kNotLaunchedFormat, kNotLaunchedText);
            closeTraceLog();
        }
        return 0;
    }
    splashProcess = std::move(*child);
    writeTraceLog(kLaunchedFormat, kLaunchedText, splashCommandLine.c_str());
    splashStarted = true;
    return 1;
}

void terminateSplash()
{
    // The splash program may have ended by itself; the result does not matter.
    TerminateProcess(splashProcess.process.get(), kSplashExitCode);
    splashProcess.thread.reset();
    splashProcess.process.reset();
}
