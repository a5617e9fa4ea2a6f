// Start-up of install: the debug stamp, the Windows directory, the trace log and the
// developer batch file's place, and the trace log that every area writes to.
#pragma once

#include <string>

#include "platform.h"

extern bool debugFlag;
extern std::string windowsDir;
extern std::string traceLogPath;
extern std::string batchFilePath;
extern UniqueFile traceLog;

// Reads the Windows directory into windowsDir.
void readWindowsDirectory();

// The first two characters of windowsDir: its drive letter and colon.
std::string windowsDrive();

// Appends printf-style text to the trace log; dropped while the log is closed.
void writeTraceLog(const char* format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)));

// Opens traceLogPath for appending into traceLog; false when it cannot be opened.
bool reopenTraceLog();
void closeTraceLog();
// Closes and reopens the trace log, so that what was written is on disk.
void flushTraceLog();

// The whole run behind WinMain; always 0.
int startInstall(const char* commandLine, int showWindow);
