// The workers of extraction: while the walk reads the archive in entry order on its own thread,
// they create the entries' files, inflate whole entries from memory, check them against the
// archive's directory and write them. Files are created strictly in entry order, one at a time,
// so that a file that cannot be created leaves every later entry untouched, as a walk on one
// thread would. Workers never touch the trace log: each entry's lines come back as text, and
// the walk writes them in entry order.
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

// An entry read whole from the archive, whose file its worker creates (an archive's first
// entry comes with the file the walk made for it).
struct UnpackJob {
    // As Windows stores it; the file's creation puts backslashes in, and its trace lines give it so.
    std::string entryName;
    std::string destinationDir;
    // An entry whose packed bytes could not be read whole still has its file created, as a walk
    // on one thread would, and then removed.
    bool readWhole = true;
    std::string fullPath;
    UniqueFileHandle file;
    ByteBuffer packed;
    std::size_t packedSize = 0;
    // Where a deflated entry is inflated, made beside packed so that a failed allocation
    // leaves the entry to the walk's own streaming copy.
    ByteBuffer unpacked;
    bool deflated = false;
    unsigned long crc = 0;
    std::size_t size = 0;
    EntryTime time;
    // The lines of its creation and its unpacking.
    TraceLines lines;
};

struct UnpackResult {
    EntryOutcome outcome = EntryOutcome::failed;
    TraceLines lines;
};

// The bytes a job holds until its worker is done with it.
std::size_t jobBytes(const UnpackJob& job);

// Inflates or copies the job's bytes, checks their size and CRC-32, writes and closes its
// created file with the entry's time. A file that did not arrive whole is removed.
UnpackResult unpackJob(UnpackJob& job, ExtractTiming& timing);

// Writes all of data to the file; false when anything of it was not stored.
bool writeWhole(HANDLE file, const unsigned char* data, std::size_t size, ExtractTiming& timing);

// Sets the file's creation and last-write time; the last write through the handle must come
// before it. Failure adds its line and a flush to lines.
void setFileTimeFromEntry(HANDLE file, const EntryTime& time, TraceLines& lines);

// Closes the file and removes it, with the line that says so.
void removePartialFile(UniqueFileHandle& file, const std::string& entryName, const std::string& fullPath,
                       TraceLines& lines);

// A write that stored less than it was given: says so, removes the file and stops the walk.
// Clears a file's attributes (read-only, hidden) so that it can be written or removed; an
// absent path does nothing.
void setFileAttributesToNormal(const std::string& path);

EntryOutcome abandonUnwrittenFile(UniqueFileHandle& file, const std::string& entryName, const std::string& fullPath,
                                  const std::string& destinationDir, TraceLines& lines);

// The worker threads and the results of one archive, in entry order. Jobs hold memory until
// their workers are done with them, and submit waits while more than the budget is in flight.
// Only the thread that walks the archive calls it. Its end cancels what has not started and
// joins every worker.
class UnpackWorkers {
public:
    // Makes the file of an entry after an archive's first one, with the lines of a failure;
    // nothing when it cannot be made. Workers call it in entry order.
    using EntryFileMaker = UniqueFileHandle (*)(const std::string& destinationDir, std::string& entryName,
                                                std::string& fullPath, std::unordered_set<std::string>& knownDirectories,
                                                TraceLines& lines, const std::function<void()>& waitForWriters);

    UnpackWorkers(unsigned workers, std::size_t budget, EntryFileMaker makeFile);
    ~UnpackWorkers();
    UnpackWorkers(const UnpackWorkers&) = delete;
    UnpackWorkers& operator=(const UnpackWorkers&) = delete;

    std::size_t budget() const { return budget_; }
    // A buffer of at least size bytes, one a finished job gave back where there is one: every
    // page of fresh memory costs a fault. Throws std::bad_alloc.
    ByteBuffer takeBuffer(std::size_t size);
    // Queues the job behind every result submitted so far; without a worker it runs here.
    void submit(UnpackJob job);
    // A result the walk made itself, to be taken in its place in entry order.
    void submitResult(UnpackResult result);
    // The oldest result not yet taken: nothing when there is none, or when it is not ready and
    // wait is false.
    std::optional<UnpackResult> takeOldest(bool wait);
    // Waits until every job submitted so far is done, leaving its result to be taken.
    void waitAll();
    // Waits until every job submitted so far has had its turn to create its file, so that the
    // walk may create one itself; gives the directories met so far, which the walk's creation
    // adds to, or nothing when a job's file could not be created or the jobs were cancelled:
    // then the walk ends there.
    std::unordered_set<std::string>* waitForCreations();
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
    void waitFinishedBefore(std::size_t turn);
    // Keeps a finished job's buffers for later ones; mutex_ held.
    void keepBuffers(UnpackJob& job);

    const std::size_t budget_;
    // Read and changed only by whoever holds the turn to create.
    std::unordered_set<std::string> directories_;
    std::mutex mutex_;
    std::condition_variable workAvailable_;
    std::condition_variable taskDone_;
    std::deque<std::shared_ptr<Task>> waiting_;
    std::deque<std::shared_ptr<Task>> order_;
    std::condition_variable turnTaken_;
    std::size_t inFlight_ = 0;
    std::set<std::size_t> unfinished_;
    std::size_t turnsGiven_ = 0;
    std::size_t nextTurn_ = 0;
    bool creationFailed_ = false;
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

// How many bytes, packed and unpacked together, entries may hold in memory at once: a quarter
// of the physical memory free now, at most 512 MB in a 32-bit process and 1 GB in a 64-bit one.
// An entry larger than this is copied on the walk's thread in pieces.
std::size_t unpackMemoryBudget();
