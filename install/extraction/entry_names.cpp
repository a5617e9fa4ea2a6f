#include "entry_names.h"

#include <windows.h>

#include <algorithm>

#include <zlib.h>

#include "../platform.h"

namespace {

constexpr unsigned kUnicodePathTag = 0x7075;
constexpr unsigned char kUnicodePathVersion = 1;
constexpr std::size_t kUnicodePathHeader = 5;

// The rules below are written once for both forms of a name; what differs is how a name is
// upper-cased and which characters are the superscript digits Windows also takes for COM and LPT.
template <typename Char>
using Text = std::basic_string<Char>;
template <typename Char>
using TextView = std::basic_string_view<Char>;

template <typename Char>
constexpr Char kSeparators[] = {Char('/'), Char('\\'), Char(0)};
template <typename Char>
constexpr Char kDotAndBlank[] = {Char('.'), Char(' '), Char(0)};

std::string toUpper(std::string_view text)
{
    return toUpperAnsi(text);
}

// Upper case as the system gives it, and the dotless i and the long s as the I and the S that
// some case tables make of them, so that no spelling of a device name passes.
std::wstring toUpper(std::wstring_view text)
{
    std::wstring upper = toUpperWide(text);
    for (wchar_t& c : upper) {
        if (c == L'\u0131')
            c = L'I';
        else if (c == L'\u017F')
            c = L'S';
    }
    return upper;
}

bool isSuperscriptDigit(char c)
{
    const unsigned char byte = static_cast<unsigned char>(c);
    return byte == 0xB9 || byte == 0xB2 || byte == 0xB3;
}

bool isSuperscriptDigit(wchar_t c)
{
    return c == L'\u00B9' || c == L'\u00B2' || c == L'\u00B3';
}

// An ASCII text in either form, for comparisons with the fixed names below.
template <typename Char>
bool sameAscii(TextView<Char> text, std::string_view ascii)
{
    if (text.size() != ascii.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] != static_cast<Char>(ascii[i]))
            return false;
    return true;
}

template <typename Char>
std::vector<Text<Char>> splitName(TextView<Char> name)
{
    std::vector<Text<Char>> parts;
    while (!name.empty()) {
        const std::size_t end = name.find_first_of(kSeparators<Char>);
        if (end != 0)
            parts.emplace_back(name.substr(0, end));
        if (end == TextView<Char>::npos)
            break;
        name.remove_prefix(end + 1);
    }
    return parts;
}

// Names Windows takes for devices wherever they stand, with or without an extension, blanks
// before the extension included.
template <typename Char>
bool isDevice(TextView<Char> component)
{
    TextView<Char> base = component.substr(0, component.find(Char('.')));
    base = base.substr(0, base.find_last_not_of(Char(' ')) + 1);
    const Text<Char> upper = toUpper(base);
    const TextView<Char> name = upper;
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (sameAscii(name, device))
            return true;
    if (name.size() != 4 || !(sameAscii(name.substr(0, 3), "COM") || sameAscii(name.substr(0, 3), "LPT")))
        return false;
    return (name[3] >= Char('1') && name[3] <= Char('9')) || isSuperscriptDigit(name[3]);
}

template <typename Char>
bool onlyDotsAndBlanks(TextView<Char> component)
{
    return component.find_first_not_of(kDotAndBlank<Char>) == TextView<Char>::npos;
}

template <typename Char>
Text<Char> storedName(TextView<Char> entryName)
{
    Text<Char> stored;
    stored.reserve(entryName.size());
    while (true) {
        const std::size_t end = entryName.find_first_of(kSeparators<Char>);
        TextView<Char> component = entryName.substr(0, end);
        // Names of dots and blanks alone stay as they are for the safety check to refuse.
        if (!onlyDotsAndBlanks(component))
            component = component.substr(0, component.find_last_not_of(kDotAndBlank<Char>) + 1);
        stored += component;
        if (end == TextView<Char>::npos)
            return stored;
        stored += entryName[end];
        entryName.remove_prefix(end + 1);
    }
}

template <typename Char>
int versionEntry(const Text<Char>& entryName)
{
    // "h.ver." and "h.ver " are stored as h.ver, and so are the record.
    const Text<Char> stored = storedName<Char>(entryName);
    const std::size_t dot = stored.rfind(Char('.'));
    return dot != Text<Char>::npos && sameAscii<Char>(toUpper(TextView<Char>(stored).substr(dot + 1)), "VER") ? 1 : 0;
}

