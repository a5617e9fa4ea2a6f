// Files, folders and paths as every area of install meets them: the one path join, the one
// directory walk, paths of any length, the current directory, the program's own path.
#pragma once

#include <windows.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "../common/owners.h"

// fopen with an owner; the mode is the C runtime's ("r" text, "w+b" binary, ...).
UniqueFile openFile(const std::string& path, const char* mode);

// Where a file stands on its volume: the same however its name is reached.
struct FileIdentity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    auto operator<=>(const FileIdentity&) const = default;
};

// A text stream reading the file behind handle, which it takes over; empty when it cannot be made.
UniqueFile readingStreamOf(UniqueFileHandle file);

// True when a file or directory of that name exists.
bool pathExists(const std::string& path);
bool isDirectory(const std::string& path);
// Creates path (one level) unless something of that name is there already.
void createDirectoryIfMissing(const std::string& path);

// A path for the file functions: ANSI text for the "A" functions, or, where a name exists only in
// Unicode (an archive entry's UTF-8 name on the NT family), UTF-16 for the "W" functions. text is
// what the trace log shows either way.
struct FilePath {
    std::string text;
    std::wstring wide;
    bool isWide() const { return !wide.empty(); }
};

// The functions below take a path of any length: on the NT family one too long for the plain
// functions goes through the "\\?\" form of the wide ones.
bool pathExists(const FilePath& path);
// True when it made the directory.
bool createDirectory(const FilePath& path);
UniqueFileHandle createFile(const FilePath& path, DWORD access, DWORD share, DWORD disposition);
bool setFileAttributes(const FilePath& path, DWORD attributes);
bool deleteFile(const FilePath& path);
bool removeDirectory(const FilePath& path);

// The absolute form of path as Windows resolves it, however long; empty when it cannot be given.
std::string fullPathName(const std::string& path);
std::wstring fullPathName(const std::wstring& path);

// The long form of a path that may hold short (8.3) names; empty when it cannot be given.
std::wstring longPathName(const std::wstring& path);

// The "\\?\" form of a path: its full path as Windows resolves the plain one (backslashes, no
// "." or "..", trailing dots and blanks gone), since that form is taken literally, with the
// prefix; "\\?\UNC\" for a share. Empty when the path cannot be resolved. NT family only.
std::wstring extendedPath(const std::wstring& path);

// True when path, resolved to its full form, lies below folder (also resolved), compared as the
// code page compares names; false for an empty folder.
bool liesBelow(const std::string& path, const std::string& folder);

// Joins name to dir: a name holding ':' is absolute and used as it is; a name beginning with
// '\' is put on the drive of dir; any other name follows dir and a backslash, unless dir
// already ends in one (a drive root).
std::string joinPath(std::string_view dir, std::string_view name);

// Visits every entry that matches pattern, in the order the platform returns them, leaving
// out "." and "..". A name that holds '\\', '/' or ':', or has no exact ANSI form, is never
// visited: refuse gets its text for the trace log instead. Returns false when nothing matched.
bool forEachDirectoryEntry(const std::string& pattern, const std::function<void(const WIN32_FIND_DATAA&)>& visit,
                           const std::function<void(const std::string&)>& refuse);

// The same with the wide functions (NT family): the names as they stand on disk.
bool forEachDirectoryEntry(const std::wstring& pattern,
                           const std::function<void(const WIN32_FIND_DATAW&)>& visit);

// The ANSI form of a path the system gives in UTF-16 (NT family): its exact text where the code
// page can write it, otherwise its short (8.3) form, which is plain ASCII and so reads the same
// to every ANSI program; nothing when it has neither (a volume with short names turned off).
std::optional<std::string> ansiPathOf(const std::wstring& path);

// A path the system gave: its ANSI form, empty when it has none, and on the NT family the path
// as the system gave it, for the message that names it.
struct SystemPath {
    std::string ansi;
    std::wstring wide;
};

// The running program's own file, however long.
SystemPath ownProgramPath();

// The current directory, whatever its length, in its ANSI form; empty when the platform cannot
// give it or it has no ANSI form.
std::string currentDirectory();
bool changeDirectory(const std::string& dir);

// Puts the current directory back as it found it, on every way out of a scope.
class CurrentDirectoryGuard {
public:
    CurrentDirectoryGuard() : saved_(currentDirectory()) {}
    ~CurrentDirectoryGuard()
    {
        if (!saved_.empty())
            changeDirectory(saved_);
    }
    CurrentDirectoryGuard(const CurrentDirectoryGuard&) = delete;
    CurrentDirectoryGuard& operator=(const CurrentDirectoryGuard&) = delete;

private:
    std::string saved_;
};

// The text of a path in UTF-16 upper case: one form for comparing an ANSI path with a wide one.
std::wstring comparablePath(const FilePath& path);
