// Unpacking of the Java runtime and the product archives into the product's common directory,
// guarded by a version record per archive.
#pragma once

#include <string>

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
