#include "archive_reader.h"

#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "version_records.h"

namespace {

constexpr char kCaseInsensitive = 2;
// The version entry keeps its 512-byte reads: which chunk sets the stamp depends on them.
constexpr unsigned kVersionChunk = 512;
// Most entry names and extra fields fit, so their information is read once.
constexpr std::size_t kEntryNameGuess = 256;
constexpr std::size_t kExtraFieldGuess = 256;

// Where the archive's end record says its central directory ends, counted as minizip counts
// positions in it (from the directory's declared offset); nothing when the record cannot be read.
std::optional<ZPOS64_T> declaredDirectoryEnd(const ArchiveFile& archive)
{
    constexpr std::size_t kEndRecordSize = 22;
    constexpr std::size_t kLocatorSize = 20;
    constexpr std::size_t kLongestComment = 0xFFFF;
    constexpr std::size_t kZip64RecordSize = 56;
    const std::optional<ZPOS64_T> fileSize = archive.size();
    if (!fileSize)
        return std::nullopt;
    const ZPOS64_T tailSize = std::min<ZPOS64_T>(*fileSize, kEndRecordSize + kLocatorSize + kLongestComment);
    std::vector<unsigned char> tail(static_cast<std::size_t>(tailSize));
    if (tailSize < kEndRecordSize || !archive.readAt(*fileSize - tailSize, tail.data(), tail.size()))
        return std::nullopt;
    const auto little = [](const unsigned char* at, int bytes) {
        ZPOS64_T value = 0;
        for (int i = bytes - 1; i >= 0; --i)
            value = (value << 8) | at[i];
        return value;
    };
    // The last end record wins, as it does for minizip.
    for (std::size_t at = tail.size() - kEndRecordSize + 1; at-- > 0;) {
        const unsigned char* end = tail.data() + at;
        if (little(end, 4) != 0x06054B50)
            continue;
        if (at >= kLocatorSize && little(end - kLocatorSize, 4) == 0x07064B50) {
            unsigned char record[kZip64RecordSize];
            const ZPOS64_T recordOffset = little(end - kLocatorSize + 8, 8);
            if (!archive.readAt(recordOffset, record, sizeof(record)) || little(record, 4) != 0x06064B50)
                return std::nullopt;
            return little(record + 48, 8) + little(record + 40, 8);
        }
        return little(end + 16, 4) + little(end + 12, 4);
    }
    return std::nullopt;
}

// minizip's file functions over an ArchiveFile: each stream minizip opens is a position of its
// own, read at through the one handle. minizip reads headers a few bytes at a time, so a stream
// keeps the last 64 KiB it read, as the C runtime's buffered files did for it.
struct ZipStream {
    static constexpr std::size_t kBuffer = 64 * 1024;
    const ArchiveFile* archive;
    ZPOS64_T position = 0;
    bool failed = false;
    std::vector<unsigned char> buffer{};
    ZPOS64_T bufferStart = 0;
    std::size_t buffered = 0;
};

voidpf ZCALLBACK openStream(voidpf opaque, const void*, int)
{
    return new (std::nothrow) ZipStream{static_cast<const ArchiveFile*>(opaque)};
}

uLong ZCALLBACK readStream(voidpf, voidpf stream, void* buffer, uLong size)
{
    auto* zip = static_cast<ZipStream*>(stream);
    const std::optional<ZPOS64_T> total = zip->archive->size();
    const ZPOS64_T left = total && *total > zip->position ? *total - zip->position : 0;
    const uLong step = static_cast<uLong>(std::min<ZPOS64_T>(size, left));
    auto* out = static_cast<unsigned char*>(buffer);
    const bool inBuffer = zip->position >= zip->bufferStart && zip->position + step <= zip->bufferStart + zip->buffered;
    if (!inBuffer && step < ZipStream::kBuffer) {
        zip->buffer.resize(ZipStream::kBuffer);
        zip->bufferStart = zip->position;
        zip->buffered = static_cast<std::size_t>(std::min<ZPOS64_T>(ZipStream::kBuffer, left));
        if (!zip->archive->readAt(zip->bufferStart, zip->buffer.data(), zip->buffered)) {
            zip->buffered = 0;
            zip->failed = true;
            return 0;
        }
    }
    if (step > 0 && zip->position >= zip->bufferStart && zip->position + step <= zip->bufferStart + zip->buffered)
        std::memcpy(out, zip->buffer.data() + (zip->position - zip->bufferStart), step);
    else if (step > 0 && !zip->archive->readAt(zip->position, out, step)) {
        zip->failed = true;
        return 0;
    }
    zip->position += step;
    return step;
}

uLong ZCALLBACK writeStream(voidpf, voidpf, const void*, uLong)
{
    return 0;
}

ZPOS64_T ZCALLBACK tellStream(voidpf, voidpf stream)
{
    return static_cast<ZipStream*>(stream)->position;
}

long ZCALLBACK seekStream(voidpf, voidpf stream, ZPOS64_T offset, int origin)
{
    auto* zip = static_cast<ZipStream*>(stream);
    const std::optional<ZPOS64_T> total = zip->archive->size();
    switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
        zip->position = offset;
        return 0;
    case ZLIB_FILEFUNC_SEEK_CUR:
        zip->position += offset;
        return 0;
    case ZLIB_FILEFUNC_SEEK_END:
        if (!total)
            return -1;
        zip->position = *total + offset;
        return 0;
    }
    return -1;
}

