// The workers of extraction: while the walk reads the archive in entry order on its own thread,
// they create the entries' files, inflate whole entries from memory, check them against the
// archive's directory and write them. Whatever runs where, the archive ends as a walk on one
// thread would leave it:
// - Memory: the buffers jobs hold, counted as allocated (with a fixed allowance per job for its
//   bookkeeping), stay within the budget, and at most kMostJobsInFlight jobs are in flight; the
//   walk waits for room before it allocates. Buffers given back by finished jobs (at most 64 MB)
//   come on top.
// - Checks: an entry counts as whole only when its bytes came out of a stored or deflated entry
//   through our own code and their size and CRC-32 matched the directory's.
// - Order: files are created one at a time in entry order. A file that did not exist is made at
//   once; one that exists, and any folder that is an earlier entry's file still being unpacked,
//   waits until every earlier entry has its outcome, so that an old file is only truncated when
//   the walk on one thread would have reached it.
// - After the failure that ends the archive (a file that cannot be created, a write that fails)
//   no later entry's file is created, truncated or removed, and no later line is written: what
//   later entries made meanwhile (new files, new folders) is taken away again and their lines
//   are dropped.
// Workers never touch the trace log: each entry's lines come back as text, and the walk writes
// them in entry order.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "extract_timing.h"
#include "platform.h"
#include "tracelog.h"

enum class EntryOutcome { unpacked, skipped, failed, stop };

// The time an extracted file gets: the entry's MS-DOS date and time taken as local time, in
// UTC; nothing when a conversion failed, with the lines that say which.
struct EntryTime {
    std::optional<FILETIME> utc;
    TraceLines errors;
};

// A heap block and how many bytes it holds.
struct ByteBuffer {
    std::unique_ptr<unsigned char[]> bytes;
    std::size_t capacity = 0;
    unsigned char* get() const { return bytes.get(); }
};

// The folders an archive's walk has met so far, each looked at once.
class KnownDirectories {
public:
    // True the first time a folder is met.
    bool meet(const FilePath& directory)
    {
        return directory.isWide() ? wide_.insert(directory.wide).second : ansi_.insert(directory.text).second;
    }

private:
    std::unordered_set<std::string> ansi_;
    std::unordered_set<std::wstring> wide_;
};

// What the creation of one entry's file needs from whoever creates it (the walk or a worker),
// and what it leaves behind, so that it can be taken away again when an earlier entry ends the
// archive.
struct EntryCreation {
    KnownDirectories& knownDirectories;
    TraceLines& lines;
    // Waits until every earlier entry has its outcome; false when one of them ended the archive,
    // and then nothing of this entry may be touched.
    std::function<bool()> waitForEarlierEntries;
    // True when path is the file of an earlier entry that has no outcome yet.
    std::function<bool(const FilePath&)> isUnfinishedFile;
    // A file that was not there before, and the folders made for it.
    bool madeNewFile = false;
    std::vector<FilePath> madeDirectories{};
    // The archive ended before anything of this entry was touched.
    bool abandoned = false;
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
    std::vector<FilePath> madeDirectories;
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
    // turns out to have ended the archive.
    std::optional<FilePath> newFile{};
    std::vector<FilePath> newDirectories{};
};

// Inflates or copies the job's bytes, checks their size and CRC-32, writes and closes its
// created file with the entry's time. A file that did not arrive whole is removed.
UnpackResult unpackJob(UnpackJob& job, ExtractTiming& timing);

// Writes all of data to the file; false when anything of it was not stored.
bool writeWhole(HANDLE file, const unsigned char* data, std::size_t size, ExtractTiming& timing);

// Sets the file's creation and last-write time; the last write through the handle must come
// before it. Failure adds its line and a flush to lines.
void setFileTimeFromEntry(HANDLE file, const EntryTime& time, TraceLines& lines);

// Closes the file and removes it, with the line that says so.
void removePartialFile(UniqueFileHandle& file, const FilePath& entryName, const FilePath& fullPath,
                       TraceLines& lines);

// Clears a file's attributes (read-only, hidden) so that it can be written or removed; an
// absent path does nothing.
void setFileAttributesToNormal(const FilePath& path);

// A write that stored less than it was given: says so, removes the file and ends the archive.
EntryOutcome abandonUnwrittenFile(UniqueFileHandle& file, const FilePath& entryName, const FilePath& fullPath,
                                  const std::string& destinationDir, TraceLines& lines);

// The worker threads and the results of one archive, in entry order. Only the thread that walks
// the archive calls it. Its end cancels what has not started and joins every worker.
class UnpackWorkers {
public:
    // Makes the file of an entry after an archive's first one, with the lines of a failure;
    // nothing when it cannot be made or the archive ended first. Workers call it in entry order.
    using EntryFileMaker = UniqueFileHandle (*)(const std::string& destinationDir, FilePath& entryName,
                                                FilePath& fullPath, EntryCreation& creation);

