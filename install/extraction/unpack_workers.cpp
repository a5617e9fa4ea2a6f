#include "unpack_workers.h"

#include <algorithm>
#include <system_error>

#include "../../common/system_libraries.h"

namespace {

constexpr unsigned kMostWorkers = 4;
constexpr unsigned long long kMegabyte = 1024 * 1024;
constexpr std::size_t kLargestSpare = 16 * kMegabyte;
constexpr std::size_t kSpareLimit = 64 * kMegabyte;
constexpr unsigned long long kBudgetCap = sizeof(void*) == 4 ? 512 * kMegabyte : 1024 * kMegabyte;

} // namespace

UnpackWorkers::UnpackWorkers(unsigned workers, std::size_t budget, EntryFileMaker makeFile)
    : makeFile_(makeFile), budget_(budget)
{
    timings_.resize(std::max(workers, 1u));
    threads_.reserve(workers);
    try {
        for (unsigned i = 0; i < workers; ++i)
            threads_.emplace_back(&UnpackWorkers::work, this, std::ref(timings_[i]));
    } catch (const std::system_error&) {
        // Fewer workers, or none: then every job runs on the walk's thread.
    }
}

UnpackWorkers::~UnpackWorkers()
{
    cancel();
    ExtractTiming unused;
    finish(unused);
}

bool UnpackWorkers::reserveMemory(std::size_t bytes)
{
    std::unique_lock lock(mutex_);
    taskDone_.wait(lock, [&] {
        return endingTurn_ || cancelled_ ||
               (jobsInFlight_ < kMostJobsInFlight && heldBytes_ + bytes <= budget_);
    });
    if (endingTurn_ || cancelled_)
        return false;
    heldBytes_ += bytes;
    ++jobsInFlight_;
    return true;
}

void UnpackWorkers::releaseMemory(std::size_t bytes)
{
    {
        const std::lock_guard lock(mutex_);
        heldBytes_ -= bytes;
        --jobsInFlight_;
    }
    taskDone_.notify_all();
}

ByteBuffer UnpackWorkers::takeBuffer(std::size_t size, std::size_t& held)
{
    if (size == 0)
        return {};
    {
        const std::lock_guard lock(mutex_);
        const auto spare = spare_.lower_bound(size);
        if (spare != spare_.end() && heldBytes_ + (spare->first - size) <= budget_) {
            heldBytes_ += spare->first - size;
            held += spare->first - size;
            ByteBuffer buffer{std::move(spare->second), spare->first};
            spareBytes_ -= spare->first;
            spare_.erase(spare);
            return buffer;
        }
    }
    return ByteBuffer{std::make_unique_for_overwrite<unsigned char[]>(size), size};
}

void UnpackWorkers::keepBuffers(UnpackJob& job)
{
    for (ByteBuffer* buffer : {&job.packed, &job.unpacked}) {
        if (buffer->bytes && buffer->capacity <= kLargestSpare && spareBytes_ + buffer->capacity <= kSpareLimit) {
            spareBytes_ += buffer->capacity;
            spare_.emplace(buffer->capacity, std::move(buffer->bytes));
        }
    }
}

void UnpackWorkers::settle(Task& task, UnpackResult result)
{
    keepBuffers(task.job);
    if (!task.job.fileKey.empty())
        removeUnfinishedFile(task.job.fileKey, task.turn);
    task.job = {};
    task.result = std::move(result);
    heldBytes_ -= task.bytes;
    --jobsInFlight_;
    unfinished_.erase(task.turn);
}

void UnpackWorkers::submit(UnpackJob job)
{
    auto task = std::make_shared<Task>();
    task->bytes = job.heldBytes;
    task->job = std::move(job);
    std::unique_lock lock(mutex_);
    task->turn = turnsGiven_++;
    unfinished_.insert(task->turn);
    order_.push_back(task);
    if (threads_.empty()) {
        lock.unlock();
        UnpackResult result = run(*task, timings_.front());
        lock.lock();
        settle(*task, std::move(result));
        lock.unlock();
        taskDone_.notify_all();
        return;
    }
    waiting_.push_back(std::move(task));
    lock.unlock();
    workAvailable_.notify_one();
}

