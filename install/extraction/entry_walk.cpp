#include "entry_walk.h"

#include <optional>
#include <vector>

#include "../../common/unzip_owners.h"
#include "../platform.h"
#include "../tracelog.h"
#include "archive_reader.h"
#include "entry_copy.h"
#include "entry_files.h"
#include "entry_names.h"
#include "unpack_workers.h"

namespace {

constexpr char kFirstFileFailed[] = "something went wrong radically going to first file\n";
constexpr char kFileInfoFailed[] = "something went wrong radically getting fileInfo on the first file\n";
constexpr char kOpenEntryFailed[] = "something went wrong radically opening the first file\n";
constexpr char kNextFileFailed[] = "something went wrong radically going to the next file\n";
constexpr char kOutsideFormat[] = "Entry %s would be written outside %s and is skipped\n";
constexpr char kTooLongFormat[] = "Entry %s is too long a path below %s and is not unpacked\n";
constexpr char kRecordPlaceFormat[] = "Entry %s would take the place of a version record and is skipped\n";
constexpr char kNamelessEntry[] = "An entry without a name is skipped\n";
constexpr char kShortCountFormat[] = "The directory of zip file %s holds more entries than it declares\n";
constexpr char kUnknownMethodFormat[] = "Entry %s is packed with method %d, which cannot be unpacked, and is skipped\n";
constexpr char kEncryptedFormat[] = "Entry %s is encrypted, which cannot be unpacked, and is skipped\n";
constexpr char kNotUtf8Format[] = "Entry %s has a name that is not UTF-8 and is skipped\n";
constexpr char kNoAnsiNameFormat[] = "Entry %s has no name in the ANSI code page and is skipped\n";

// The only ways of packing an entry that install unpacks.
constexpr int kStored = 0;
constexpr int kDeflated = Z_DEFLATED;
constexpr unsigned long kEncryptedFlag = 1;

// What the walk of one archive keeps: where it unpacks, its workers and whether every entry
// arrived whole so far.
struct ArchiveWalk {
    const std::string& destinationDir;
    UnpackWorkers& workers;
    const ArchiveFile& archive;
    ArchiveReader& reader;
    ExtractTiming& timing;
    // The file functions take UTF-16 (the NT family), so a name that exists only in Unicode
    // can be unpacked under its own name, and a path past MAX_PATH in the "\\?\" form.
    bool unicodeFiles = false;
    // The length of the destination's "\\?\" form, where the file functions take it.
    std::size_t extendedDestinationLength = 0;
    std::vector<char> copyBuffer{};
    bool complete = true;
    bool stopped = false;
    // The folders of entries that failed or came after the one that ended the archive, in
    // entry order; removed at its end.
    std::vector<MadeFolders> takenBackFolders{};
};

// Takes away what an entry after the one that ended the archive made, since a walk on one
// thread would never have reached it: its new file now, its new folders at the archive's end.
void takeBack(UnpackResult& result, ArchiveWalk& walk)
{
    if (result.newFile) {
        setFileAttributesToNormal(*result.newFile);
        deleteFile(*result.newFile);
    }
    walk.takenBackFolders.push_back(std::move(result.newFolders));
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
        // Whatever an entry that did not arrive made goes again, once no later entry can use it.
        if (result->outcome == EntryOutcome::failed || result->outcome == EntryOutcome::stop)
            walk.takenBackFolders.push_back(std::move(result->newFolders));
        if (result->outcome == EntryOutcome::failed)
            walk.complete = false;
        if (result->outcome == EntryOutcome::stop) {
            walk.stopped = true;
            walk.workers.cancel();
        }
    }
}

// The folders taken back, innermost first; one that still holds something stays. Folders are
// made one entry at a time in entry order, and no folder before the one inside it, so the
// reverse of that order is innermost first.
void removeTakenBackFolders(ArchiveWalk& walk)
{
    for (auto folders = walk.takenBackFolders.rbegin(); folders != walk.takenBackFolders.rend(); ++folders)
        removeMadeFolders(*folders);
    walk.takenBackFolders.clear();
}

