#include "processes.h"

#include <vector>

std::string commandLineProgram(const std::string& program)
{
    return program.find_first_of(" \t") == std::string::npos ? program : "\"" + program + "\"";
}

std::string programFile(const std::string& program)
{
    const std::size_t nameStart = program.find_last_of("\\/:") + 1;
    return program.find('.', nameStart) == std::string::npos ? program + ".exe" : program;
}

std::optional<ChildProcess> startProcess(const std::string& program, const std::string& commandLine, int showWindow)
{
    // Named outright, the program is never looked for at each blank of an unquoted path (a
    // planted C:\my.exe before C:\my media\...), nor along the search path.
    const std::string application = programFile(program);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.wShowWindow = static_cast<WORD>(showWindow);
    PROCESS_INFORMATION info{};
    // CreateProcessA may write into the command line, so it gets a copy of its own.
    std::vector<char> writable(commandLine.begin(), commandLine.end());
    writable.push_back('\0');
    if (!CreateProcessA(application.c_str(), writable.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info))
        return std::nullopt;
    return ChildProcess{UniqueHandle(info.hProcess), UniqueHandle(info.hThread)};
}

std::optional<DWORD> windowsPlatform()
{
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof(version);
    if (!GetVersionExA(&version))
        return std::nullopt;
    return version.dwPlatformId;
}

void showMessageBox(const char* text, const char* title)
{
    MessageBoxA(nullptr, text, title, MB_OK);
}

void showMessageBox(const std::wstring& text, const std::wstring& title)
{
    MessageBoxW(nullptr, text.c_str(), title.c_str(), MB_OK);
}
