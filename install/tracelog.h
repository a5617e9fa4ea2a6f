// The trace log every area of install writes to: one file, opened for appending and closed as
// the run requires (while each Java process runs, around the start of the splash program).
#pragma once

#include <string>
#include <vector>

// Appends printf-style text to the trace log; dropped while the log is closed.
void writeTraceLog(const char* format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)));

// printf-style text, as the trace log would get it: for a line that also goes into a box.
std::string formatText(const char* format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)));

// The line for a name a listing by pattern gave that is not used: one that would lead out of
// its folder or name another entry in the ANSI code page.
void writeRefusedNameLine(const std::string& pattern, const std::string& name);

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
    void appendLines(const TraceLines& other);
    // Writes the lines to the trace log and flushes it where asked.
    void write() const;

private:
    struct Line {
        std::string text;
        bool flushAfter = false;
    };
    std::vector<Line> lines_;
};
