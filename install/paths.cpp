#include "paths.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "globals.h"
#include "trust/media_manifest.h"
#include "platform.h"
#include "tracelog.h"
#include "trust/update_trust.h"

namespace {

constexpr char kPathStart[] = "PATH=.;";
constexpr char kClassPathStart[] = "CLASSPATH=";
constexpr char kLeftOutFormat[] = "Left out of a full search path or class path: %s\n";
constexpr const char* kArchivePatterns[] = {"*.jar", "*.zip"};
constexpr std::string_view kPathName = "PATH=";
constexpr std::string_view kClassPathName = "CLASSPATH=";

// The characters of a "NAME=value" text's value.
std::size_t valueLength(const std::string& assignment)
{
    const std::size_t equals = assignment.find('=');
    return equals == std::string::npos ? assignment.size() : assignment.size() - equals - 1;
}

// 95 family: what the environment block keeps for PATH and CLASSPATH together, their names and
// terminators taken off: the block less every other variable and its own terminator.
std::size_t roomBesideOtherVariables()
{
    std::size_t others = 1;
    if (const UniqueEnvironmentStrings block{GetEnvironmentStringsA()}) {
        for (const char* at = block.get(); *at; at += std::strlen(at) + 1) {
            const std::string_view assignment(at);
            if (!startsWithIgnoreCase(assignment, kPathName) && !startsWithIgnoreCase(assignment, kClassPathName))
                others += assignment.size() + 1;
        }
    }
    const std::size_t names = kPathName.size() + 1 + kClassPathName.size() + 1;
    return others + names < kEnvironmentBlockLimit95 ? kEnvironmentBlockLimit95 - others - names : 0;
}

bool onNineFiveFamily()
{
    return windowsPlatform() == VER_PLATFORM_WIN32_WINDOWS;
}

// The most characters the search path's value may reach, beside the class path as it stands.
std::size_t searchPathLimit()
{
    if (!onNineFiveFamily())
        return kEnvironmentValueLimit;
    const std::size_t room = roomBesideOtherVariables();
    const std::size_t classPath = valueLength(classPathBuf);
    return std::min(kEnvironmentValueLimit, room > classPath ? room - classPath : 0);
}

// The directory as its own search-path entry would name it: no trailing backslash.
std::string_view withoutTrailingBackslash(std::string_view directory)
{
    while (directory.size() > 1 && directory.back() == '\\')
        directory.remove_suffix(1);
    return directory;
}

// True for the system directory and the Windows directory, however the entry writes their case
// or a trailing backslash.
bool isSystemFolder(std::string_view entry, const std::string& systemDir)
{
    const std::string_view bare = withoutTrailingBackslash(entry);
    return (!systemDir.empty() && equalsIgnoreCase(bare, withoutTrailingBackslash(systemDir))) ||
           (!windowsDir.empty() && equalsIgnoreCase(bare, withoutTrailingBackslash(windowsDir)));
}

std::string systemDirectory()
{
    char buffer[MAX_PATH + 1];
    const UINT length = GetSystemDirectoryA(buffer, sizeof(buffer));
    return length > 0 && length < sizeof(buffer) ? std::string(buffer, length) : std::string();
}

// Appends a listing entry by entry, so that a full buffer only loses what does not fit.
void appendEntries(std::string& target, std::string_view entries)
{
    while (!entries.empty()) {
        const std::size_t end = entries.find(';');
        const std::size_t length = end == std::string_view::npos ? entries.size() : end + 1;
        appendWithinLimit(target, entries.substr(0, length));
        entries.remove_prefix(length);
    }
}

// Every archive of a directory, in pattern order; none of them is tested against what the
// class path already holds.
void appendDirectoryArchives(const std::string& directory)
{
    const CurrentDirectoryGuard back;
    changeDirectory(directory);
    for (const char* pattern : kArchivePatterns) {
        std::string scratchBuf;
        appendArchives(pattern, scratchBuf, directory);
        appendEntries(classPathBuf, scratchBuf);
    }
}

void appendIfPresent(std::string& target, const std::string& cwd, const char* relative)
{
    if (pathExists(relative))
        appendWithinLimit(target, joinPath(cwd, relative) + ";");
}

} // namespace

bool appendWithinLimit(std::string& target, std::string_view text)
{
    // Only the search path is held to the limit while it is assembled; it is the one whose
    // entries may be left out.
    if (&target != &pathBuf || valueLength(target) + text.size() <= kEnvironmentValueLimit) {
        target.append(text);
        return true;
    }
    const std::string leftOut(text);
    writeTraceLog(kLeftOutFormat, leftOut.c_str());
    return false;
}

void PresSetupPath()
{
    const std::string cwd = currentDirectory();
    pathBuf = kPathStart;
    readWindowsDirectory();
    const std::string updateDir = windowsDrive() + "\\vtupdate";
    if (isTrustedUpdateFolder(updateDir))
        appendWithinLimit(pathBuf, updateDir + ";");
    appendIfPresent(pathBuf, cwd, "kp\\bin");
    appendIfPresent(pathBuf, cwd, "jre\\bin");
}

void PresSetupClassPath()
{
    const std::string cwd = currentDirectory();
    classPathBuf = kClassPathStart;
    const std::string updateDir = windowsDrive() + "\\vtupdate";
    if (isTrustedUpdateFolder(updateDir))
        appendDirectoryArchives(updateDir);
    for (const char* relative : {"kp\\lib", "jre\\lib"})
        if (pathExists(relative))
            appendDirectoryArchives(joinPath(cwd, relative));
}

