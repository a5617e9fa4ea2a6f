// An entry's file: the folders above it and the file itself, created in entry order; its time;
// and its removal when it did not arrive whole or when an earlier entry ended the archive.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "../platform.h"
#include "../tracelog.h"

enum class EntryOutcome { unpacked, skipped, failed, stop };

// The time an extracted file gets: the entry's MS-DOS date and time taken as local time, in
// UTC; nothing when a conversion failed, with the lines that say which.
struct EntryTime {
    std::optional<FILETIME> utc;
    TraceLines errors;
};

// The folders an archive's walk has met so far, each looked at once.
class KnownDirectories {
public:
    // True the first time a folder is met.
    bool meet(const FilePath& directory)
    {
        return directory.isWide() ? wide_.insert(directory.wide).second : ansi_.insert(directory.text).second;
    }

private:
    std::unordered_set<std::string> ansi_;
    std::unordered_set<std::wstring> wide_;
};

// What the creation of one entry's file needs from whoever creates it (the walk or a worker),
// and what it leaves behind, so that it can be taken away again when an earlier entry ends the
// archive.
struct EntryCreation {
    KnownDirectories& knownDirectories;
    TraceLines& lines;
    // Waits until every earlier entry has its outcome; false when one of them ended the archive,
    // and then nothing of this entry may be touched.
    std::function<bool()> waitForEarlierEntries;
    // True when path is the file of an earlier entry that has no outcome yet.
    std::function<bool(const FilePath&)> isFileOfUnfinishedEntry;
    // A file that was not there before, and the folders made for it.
    bool madeNewFile = false;
    std::vector<FilePath> madeDirectories{};
    // The archive ended before anything of this entry was touched.
    bool abandoned = false;
};

// The time an entry's file gets: its MS-DOS date and time, taken as local time, in UTC.
EntryTime entryFileTime(unsigned long dosDate);

// Sets the file's creation and last-write time; the last write through the handle must come
// before it. Failure adds its line and a flush to lines.
void setFileTimeFromEntry(HANDLE file, const EntryTime& time, TraceLines& lines);

// Closes the file and removes it, with the line that says so.
void removePartialFile(UniqueFileHandle& file, const FilePath& entryName, const FilePath& fullPath,
                       TraceLines& lines);

// Clears a file's attributes (read-only, hidden) so that it can be written or removed; an
// absent path does nothing.
void setFileAttributesToNormal(const FilePath& path);

// A write that stored less than it was given: says so, removes the file and ends the archive.
EntryOutcome abandonUnwrittenFile(UniqueFileHandle& file, const FilePath& entryName, const FilePath& fullPath,
                                  const std::string& destinationDir, TraceLines& lines);

// The name as Windows will store it, in both of its forms.
void toStoredName(FilePath& entryName);

// Creates the directories of entryName below destinationDir, each one the walk has not met yet,
// and creates the destination file: a new one at once, one that is there (truncated) only once
// every earlier entry has its outcome. entryName is rewritten with backslashes, fullPathOut
// receives the path. The lines of a failed try go to the creation's lines; nothing is given when
// the second try fails too, or when the archive ended first (creation.abandoned).
UniqueFileHandle checkAndCreateDestinationDirectoriesAndFile(const std::string& destinationDir, FilePath& entryName,
                                                             FilePath& fullPathOut, EntryCreation& creation);

// The file of an entry after an archive's first one: as above, and when there is none, the
// line that says the walk ends here, with a flush.
UniqueFileHandle createLaterEntryFile(const std::string& destinationDir, FilePath& entryName, FilePath& fullPathOut,
                                      EntryCreation& creation);

// Opens a destination file for writing, creating or truncating it.
UniqueFileHandle openDestinationFile(const FilePath& path);
// Creates a destination file for writing; nothing when something of that name is there already.
UniqueFileHandle openNewDestinationFile(const FilePath& path);

