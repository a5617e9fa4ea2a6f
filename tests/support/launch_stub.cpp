// Stands in for the Java runtime launcher "launch.exe". It appends what it was given to the
// file named by LAUNCH_STUB_RECORD, one block per start:
//   begin <pid>
//   cmdline=<its command line>
//   cwd=<its current directory>
//   PATH=<value>
//   CLASSPATH=<value>
//   end <pid>          (written just before it exits)
// LAUNCH_STUB_SLEEP_MS makes it wait that long before "end"; LAUNCH_STUB_EXIT is its exit code.
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

std::string variable(const char* name)
{
    std::string value(32768, '\0');
    const DWORD length = GetEnvironmentVariableA(name, value.data(), static_cast<DWORD>(value.size()));
    value.resize(length < value.size() ? length : 0);
    return value;
}

void appendRecord(const std::string& path, const std::string& text)
{
    HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    const std::string record = variable("LAUNCH_STUB_RECORD");
    const std::string pid = std::to_string(GetCurrentProcessId());
    char cwd[MAX_PATH + 1] = {};
    GetCurrentDirectoryA(sizeof(cwd), cwd);
    if (!record.empty())
        appendRecord(record, "begin " + pid + "\ncmdline=" + GetCommandLineA() + "\ncwd=" + cwd +
                                 "\nPATH=" + variable("PATH") + "\nCLASSPATH=" + variable("CLASSPATH") + "\n");
    const std::string sleep = variable("LAUNCH_STUB_SLEEP_MS");
    if (!sleep.empty())
        Sleep(static_cast<DWORD>(std::strtoul(sleep.c_str(), nullptr, 10)));
    if (!record.empty())
        appendRecord(record, "end " + pid + "\n");
    const std::string exitCode = variable("LAUNCH_STUB_EXIT");
    return exitCode.empty() ? 0 : std::atoi(exitCode.c_str());
}