void expandClassPathEntries(std::string_view entries, std::string& target)
{
    while (!entries.empty()) {
        const std::size_t end = entries.find(';');
        const std::string piece(entries.substr(0, end));
        entries.remove_prefix(end == std::string_view::npos ? entries.size() : end + 1);
        if (piece.empty() || !pathExists(piece))
            continue;
        if (isDirectory(piece)) {
            const CurrentDirectoryGuard back;
            if (changeDirectory(piece))
                for (const char* pattern : kArchivePatterns)
                    appendArchives(pattern, target, piece);
        }
        appendWithinLimit(target, piece + ";");
    }
}

void appendArchives(const char* pattern, std::string& target, const std::string& directory)
{
    forEachDirectoryEntry(
        pattern,
        [&](const WIN32_FIND_DATAA& entry) {
            if (containsPathEntry(target, directory, entry.cFileName))
                return;
            // Of signed media, only what the manifest lists as it stands reaches the class path.
            const std::string archive = directory + "\\" + entry.cFileName;
            const MediaFile checked = holdMediaFile(archive);
            if (checked == MediaFile::unchecked || checked == MediaFile::held)
                appendWithinLimit(target, archive + ";");
        },
        [&](const std::string& name) { writeRefusedNameLine(pattern, name); });
}

bool containsPathEntry(std::string_view text, const std::string& directory, std::string_view name)
{
    if (name.empty())
        return contains(text, directory);
    return contains(text, directory + "\\" + std::string(name));
}

std::optional<std::string> findProgram(const std::string& basePath, std::string_view searchPath,
                                       std::string_view program)
{
    if (pathExists(basePath))
        return basePath;
    // The "." at the front of "PATH=.;" is the current directory, which is not searched.
    const std::size_t dot = searchPath.find('.');
    if (dot == std::string_view::npos)
        return std::nullopt;
    std::string_view entries = searchPath.substr(dot + 1);
    while (!entries.empty()) {
        const std::size_t end = entries.find(';');
        const std::string_view entry = entries.substr(0, end);
        entries.remove_prefix(end == std::string_view::npos ? entries.size() : end + 1);
        if (entry.empty())
            continue;
        std::string candidate = std::string(entry) + "\\" + std::string(program);
        if (pathExists(candidate))
            return candidate;
    }
    return std::nullopt;
}

void addJavaHomeSegments(const std::string& javaHome)
{
    expandClassPathEntries(javaHome + "\\lib", classPathBuf);
    appendWithinLimit(classPathBuf, ";");
    appendWithinLimit(pathBuf, ";" + javaHome + "\\bin");
}

void addCommonDirSegments(const std::string& commonDir)
{
    expandClassPathEntries(commonDir + "kp\\lib", classPathBuf);
    expandClassPathEntries(commonDir + "kp\\data;", classPathBuf);
    appendWithinLimit(classPathBuf, commonDir + "kp\\help;");
    expandClassPathEntries(commonDir + "jre\\lib", classPathBuf);

    for (const char* sub : {"kp\\bin", "jre\\bin", "jre\\bin\\hotspot"}) {
        const std::string dir = commonDir + sub;
        if (!containsPathEntry(pathBuf, dir))
            appendWithinLimit(pathBuf, ";" + dir);
    }
}

ClassPathSize classPathSize()
{
    ClassPathSize size{valueLength(classPathBuf), kEnvironmentValueLimit};
    if (onNineFiveFamily()) {
        const std::size_t room = roomBesideOtherVariables();
        const std::size_t searchPath = valueLength(pathBuf);
        size.allowed = std::min(kEnvironmentValueLimit, room > searchPath ? room - searchPath : 0);
    }
    return size;
}

namespace {

// The machine's search path, split at every ";", empty entries kept: joined again behind ";"
// each, they give the text exactly as the machine holds it. On the NT family it is read wide:
// an entry the code page cannot write is handed on in its short form, which every ANSI
// program reads, and left out with a line when it has none.
std::vector<std::string> ownSearchPathEntries()
{
    constexpr char kNoAnsiFormFormat[] = "Left out of the search path, it has no ANSI form: %s\n";
    std::vector<std::string> entries;
    if (windowsPlatform() == VER_PLATFORM_WIN32_NT) {
        const wchar_t* own = _wgetenv(L"PATH");
        for (std::wstring_view rest = own ? own : L"";;) {
            const std::size_t end = rest.find(L';');
            const std::wstring entry(rest.substr(0, end));
            if (std::optional<std::string> ansi = ansiPathOf(entry))
                entries.push_back(std::move(*ansi));
            else
                writeTraceLog(kNoAnsiFormFormat, ansiTextForTrace(entry).c_str());
            if (end == std::wstring_view::npos)
                break;
            rest.remove_prefix(end + 1);
        }
        return entries;
    }
    const char* own = std::getenv("PATH");
    for (std::string_view rest = own ? own : "";;) {
        const std::size_t end = rest.find(';');
        entries.emplace_back(rest.substr(0, end));
        if (end == std::string_view::npos)
            break;
        rest.remove_prefix(end + 1);
    }
    return entries;
}

} // namespace

void appendOwnSearchPath()
{
    const std::vector<std::string> entries = ownSearchPathEntries();
    const std::string systemDir = systemDirectory();
    std::size_t reserved = 0;
    for (const std::string& entry : entries)
        if (isSystemFolder(entry, systemDir))
            reserved += 1 + entry.size();
    const std::size_t limit = searchPathLimit();
    for (const std::string& entry : entries) {
        const std::size_t cost = 1 + entry.size();
        if (isSystemFolder(entry, systemDir))
            reserved -= cost;
        const std::string piece = std::string(";").append(entry);
        if (valueLength(pathBuf) + cost + reserved <= limit)
            pathBuf += piece;
        else
            writeTraceLog(kLeftOutFormat, piece.c_str());
    }
}

void exportPaths()
{
    _putenv(pathBuf.c_str());
    _putenv(classPathBuf.c_str());
}
