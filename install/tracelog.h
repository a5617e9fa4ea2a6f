// The trace log every area of install writes to: one file, opened for appending and closed as
// the run requires (while each Java process runs, around the start of the splash program).
#pragma once

// Appends printf-style text to the trace log; dropped while the log is closed.
void writeTraceLog(const char* format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)));

// Opens traceLogPath for appending into traceLog; false when it cannot be opened.
bool reopenTraceLog();
void closeTraceLog();
// Closes and reopens the trace log, so that what was written is on disk.
void flushTraceLog();