int ZCALLBACK closeStream(voidpf, voidpf stream)
{
    delete static_cast<ZipStream*>(stream);
    return 0;
}

int ZCALLBACK streamError(voidpf, voidpf stream)
{
    return static_cast<ZipStream*>(stream)->failed ? 1 : 0;
}

} // namespace

ArchiveFile::ArchiveFile(HANDLE file) : file_(file)
{
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file, &size))
        size_ = static_cast<ZPOS64_T>(size.QuadPart);
}

bool ArchiveFile::readAt(ZPOS64_T offset, unsigned char* out, std::size_t size) const
{
    // A read at a position of its own: the handle's own file pointer is nobody's to rely on.
    while (size > 0) {
        const DWORD step = static_cast<DWORD>(std::min(size, ArchiveReader::kLargestRead));
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        if (!ReadFile(file_, out, step, &got, &at) || got != step)
            return false;
        out += step;
        offset += step;
        size -= step;
    }
    return true;
}

UniqueZipArchive openZipArchive(const ArchiveFile& file)
{
    zlib_filefunc64_def functions{};
    functions.zopen64_file = openStream;
    functions.zread_file = readStream;
    functions.zwrite_file = writeStream;
    functions.ztell64_file = tellStream;
    functions.zseek64_file = seekStream;
    functions.zclose_file = closeStream;
    functions.zerror_file = streamError;
    functions.opaque = const_cast<ArchiveFile*>(&file);
    // minizip keeps its own copy of the functions; the name it is given is not used.
    return UniqueZipArchive(unzOpen2_64("", &functions));
}

long readVersionEntry(unzFile zip, const std::string& versionName)
{
    if (unzLocateFile(zip, versionName.c_str(), kCaseInsensitive) != UNZ_OK)
        return 0;
    if (unzOpenCurrentFile(zip) != UNZ_OK)
        return 0;
    const UniqueZipEntry entry(zip);
    long stamp = 0;
    char chunk[kVersionChunk];
    int got;
    while ((got = unzReadCurrentFile(zip, chunk, kVersionChunk)) > 0)
        if (chunk[0] != ' ')
            stamp = parseVersionStamp(std::string_view(chunk, got));
    return stamp;
}

bool currentEntry(unzFile zip, unz_file_info64& info, std::string& name, std::string& extra, ExtractTiming& timing)
{
    const auto scope = timing.time(ExtractPhase::walk);
    std::vector<char> buffer(kEntryNameGuess);
    extra.resize(kExtraFieldGuess);
    if (unzGetCurrentFileInfo64(zip, &info, buffer.data(), static_cast<uLong>(buffer.size()), extra.data(),
                                static_cast<uLong>(extra.size()), nullptr, 0) != UNZ_OK)
        return false;
    if (info.size_filename >= buffer.size() || info.size_file_extra > extra.size()) {
        buffer.resize(info.size_filename + 1);
        extra.resize(info.size_file_extra);
        if (unzGetCurrentFileInfo64(zip, &info, buffer.data(), static_cast<uLong>(buffer.size()), extra.data(),
                                    static_cast<uLong>(extra.size()), nullptr, 0) != UNZ_OK)
            return false;
    }
    extra.resize(info.size_file_extra);
    name.assign(buffer.data());
    return true;
}

int goToNextEntry(unzFile zip, ExtractTiming& timing)
{
    const auto scope = timing.time(ExtractPhase::walk);
    return unzGoToNextFile(zip);
}

bool walkedWholeDirectory(unzFile zip, const unz_file_info64& last, const ArchiveFile& archive)
{
    constexpr ZPOS64_T kCentralHeaderSize = 46;
    const std::optional<ZPOS64_T> declaredEnd = declaredDirectoryEnd(archive);
    const ZPOS64_T walkedEnd = unzGetOffset64(zip) + kCentralHeaderSize + last.size_filename + last.size_file_extra +
                               last.size_file_comment;
    return declaredEnd && *declaredEnd == walkedEnd;
}

UniqueZipEntry openEntry(unzFile zip, bool raw, ExtractTiming& timing)
{
    const auto scope = timing.time(ExtractPhase::open);
    return UniqueZipEntry(unzOpenCurrentFile2(zip, nullptr, nullptr, raw ? 1 : 0) == UNZ_OK ? zip : nullptr);
}
