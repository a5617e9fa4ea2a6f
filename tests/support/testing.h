// Helpers the Windows-side tests share: files and trees, scoped environment variables,
// starting a program and waiting for it, and the message boxes a program showed.
#pragma once

#include <windows.h>

#include "../../common/owners.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace testing_support {

// The folder of the running test program, where the build puts every program it makes.
std::string programDirectory();

// A file opened for reading its bytes, times or attributes, leaving others free to use it.
UniqueFileHandle openForReading(const std::string& path);

std::string readFile(const std::string& path);
// Writes bytes as they are, creating the folders above the file.
void writeFile(const std::string& path, std::string_view content);
void makeDirectories(const std::string& path);
void copyFile(const std::string& from, const std::string& to);
bool exists(const std::string& path);
// Removes a tree whatever its attributes; nothing when it is absent.
void removeTree(const std::string& path);

std::string temporaryDirectory();
std::string currentDirectory();

// Sets (or, with nullptr, removes) an environment variable for the life of the object.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const char* value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string name_;
    std::string saved_;
    bool hadValue_ = false;
};

struct MessageBoxCall {
    std::string text;
    std::string title;
    bool operator==(const MessageBoxCall&) const = default;
};

// Reads the MessageBoxA and MessageBoxW calls out of Wine's relay trace, in their order; the
// text of a wide one is given in UTF-8.
std::vector<MessageBoxCall> parseMessageBoxCalls(std::string_view relay);

struct ProgramRun {
    DWORD exitCode = STILL_ACTIVE;
    bool finished = false;
    std::vector<MessageBoxCall> messageBoxes;
};

// Starts commandLine in directory and waits up to timeoutMs for it; the message boxes it and
// its children show are collected from Wine's relay trace.
ProgramRun runProgram(const std::string& commandLine, const std::string& directory, DWORD timeoutMs = 120000);
// The same for a command line and folder the code page may not be able to write.
ProgramRun runProgram(const std::wstring& commandLine, const std::wstring& directory, DWORD timeoutMs = 120000);

// The text with every "\n" written as "\r\n", the way a text-mode file stores it.
std::string withCrLf(std::string_view text);

bool equalsIgnoringCase(const std::string& a, const std::string& b);

// A program started for the length of a test and terminated when the object goes.
class RunningProgram {
public:
    RunningProgram(const std::string& commandLine, const std::string& directory);
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;
    DWORD processId() const { return processId_; }

private:
    UniqueHandle process_;
    DWORD processId_ = 0;
};

// A program that sleeps for a minute (the stand-in splash program), copied into folder under
// name and started from there; returns once it has started.
std::unique_ptr<RunningProgram> startSleepingLauncher(const std::string& folder, const std::string& name);

// How many running processes have this program file name (base name, any case).
int countProcessesNamed(const std::string& name);

// Waits up to timeoutMs for a file to exist.
bool waitForFile(const std::string& path, DWORD timeoutMs = 10000);

// Writes a 24-bit bottom-up Windows bitmap of the given size.
void writeBitmap(const std::string& path, int width, int height);

// Runs a console program to its end and gives what it wrote to standard output.
std::string outputOf(const std::string& commandLine);

// Splits text into lines at "\r\n" or "\n".
std::vector<std::string> splitLines(std::string_view text);

} // namespace testing_support
