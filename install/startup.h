// Start-up of install: the debug stamp, the Windows directory, the trace log and the
// developer batch file's place, and the trace log that every area writes to.
#pragma once

#include <string>
#include <vector>

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

// Trace-log text held until the thread that owns the log writes it: extraction's workers
// report their lines this way, and the walk writes them in entry order.
class TraceLines {
public:
    void add(const char* format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 2, 3)));
    // The log is flushed once the lines added so far are written.
    void addFlush();
    void append(const TraceLines& other);
    bool empty() const { return lines_.empty(); }
    // Writes the lines to the trace log and flushes it where asked.
    void write() const;

private:
    struct Line {
        std::string text;
        bool flushAfter = false;
    };
    std::vector<Line> lines_;
};

// The whole run behind WinMain; always 0.
int startInstall(const char* commandLine, int showWindow);
