// The one way install starts a program, the platform it runs on, functions of system libraries
// looked up by name, and the message box.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "../common/owners.h"

struct ChildProcess {
    UniqueHandle process;
    UniqueHandle thread;
};

// The program's path as the first token of its command line: in double quotes when it holds a
// blank or a tab, since a program splits its command line there (a Java launcher given
// C:\Program Files\...\launch.exe unquoted takes "Files\..." for its main class); otherwise as
// it stands.
std::string commandLineProgram(const std::string& program);

// The file a program is started from: its path, with ".exe" added to a name without an
// extension, as the system adds it to a command line's first token.
std::string programFile(const std::string& program);

// Starts program (its full path, the file programFile names) with commandLine as it stands, the given
// show value in a start-up record of 68 bytes and no start-up flags. The child inherits no
// handles, but the environment and the current directory.
std::optional<ChildProcess> startProcess(const std::string& program, const std::string& commandLine, int showWindow);

// The platform identifier of the version query (1 for the 95 family, 2 for the NT family),
// or nothing when the query fails.
std::optional<DWORD> windowsPlatform();

// A function of a system DLL looked up by name, for the ones an older Windows lacks; nothing
// when the DLL does not export it.
template <typename Function>
Function resolveFunction(HMODULE module, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// A box with no owner window and an OK button only.
void showMessageBox(const char* text, const char* title);
// The same with text the code page may lack (NT family).
void showMessageBox(const std::wstring& text, const std::wstring& title);
