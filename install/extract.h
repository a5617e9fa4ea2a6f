// Unpacking of the Java runtime and the product archives into the product's common directory,
// guarded by a version record per archive.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>

#include <unzip.h>

#include "../common/unzip_owners.h"
#include "entry_names.h"
#include "platform.h"
#include "tracelog.h"
#include "unpack_workers.h"
#include "version_records.h"

// Unpacks "kp\windows\jre.zip" into the common "jre" directory, the [ZIP_FILES] archives or
// those of "kp\zip" into the common "kp" directory, then those of "c:\vtupdate\kp\zip".
void extractArchives();

// Unpacks every "*.zip" of "kp\zip" below the current directory.
void extractZipDirectory(const std::string& destinationDir);

// Unpacks the archives the [ZIP_FILES] section lists.
void extractListedArchives(const std::string& destinationDir);

// Unpacks one archive unless its version record says it is unpacked already. The record is
// written only once every entry arrived whole, so a failed unpack is tried again next run.
void extractArchive(const std::string& archivePath, const std::string& destinationDir);

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

