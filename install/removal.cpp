#include "removal.h"

#include <span>
#include <vector>

#include "extraction/entry_names.h"
#include "globals.h"
#include "platform.h"
#include "tracelog.h"
#include "update_trust.h"

namespace {

constexpr char kRootFailedFormat[] = "Error removing directory %s: error code %d \n";
constexpr char kSubdirectoryFailedFormat[] = "GetLastError returned = %d for directory %s \n";
constexpr char kEveryEntry[] = "*.*";
constexpr char kOutsideCommonFormat[] = "Listed common file %s lies outside %s and is not deleted\n";

void deleteListedFiles(const std::string& commonDir, std::span<const std::string> table)
{
    // The lists name files below the common directory; the rule archive entries meet keeps a
    // listed name from reaching anything beside it.
    const std::string base = commonDir.ends_with('\\') ? commonDir.substr(0, commonDir.size() - 1) : commonDir;
    for (const std::string& entry : table) {
        if (entry.empty())
            break;
        if (!isInsideDestination(base, entry)) {
            writeTraceLog(kOutsideCommonFormat, entry.c_str(), commonDir.c_str());
            continue;
        }
        const FilePath path{commonDir + entry, {}};
        if (!pathExists(path))
            continue;
        setFileAttributes(path, 0);
        deleteFile(path);
    }
}

// The NT family: the tree below dir (its "\\?\" form) by wide paths from the top, so that no
// entry is too deep to reach, however deep extraction made it, and no current directory is
// needed. The order and the lines are the ones of the walk through current directories.
void emptyExtendedDirectory(const std::wstring& dir)
{
    std::vector<WIN32_FIND_DATAW> found;
    forEachDirectoryEntry(dir + L"\\*", [&](const WIN32_FIND_DATAW& entry) {
        // Wide names are the names on disk; one that holds a separator cannot come from the
        // file system and is not joined.
        if (std::wstring_view(entry.cFileName).find_first_of(L"\\/:") != std::wstring_view::npos) {
            writeRefusedNameLine(ansiTextForTrace(dir) + "\\*", ansiTextForTrace(entry.cFileName));
            return;
        }
        found.push_back(entry);
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            emptyExtendedDirectory(dir + L"\\" + entry.cFileName);
    });
    for (const WIN32_FIND_DATAW& entry : found) {
        const std::wstring path = dir + L"\\" + entry.cFileName;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!RemoveDirectoryW(path.c_str()))
                writeTraceLog(kSubdirectoryFailedFormat, static_cast<int>(GetLastError()),
                              ansiTextForTrace(entry.cFileName).c_str());
        } else {
            DeleteFileW(path.c_str());
        }
    }
}

} // namespace

void removeDirectoryTree(const std::string& path)
{
    emptyDirectory(path);
    if (!removeDirectory(FilePath{path, {}}))
        writeTraceLog(kRootFailedFormat, path.c_str(), static_cast<int>(GetLastError()));
}

void removeUpdateDirectory(const std::string& path)
{
    // Only a folder trusted in this run is emptied: a refused one is not install's to empty, and
    // one that was absent is not touched even if something stands there now.
    switch (updateFolderVerdict(path)) {
    case UpdateFolderVerdict::trusted:
        removeDirectoryTree(path);
        break;
    case UpdateFolderVerdict::absent:
        writeTraceLog(kRootFailedFormat, path.c_str(), static_cast<int>(ERROR_FILE_NOT_FOUND));
        break;
    case UpdateFolderVerdict::refused:
        break;
    }
}

void emptyDirectory(const std::string& dir)
{
    if (windowsPlatform() == VER_PLATFORM_WIN32_NT) {
        if (!isDirectory(dir))
            return;
        if (const std::wstring extended = extendedPath(widenAnsi(dir)); !extended.empty())
            emptyExtendedDirectory(extended);
        return;
    }
    const CurrentDirectoryGuard back;
    if (!pathExists(dir) || !changeDirectory(dir))
        return;
    // Every entry of a level is kept, however many there are; subdirectories are emptied as
    // they are found, then everything is removed in the order found. A junction is removed
    // as a link: what it points to lies outside the tree.
    std::vector<WIN32_FIND_DATAA> found;
    forEachDirectoryEntry(
        kEveryEntry,
        [&](const WIN32_FIND_DATAA& entry) {
            found.push_back(entry);
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                emptyDirectory(joinPath(dir, entry.cFileName));
        },
        [&](const std::string& name) { writeRefusedNameLine(joinPath(dir, kEveryEntry), name); });
    for (const WIN32_FIND_DATAA& entry : found) {
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!RemoveDirectoryA(entry.cFileName))
                writeTraceLog(kSubdirectoryFailedFormat, static_cast<int>(GetLastError()), entry.cFileName);
        } else {
            DeleteFileA(entry.cFileName);
        }
    }
}

void deleteCommonFiles(const std::string& commonDir)
{
    deleteListedFiles(commonDir, deleteCommonFilesTable);
}

void postDeleteCommonFiles(const std::string& commonDir)
{
    deleteListedFiles(commonDir, postDeleteCommonFilesTable);
}
