// Stands in for the splash program install starts, built as "Splash.exe" (variables
// SPLASH_STUB_...), and serves the tests as any program that just runs a while. It appends what
// it was given to the file named by SPLASH_STUB_RECORD, one block per start:
//   begin <pid>
//   program=<its own file>
//   cmdline=<its command line>
//   argument=<what the C runtime leaves after its own name: the real Splash.exe's bitmap>
//   cwd=<its current directory>
//   PATH=<value>
//   CLASSPATH=<value>
//   end <pid>          (written just before it exits)
// SPLASH_STUB_WAIT_FOR names a file it waits for (ten seconds at most) before it records anything,
// SPLASH_STUB_SLEEP_MS makes it wait that long before "end"; SPLASH_STUB_EXIT is its exit code.
#include <windows.h>

#include "../../common/owners.h"

#include <cstdlib>
#include <string>

namespace {

std::string variable(const std::string& suffix)
{
    const std::string name = std::string("SPLASH_STUB") + suffix;
    std::string value(32768, '\0');
    const DWORD length = GetEnvironmentVariableA(name.c_str(), value.data(), static_cast<DWORD>(value.size()));
    value.resize(length < value.size() ? length : 0);
    return value;
}

std::string environment(const char* name)
{
    std::string value(32768, '\0');
    const DWORD length = GetEnvironmentVariableA(name, value.data(), static_cast<DWORD>(value.size()));
    value.resize(length < value.size() ? length : 0);
    return value;
}

void appendRecord(const std::string& path, const std::string& text)
{
    const UniqueFileHandle file(CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return;
    DWORD written = 0;
    WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR argument, int)
{
    const std::string awaited = variable("_WAIT_FOR");
    for (int waited = 0; !awaited.empty() && waited < 10000 && GetFileAttributesA(awaited.c_str()) == INVALID_FILE_ATTRIBUTES;
         waited += 20)
        Sleep(20);
    const std::string record = variable("_RECORD");
    const std::string pid = std::to_string(GetCurrentProcessId());
    char cwd[MAX_PATH + 1] = {};
    GetCurrentDirectoryA(sizeof(cwd), cwd);
    char program[MAX_PATH + 1] = {};
    GetModuleFileNameA(nullptr, program, MAX_PATH);
    if (!record.empty())
        appendRecord(record, "begin " + pid + "\nprogram=" + program + "\ncmdline=" + GetCommandLineA() +
                                 "\nargument=" + argument + "\ncwd=" + cwd +
                                 "\nPATH=" + environment("PATH") + "\nCLASSPATH=" + environment("CLASSPATH") + "\n");
    const std::string sleep = variable("_SLEEP_MS");
    if (!sleep.empty())
        Sleep(static_cast<DWORD>(std::strtoul(sleep.c_str(), nullptr, 10)));
    if (!record.empty())
        appendRecord(record, "end " + pid + "\n");
    const std::string exitCode = variable("_EXIT");
    return exitCode.empty() ? 0 : std::atoi(exitCode.c_str());
}
