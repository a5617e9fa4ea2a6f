// The rules an entry name must meet before install writes or deletes anything by it below a
// folder of its own, and how an archive entry's name is read. Every rule looks at the name as
// Windows will store it: ANSI text for the "A" file functions, or, for a name that exists only in
// Unicode, UTF-16 for the "W" ones (the NT family); each rule comes in both forms.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The components of a name split at "/" and "\", empty ones left out.
std::vector<std::string> splitEntryName(std::string_view name);
std::vector<std::wstring> splitEntryName(std::wstring_view name);

// True for a component Windows takes for a device (CON, NUL, COM1, ...).
bool isDeviceName(std::string_view component);
bool isDeviceName(std::wstring_view component);

bool isOnlyDotsAndBlanks(std::string_view component);
bool isOnlyDotsAndBlanks(std::wstring_view component);


// The entry name as Windows stores it: trailing dots and blanks dropped from every component
// (a component of dots and blanks alone is kept for the safety check to refuse). Every check of
// an entry name looks at this form.
std::string storedEntryName(std::string_view entryName);
std::wstring storedEntryName(std::wstring_view entryName);

// 1 when the text after the last "." of the name as Windows stores it is "ver" in any case.
int isVersionEntry(const std::string& entryName);
int isVersionEntry(const std::wstring& entryName);

// True for an entry that would make a folder of a version record's place ("h.ver/x.txt").
// Short names cannot reach a record either: a record's extension "ver" is its short name's too,
// so any name reaching one is a version entry and never unpacked.
bool claimsVersionRecord(const std::string& entryName);
bool claimsVersionRecord(const std::wstring& entryName);

// False for a name that is absolute, holds a drive or stream, climbs with "..", or names a device.
bool hasSafeEntryName(const std::string& entryName);
bool hasSafeEntryName(const std::wstring& entryName);

// The longest path the NT family takes in its "\\?\" form: 32,767 characters with the
// terminating null.
inline constexpr std::size_t kLongestExtendedPath = 32766;
// The longest name of a folder or file that the file systems of Windows store.
inline constexpr std::size_t kLongestComponent = 255;

// True when entryName, as Windows stores it, unpacked below a folder whose "\\?\" form has
// baseLength characters, makes a path the system can create whole: at most kLongestExtendedPath
// characters in that form ("." and doubled separators add nothing to it, as the system resolves
// the path), and no name in it longer than kLongestComponent. Past that a path would only be cut
// short on its way to the file functions, and name another file.
bool fitsExtendedPath(std::size_t baseLength, std::wstring_view entryName);

// True when entryName, unpacked below destinationDir, stays below it.
bool isInsideDestination(const std::string& destinationDir, const std::string& entryName);
bool isInsideDestination(const std::string& destinationDir, const std::wstring& entryName);

// Replaces every "/" of name by "\", in place.
void toBackslashes(std::string& name);
void toBackslashes(std::wstring& name);

// An archive entry's name as install uses it. Names are bytes in the ANSI code page unless the
// entry says they are UTF-8: general-purpose flag bit 11, or an Info-ZIP Unicode Path extra field
// (0x7075, version 1) whose CRC-32 matches the stored name. A decoded name that is plain ASCII,
// or, on the 95 family, one with an exact ANSI form, takes the ANSI path like any other.
struct EntryName {
    enum class Form {
        ansi,       // text holds the bytes for the ANSI file functions
        unicode,    // wide holds the name; text its ANSI form for the trace log
        malformed,  // said to be UTF-8 but is not; text holds the bytes
        noAnsiForm, // Unicode only, on a system whose file functions take ANSI; text as for unicode
    };
    Form form = Form::ansi;
    std::string text;
    std::wstring wide;
};

inline constexpr unsigned long kUtf8NameFlag = 0x800;

// The name of an entry from its stored bytes, its general-purpose flags and its central extra
// field; unicodeFiles where the file functions take UTF-16 (the NT family).
EntryName decodeEntryName(std::string_view stored, unsigned long flags, std::string_view extraField,
                          bool unicodeFiles);

// UTF-16 of UTF-8 text; nothing when it is not well-formed UTF-8 (overlong forms, surrogates and
// code points beyond U+10FFFF included).
std::optional<std::wstring> decodeUtf8(std::string_view text);


