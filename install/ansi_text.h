// Text in the active ANSI code page: conversions that never turn a name into a look-alike, and
// comparisons that ignore case as the code page does.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Comparisons that ignore case the way the active ANSI code page does.
std::string toUpperAnsi(std::string_view text);
std::wstring toUpperWide(std::wstring_view text);

// UTF-16 of ANSI text, as the ANSI file functions read it.
std::wstring widenAnsi(std::string_view text);
// The ANSI form of text that comes back as the same text, with no best-fit replacement (U+FF0E
// is never "."); nothing when there is none.
std::optional<std::string> exactAnsiText(std::wstring_view text);
// The ANSI form of text for the trace log: "?" for whatever has no exact ANSI form.
std::string ansiTextForTrace(std::wstring_view text);
bool equalsIgnoreCase(std::string_view a, std::string_view b);
bool startsWithIgnoreCase(std::string_view text, std::string_view prefix);

inline bool contains(std::string_view text, std::string_view part)
{
    return text.find(part) != std::string_view::npos;
}
