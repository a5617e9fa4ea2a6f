#include "ansi_text.h"

#include <windows.h>

std::string toUpperAnsi(std::string_view text)
{
    std::string upper(text);
    if (!upper.empty())
        CharUpperBuffA(upper.data(), static_cast<DWORD>(upper.size()));
    return upper;
}

std::wstring toUpperWide(std::wstring_view text)
{
    std::wstring upper(text);
    if (!upper.empty())
        CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    return upper;
}

std::wstring widenAnsi(std::string_view text)
{
    if (text.empty())
        return {};
    const int bytes = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(CP_ACP, 0, text.data(), bytes, nullptr, 0);
    if (size <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), bytes, wide.data(), size);
    return wide;
}

namespace {

bool convertWithoutBestFit(std::wstring_view text, const char* defaultChar, std::string& out, BOOL& usedDefault)
{
    const int units = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), units, nullptr, 0, defaultChar,
                                         &usedDefault);
    if (size <= 0)
        return false;
    out.assign(static_cast<std::size_t>(size), '\0');
    return WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), units, out.data(), size, defaultChar,
                               &usedDefault) == size;
}

} // namespace

std::optional<std::string> exactAnsiText(std::wstring_view text)
{
    if (text.empty())
        return std::string();
    std::string ansi;
    BOOL usedDefault = FALSE;
    if (!convertWithoutBestFit(text, nullptr, ansi, usedDefault)) {
        usedDefault = FALSE;
        const int units = static_cast<int>(text.size());
        const int size = WideCharToMultiByte(CP_ACP, 0, text.data(), units, nullptr, 0, nullptr, nullptr);
        if (size <= 0)
            return std::nullopt;
        ansi.assign(static_cast<std::size_t>(size), '\0');
        if (WideCharToMultiByte(CP_ACP, 0, text.data(), units, ansi.data(), size, nullptr, nullptr) != size)
            return std::nullopt;
    }
    // Whatever the conversion says, the text must come back as it went: a best-fit look-alike
    // or a default character is another name.
    if (usedDefault || widenAnsi(ansi) != text)
        return std::nullopt;
    return ansi;
}

std::string ansiTextForTrace(std::wstring_view text)
{
    std::string ansi;
    BOOL usedDefault = FALSE;
    if (convertWithoutBestFit(text, "?", ansi, usedDefault))
        return ansi;
    // One character at a time where the system lacks the flag (a surrogate pair is one).
    ansi.clear();
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t units = text[at] >= 0xD800 && text[at] < 0xDC00 && at + 1 < text.size() ? 2 : 1;
        const std::optional<std::string> one = exactAnsiText(text.substr(at, units));
        ansi += one ? *one : "?";
        at += units;
    }
    return ansi;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && toUpperAnsi(a) == toUpperAnsi(b);
}

bool startsWithIgnoreCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}