void UnpackWorkers::submitResult(UnpackResult result)
{
    auto task = std::make_shared<Task>();
    task->result = std::move(result);
    const std::lock_guard lock(mutex_);
    order_.push_back(std::move(task));
}

std::optional<UnpackResult> UnpackWorkers::takeOldest(bool wait)
{
    std::unique_lock lock(mutex_);
    if (order_.empty())
        return std::nullopt;
    const std::shared_ptr<Task> oldest = order_.front();
    if (wait)
        taskDone_.wait(lock, [&] { return oldest->result.has_value(); });
    if (!oldest->result)
        return std::nullopt;
    order_.pop_front();
    return std::move(oldest->result);
}

bool UnpackWorkers::waitAll()
{
    std::unique_lock lock(mutex_);
    taskDone_.wait(lock, [&] { return unfinished_.empty(); });
    return !endingTurn_ && !cancelled_;
}

KnownDirectories* UnpackWorkers::waitForCreations()
{
    std::unique_lock lock(mutex_);
    turnTaken_.wait(lock, [&] { return nextTurn_ == turnsGiven_; });
    return endingTurn_ || cancelled_ ? nullptr : &directories_;
}

bool UnpackWorkers::isUnfinishedFile(const std::wstring& path)
{
    const std::lock_guard lock(mutex_);
    // Only a path as long as some unfinished file's is looked up, so that the levels of a deep
    // entry cost no more than their own names.
    return unfinishedLengths_.contains(path.size()) && unfinishedFiles_.contains(path);
}

void UnpackWorkers::addUnfinishedFile(const std::wstring& key, std::size_t turn)
{
    if (unfinishedFiles_.emplace(key, turn).second)
        ++unfinishedLengths_[key.size()];
}

void UnpackWorkers::removeUnfinishedFile(const std::wstring& key, std::size_t turn)
{
    const auto file = unfinishedFiles_.find(key);
    if (file == unfinishedFiles_.end() || file->second != turn)
        return;
    unfinishedFiles_.erase(file);
    if (--unfinishedLengths_[key.size()] == 0)
        unfinishedLengths_.erase(key.size());
}

bool UnpackWorkers::ended()
{
    const std::lock_guard lock(mutex_);
    return endingTurn_ || cancelled_;
}

void UnpackWorkers::cancel()
{
    {
        const std::lock_guard lock(mutex_);
        cancelled_ = true;
    }
    turnTaken_.notify_all();
    taskDone_.notify_all();
}

void UnpackWorkers::finish(ExtractTiming& timing)
{
    {
        const std::lock_guard lock(mutex_);
        closing_ = true;
    }
    workAvailable_.notify_all();
    for (std::thread& thread : threads_)
        if (thread.joinable())
            thread.join();
    threads_.clear();
    for (const ExtractTiming& worker : timings_)
        timing.merge(worker);
    timings_.clear();
}

bool UnpackWorkers::waitFinishedBefore(std::size_t turn)
{
    std::unique_lock lock(mutex_);
    taskDone_.wait(lock, [&] { return unfinished_.empty() || *unfinished_.begin() >= turn; });
    return !(endingTurn_ && *endingTurn_ < turn) && !cancelled_;
}

