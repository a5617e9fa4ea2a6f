// Reading an archive: its entries' information in directory order, the check that the walk
// covered the whole central directory, and the packed bytes of the entries that go to workers,
// all through the one handle the archive was opened (and, for checked media, checked) on.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include <unzip.h>

#include "../../common/unzip_owners.h"
#include "../platform.h"
#include "extract_timing.h"

// An archive held open by its opener, read at positions through its handle: minizip, the check of
// the central directory's end and the packed bytes all read the file that was opened, never the
// archive's name again.
class ArchiveFile {
public:
    explicit ArchiveFile(HANDLE file);

    // Copies size bytes from offset; false when the archive holds fewer or cannot be read.
    bool readAt(ZPOS64_T offset, unsigned char* out, std::size_t size) const;
    // Its size when it was opened; nothing when that could not be read.
    std::optional<ZPOS64_T> size() const { return size_; }

private:
    HANDLE file_;
    std::optional<ZPOS64_T> size_;
};

// minizip's reader over the archive; nothing when it is no archive minizip can open.
UniqueZipArchive openZipArchive(const ArchiveFile& file);

// The archive's stamp from its version entry; 0 when there is none or it holds no number.
long readVersionEntry(unzFile zip, const std::string& versionName);

// The stored name of the current entry and its central extra field, however long; false when its
// information cannot be read.
bool currentEntry(unzFile zip, unz_file_info64& info, std::string& name, std::string& extra, ExtractTiming& timing);

// Steps to the next entry, as unzGoToNextFile answers.
int goToNextEntry(unzFile zip, ExtractTiming& timing);

// True when the walk, standing on its last entry, ended where the central directory ends: an
// end record that declares fewer entries than the directory lists (or whose 16-bit count
// wrapped) would otherwise lose the rest without a word.
bool walkedWholeDirectory(unzFile zip, const unz_file_info64& last, const ArchiveFile& archive);

// The current entry opened (raw: its packed bytes as they stand), or nothing.
UniqueZipEntry openEntry(unzFile zip, bool raw, ExtractTiming& timing);

// Reads the packed bytes of entries in one forward pass over the archive, through a window that
// serves many small entries with one read of the file.
class ArchiveReader {
public:
    // One read of the archive serves the packed bytes of many small entries.
    static constexpr std::size_t kReadWindow = 1024 * 1024;
    // Pieces of larger entries are read straight into their buffers, this much at a time.
    static constexpr std::size_t kLargestRead = 64 * 1024 * 1024;

    explicit ArchiveReader(const ArchiveFile& archive)
        : archive_(archive), window_(std::make_unique_for_overwrite<unsigned char[]>(kReadWindow))
    {
    }

    // Copies size bytes from offset; false when the archive holds fewer.
    bool read(ZPOS64_T offset, unsigned char* out, std::size_t size)
    {
        while (size > 0) {
            if (offset >= start_ && offset < start_ + filled_) {
                const std::size_t step = static_cast<std::size_t>(std::min<ZPOS64_T>(size, start_ + filled_ - offset));
                std::memcpy(out, window_.get() + (offset - start_), step);
                out += step;
                offset += step;
                size -= step;
            } else if (size >= kReadWindow) {
                return archive_.readAt(offset, out, size);
            } else if (!fillWindow(offset)) {
                return false;
            }
        }
        return true;
    }

private:
    bool fillWindow(ZPOS64_T offset)
    {
        filled_ = 0;
        start_ = offset;
        const std::optional<ZPOS64_T> total = archive_.size();
        if (!total || offset >= *total)
            return false;
        const std::size_t step = static_cast<std::size_t>(std::min<ZPOS64_T>(kReadWindow, *total - offset));
        if (!archive_.readAt(offset, window_.get(), step))
            return false;
        filled_ = step;
        return true;
    }

    const ArchiveFile& archive_;
    std::unique_ptr<unsigned char[]> window_;
    ZPOS64_T start_ = 0;
    std::size_t filled_ = 0;
};