// What an entry made that was not there before, for its result.
void noteNewThings(EntryCreation& creation, const FilePath& fullPath, UnpackResult& result)
{
    if (creation.madeNewFile)
        result.newFile = fullPath;
    result.newFolders = std::move(creation.madeFolders);
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
                     [&](const std::wstring& path) { return walk.workers.isUnfinishedFile(path); });
    if (first)
        return checkAndCreateDestinationDirectoriesAndFile(walk.destinationDir, entryName, fullPath, *creation);
    return createLaterEntryFile(walk.destinationDir, entryName, fullPath, *creation);
}

// Refuses an entry whose name cannot be unpacked below the destination, with its line; nothing
// when the entry may be unpacked under the name Windows will store, which entryName becomes.
// A Unicode name meets the same rules in its own form. Paths past MAX_PATH are unpacked only
// where the file functions take them (the NT family, through the "\\?\" form), and only as far
// as that form goes: an entry past it is refused before anything is made for it, in time that
// grows with its length.
std::optional<EntryOutcome> refuseEntryName(FilePath& entryName, const ArchiveWalk& walk, TraceLines& lines)
{
    const std::string& destinationDir = walk.destinationDir;
    const bool longPaths = walk.unicodeFiles;
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
    if ((pathLength >= MAX_PATH && !longPaths) ||
        (longPaths && !fitsExtendedPath(walk.extendedDestinationLength, wide ? entryName.wide : widenAnsi(entryName.text)))) {
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
    if (!workers.reserveMemory(static_cast<std::size_t>(bytes)))
        return std::nullopt;
    job.heldBytes = static_cast<std::size_t>(bytes);
    try {
        job.packed = workers.takeBuffer(job.packedSize, job.heldBytes);
        if (deflated)
            job.unpacked = workers.takeBuffer(job.size, job.heldBytes);
    } catch (const std::bad_alloc&) {
        workers.releaseMemory(job.heldBytes);
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
        if (const std::optional<EntryOutcome> refused = refuseEntryName(entryName, walk, lines))
            return settle(*refused);
        if (refusePacking(info, entryName, lines))
            return settle(EntryOutcome::failed);
    }
    std::optional<UnpackJob> job = wholeEntryJob(info, walk.workers);
    UniqueFileHandle file;
    if (first) {
        file = createDestinationFile(walk, entryName, fullPath, true, lines, creation);
        if (!file) {
            if (job)
                walk.workers.releaseMemory(job->heldBytes);
            return settle(EntryOutcome::stop);
        }
    }
    UniqueZipEntry entry = openEntry(zip, job.has_value(), walk.timing);
    if (!entry) {
        lines.add(kOpenEntryFailed);
        if (file)
            removePartialFile(file, entryName, fullPath, lines);
        if (job)
            walk.workers.releaseMemory(job->heldBytes);
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
            job->madeFolders = std::move(creation->madeFolders);
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
        copyEntry(std::move(entry), std::move(file), entryName, fullPath, info, walk.copyBuffer, walk.destinationDir,
                  walk.timing, std::move(lines));
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
            if (!walkedWholeDirectory(zip, info, walk.archive))
                return stop(kShortCountFormat, archivePath.c_str());
            return true;
        }
        if (next != UNZ_OK)
            return stop("%s", kNextFileFailed);
    }
}

} // namespace

bool unpackEntries(unzFile zip, const ArchiveFile& archive, const std::string& archivePath,
                   const std::string& destinationDir, ExtractTiming& timing)
{
    if (unzGoToFirstFile(zip) != UNZ_OK) {
        writeTraceLog(kFirstFileFailed);
        return false;
    }
    UnpackWorkers workers(unpackWorkerCount(), unpackMemoryBudget(), &createLaterEntryFile);
    ArchiveReader reader(archive);
    ArchiveWalk walk{destinationDir, workers, archive, reader, timing, windowsPlatform() == VER_PLATFORM_WIN32_NT};
    if (walk.unicodeFiles)
        walk.extendedDestinationLength = extendedPath(widenAnsi(destinationDir)).size();
    const bool walked = walkEntries(zip, archivePath, walk);
    workers.helpWithJobs(timing);
    {
        const auto scope = timing.time(ExtractPhase::wait);
        writeResults(walk, true);
    }
    workers.finish(timing);
    removeTakenBackFolders(walk);
    return walked && walk.complete && !walk.stopped;
}
