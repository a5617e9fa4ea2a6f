#include "removal.h"

#include <span>
#include <vector>

#include "extraction/entry_names.h"
#include "globals.h"
#include "nt_files.h"
#include "platform.h"
#include "tracelog.h"
#include "trust/update_trust.h"

namespace {

constexpr char kRootFailedFormat[] = "Error removing directory %s: error code %d \n";
constexpr char kSubdirectoryFailedFormat[] = "GetLastError returned = %d for directory %s \n";
constexpr char kHeldFileFormat[] = "File %s is still held by another program and stays: error code %d \n";
constexpr char kOutsideCommonFormat[] = "Listed common file %s lies outside %s and is not deleted\n";

// A file just unpacked or just run is often held for a moment by another process: a virus
// scanner or the search indexer reading it, the console window of a Java process that has just
// ended. What cannot be removed for such a reason is tried again, with pauses growing from
// 20 ms to half a second, until ten seconds have gone by since the first retry of the removal:
// far longer than such a look lasts, and short enough that a file someone really keeps open
// costs an interactive run only seconds. Then it stays, with its line.
constexpr DWORD kFirstPause = 20;
constexpr DWORD kLongestPause = 500;
constexpr DWORD kRetryBound = 10000;

class HeldEntryWait {
public:
    // Pauses and says to try again when error is what a process holding the entry for a moment
    // gives, and the removal's bound is not spent.
    bool pauseBeforeRetry(DWORD error)
    {
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED && error != ERROR_DIR_NOT_EMPTY &&
            error != ERROR_LOCK_VIOLATION)
            return false;
        const DWORD now = GetTickCount();
        if (!started_)
            firstRetry_ = now;
        started_ = true;
        if (now - firstRetry_ >= kRetryBound)
            return false;
        Sleep(pause_);
        pause_ = pause_ * 2 > kLongestPause ? kLongestPause : pause_ * 2;
        return true;
    }

private:
    bool started_ = false;
    DWORD firstRetry_ = 0;
    DWORD pause_ = kFirstPause;
};

