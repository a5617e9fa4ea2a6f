#include "extract.h"

#include <cerrno>
#include <climits>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <unordered_set>
#include <vector>

#include "extract_timing.h"
#include "globals.h"
#include "registry.h"
#include "tracelog.h"
#include "unpack_workers.h"
#include "update_trust.h"
#include "version_records.h"

namespace {

constexpr char kCannotOpenFormat[] = "Zip file could not be opened %s\n";
constexpr char kSkippingFormat[] = "Skipping unzipping of zipFile %s \n";
constexpr char kFirstFileFailed[] = "something went wrong radically going to first file\n";
constexpr char kFileInfoFailed[] = "something went wrong radically getting fileInfo on the first file\n";
constexpr char kOpenEntryFailed[] = "something went wrong radically opening the first file\n";
constexpr char kJumpingToExit[] = "2:jumping to exit - checkAndCreateDestinationDirectoriesAndFile \n";
constexpr char kUnableToOpenFormat[] = "Unable to open %s. Trying setFileAttributesToNormal method \n";
constexpr char kCreateFailedFormat[] = "Something went wrong creating file  %s \n";
constexpr char kTimeConversionFormat[] = "error converting time err = %d\n";
constexpr char kLocalTimeConversionFormat[] = "error converting local time err = %d\n";

constexpr char kNextFileFailed[] = "something went wrong radically going to the next file\n";
constexpr char kOutsideFormat[] = "Entry %s would be written outside %s and is skipped\n";
constexpr char kTooLongFormat[] = "Entry %s is too long a path below %s and is not unpacked\n";
constexpr char kIncompleteFormat[] = "Zip file %s was not unpacked completely; no version file is written\n";
constexpr char kListedDirectoryFormat[] = "Directory %s of a listed zip file cannot be entered\n";
constexpr char kRecordPlaceFormat[] = "Entry %s would take the place of a version record and is skipped\n";
constexpr char kNamelessEntry[] = "An entry without a name is skipped\n";
constexpr char kShortCountFormat[] = "The directory of zip file %s holds more entries than it declares\n";
constexpr char kUnknownMethodFormat[] = "Entry %s is packed with method %d, which cannot be unpacked, and is skipped\n";
constexpr char kEncryptedFormat[] = "Entry %s is encrypted, which cannot be unpacked, and is skipped\n";
constexpr char kNotUtf8Format[] = "Entry %s has a name that is not UTF-8 and is skipped\n";
constexpr char kNoAnsiNameFormat[] = "Entry %s has no name in the ANSI code page and is skipped\n";

constexpr char kRuntimeArchive[] = "kp\\windows\\jre.zip";
constexpr char kUpdateZipDir[] = "c:\\vtupdate\\kp\\zip";
constexpr char kUpdateDir[] = "c:\\vtupdate";
constexpr char kCaseInsensitive = 2;
// The only ways of packing an entry that install unpacks.
constexpr int kStored = 0;
constexpr int kDeflated = Z_DEFLATED;
constexpr unsigned long kEncryptedFlag = 1;

// The version entry keeps its 512-byte reads: which chunk sets the stamp depends on them.
constexpr unsigned kVersionChunk = 512;
// Large enough that inflate and the disk, not the calls, bound the copy of an entry too large
// to be held in memory.
constexpr unsigned kCopyBufferSize = 256 * 1024;
// One read of the archive serves the packed bytes of many small entries.
constexpr std::size_t kReadWindow = 1024 * 1024;
// Pieces of larger entries are read straight into their buffers, this much at a time.
constexpr std::size_t kLargestRead = 64 * 1024 * 1024;
// Most entry names and extra fields fit, so their information is read once.
constexpr std::size_t kEntryNameGuess = 256;
constexpr std::size_t kExtraFieldGuess = 256;

// The archive's stamp from its version entry; 0 when there is none or it holds no number.
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

// The archive file's last-modification time in seconds since 1970, or 0.
long fileModificationStamp(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    ULARGE_INTEGER time;
    time.LowPart = data.ftLastWriteTime.dwLowDateTime;
    time.HighPart = data.ftLastWriteTime.dwHighDateTime;
    constexpr unsigned long long kUnixEpoch = 116444736000000000ULL;
    if (time.QuadPart < kUnixEpoch)
        return 0;
    return static_cast<long>((time.QuadPart - kUnixEpoch) / 10000000ULL);
}

// The stored name of the current entry and its central extra field, however long; false when its
// information cannot be read.
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

// True when the walk, standing on its last entry, ended where the central directory ends: an
// end record that declares fewer entries than the directory lists (or whose 16-bit count
// wrapped) would otherwise lose the rest without a word.
bool walkedWholeDirectory(unzFile zip, const unz_file_info64& last, const std::string& archivePath)
{
    constexpr ZPOS64_T kCentralHeaderSize = 46;
    const std::optional<ZPOS64_T> declaredEnd = declaredDirectoryEnd(archivePath);
    const ZPOS64_T walkedEnd = unzGetOffset64(zip) + kCentralHeaderSize + last.size_filename + last.size_file_extra +
                               last.size_file_comment;
    return declaredEnd && *declaredEnd == walkedEnd;
}

// The time an entry's file gets: its MS-DOS date and time, taken as local time, in UTC.
EntryTime entryFileTime(unsigned long dosDate)
{
    const unsigned date = static_cast<unsigned>(dosDate >> 16) & 0xFFFF;
    const unsigned time = static_cast<unsigned>(dosDate) & 0xFFFF;
    SYSTEMTIME fields{};
    fields.wDay = static_cast<WORD>(date & 0x1F);
    fields.wMonth = static_cast<WORD>((date >> 5) & 0x0F);
    fields.wYear = static_cast<WORD>(1980 + (date >> 9));
    fields.wHour = static_cast<WORD>(time >> 11);
    fields.wMinute = static_cast<WORD>((time >> 5) & 0x3F);
    fields.wSecond = static_cast<WORD>(2 * (time & 0x1F));

    EntryTime entryTime;
    FILETIME local;
    if (!SystemTimeToFileTime(&fields, &local)) {
        entryTime.errors.add(kTimeConversionFormat, static_cast<int>(GetLastError()));
        entryTime.errors.addFlush();
        return entryTime;
    }
    FILETIME utc;
    if (!LocalFileTimeToFileTime(&local, &utc)) {
        entryTime.errors.add(kLocalTimeConversionFormat, static_cast<int>(GetLastError()));
        entryTime.errors.addFlush();
        return entryTime;
    }
    entryTime.utc = utc;
    return entryTime;
}

// Reads the packed bytes of entries in one forward pass over the archive, through a window that
// serves many small entries with one read of the file.
class ArchiveReader {
public:
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

// What the walk of one archive keeps: where it unpacks, its workers and whether every entry
// arrived whole so far.
struct ArchiveWalk {
    const std::string& destinationDir;
    UnpackWorkers& workers;
    ArchiveReader& reader;
    ExtractTiming& timing;
    // The file functions take UTF-16 (the NT family), so a name that exists only in Unicode
    // can be unpacked under its own name.
    bool unicodeFiles = false;
    std::vector<char> copyBuffer{};
    bool complete = true;
    bool stopped = false;
    // Folders that entries after the one that ended the archive made; removed at its end.
    std::vector<FilePath> takenBackDirectories{};
};

// Takes away what an entry after the one that ended the archive made, since a walk on one
// thread would never have reached it: its new file now, its new folders at the archive's end.
void takeBack(UnpackResult& result, ArchiveWalk& walk)
{
    if (result.newFile) {
        setFileAttributesToNormal(*result.newFile);
        deleteFile(*result.newFile);
    }
    walk.takenBackDirectories.insert(walk.takenBackDirectories.end(), result.newDirectories.begin(),
                                      result.newDirectories.end());
}

// Writes the lines of every result that is ready, in entry order, or of every result at all
// with wait. A stop cancels the jobs that have not started; every result after it is taken back
// without a line.
void writeResults(ArchiveWalk& walk, bool wait)
{
    while (std::optional<UnpackResult> result = walk.workers.takeOldest(wait)) {
        if (walk.stopped) {
            takeBack(*result, walk);
            continue;
        }
        result->lines.write();
        if (result->outcome == EntryOutcome::failed)
            walk.complete = false;
        if (result->outcome == EntryOutcome::stop) {
            walk.stopped = true;
            walk.workers.cancel();
        }
    }
}

// The folders taken back, deepest first; one that still holds something stays.
void removeTakenBackDirectories(ArchiveWalk& walk)
{
    const auto depth = [](const FilePath& path) { return std::count(path.text.begin(), path.text.end(), '\\'); };
    std::vector<FilePath>& directories = walk.takenBackDirectories;
    std::stable_sort(directories.begin(), directories.end(),
                     [&](const FilePath& a, const FilePath& b) { return depth(a) > depth(b); });
    for (const FilePath& directory : directories)
        removeDirectory(directory);
}

// Copies the open entry into the open file in pieces, inflating as it reads; the file is
// removed when anything of it went wrong, including a size or checksum that does not match.
UnpackResult copyEntry(UniqueZipEntry entry, UniqueFileHandle file, const FilePath& entryName, const FilePath& fullPath,
                       const unz_file_info64& info, ArchiveWalk& walk, TraceLines lines)
{
    const unzFile zip = entry.get();
    UnpackResult result{EntryOutcome::unpacked, std::move(lines)};
    walk.copyBuffer.resize(kCopyBufferSize);
    bool readFailed = false;
    ZPOS64_T copied = 0;
    // minizip skips its own check on some paths; the size and CRC-32 are compared here.
    uLong crc = crc32(0L, Z_NULL, 0);
    for (;;) {
        int got;
        {
            const auto scope = walk.timing.time(ExtractPhase::inflate);
            got = unzReadCurrentFile(zip, walk.copyBuffer.data(), kCopyBufferSize);
        }
        if (got == 0)
            break;
        if (got < 0) {
            readFailed = true;
            break;
        }
        if (!writeWhole(file.get(), reinterpret_cast<const unsigned char*>(walk.copyBuffer.data()),
                        static_cast<std::size_t>(got), walk.timing)) {
            result.outcome = abandonUnwrittenFile(file, entryName, fullPath, walk.destinationDir, result.lines);
            return result;
        }
        crc = crc32(crc, reinterpret_cast<const Bytef*>(walk.copyBuffer.data()), static_cast<uInt>(got));
        copied += static_cast<ZPOS64_T>(got);
    }
    const auto scope = walk.timing.time(ExtractPhase::finish);
    const bool closed = entry.close() == UNZ_OK;
    if (readFailed || !closed || copied != info.uncompressed_size || crc != info.crc) {
        removePartialFile(file, entryName, fullPath, result.lines);
        result.outcome = EntryOutcome::failed;
        return result;
    }
    setFileTimeFromEntry(file.get(), entryFileTime(info.dosDate), result.lines);
    file.reset();
    walk.timing.countEntry(copied);
    return result;
}

// What an entry made that was not there before, for its result.
void noteNewThings(const EntryCreation& creation, const FilePath& fullPath, UnpackResult& result)
{
    if (creation.madeNewFile)
        result.newFile = fullPath;
    result.newDirectories = creation.madeDirectories;
}

// Creates an entry's file on the walk's own thread, once every job before it has created its
// own; nothing, and no line, when the archive ended before. creation tells what it made.
UniqueFileHandle createDestinationFile(ArchiveWalk& walk, FilePath& entryName, FilePath& fullPath, bool first,
                                       TraceLines& lines, std::optional<EntryCreation>& creation)
{
    KnownDirectories* directories;
    {
        const auto scope = walk.timing.time(ExtractPhase::wait);
        directories = walk.workers.waitForCreations();
    }
    if (!directories)
        return {};
    const auto scope = walk.timing.time(ExtractPhase::create);
    creation.emplace(*directories, lines, [&] { return walk.workers.waitAll(); },
                     [&](const FilePath& path) { return walk.workers.isUnfinishedFile(path); });
    if (first)
        return checkAndCreateDestinationDirectoriesAndFile(walk.destinationDir, entryName, fullPath, *creation);
    return createLaterEntryFile(walk.destinationDir, entryName, fullPath, *creation);
}

// The current entry opened (raw: its packed bytes as they stand), or nothing.
UniqueZipEntry openEntry(unzFile zip, bool raw, ExtractTiming& timing)
{
    const auto scope = timing.time(ExtractPhase::open);
    return UniqueZipEntry(unzOpenCurrentFile2(zip, nullptr, nullptr, raw ? 1 : 0) == UNZ_OK ? zip : nullptr);
}

// The name as Windows will store it, in both of its forms.
void toStoredName(FilePath& entryName)
{
    if (entryName.isWide()) {
        entryName.wide = storedEntryName(entryName.wide);
        entryName.text = ansiTextForTrace(entryName.wide);
    } else {
        entryName.text = storedEntryName(entryName.text);
    }
}

// Refuses an entry whose name cannot be unpacked below the destination, with its line; nothing
// when the entry may be unpacked under the name Windows will store, which entryName becomes.
// A Unicode name meets the same rules in its own form.
std::optional<EntryOutcome> refuseEntryName(FilePath& entryName, const std::string& destinationDir, TraceLines& lines)
{
    const bool wide = entryName.isWide();
    if (wide ? !hasSafeEntryName(entryName.wide) : !hasSafeEntryName(entryName.text)) {
        lines.add(kOutsideFormat, entryName.text.c_str(), destinationDir.c_str());
        return EntryOutcome::skipped;
    }
    if (wide ? claimsVersionRecord(entryName.wide) : claimsVersionRecord(entryName.text)) {
        lines.add(kRecordPlaceFormat, entryName.text.c_str());
        return EntryOutcome::skipped;
    }
    toStoredName(entryName);
    const std::size_t pathLength =
        wide ? widenAnsi(destinationDir).size() + 1 + entryName.wide.size() : destinationDir.size() + 1 + entryName.text.size();
    if (pathLength >= MAX_PATH) {
        lines.add(kTooLongFormat, entryName.text.c_str(), destinationDir.c_str());
        return EntryOutcome::failed;
    }
    if (wide ? !isInsideDestination(destinationDir, entryName.wide) : !isInsideDestination(destinationDir, entryName.text)) {
        lines.add(kOutsideFormat, entryName.text.c_str(), destinationDir.c_str());
        return EntryOutcome::skipped;
    }
    return std::nullopt;
}

// A job for an entry that can go to a worker: deflated, or stored as it is, and small enough
// for the memory budget; nothing when the entry is to be copied in pieces instead, or the
// archive ended while the walk waited for room. The walk waits for room before it allocates.
std::optional<UnpackJob> wholeEntryJob(const unz_file_info64& info, UnpackWorkers& workers)
{
    const bool deflated = info.compression_method == kDeflated;
    const bool stored = info.compression_method == kStored && info.compressed_size == info.uncompressed_size;
    if (!deflated && !stored)
        return std::nullopt;
    const ZPOS64_T bytes = info.compressed_size + (deflated ? info.uncompressed_size : 0) + UnpackWorkers::kJobAllowance;
    const std::size_t budget = workers.budget();
    if (info.compressed_size > budget || info.uncompressed_size > budget || bytes > budget)
        return std::nullopt;
    UnpackJob job;
    job.deflated = deflated;
    job.crc = info.crc;
    job.packedSize = static_cast<std::size_t>(info.compressed_size);
    job.size = static_cast<std::size_t>(info.uncompressed_size);
    if (!workers.reserve(static_cast<std::size_t>(bytes)))
        return std::nullopt;
    job.heldBytes = static_cast<std::size_t>(bytes);
    try {
        job.packed = workers.takeBuffer(job.packedSize, job.heldBytes);
        if (deflated)
            job.unpacked = workers.takeBuffer(job.size, job.heldBytes);
    } catch (const std::bad_alloc&) {
        workers.release(job.heldBytes);
        return std::nullopt;
    }
    return job;
}

// Reads the packed bytes of the entry opened raw and closes it; false when the archive holds
// fewer. The checksum is the worker's to compare.
bool readPackedEntry(UniqueZipEntry entry, ArchiveReader& reader, UnpackJob& job, ExtractTiming& timing)
{
    const auto scope = timing.time(ExtractPhase::read);
    const ZPOS64_T start = unzGetCurrentFileZStreamPos64(entry.get());
    entry.reset();
    return start != 0 && reader.read(start, job.packed.get(), job.packedSize);
}

// Refuses an entry packed in a way install does not unpack, with its line; the archive is then
// not complete.
bool refusePacking(const unz_file_info64& info, const FilePath& entryName, TraceLines& lines)
{
    if (info.flag & kEncryptedFlag) {
        lines.add(kEncryptedFormat, entryName.text.c_str());
        return true;
    }
    if (info.compression_method != kStored && info.compression_method != kDeflated) {
        lines.add(kUnknownMethodFormat, entryName.text.c_str(), static_cast<int>(info.compression_method));
        return true;
    }
    return false;
}

// Unpacks the current entry: whole on a worker when it fits the memory budget, otherwise here
// in pieces. The first entry of an archive has its file created before the entry is opened,
// and a file that cannot be created ends the walk without a further line. Gives the outcome
// when it is known here, unpacked for an entry handed to a worker.
EntryOutcome unpackEntry(unzFile zip, const unz_file_info64& info, FilePath entryName, bool first, ArchiveWalk& walk)
{
    TraceLines lines;
    std::optional<EntryCreation> creation;
    FilePath fullPath;
    const auto settle = [&](EntryOutcome outcome) {
        UnpackResult result{outcome, std::move(lines)};
        if (creation)
            noteNewThings(*creation, fullPath, result);
        walk.workers.submitResult(std::move(result));
        return outcome;
    };
    {
        const auto scope = walk.timing.time(ExtractPhase::names);
        if (const std::optional<EntryOutcome> refused = refuseEntryName(entryName, walk.destinationDir, lines))
            return settle(*refused);
        if (refusePacking(info, entryName, lines))
            return settle(EntryOutcome::failed);
    }
    std::optional<UnpackJob> job = walk.reader.isOpen() ? wholeEntryJob(info, walk.workers) : std::nullopt;
    UniqueFileHandle file;
    if (first) {
        file = createDestinationFile(walk, entryName, fullPath, true, lines, creation);
        if (!file) {
            if (job)
                walk.workers.release(job->heldBytes);
            return settle(EntryOutcome::stop);
        }
    }
    UniqueZipEntry entry = openEntry(zip, job.has_value(), walk.timing);
    if (!entry) {
        lines.add(kOpenEntryFailed);
        if (file)
            removePartialFile(file, entryName, fullPath, lines);
        if (job)
            walk.workers.release(job->heldBytes);
        return settle(EntryOutcome::stop);
    }
    if (job) {
        job->readWhole = readPackedEntry(std::move(entry), walk.reader, *job, walk.timing);
        job->entryName = std::move(entryName);
        job->destinationDir = walk.destinationDir;
        job->fullPath = std::move(fullPath);
        job->file = std::move(file);
        if (creation) {
            job->madeNewFile = creation->madeNewFile;
            job->madeDirectories = std::move(creation->madeDirectories);
        }
        // The lines of the first entry's creation (a second try) go with its job.
        job->lines = std::move(lines);
        job->time = entryFileTime(info.dosDate);
        const auto scope = walk.timing.time(ExtractPhase::wait);
        walk.workers.submit(std::move(*job));
        return EntryOutcome::unpacked;
    }
    if (!first) {
        file = createDestinationFile(walk, entryName, fullPath, false, lines, creation);
        if (!file)
            return settle(EntryOutcome::stop);
    }
    UnpackResult result =
        copyEntry(std::move(entry), std::move(file), entryName, fullPath, info, walk, std::move(lines));
    if (creation)
        noteNewThings(*creation, fullPath, result);
    const EntryOutcome outcome = result.outcome;
    walk.workers.submitResult(std::move(result));
    return outcome;
}

// A result of one line the walk gives an entry it does not unpack.
void submitLine(ArchiveWalk& walk, EntryOutcome outcome, const char* format, const char* argument)
{
    TraceLines lines;
    lines.add(format, argument);
    walk.workers.submitResult({outcome, std::move(lines)});
}

// Walks every entry in archive order, handing whole entries to the workers; false when the
// walk stopped early or could not tell that it covered the whole central directory.
bool walkEntries(unzFile zip, const std::string& archivePath, ArchiveWalk& walk)
{
    const auto stop = [&](const char* format, const char* argument) {
        TraceLines lines;
        lines.add(format, argument);
        walk.workers.submitResult({EntryOutcome::stop, std::move(lines)});
        return false;
    };
    for (bool first = true;; first = false) {
        unz_file_info64 info{};
        std::string name;
        std::string extra;
        if (!currentEntry(zip, info, name, extra, walk.timing))
            return stop("%s", kFileInfoFailed);
        const bool directoryEntry = !name.empty() && (name.back() == '/' || name.back() == '\\');
        if (name.empty()) {
            submitLine(walk, EntryOutcome::skipped, kNamelessEntry, nullptr);
        } else if (!directoryEntry) {
            const EntryName decoded = decodeEntryName(name, info.flag, extra, walk.unicodeFiles);
            if (decoded.form == EntryName::Form::malformed) {
                submitLine(walk, EntryOutcome::failed, kNotUtf8Format, decoded.text.c_str());
            } else if (decoded.form == EntryName::Form::noAnsiForm) {
                submitLine(walk, EntryOutcome::failed, kNoAnsiNameFormat, decoded.text.c_str());
            } else if (!(decoded.form == EntryName::Form::unicode ? isVersionEntry(decoded.wide)
                                                                    : isVersionEntry(decoded.text))) {
                if (unpackEntry(zip, info, FilePath{decoded.text, decoded.wide}, first, walk) == EntryOutcome::stop)
                    return false;
            }
        }
        writeResults(walk, false);
        // A worker's failure may have ended the archive before its result is next in line.
        if (walk.stopped || walk.workers.ended())
            return false;
        const int next = goToNextEntry(zip, walk.timing);
        if (next == UNZ_END_OF_LIST_OF_FILE) {
            if (!walkedWholeDirectory(zip, info, archivePath))
                return stop(kShortCountFormat, archivePath.c_str());
            return true;
        }
        if (next != UNZ_OK)
            return stop("%s", kNextFileFailed);
    }
}

// Unpacks every entry; true when each one that belongs below the destination arrived whole
// and the walk covered the whole central directory. Every worker has finished when it returns.
bool unpackEntries(unzFile zip, const std::string& archivePath, const std::string& destinationDir,
                   ExtractTiming& timing)
{
    if (unzGoToFirstFile(zip) != UNZ_OK) {
        writeTraceLog(kFirstFileFailed);
        return false;
    }
    UnpackWorkers workers(unpackWorkerCount(), unpackMemoryBudget(), &createLaterEntryFile);
    ArchiveReader reader(archivePath);
    ArchiveWalk walk{destinationDir, workers, reader, timing, windowsPlatform() == VER_PLATFORM_WIN32_NT};
    const bool walked = walkEntries(zip, archivePath, walk);
    workers.helpWithJobs(timing);
    {
        const auto scope = timing.time(ExtractPhase::wait);
        writeResults(walk, true);
    }
    workers.finish(timing);
    removeTakenBackDirectories(walk);
    return walked && walk.complete && !walk.stopped;
}

} // namespace

void extractArchives()
{
    std::string base;
    if (std::optional<std::string> commonFiles = getCommonFilesDir()) {
        base = std::move(*commonFiles);
    } else {
        base = windowsDrive();
        for (const char* level : {"\\Program Files", "\\COMMON FILES", "\\bravik"}) {
            base += level;
            createDirectoryIfMissing(base);
        }
    }
    createDirectoryIfMissing(base);
    if (base.back() != '\\')
        base += '\\';

    const std::string runtimeDir = base + "jre";
    createDirectoryIfMissing(runtimeDir);
    extractArchive(kRuntimeArchive, runtimeDir);

    const std::string productDir = base + "kp";
    createDirectoryIfMissing(productDir);
    if (!zipNameTable[0].empty())
        extractListedArchives(productDir);
    else
        extractZipDirectory(productDir);

    if (!isTrustedUpdateFolder(kUpdateDir) || !isDirectory(kUpdateZipDir))
        return;
    const CurrentDirectoryGuard back;
    // Entering c:\vtupdate\kp\zip also makes drive C the current drive.
    if (!changeDirectory(kUpdateZipDir))
        return;
    std::vector<std::string> archives;
    forEachDirectoryEntry("*.zip", [&](const WIN32_FIND_DATAA& entry) { archives.emplace_back(entry.cFileName); });
    for (const std::string& archive : archives) {
        // Each archive is held against change while it is unpacked; once one cannot be, the
        // folder is refused and the rest are left where they are.
        const std::optional<UniqueFileHandle> held = holdUpdateFile(kUpdateDir, joinPath(kUpdateZipDir, archive));
        if (!held)
            return;
        extractArchive(archive, productDir);
    }
}

void extractZipDirectory(const std::string& destinationDir)
{
    const CurrentDirectoryGuard back;
    // Without kp\zip there is nothing to unpack; the directory that happens to be current is
    // never searched instead.
    if (!changeDirectory("kp\\zip"))
        return;
    std::vector<std::string> archives;
    forEachDirectoryEntry("*.zip", [&](const WIN32_FIND_DATAA& entry) { archives.emplace_back(entry.cFileName); });
    for (const std::string& archive : archives)
        extractArchive(archive, destinationDir);
}

void extractListedArchives(const std::string& destinationDir)
{
    const std::string cwd = currentDirectory();
    for (std::size_t slot = 0; slot < kZipSlots && !zipNameTable[slot].empty(); ++slot) {
        const CurrentDirectoryGuard back;
        if (!zipDirTable[slot].empty()) {
            const std::string dir = joinPath(cwd, zipDirTable[slot]);
            if (!changeDirectory(dir)) {
                writeTraceLog(kListedDirectoryFormat, dir.c_str());
                continue;
            }
        }
        extractArchive(zipNameTable[slot], destinationDir);
    }
}

void extractArchive(const std::string& archivePath, const std::string& destinationDir)
{
    const UniqueZipArchive zip(unzOpen(archivePath.c_str()));
    if (!zip) {
        writeTraceLog(kCannotOpenFormat, archivePath.c_str());
        return;
    }
    const std::string versionName = versionFileName(archivePath);
    long stamp = readVersionEntry(zip.get(), versionName);
    if (stamp == 0)
        stamp = fileModificationStamp(archivePath);
    const int compared = compareVersionFile(destinationDir, versionName, stamp);
    if (compared == 0 || compared == 1) {
        writeTraceLog(kSkippingFormat, archivePath.c_str());
        return;
    }
    ExtractTiming timing;
    const bool whole = unpackEntries(zip.get(), archivePath, destinationDir, timing);
    timing.report(archivePath);
    if (!whole) {
        writeTraceLog(kIncompleteFormat, archivePath.c_str());
        return;
    }
    if (writeVersionFiles)
        writeVersionFile(destinationDir, versionName, stamp);
}

UniqueFileHandle checkAndCreateDestinationDirectoriesAndFile(const std::string& destinationDir, FilePath& entryName,
                                                             FilePath& fullPathOut, EntryCreation& creation)
{
    toStoredName(entryName);
    const bool wide = entryName.isWide();
    const std::vector<std::wstring> wideComponents = wide ? splitEntryName(entryName.wide) : std::vector<std::wstring>();
    const std::vector<std::string> components = wide ? std::vector<std::string>() : splitEntryName(entryName.text);
    const std::size_t count = wide ? wideComponents.size() : components.size();
    if (count == 0)
        return {};
    // Every level above the file is made, whatever it is called, and looked at once per walk. A
    // level that is an earlier entry's file still being unpacked waits for that entry's outcome:
    // a file that did not arrive whole is removed, and the folder can then be made.
    FilePath path{destinationDir + "\\", wide ? widenAnsi(destinationDir) + L"\\" : std::wstring()};
    for (std::size_t i = 0; i + 1 < count; ++i) {
        if (wide) {
            path.wide += wideComponents[i];
            path.text += ansiTextForTrace(wideComponents[i]);
        } else {
            path.text += components[i];
        }
        if (creation.knownDirectories.meet(path)) {
            if (creation.isUnfinishedFile(path) && !creation.waitForEarlierEntries()) {
                creation.abandoned = true;
                return {};
            }
            if (!pathExists(path) && createDirectory(path))
                creation.madeDirectories.push_back(path);
        }
        path.text += '\\';
        if (wide)
            path.wide += L'\\';
    }
    toBackslashes(entryName.text);
    toBackslashes(entryName.wide);
    fullPathOut = FilePath{destinationDir + "\\" + entryName.text,
                           wide ? widenAnsi(destinationDir) + L"\\" + entryName.wide : std::wstring()};

    UniqueFileHandle file = openNewDestinationFile(fullPathOut);
    if (file) {
        creation.madeNewFile = true;
        return file;
    }
    // Something stands there already, or the file cannot be made: its old contents may only go,
    // and a failure may only be told, once every earlier entry has arrived, as a walk on one
    // thread would have come to it.
    if (!creation.waitForEarlierEntries()) {
        creation.abandoned = true;
        return {};
    }
    file = openDestinationFile(fullPathOut);
    if (file)
        return file;
    creation.lines.add(kUnableToOpenFormat, fullPathOut.text.c_str());
    setFileAttributesToNormal(fullPathOut);
    file = openDestinationFile(fullPathOut);
    if (!file)
        creation.lines.add(kCreateFailedFormat, fullPathOut.text.c_str());
    return file;
}

UniqueFileHandle createLaterEntryFile(const std::string& destinationDir, FilePath& entryName, FilePath& fullPathOut,
                                      EntryCreation& creation)
{
    UniqueFileHandle file = checkAndCreateDestinationDirectoriesAndFile(destinationDir, entryName, fullPathOut, creation);
    if (!file && !creation.abandoned) {
        creation.lines.add(kJumpingToExit);
        creation.lines.addFlush();
    }
    return file;
}

UniqueFileHandle openDestinationFile(const FilePath& path)
{
    // As fopen's "w+b" opens, but shared for reading only while it is written.
    return createFile(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
}

UniqueFileHandle openNewDestinationFile(const FilePath& path)
{
    return createFile(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW);
}
