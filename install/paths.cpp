#include "paths.h"

#include <cstdlib>

#include "globals.h"
#include "platform.h"
#include "tracelog.h"
#include "update_trust.h"


namespace {

constexpr char kPathStart[] = "PATH=.;";
constexpr char kClassPathStart[] = "CLASSPATH=";
constexpr char kLeftOutFormat[] = "Left out of a full search path or class path: %s\n";
constexpr const char* kArchivePatterns[] = {"*.jar", "*.zip"};

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
    if (target.size() + text.size() < kPathBufSize) {
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
    forEachDirectoryEntry(pattern, [&](const WIN32_FIND_DATAA& entry) {
        if (!containsPathEntry(target, directory, entry.cFileName))
            appendWithinLimit(target, directory + "\\" + entry.cFileName + ";");
    });
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

void appendOwnSearchPath()
{
    const char* own = std::getenv("PATH");
    appendWithinLimit(pathBuf, std::string(";") + (own ? own : ""));
}

void exportPaths()
{
    _putenv(pathBuf.c_str());
    _putenv(classPathBuf.c_str());
}