template <typename Char>
bool claimsRecord(const Text<Char>& entryName)
{
    std::vector<Text<Char>> components = splitName<Char>(storedName<Char>(entryName));
    std::erase_if(components, [](const Text<Char>& component) { return sameAscii<Char>(component, "."); });
    // Records stand in the destination's top level, so only a top-level folder can take one's place.
    return components.size() > 1 && versionEntry(components.front());
}

template <typename Char>
bool safeName(const Text<Char>& entryName)
{
    const Text<Char> stored = storedName<Char>(entryName);
    if (stored.empty() || stored.front() == Char('/') || stored.front() == Char('\\') ||
        stored.find(Char(':')) != Text<Char>::npos)
        return false;
    for (const Text<Char>& component : splitName<Char>(stored)) {
        if (sameAscii<Char>(component, "."))
            continue;
        // "..", "..." and names of dots and blanks all lose their last characters to Windows.
        if (onlyDotsAndBlanks<Char>(component) || isDevice<Char>(component))
            return false;
    }
    return true;
}

template <typename Char>
bool insideDestination(const Text<Char>& destinationDir, const Text<Char>& entryName)
{
    if (!safeName(entryName))
        return false;
    Text<Char> joined = destinationDir + Char('\\') + storedName<Char>(entryName);
    toBackslashes(joined);
    const Text<Char> base = fullPathName(destinationDir);
    const Text<Char> full = fullPathName(joined);
    if (base.empty() || full.empty())
        return false;
    const Text<Char> prefix = base.back() == Char('\\') ? base : base + Char('\\');
    return full.size() > prefix.size() && toUpper(TextView<Char>(full).substr(0, prefix.size())) == toUpper(prefix);
}

unsigned littleEndian(std::string_view bytes, std::size_t at, int count)
{
    unsigned value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// The UTF-8 name of an Info-ZIP Unicode Path field that belongs to the stored name; nothing when
// there is no such field, or it was written for another name (its CRC-32 is stale).
std::optional<std::string_view> unicodePathField(std::string_view stored, std::string_view extra)
{
    for (std::size_t at = 0; at + 4 <= extra.size();) {
        const unsigned tag = littleEndian(extra, at, 2);
        const std::size_t size = littleEndian(extra, at + 2, 2);
        if (at + 4 + size > extra.size())
            return std::nullopt;
        const std::string_view data = extra.substr(at + 4, size);
        if (tag == kUnicodePathTag && size >= kUnicodePathHeader &&
            static_cast<unsigned char>(data[0]) == kUnicodePathVersion) {
            const uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(stored.data()), static_cast<uInt>(stored.size()));
            return littleEndian(data, 1, 4) == crc ? std::optional(data.substr(kUnicodePathHeader)) : std::nullopt;
        }
        at += 4 + size;
    }
    return std::nullopt;
}

bool isAscii(std::string_view text)
{
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

// ANSI text of wide text with WC_NO_BEST_FIT_CHARS; false when the system refuses the call
// (older systems lack the flag; a UTF-8 ANSI code page takes no flags).
} // namespace

std::vector<std::string> splitEntryName(std::string_view name) { return splitName(name); }
std::vector<std::wstring> splitEntryName(std::wstring_view name) { return splitName(name); }
bool isDeviceName(std::string_view component) { return isDevice(component); }
bool isDeviceName(std::wstring_view component) { return isDevice(component); }
bool isOnlyDotsAndBlanks(std::string_view component) { return onlyDotsAndBlanks(component); }
bool isOnlyDotsAndBlanks(std::wstring_view component) { return onlyDotsAndBlanks(component); }
std::string storedEntryName(std::string_view entryName) { return storedName(entryName); }
std::wstring storedEntryName(std::wstring_view entryName) { return storedName(entryName); }
int isVersionEntry(const std::string& entryName) { return versionEntry(entryName); }
int isVersionEntry(const std::wstring& entryName) { return versionEntry(entryName); }
bool claimsVersionRecord(const std::string& entryName) { return claimsRecord(entryName); }
bool claimsVersionRecord(const std::wstring& entryName) { return claimsRecord(entryName); }
bool hasSafeEntryName(const std::string& entryName) { return safeName(entryName); }
bool hasSafeEntryName(const std::wstring& entryName) { return safeName(entryName); }

