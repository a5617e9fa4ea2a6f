// The Java processes: their working directory, their command lines, one after the other,
// and the developer batch file written instead of them.
#pragma once

#include <string>

// The folder the Java processes start in, below the current one: "kp\bin_nt" or "kp\bin_win"
// for the platform family (platformOwn), else "kp\windows" or "kp\bin".
struct RuntimeFolder {
    std::string name;
    bool platformOwn = false;
};
RuntimeFolder runtimeFolder();

// Enters that folder, saying so for the platform's own.
void selectRuntimeDirectory();

// Starts program, the launcher found, with commandLine and waits for it to end; false when it
// could not be created.
bool runAndWait(const std::string& program, const std::string& commandLine, int showWindow);

// Runs one Java process per configured class, or with "-developer" writes one batch line per
// class. False when a process could not be created; the remaining classes are not run then.
bool launchJavaClasses(const std::string& launcherPath, const std::string& commandLine, int showWindow);

// The head and tail of the developer batch file at batchFilePath.
void writeBatchFileHead();
void writeBatchFileTail();
