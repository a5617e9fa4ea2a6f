// Owners of what minizip's reader hands out: an open archive, and the entry opened in it.
#pragma once

#include <unzip.h>

#include "unique_resource.h"

// An open archive; closing it also closes an entry left open.
struct ZipArchiveTraits {
    using Value = unzFile;
    static Value invalid() { return nullptr; }
    static int close(Value zip) { return unzClose(zip); }
};
using UniqueZipArchive = UniqueResource<ZipArchiveTraits>;

// The entry opened in an archive, held by the archive's handle; its close() answers
// UNZ_CRCERROR when the data read did not match the entry's checksum.
struct ZipEntryTraits {
    using Value = unzFile;
    static Value invalid() { return nullptr; }
    static int close(Value zip) { return unzCloseCurrentFile(zip); }
};
using UniqueZipEntry = UniqueResource<ZipEntryTraits>;
