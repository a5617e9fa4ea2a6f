#include "tracelog.h"

#include <cstdarg>
#include <cstdio>

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

void writeRefusedNameLine(const std::string& pattern, const std::string& name)
{
    constexpr char kRefusedNameFormat[] =
        "Entry %s listed in %s is not used: its name holds a separator or has no exact ANSI form\n";
    // The folder as a full path: patterns are often relative to the current folder.
    std::string folder = fullPathName(pattern);
    if (const std::size_t last = folder.find_last_of('\\'); last != std::string::npos)
        folder.resize(last);
    writeTraceLog(kRefusedNameFormat, name.c_str(), folder.empty() ? pattern.c_str() : folder.c_str());
}

bool reopenTraceLog()
{
    traceLog = openOwnFile(traceLogPath, OwnFileMode::append, traceLogIdentity);
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

namespace {

std::string formatTextList(const char* format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0)
        std::vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}

} // namespace

std::string formatText(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = formatTextList(format, args);
    va_end(args);
    return text;
}

void TraceLines::add(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    lines_.push_back({formatTextList(format, args)});
    va_end(args);
}

void TraceLines::addFlush()
{
    if (!lines_.empty())
        lines_.back().flushAfter = true;
}

void TraceLines::appendLines(const TraceLines& other)
{
    lines_.insert(lines_.end(), other.lines_.begin(), other.lines_.end());
}

void TraceLines::write() const
{
    for (const Line& line : lines_) {
        writeTraceLog("%s", line.text.c_str());
        if (line.flushAfter)
            flushTraceLog();
    }
}
