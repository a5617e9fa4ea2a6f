#include "tracelog.h"

#include <cstdarg>

#include "globals.h"

void writeTraceLog(const char* format, ...)
{
    if (!traceLog)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(traceLog.get(), format, args);
    va_end(args);
}

bool reopenTraceLog()
{
    traceLog = openFile(traceLogPath, "a+");
    return static_cast<bool>(traceLog);
}

void closeTraceLog()
{
    traceLog.reset();
}

void flushTraceLog()
{
    closeTraceLog();
    reopenTraceLog();
}
