#include "unpack_workers.h"

#include <algorithm>
#include <climits>
#include <system_error>

#include <zlib.h>

#ifdef INFLATE_WITH_LIBDEFLATE
#include <libdeflate.h>
#endif

#include "../common/system_libraries.h"

namespace {

constexpr char kWriteFailedFormat[] = "something went wrong writing to file %s at dest %s\n";
constexpr char kSetTimeFormat[] = "Error setting time err = %d\n";
constexpr char kNotWholeFormat[] = "Entry %s was not unpacked whole; %s is removed\n";

constexpr unsigned kMostWorkers = 4;
// One call for nearly every file; under Wine, writes of a few megabytes at once take several
// times as long as the same bytes in 256 KB pieces.
constexpr std::size_t kWriteChunk = 256 * 1024;
constexpr unsigned long long kMegabyte = 1024 * 1024;
constexpr std::size_t kLargestSpare = 16 * kMegabyte;
constexpr std::size_t kSpareLimit = 64 * kMegabyte;
constexpr unsigned long long kBudgetCap = sizeof(void*) == 4 ? 512 * kMegabyte : 1024 * kMegabyte;

// zlib counts in 32-bit pieces; larger inputs and outputs go in turns.
constexpr uInt kZlibStep = UINT_MAX;

#ifdef INFLATE_WITH_LIBDEFLATE

struct DecompressorTraits {
    using Value = libdeflate_decompressor*;
    static Value invalid() { return nullptr; }
    static void close(Value decompressor) { libdeflate_free_decompressor(decompressor); }
};
using UniqueDecompressor = UniqueResource<DecompressorTraits>;

unsigned long crcOf(const unsigned char* data, std::size_t size)
{
    return libdeflate_crc32(0, data, size);
}

// Inflates a raw deflate stream into exactly size bytes; false when the stream is damaged or
// gives another number of bytes.
bool inflateWhole(const unsigned char* packed, std::size_t packedSize, unsigned char* out, std::size_t size)
{
    const UniqueDecompressor decompressor(libdeflate_alloc_decompressor());
    if (!decompressor)
        return false;
    std::size_t got = 0;
    return libdeflate_deflate_decompress(decompressor.get(), packed, packedSize, out, size, &got) ==
               LIBDEFLATE_SUCCESS &&
           got == size;
}

#else

unsigned long crcOf(const unsigned char* data, std::size_t size)
{
    unsigned long crc = crc32(0L, Z_NULL, 0);
    while (size > 0) {
        const uInt step = static_cast<uInt>(std::min<std::size_t>(size, kZlibStep));
        crc = crc32(crc, data, step);
        data += step;
        size -= step;
    }
    return crc;
}

struct InflateStream {
    z_stream stream{};
    bool open = false;
    ~InflateStream()
    {
        if (open)
            inflateEnd(&stream);
    }
};

// Inflates a raw deflate stream into exactly size bytes; false when the stream is damaged or
// gives fewer bytes. Bytes beyond size are left out, as minizip leaves them, so the CRC-32 of
// the size bytes decides.
bool inflateWhole(const unsigned char* packed, std::size_t packedSize, unsigned char* out, std::size_t size)
{
    InflateStream inflater;
    if (inflateInit2(&inflater.stream, -MAX_WBITS) != Z_OK)
        return false;
    inflater.open = true;
    z_stream& stream = inflater.stream;
    stream.next_in = const_cast<unsigned char*>(packed);
    stream.next_out = out;
    std::size_t inLeft = packedSize;
    std::size_t outLeft = size;
    for (;;) {
        if (stream.avail_in == 0 && inLeft > 0) {
            stream.avail_in = static_cast<uInt>(std::min<std::size_t>(inLeft, kZlibStep));
            inLeft -= stream.avail_in;
        }
        if (stream.avail_out == 0 && outLeft > 0) {
            stream.avail_out = static_cast<uInt>(std::min<std::size_t>(outLeft, kZlibStep));
            outLeft -= stream.avail_out;
        }
        if (stream.avail_out == 0)
            return true;
        const int status = inflate(&stream, Z_NO_FLUSH);
        if (status == Z_STREAM_END)
            return stream.avail_out == 0 && outLeft == 0;
        if (status != Z_OK)
            return false;
    }
}

#endif

// The entry's bytes in their final form in out, or false when they do not match the directory.
// A deflated entry with no packed bytes at all is empty, as other tools unpack it.
bool unpackedBytes(UnpackJob& job, const unsigned char*& out, ExtractTiming& timing)
{
    const auto scope = timing.time(ExtractPhase::inflate);
    out = job.packed.get();
    if (job.deflated) {
        if (job.packedSize == 0) {
            if (job.size != 0)
                return false;
        } else {
            unsigned char nothing = 0;
            unsigned char* target = job.size > 0 ? job.unpacked.get() : &nothing;
            if (!inflateWhole(job.packed.get(), job.packedSize, target, job.size))
                return false;
        }
        out = job.unpacked.get();
    } else if (job.packedSize != job.size) {
        return false;
    }
    return crcOf(out, job.size) == job.crc;
}

} // namespace

