// The walk of one archive in entry order: each entry's name and packing checked, whole entries
// handed to the workers, larger ones copied here in pieces, and every entry's lines written in
// entry order. The folder's contract (README.md) says what it keeps whatever runs where.
#pragma once

#include <string>

#include <unzip.h>

#include "archive_reader.h"
#include "extract_timing.h"

// Unpacks every entry of zip, the archive read through archive (archivePath names it in the
// lines); true when each one that belongs below the destination arrived whole and the walk
// covered the whole central directory. Every worker has finished when it returns.
bool unpackEntries(unzFile zip, const ArchiveFile& archive, const std::string& archivePath,
                   const std::string& destinationDir, ExtractTiming& timing);
