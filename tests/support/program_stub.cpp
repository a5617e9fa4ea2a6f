// Stands in for a program install starts: built as "launch.exe" (variables LAUNCH_STUB_...)
// and as "Splash.exe" (variables SPLASH_STUB_...). It appends what it was given to the file
// named by <prefix>_RECORD, one block per start:
//   begin <pid>
//   program=<its own file>
//   cmdline=<its command line>
//   cwd=<its current directory>
//   PATH=<value>
//   CLASSPATH=<value>
//   end <pid>          (written just before it exits)
// <prefix>_WAIT_FOR names a file it waits for (ten seconds at most) before it records anything,
// <prefix>_SLEEP_MS makes it wait that long before "end"; <prefix>_EXIT is its exit code.
#include <windows.h>

#include "../../common/owners.h"

#include <cstdlib>
#include <string>

namespace {

std::string variable(const std::string& suffix)
{
    const std::string name = std::string(STUB_VARIABLE_PREFIX) + suffix;
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

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
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
        appendRecord(record, "begin " + pid + "\nprogram=" + program + "\ncmdline=" + GetCommandLineA() + "\ncwd=" + cwd +
                                 "\nPATH=" + environment("PATH") + "\nCLASSPATH=" + environment("CLASSPATH") + "\n");
    const std::string sleep = variable("_SLEEP_MS");
    if (!sleep.empty())
        Sleep(static_cast<DWORD>(std::strtoul(sleep.c_str(), nullptr, 10)));
    if (!record.empty())
        appendRecord(record, "end " + pid + "\n");
    const std::string exitCode = variable("_EXIT");
    return exitCode.empty() ? 0 : std::atoi(exitCode.c_str());
}
