// An entry's bytes into its file: whole from memory on a worker, or in pieces on the walk's
// thread for an entry too large to be held. Either way the size and CRC-32 are compared here,
// and a file that did not arrive whole is removed.
#pragma once

#include <windows.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <unzip.h>

#include "../../common/unzip_owners.h"
#include "../platform.h"
#include "../tracelog.h"
#include "entry_files.h"
#include "extract_timing.h"

// A heap block and how many bytes it holds.
struct ByteBuffer {
    std::unique_ptr<unsigned char[]> bytes;
    std::size_t capacity = 0;
    unsigned char* get() const { return bytes.get(); }
};

// An entry read whole from the archive, whose file its worker creates (an archive's first
// entry comes with the file the walk made for it).
struct UnpackJob {
    // As Windows stores it; the file's creation puts backslashes in, and its trace lines give it so.
    FilePath entryName;
    std::string destinationDir;
    // An entry whose packed bytes could not be read whole still has its file created, as a walk
    // on one thread would, and then removed.
    bool readWhole = true;
    FilePath fullPath;
    // The file's path in the form unfinished files are compared in, once it is created.
    std::wstring fileKey;
    UniqueFileHandle file;
    bool madeNewFile = false;
    MadeFolders madeFolders;
    ByteBuffer packed;
    std::size_t packedSize = 0;
    // Where a deflated entry is inflated.
    ByteBuffer unpacked;
    bool deflated = false;
    unsigned long crc = 0;
    std::size_t size = 0;
    // The memory the job holds against the budget, as allocated.
    std::size_t heldBytes = 0;
    EntryTime time;
    // The lines of its creation and its unpacking.
    TraceLines lines;
};

struct UnpackResult {
    EntryOutcome outcome = EntryOutcome::failed;
    TraceLines lines;
    // What the entry made that was not there before: taken away again when an earlier entry
    // turns out to have ended the archive; its folders, too, when the entry itself failed.
    std::optional<FilePath> newFile{};
    MadeFolders newFolders{};
};

// Inflates or copies the job's bytes, checks their size and CRC-32, writes and closes its
// created file with the entry's time. A file that did not arrive whole is removed.
UnpackResult unpackJob(UnpackJob& job, ExtractTiming& timing);

// Writes all of data to the file; false when anything of it was not stored.
bool writeWhole(HANDLE file, const unsigned char* data, std::size_t size, ExtractTiming& timing);

// Copies the open entry into the open file in pieces, inflating as it reads; the file is
// removed when anything of it went wrong, including a size or checksum that does not match. The buffer is the walk's, kept between entries.
UnpackResult copyEntry(UniqueZipEntry entry, UniqueFileHandle file, const FilePath& entryName, const FilePath& fullPath,
                       const unz_file_info64& info, std::vector<char>& buffer, const std::string& destinationDir,
                       ExtractTiming& timing, TraceLines lines);
