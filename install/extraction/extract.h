// Unpacking of the Java runtime and the product archives into the product's common directory,
// guarded by a version record per archive.
#pragma once

#include <optional>
#include <string>

// Unpacks "kp\windows\jre.zip" into the common "jre" directory, the [ZIP_FILES] archives or
// those of "kp\zip" into the common "kp" directory, then those of "c:\vtupdate\kp\zip".
// Stops at the first archive that is there but did not unpack whole and gives its full path;
// gives none when every archive there is unpacked or skipped by its record.
std::optional<std::string> extractArchives();

// Unpacks every "*.zip" of "kp\zip" below the current directory; the first damaged archive
// as extractArchives gives it.
std::optional<std::string> extractZipDirectory(const std::string& destinationDir);

// Unpacks the archives the [ZIP_FILES] section lists; the first damaged archive as
// extractArchives gives it.
std::optional<std::string> extractListedArchives(const std::string& destinationDir);

// Unpacks one archive unless its version record says it is unpacked already. The record is
// written only once every entry arrived whole, so a failed unpack is tried again next run.
// False when the archive file is there but cannot be opened or did not unpack whole; an
// archive that is not there at all is only written to the trace log.
bool extractArchive(const std::string& archivePath, const std::string& destinationDir);
