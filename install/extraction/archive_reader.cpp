#include "archive_reader.h"

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
std::optional<ZPOS64_T> declaredDirectoryEnd(const std::string& archivePath)
{
    constexpr std::size_t kEndRecordSize = 22;
    constexpr std::size_t kLocatorSize = 20;
    constexpr std::size_t kLongestComment = 0xFFFF;
    constexpr std::size_t kZip64RecordSize = 56;
    const UniqueFile file = openFile(archivePath, "rb");
    if (!file || _fseeki64(file.get(), 0, SEEK_END) != 0)
        return std::nullopt;
    const long long fileSize = _ftelli64(file.get());
    const long long tailSize = std::min<long long>(fileSize, kEndRecordSize + kLocatorSize + kLongestComment);
    std::vector<unsigned char> tail(static_cast<std::size_t>(tailSize));
    if (tailSize < static_cast<long long>(kEndRecordSize) || _fseeki64(file.get(), fileSize - tailSize, SEEK_SET) != 0 ||
        std::fread(tail.data(), 1, tail.size(), file.get()) != tail.size())
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
            if (_fseeki64(file.get(), static_cast<long long>(recordOffset), SEEK_SET) != 0 ||
                std::fread(record, 1, sizeof(record), file.get()) != sizeof(record) || little(record, 4) != 0x06064B50)
                return std::nullopt;
            return little(record + 48, 8) + little(record + 40, 8);
        }
        return little(end + 16, 4) + little(end + 12, 4);
    }
    return std::nullopt;
}

} // namespace

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

bool walkedWholeDirectory(unzFile zip, const unz_file_info64& last, const std::string& archivePath)
{
    constexpr ZPOS64_T kCentralHeaderSize = 46;
    const std::optional<ZPOS64_T> declaredEnd = declaredDirectoryEnd(archivePath);
    const ZPOS64_T walkedEnd = unzGetOffset64(zip) + kCentralHeaderSize + last.size_filename + last.size_file_extra +
                               last.size_file_comment;
    return declaredEnd && *declaredEnd == walkedEnd;
}

UniqueZipEntry openEntry(unzFile zip, bool raw, ExtractTiming& timing)
{
    const auto scope = timing.time(ExtractPhase::open);
    return UniqueZipEntry(unzOpenCurrentFile2(zip, nullptr, nullptr, raw ? 1 : 0) == UNZ_OK ? zip : nullptr);
}