bool isInsideDestination(const std::string& destinationDir, const std::string& entryName)
{
    // The ANSI path functions stop at MAX_PATH; a longer path is resolved as the wide functions
    // that create it will resolve it.
    if (destinationDir.size() + 1 + entryName.size() >= MAX_PATH)
        return insideDestination(widenAnsi(destinationDir), widenAnsi(entryName));
    return insideDestination(destinationDir, entryName);
}

bool isInsideDestination(const std::string& destinationDir, const std::wstring& entryName)
{
    return insideDestination(widenAnsi(destinationDir), entryName);
}

bool fitsExtendedPath(std::size_t baseLength, std::wstring_view entryName)
{
    std::size_t length = baseLength;
    while (!entryName.empty()) {
        const std::size_t end = std::min(entryName.find_first_of(kSeparators<wchar_t>), entryName.size());
        const std::wstring_view component = entryName.substr(0, end);
        if (component.size() > kLongestComponent)
            return false;
        if (!component.empty() && component != L".")
            length += 1 + component.size();
        if (length > kLongestExtendedPath)
            return false;
        entryName.remove_prefix(std::min(end + 1, entryName.size()));
    }
    return true;
}

void toBackslashes(std::string& name)
{
    for (char& c : name)
        if (c == '/')
            c = '\\';
}

void toBackslashes(std::wstring& name)
{
    for (wchar_t& c : name)
        if (c == L'/')
            c = L'\\';
}

EntryName decodeEntryName(std::string_view stored, unsigned long flags, std::string_view extraField,
                          bool unicodeFiles)
{
    std::optional<std::string_view> utf8;
    if (flags & kUtf8NameFlag)
        utf8 = stored;
    else
        utf8 = unicodePathField(stored, extraField);
    if (!utf8)
        return {EntryName::Form::ansi, std::string(stored), {}};
    if (isAscii(*utf8))
        return {EntryName::Form::ansi, std::string(*utf8), {}};
    std::optional<std::wstring> wide = decodeUtf8(*utf8);
    if (!wide) {
        // A Unicode Path field that is no UTF-8 is as good as none; a flagged name has no other.
        if (!(flags & kUtf8NameFlag))
            return {EntryName::Form::ansi, std::string(stored), {}};
        return {EntryName::Form::malformed, std::string(stored), {}};
    }
    if (unicodeFiles)
        return {EntryName::Form::unicode, ansiTextForTrace(*wide), std::move(*wide)};
    if (std::optional<std::string> ansi = exactAnsiText(*wide))
        return {EntryName::Form::ansi, std::move(*ansi), {}};
    return {EntryName::Form::noAnsiForm, ansiTextForTrace(*wide), std::move(*wide)};
}

std::optional<std::wstring> decodeUtf8(std::string_view text)
{
    std::wstring wide;
    wide.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[at]);
        int length;
        char32_t point;
        char32_t least;
        if (lead < 0x80) {
            length = 1, point = lead, least = 0;
        } else if (lead >= 0xC2 && lead < 0xE0) {
            length = 2, point = lead & 0x1F, least = 0x80;
        } else if (lead >= 0xE0 && lead < 0xF0) {
            length = 3, point = lead & 0x0F, least = 0x800;
        } else if (lead >= 0xF0 && lead < 0xF5) {
            length = 4, point = lead & 0x07, least = 0x10000;
        } else {
            return std::nullopt;
        }
        if (at + length > text.size())
            return std::nullopt;
        for (int i = 1; i < length; ++i) {
            const unsigned char next = static_cast<unsigned char>(text[at + i]);
            if ((next & 0xC0) != 0x80)
                return std::nullopt;
            point = (point << 6) | (next & 0x3F);
        }
        if (point < least || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
            return std::nullopt;
        if (point >= 0x10000) {
            point -= 0x10000;
            wide += static_cast<wchar_t>(0xD800 + (point >> 10));
            wide += static_cast<wchar_t>(0xDC00 + (point & 0x3FF));
        } else {
            wide += static_cast<wchar_t>(point);
        }
        at += length;
    }
    return wide;
}

