// Reading an archive: its entries' information in directory order, the check that the walk
// covered the whole central directory, and the packed bytes of the entries that go to workers.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>

#include <unzip.h>

#include "../../common/unzip_owners.h"
#include "../platform.h"
#include "extract_timing.h"

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
bool walkedWholeDirectory(unzFile zip, const unz_file_info64& last, const std::string& archivePath);

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

    explicit ArchiveReader(const std::string& archivePath)
        : file_(CreateFileA(archivePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr)),
          window_(std::make_unique_for_overwrite<unsigned char[]>(kReadWindow))
    {
    }

    bool isOpen() const { return static_cast<bool>(file_); }

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
                return readAt(offset, out, size);
            } else if (!fillWindow(offset)) {
                return false;
            }
        }
        return true;
    }

private:
    bool seek(ZPOS64_T offset)
    {
        LONG high = static_cast<LONG>(offset >> 32);
        // The low part of a position can look like the failure value; the error code tells.
        SetLastError(NO_ERROR);
        const DWORD low = SetFilePointer(file_.get(), static_cast<LONG>(offset & 0xFFFFFFFF), &high, FILE_BEGIN);
        return low != INVALID_SET_FILE_POINTER || GetLastError() == NO_ERROR;
    }

    bool fillWindow(ZPOS64_T offset)
    {
        filled_ = 0;
        start_ = offset;
        DWORD got = 0;
        if (!seek(offset) || !ReadFile(file_.get(), window_.get(), kReadWindow, &got, nullptr) || got == 0)
            return false;
        filled_ = got;
        return true;
    }

    bool readAt(ZPOS64_T offset, unsigned char* out, std::size_t size)
    {
        if (!seek(offset))
            return false;
        while (size > 0) {
            const DWORD step = static_cast<DWORD>(std::min(size, kLargestRead));
            DWORD got = 0;
            if (!ReadFile(file_.get(), out, step, &got, nullptr) || got != step)
                return false;
            out += step;
            size -= step;
        }
        return true;
    }

    UniqueFileHandle file_;
    std::unique_ptr<unsigned char[]> window_;
    ZPOS64_T start_ = 0;
    std::size_t filled_ = 0;
};
