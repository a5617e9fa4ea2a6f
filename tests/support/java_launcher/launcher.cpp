// Stands in for a Java runtime's launcher (its java.exe or javaw.exe, shipped as launch.exe) in
// the end-to-end runs and the demo, and does with its input what the real one does: it splits
// its command line and expands its argument files with the JDK launcher's own code, takes the
// options up to the main class, finds that class on the class path, or fails as the launcher
// fails ("Error: Could not find or load main class <name>", exit code 1), and then, as the Java
// installer would, loads sysnat.dll and hivenat.dll where System.loadLibrary finds them and
// calls one native of each.
//
// It appends what it saw and parsed to the file LAUNCH_STUB_RECORD names, one block per start:
//   begin <pid>
//   program= cmdline= cwd= PATH= CLASSPATH=     what it was given
//   arg=                                        each argument after its own name, files expanded
//   option= main= parameter=                    the options, the main class, its parameters
//   classpath=                                  the class path searched
//   found=                                      the class path element holding the main class
//   native=<library>\t<path found>\t<answer>   for sysnat.dll and hivenat.dll
//   error=                                      the launcher's message, when it stops
//   end <pid> <exit code>
// Values keep "%", CR and LF as %25, %0D and %0A, so that each stays on its line.
// LAUNCH_STUB_WAIT_FOR names a file it waits for (ten seconds at most) first; once the class is
// found, the application runs LAUNCH_STUB_SLEEP_MS and ends with LAUNCH_STUB_EXIT.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "../../../common/owners.h"
#include "arguments.h"
#include "class_path.h"
#include "natives.h"

namespace {

constexpr char kMainClassNotFound[] = "Error: Could not find or load main class ";
constexpr char kClassNotFoundCause[] = "Caused by: java.lang.ClassNotFoundException: ";
constexpr int kLauncherFailure = 1;

std::string variable(const char* name)
{
    const DWORD size = GetEnvironmentVariableA(name, nullptr, 0);
    std::string value(size, '\0');
    value.resize(size ? GetEnvironmentVariableA(name, value.data(), size) : 0);
    return value;
}

std::string recordPath;
std::string processId;

std::string escaped(const std::string& value)
{
    std::string text;
    for (const char c : value) {
        if (c == '%')
            text += "%25";
        else if (c == '\r')
            text += "%0D";
        else if (c == '\n')
            text += "%0A";
        else
            text += c;
    }
    return text;
}

void appendRecord(const std::string& text)
{
    if (recordPath.empty())
        return;
    const UniqueFileHandle file(CreateFileA(recordPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return;
    DWORD written = 0;
    WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void record(const char* key, const std::string& value)
{
    appendRecord(std::string(key) + "=" + escaped(value) + "\n");
}

// The launcher's messages go to its standard error, and into the record.
void reportLauncherMessage(const std::string& message)
{
    std::fprintf(stderr, "%s\n", message.c_str());
    record("error", message);
}

// Ends the launcher's run, whichever way it ends (args.c calls exit() itself).
int exitCode = 0;
void recordEnd()
{
    appendRecord("end " + processId + " " + std::to_string(exitCode) + "\n");
}

int fail(int code)
{
    exitCode = code;
    return code;
}

} // namespace

int main()
{
    const std::string awaited = variable("LAUNCH_STUB_WAIT_FOR");
    for (int waited = 0; !awaited.empty() && waited < 10000 && GetFileAttributesA(awaited.c_str()) == INVALID_FILE_ATTRIBUTES;
         waited += 20)
        Sleep(20);
    recordPath = variable("LAUNCH_STUB_RECORD");
    processId = std::to_string(GetCurrentProcessId());
    char cwd[MAX_PATH + 1] = {};
    GetCurrentDirectoryA(sizeof(cwd), cwd);
    char program[MAX_PATH + 1] = {};
    GetModuleFileNameA(nullptr, program, MAX_PATH);
    appendRecord("begin " + processId + "\n");
    record("program", program);
    record("cmdline", GetCommandLineA());
    record("cwd", cwd);
    record("PATH", variable("PATH"));
    record("CLASSPATH", variable("CLASSPATH"));
    // A missing argument file ends the process inside the launcher's own code, with 1.
    exitCode = kLauncherFailure;
    std::atexit(recordEnd);
    java_launcher::reportMessage = reportLauncherMessage;

    const java_launcher::Arguments arguments = java_launcher::readArguments();
    exitCode = 0;
    for (const std::string& argument : arguments.all)
        record("arg", argument);
    for (const std::string& option : arguments.options)
        record("option", option);
    if (!arguments.error.empty()) {
        reportLauncherMessage(arguments.error);
        return fail(kLauncherFailure);
    }
    record("main", arguments.mainClass);
    for (const std::string& parameter : arguments.parameters)
        record("parameter", parameter);
    record("classpath", arguments.classPath);

    const std::optional<std::string> found = java_launcher::findClass(arguments.classPath, arguments.mainClass);
    if (!found) {
        reportLauncherMessage(kMainClassNotFound + arguments.mainClass);
        std::fprintf(stderr, "%s%s\n", kClassNotFoundCause, arguments.mainClass.c_str());
        return fail(kLauncherFailure);
    }
    record("found", *found);
    for (const java_launcher::NativeUse& use : java_launcher::useNatives())
        record("native", use.library + "\t" + use.path + "\t" + use.answer);

    const std::string sleep = variable("LAUNCH_STUB_SLEEP_MS");
    if (!sleep.empty())
        Sleep(static_cast<DWORD>(std::strtoul(sleep.c_str(), nullptr, 10)));
    const std::string code = variable("LAUNCH_STUB_EXIT");
    return fail(code.empty() ? 0 : std::atoi(code.c_str()));
}