// A read-only file is refused for good, not for a moment: it is never waited for.
bool isReadOnlyFile(DWORD attributes)
{
    return (attributes & FILE_ATTRIBUTE_READONLY) && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool isFolder(const FolderEntry& entry)
{
    return entry.attributes & FILE_ATTRIBUTE_DIRECTORY;
}

// A folder to descend into: a link to one is removed as the link, what it points to is not
// install's.
bool descends(const FolderEntry& entry)
{
    return isFolder(entry) && !(entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Deletes the entry below the folder held by parent through a handle of its own, waiting for
// what holds it for a moment unless it is known to stay (a read-only file, a folder with such a
// file below it); the error code, 0 for done.
DWORD deleteBelow(HANDLE parent, const FolderEntry& entry, bool stays, HeldEntryWait& wait)
{
    for (;;) {
        DWORD error = ERROR_SUCCESS;
        const EntryKind kind = isFolder(entry) ? EntryKind::folder : EntryKind::file;
        if (UniqueFileHandle handle = openEntry(parent, entry.name, kind, DELETE, kShareAll, error))
            error = deleteByHandle(handle.get());
        if (error == ERROR_SUCCESS || stays || !wait.pauseBeforeRetry(error))
            return error;
    }
}

// A folder of the walk: held open while what is below it is removed, its entries as listed.
struct OpenFolder {
    UniqueFileHandle handle;
    std::vector<FolderEntry> entries;
    std::size_t next = 0;
    // Whether everything below it went (a file deleted while another process still holds it
    // goes once that process lets go): only then is its own removal worth waiting for.
    bool emptied = true;
    // Its entries known to stay: folders that could not be emptied.
    std::vector<bool> stays;
};

OpenFolder openFolder(HANDLE parent, std::wstring_view name, DWORD& error)
{
    OpenFolder folder;
    folder.handle = openEntry(parent, name, EntryKind::folder, FILE_LIST_DIRECTORY, kShareAll, error);
    if (folder.handle) {
        if (std::optional<std::vector<FolderEntry>> entries = listFolder(folder.handle.get(), error))
            folder.entries = std::move(*entries);
        else
            folder.handle.reset();
    }
    return folder;
}

// The NT family: every entry below the folder held by root, from the top down by handles, each
// entry opened below its folder's handle and deleted through its own: no path is resolved
// again, so however deep the tree, and whatever link someone puts in it meanwhile, the walk
// stays inside. The levels are kept on a stack, not in calls, so depth costs no stack. The order
// and the lines are those of a walk that removes each level's entries, in the order listed,
// after it has emptied the folders among them. True when everything went.
bool emptyHeldFolder(HANDLE root, HeldEntryWait& wait)
{
    DWORD error = ERROR_SUCCESS;
    std::vector<OpenFolder> levels;
    OpenFolder top;
    std::optional<std::vector<FolderEntry>> entries = listFolder(root, error);
    if (!entries)
        return false;
    top.entries = std::move(*entries);
    levels.push_back(std::move(top));
    for (;;) {
        OpenFolder& level = levels.back();
        const HANDLE handle = levels.size() == 1 ? root : level.handle.get();
        if (level.next < level.entries.size()) {
            const FolderEntry& entry = level.entries[level.next++];
            if (descends(entry)) {
                OpenFolder below = openFolder(handle, entry.name, error);
                if (below.handle)
                    levels.push_back(std::move(below));
                else
                    level.emptied = false;
            }
            continue;
        }
        level.stays.resize(level.entries.size());
        for (std::size_t i = 0; i < level.entries.size(); ++i) {
            const FolderEntry& entry = level.entries[i];
            const DWORD failed = deleteBelow(handle, entry, level.stays[i] || isReadOnlyFile(entry.attributes), wait);
            if (failed == ERROR_SUCCESS)
                continue;
            level.emptied = false;
            if (isFolder(entry))
                writeTraceLog(kSubdirectoryFailedFormat, static_cast<int>(failed), ansiTextForTrace(entry.name).c_str());
            else if (!isReadOnlyFile(entry.attributes) && failed != ERROR_FILE_NOT_FOUND)
                writeTraceLog(kHeldFileFormat, ansiTextForTrace(entry.name).c_str(), static_cast<int>(failed));
        }
        const bool emptied = level.emptied;
        levels.pop_back();
        if (levels.empty())
            return emptied;
        OpenFolder& parent = levels.back();
        if (!emptied) {
            parent.stays.resize(parent.entries.size());
            parent.stays[parent.next - 1] = true;
        }
    }
}

// The 95 family, which has neither the handles nor paths past MAX_PATH: the same walk by paths.
void emptyFolderByPath(const std::string& dir, HeldEntryWait& wait)
{
    struct Level {
        std::string path;
        std::vector<WIN32_FIND_DATAA> entries;
        std::size_t next = 0;
    };
    const auto list = [](const std::string& path) {
        Level level{path, {}, 0};
        forEachDirectoryEntry(
            joinPath(path, "*.*"), [&](const WIN32_FIND_DATAA& entry) { level.entries.push_back(entry); },
            [&](const std::string& name) { writeRefusedNameLine(joinPath(path, "*.*"), name); });
        return level;
    };
    std::vector<Level> levels{list(dir)};
    while (!levels.empty()) {
        Level& level = levels.back();
        if (level.next < level.entries.size()) {
            const WIN32_FIND_DATAA& entry = level.entries[level.next++];
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                levels.push_back(list(joinPath(level.path, entry.cFileName)));
            continue;
        }
        for (const WIN32_FIND_DATAA& entry : level.entries) {
            const std::string path = joinPath(level.path, entry.cFileName);
            const bool folder = entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
            for (;;) {
                const bool removed = folder ? RemoveDirectoryA(path.c_str()) : DeleteFileA(path.c_str());
                const DWORD error = removed ? ERROR_SUCCESS : GetLastError();
                if (removed || isReadOnlyFile(entry.dwFileAttributes) || !wait.pauseBeforeRetry(error)) {
                    if (!removed && folder)
                        writeTraceLog(kSubdirectoryFailedFormat, static_cast<int>(error), entry.cFileName);
                    break;
                }
            }
        }
        levels.pop_back();
    }
}

// Removes the tree whose root is held by root (opened with DELETE and FILE_LIST_DIRECTORY),
// waiting for what is held for a moment; the error code of the root's removal, 0 for done.
DWORD removeHeldTree(UniqueFileHandle root, HeldEntryWait& wait)
{
    BY_HANDLE_FILE_INFORMATION info{};
    // A root that is a link goes as the link.
    const bool link = GetFileInformationByHandle(root.get(), &info) &&
                      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    const bool emptied = link || emptyHeldFolder(root.get(), wait);
    for (;;) {
        const DWORD error = deleteByHandle(root.get());
        if (error == ERROR_SUCCESS) {
            // The root goes when its last handle closes; one held elsewhere keeps it meanwhile.
            root.reset();
            return ERROR_SUCCESS;
        }
        if (!emptied || !wait.pauseBeforeRetry(error))
            return error;
    }
}

// Removes the tree whose root is path, waiting for what is held for a moment; the error code of
// the root's removal, 0 for done.
DWORD removeTree(const std::string& path)
{
    HeldEntryWait wait;
    if (!ntFilesAvailable()) {
        if (pathExists(path))
            emptyFolderByPath(path, wait);
        for (;;) {
            if (RemoveDirectoryA(path.c_str()))
                return ERROR_SUCCESS;
            const DWORD error = GetLastError();
            if (!wait.pauseBeforeRetry(error))
                return error;
        }
    }
    const std::wstring extended = extendedPath(widenAnsi(path));
    if (extended.empty())
        return ERROR_INVALID_NAME;
    DWORD error = ERROR_SUCCESS;
    UniqueFileHandle root = openEntry(nullptr, extended, EntryKind::folder, FILE_LIST_DIRECTORY | DELETE, kShareAll,
                                      error);
    if (!root)
        return error;
    return removeHeldTree(std::move(root), wait);
}

void deleteListedFiles(const std::string& commonDir, std::span<const std::string> table)
{
    // The lists name files below the common directory; the rule archive entries meet keeps a
    // listed name from reaching anything beside it.
    const std::string base = commonDir.ends_with('\\') ? commonDir.substr(0, commonDir.size() - 1) : commonDir;
    HeldEntryWait wait;
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
        while (!deleteFile(path) && wait.pauseBeforeRetry(GetLastError())) {
        }
    }
}

} // namespace

void removeDirectoryTree(const std::string& path)
{
    if (const DWORD error = removeTree(path); error != ERROR_SUCCESS)
        writeTraceLog(kRootFailedFormat, path.c_str(), static_cast<int>(error));
}

void removeUpdateDirectory(const std::string& path)
{
    // Only a folder trusted in this run is emptied: a refused one is not install's to empty, and
    // one that was absent is not touched even if something stands there now.
    switch (updateFolderVerdict(path)) {
    case UpdateFolderVerdict::trusted:
        // Held until now, and locked since its check, so that nobody else could rename or swap
        // it; and a link standing at its name would go as the link.
        releaseUpdateFolder(path);
        removeDirectoryTree(path);
        break;
    case UpdateFolderVerdict::absent:
        writeTraceLog(kRootFailedFormat, path.c_str(), static_cast<int>(ERROR_FILE_NOT_FOUND));
        break;
    case UpdateFolderVerdict::refused:
        break;
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
