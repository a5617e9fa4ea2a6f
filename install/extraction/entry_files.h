// An entry's file: the folders above it and the file itself, created in entry order; its time;
// and its removal when it did not arrive whole or when an earlier entry ended the archive.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
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

// The folders an archive's walk has met so far, each looked at once: a tree of names below the
// destination, so that meeting a folder costs its own name, never the path above it (an entry
// thousands of folders deep would otherwise cost the square of its length).
class KnownDirectories {
public:
    using Folder = std::size_t;
    static constexpr Folder kDestination = 0;
    struct Meeting {
        Folder folder;
        // True the first time the walk meets it.
        bool first;
    };
    Meeting meet(Folder parent, std::string_view name);
    Meeting meet(Folder parent, std::wstring_view name);

private:
    template <typename Char>
    struct Key {
        Folder parent;
        std::basic_string<Char> name;
        bool operator==(const Key&) const = default;
    };
    template <typename Char>
    struct KeyHash {
        std::size_t operator()(const Key<Char>& key) const
        {
            return std::hash<std::basic_string<Char>>()(key.name) * 31 + key.parent;
        }
    };
    template <typename Char>
    Meeting meetIn(std::unordered_map<Key<Char>, Folder, KeyHash<Char>>& folders, Folder parent,
                   std::basic_string_view<Char> name);

    std::unordered_map<Key<char>, Folder, KeyHash<char>> ansi_;
    std::unordered_map<Key<wchar_t>, Folder, KeyHash<wchar_t>> wide_;
    Folder folders_ = 1;
};

// The folders one entry made, outermost first: the path of the deepest and where each one's path
// ends in its forms (its text, its wide form, and past MAX_PATH its "\\?\" form), so that a chain
// of thousands of folders is kept in the length of one path.
struct MadeFolders {
    struct End {
        std::size_t text = 0;
        std::size_t wide = 0;
        // 0 for a folder made through the plain functions.
        std::size_t extended = 0;
    };
    FilePath path{};
    std::wstring extended{};
    std::vector<End> ends{};
};

// Removes the folders, innermost first; one that still holds something stays.
void removeMadeFolders(MadeFolders& folders);

// What the creation of one entry's file needs from whoever creates it (the walk or a worker),
// and what it leaves behind, so that it can be taken away again when an earlier entry ends the
// archive.
struct EntryCreation {
    KnownDirectories& knownDirectories;
    TraceLines& lines;
    // Waits until every earlier entry has its outcome; false when one of them ended the archive,
    // and then nothing of this entry may be touched.
    std::function<bool()> waitForEarlierEntries;
    // True when a path, in its comparable form (comparablePath), is the file of an earlier entry
    // that has no outcome yet.
    std::function<bool(const std::wstring&)> isFileOfUnfinishedEntry;
    // A file that was not there before, and the folders made for it.
    bool madeNewFile = false;
    MadeFolders madeFolders{};
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
// up to the first that can be neither found nor made, and creates the destination file: a new
// one at once, one that is there (truncated) only once every earlier entry has its outcome.
// entryName is rewritten with backslashes, fullPathOut receives the path. The lines of a failed
// try go to the creation's lines; nothing is given when the second try fails too, or when the
// archive ended first (creation.abandoned). What it made is in the creation either way.
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