bool writeWhole(HANDLE file, const unsigned char* data, std::size_t size, ExtractTiming& timing)
{
    const auto scope = timing.time(ExtractPhase::write);
    while (size > 0) {
        const DWORD step = static_cast<DWORD>(std::min(size, kWriteChunk));
        DWORD written = 0;
        // A short write loses data just as a failed one does.
        if (!WriteFile(file, data, step, &written, nullptr) || written != step)
            return false;
        data += step;
        size -= step;
    }
    return true;
}

void setFileTimeFromEntry(HANDLE file, const EntryTime& time, TraceLines& lines)
{
    // A time that cannot be converted is never written: the file keeps the time it has.
    if (!time.utc) {
        lines.appendLines(time.errors);
        return;
    }
    if (!SetFileTime(file, &*time.utc, nullptr, &*time.utc)) {
        lines.add(kSetTimeFormat, static_cast<int>(GetLastError()));
        lines.addFlush();
    }
}

void setFileAttributesToNormal(const FilePath& path)
{
    if (pathExists(path))
        setFileAttributes(path, 0);
}

void removePartialFile(UniqueFileHandle& file, const FilePath& entryName, const FilePath& fullPath, TraceLines& lines)
{
    file.reset();
    setFileAttributesToNormal(fullPath);
    deleteFile(fullPath);
    lines.add(kNotWholeFormat, entryName.text.c_str(), fullPath.text.c_str());
}

EntryOutcome abandonUnwrittenFile(UniqueFileHandle& file, const FilePath& entryName, const FilePath& fullPath,
                                  const std::string& destinationDir, TraceLines& lines)
{
    lines.add(kWriteFailedFormat, entryName.text.c_str(), destinationDir.c_str());
    removePartialFile(file, entryName, fullPath, lines);
    return EntryOutcome::stop;
}

UnpackResult unpackJob(UnpackJob& job, ExtractTiming& timing)
{
    UnpackResult result{EntryOutcome::unpacked, std::move(job.lines)};
    if (job.madeNewFile)
        result.newFile = job.fullPath;
    result.newDirectories = std::move(job.madeDirectories);
    const unsigned char* bytes = nullptr;
    if (!job.readWhole || !unpackedBytes(job, bytes, timing)) {
        removePartialFile(job.file, job.entryName, job.fullPath, result.lines);
        result.outcome = EntryOutcome::failed;
        return result;
    }
    if (!writeWhole(job.file.get(), bytes, job.size, timing)) {
        result.outcome =
            abandonUnwrittenFile(job.file, job.entryName, job.fullPath, job.destinationDir, result.lines);
        return result;
    }
    const auto scope = timing.time(ExtractPhase::finish);
    setFileTimeFromEntry(job.file.get(), job.time, result.lines);
    job.file.reset();
    timing.countEntry(job.size);
    return result;
}

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

bool UnpackWorkers::reserve(std::size_t bytes)
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

void UnpackWorkers::release(std::size_t bytes)
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
    if (!task.job.fileKey.empty()) {
        const auto file = unfinishedFiles_.find(task.job.fileKey);
        if (file != unfinishedFiles_.end() && file->second == task.turn)
            unfinishedFiles_.erase(file);
    }
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

bool UnpackWorkers::isUnfinishedFile(const FilePath& path)
{
    const std::wstring key = comparablePath(path);
    const std::lock_guard lock(mutex_);
    return unfinishedFiles_.contains(key);
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
            unfinishedFiles_.emplace(job.fileKey, task.turn);
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
                           [&](const FilePath& path) { return isUnfinishedFile(path); }};
    try {
        const auto scope = timing.time(ExtractPhase::create);
        job.file = makeFile_(job.destinationDir, job.entryName, job.fullPath, creation);
    } catch (const std::exception&) {
        // The turn passes on whatever happened; an entry without its file ends the walk.
        job.file.reset();
    }
    job.madeNewFile = creation.madeNewFile;
    job.madeDirectories = std::move(creation.madeDirectories);
    if (job.file)
        job.fileKey = comparablePath(job.fullPath);
    bool ending = false;
    {
        const std::lock_guard lock(mutex_);
        if (job.file) {
            unfinishedFiles_.emplace(job.fileKey, task.turn);
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
    ended.newDirectories = std::move(job.madeDirectories);
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