std::optional<UnpackResult> UnpackWorkers::createInTurn(Task& task, ExtractTiming& timing)
{
    UnpackJob& job = task.job;
    // The walk creates an archive's first file itself.
    const bool created = static_cast<bool>(job.file);
    if (created)
        job.fileKey = comparablePath(job.fullPath);
    {
        std::unique_lock lock(mutex_);
        turnTaken_.wait(lock, [&] { return nextTurn_ == task.turn; });
        if (created)
            addUnfinishedFile(job.fileKey, task.turn);
        if (created || endingTurn_ || cancelled_) {
            ++nextTurn_;
            lock.unlock();
            turnTaken_.notify_all();
            if (created)
                return std::nullopt;
            // A walk on one thread would have ended before this entry.
            return UnpackResult{EntryOutcome::skipped, {}};
        }
    }
    EntryCreation creation{directories_, job.lines, [&] { return waitFinishedBefore(task.turn); },
                           [&](const std::wstring& path) { return isUnfinishedFile(path); }};
    try {
        const auto scope = timing.time(ExtractPhase::create);
        job.file = makeFile_(job.destinationDir, job.entryName, job.fullPath, creation);
    } catch (const std::exception&) {
        // The turn passes on whatever happened; an entry without its file ends the walk.
        job.file.reset();
    }
    job.madeNewFile = creation.madeNewFile;
    job.madeFolders = std::move(creation.madeFolders);
    if (job.file)
        job.fileKey = comparablePath(job.fullPath);
    bool ending = false;
    {
        const std::lock_guard lock(mutex_);
        if (job.file) {
            addUnfinishedFile(job.fileKey, task.turn);
        } else if (!creation.abandoned && (!endingTurn_ || *endingTurn_ > task.turn)) {
            endingTurn_ = task.turn;
            ending = true;
        }
        ++nextTurn_;
    }
    turnTaken_.notify_all();
    // Whoever waits for room or for earlier entries learns that the archive ended.
    if (ending)
        taskDone_.notify_all();
    if (job.file)
        return std::nullopt;
    UnpackResult ended{creation.abandoned ? EntryOutcome::skipped : EntryOutcome::stop, std::move(job.lines)};
    ended.newFolders = std::move(job.madeFolders);
    return ended;
}

UnpackResult UnpackWorkers::run(Task& task, ExtractTiming& timing)
{
    if (std::optional<UnpackResult> ended = createInTurn(task, timing))
        return std::move(*ended);
    UnpackResult result = unpackJob(task.job, timing);
    if (result.outcome == EntryOutcome::stop) {
        const std::lock_guard lock(mutex_);
        if (!endingTurn_ || *endingTurn_ > task.turn)
            endingTurn_ = task.turn;
    }
    return result;
}

void UnpackWorkers::work(ExtractTiming& timing)
{
    while (runNext(timing, true)) {
    }
}

void UnpackWorkers::helpWithJobs(ExtractTiming& timing)
{
    while (runNext(timing, false)) {
    }
}

bool UnpackWorkers::runNext(ExtractTiming& timing, bool wait)
{
    std::shared_ptr<Task> task;
    {
        std::unique_lock lock(mutex_);
        if (wait)
            workAvailable_.wait(lock, [&] { return closing_ || !waiting_.empty(); });
        if (waiting_.empty())
            return false;
        task = std::move(waiting_.front());
        waiting_.pop_front();
    }
    UnpackResult result;
    try {
        result = run(*task, timing);
    } catch (const std::exception&) {
        if (task->job.file)
            removePartialFile(task->job.file, task->job.entryName, task->job.fullPath, result.lines);
    }
    {
        const std::lock_guard lock(mutex_);
        settle(*task, std::move(result));
    }
    taskDone_.notify_all();
    return true;
}

unsigned unpackWorkerCount()
{
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    return std::clamp<unsigned>(system.dwNumberOfProcessors, 1, kMostWorkers);
}

std::size_t unpackMemoryBudget()
{
    using StatusExFunction = BOOL(WINAPI*)(LPMEMORYSTATUSEX);
    unsigned long long available = 0;
    // The 95 family and NT 4 have only the older query, which counts up to 4 GB.
    const UniqueModule kernel = loadSystemLibrary("kernel32.dll");
    if (const auto statusEx = resolveFunction<StatusExFunction>(kernel.get(), "GlobalMemoryStatusEx")) {
        MEMORYSTATUSEX status{};
        status.dwLength = sizeof(status);
        if (statusEx(&status))
            available = status.ullAvailPhys;
    }
    if (available == 0) {
        MEMORYSTATUS status{};
        status.dwLength = sizeof(status);
        GlobalMemoryStatus(&status);
        available = status.dwAvailPhys;
    }
    return static_cast<std::size_t>(std::min(available / 4, kBudgetCap));
}