    // No more jobs than this are in flight at once, however small they are.
    static constexpr std::size_t kMostJobsInFlight = 256;
    // What a job holds beyond its buffers (its record, its names, its lines, the heap's own
    // bookkeeping), counted against the budget too.
    static constexpr std::size_t kJobAllowance = 1024;

    UnpackWorkers(unsigned workers, std::size_t budget, EntryFileMaker makeFile);
    ~UnpackWorkers();
    UnpackWorkers(const UnpackWorkers&) = delete;
    UnpackWorkers& operator=(const UnpackWorkers&) = delete;

    std::size_t budget() const { return budget_; }
    // Waits until bytes (at most the budget) fit beside what the jobs in flight hold and a job
    // more may be in flight, then counts them for the job about to be made. False, counting
    // nothing, once an entry has ended the archive.
    bool reserve(std::size_t bytes);
    // Gives back what a job that was never submitted held.
    void release(std::size_t bytes);
    // A buffer of at least size bytes for a job whose memory is reserved: one a finished job
    // gave back where the difference fits the budget (held grows by it), else a fresh one of
    // exactly size bytes. Throws std::bad_alloc.
    ByteBuffer takeBuffer(std::size_t size, std::size_t& held);
    // Queues a reserved job behind every result submitted so far; without a worker it runs here.
    void submit(UnpackJob job);
    // A result the walk made itself, to be taken in its place in entry order.
    void submitResult(UnpackResult result);
    // The oldest result not yet taken: nothing when there is none, or when it is not ready and
    // wait is false.
    std::optional<UnpackResult> takeOldest(bool wait);
    // Waits until every job submitted so far is done, leaving its result to be taken; false
    // when an entry has ended the archive.
    bool waitAll();
    // Waits until every job submitted so far has had its turn to create its file, so that the
    // walk may create one itself; gives the folders met so far, which the walk's creation adds
    // to, or nothing when the archive has ended.
    KnownDirectories* waitForCreations();
    // True when path is the file of a job that is not done yet.
    bool isUnfinishedFile(const FilePath& path);
    // True once a job's failure ended the archive, or the walk cancelled the jobs.
    bool ended();
    // Jobs whose files are not created yet end without a line and untouched.
    void cancel();
    // Runs jobs that no worker has taken yet on the walk's thread, which has read everything.
    void helpWithJobs(ExtractTiming& timing);
    // Joins the workers and adds their timing to the walk's.
    void finish(ExtractTiming& timing);

private:
    EntryFileMaker makeFile_;
    struct Task {
        UnpackJob job;
        std::size_t bytes = 0;
        std::size_t turn = 0;
        std::optional<UnpackResult> result;
    };

    void work(ExtractTiming& timing);
    // Takes the next job and runs it. With wait, waits for one, false once closing with none
    // left; without, false when none is waiting.
    bool runNext(ExtractTiming& timing, bool wait);
    UnpackResult run(Task& task, ExtractTiming& timing);
    // Creates the task's file in its turn; the result when the entry ends there.
    std::optional<UnpackResult> createInTurn(Task& task, ExtractTiming& timing);
    // Waits until every job before turn is done; false when the archive ended before turn.
    bool waitFinishedBefore(std::size_t turn);
    // Counts a job as done: its memory, its file, its place; mutex_ held.
    void settle(Task& task, UnpackResult result);
    // Keeps a finished job's buffers for later ones; mutex_ held.
    void keepBuffers(UnpackJob& job);

    const std::size_t budget_;
    // Read and changed only by whoever holds the turn to create.
    KnownDirectories directories_;
    std::mutex mutex_;
    std::condition_variable workAvailable_;
    std::condition_variable taskDone_;
    std::deque<std::shared_ptr<Task>> waiting_;
    std::deque<std::shared_ptr<Task>> order_;
    std::condition_variable turnTaken_;
    std::size_t heldBytes_ = 0;
    std::size_t jobsInFlight_ = 0;
    std::set<std::size_t> unfinished_;
    // The files of jobs not done yet, in their comparable form, by turn.
    std::unordered_map<std::wstring, std::size_t> unfinishedFiles_;
    std::size_t turnsGiven_ = 0;
    std::size_t nextTurn_ = 0;
    // The turn of the first job whose failure ended the archive.
    std::optional<std::size_t> endingTurn_;
    bool cancelled_ = false;
    bool closing_ = false;
    // Buffers given back, by capacity: at most 64 MB of blocks of at most 16 MB, beside the budget.
    std::multimap<std::size_t, std::unique_ptr<unsigned char[]>> spare_;
    std::size_t spareBytes_ = 0;
    std::vector<ExtractTiming> timings_;
    std::vector<std::thread> threads_;
};

// One worker per processor, at most four.
unsigned unpackWorkerCount();

// How many bytes the jobs of an archive may hold at once: a quarter of the physical memory free
// now, at most 512 MB in a 32-bit process and 1 GB in a 64-bit one. An entry larger than this is
// copied on the walk's thread in pieces.
std::size_t unpackMemoryBudget();
