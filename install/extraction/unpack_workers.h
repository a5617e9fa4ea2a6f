// The workers of extraction and their memory budget. What they promise, whatever runs where,
// is the folder's contract in README.md beside this file.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "../platform.h"
#include "entry_copy.h"
#include "entry_files.h"
#include "extract_timing.h"

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
    bool reserveMemory(std::size_t bytes);
    // Gives back what a job that was never submitted held.
    void releaseMemory(std::size_t bytes);
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
    // True when path, in its comparable form, is the file of a job that is not done yet.
    bool isUnfinishedFile(const std::wstring& path);
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
    // Counts a file among the unfinished ones, or no longer; mutex_ held.
    void addUnfinishedFile(const std::wstring& key, std::size_t turn);
    void removeUnfinishedFile(const std::wstring& key, std::size_t turn);
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
    // How many of them have each length.
    std::unordered_map<std::size_t, std::size_t> unfinishedLengths_;
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
