// The version records of unpacked archives: a record per archive at its destination, named
// after the archive with the extension "ver" and holding "date=" and the archive's stamp, which
// decides whether a later run unpacks the archive again.
#pragma once

#include <string>
#include <string_view>

// The version name of an archive: its file name with the extension "ver".
std::string versionFileName(const std::string& archivePath);

// -1: unpack; 0: the recorded stamp is the same; 1: the recorded stamp is newer.
int compareVersionFile(const std::string& destinationDir, const std::string& versionName, long stamp);
void writeVersionFile(const std::string& destinationDir, const std::string& versionName, long stamp);

// The stamp of a version text: the number after its first "=", read as atol reads; 0 when
// there is no "=".
long parseVersionStamp(std::string_view text);
