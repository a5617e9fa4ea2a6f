#include "entry_copy.h"

#include <algorithm>
#include <climits>

#include <zlib.h>

#ifdef INFLATE_WITH_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace {

// One call for nearly every file; under Wine, writes of a few megabytes at once take several
// times as long as the same bytes in 256 KB pieces.
constexpr std::size_t kWriteChunk = 256 * 1024;
// Large enough that inflate and the disk, not the calls, bound the copy of an entry too large
// to be held in memory.
constexpr unsigned kCopyBufferSize = 256 * 1024;

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

UnpackResult unpackJob(UnpackJob& job, ExtractTiming& timing)
{
    UnpackResult result{EntryOutcome::unpacked, std::move(job.lines)};
    if (job.madeNewFile)
        result.newFile = job.fullPath;
    result.newFolders = std::move(job.madeFolders);
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

UnpackResult copyEntry(UniqueZipEntry entry, UniqueFileHandle file, const FilePath& entryName, const FilePath& fullPath,
                       const unz_file_info64& info, std::vector<char>& buffer, const std::string& destinationDir,
                       ExtractTiming& timing, TraceLines lines)
{
    const unzFile zip = entry.get();
    UnpackResult result{EntryOutcome::unpacked, std::move(lines)};
    buffer.resize(kCopyBufferSize);
    bool readFailed = false;
    ZPOS64_T copied = 0;
    // minizip skips its own check on some paths; the size and CRC-32 are compared here.
    uLong crc = crc32(0L, Z_NULL, 0);
    for (;;) {
        int got;
        {
            const auto scope = timing.time(ExtractPhase::inflate);
            got = unzReadCurrentFile(zip, buffer.data(), kCopyBufferSize);
        }
        if (got == 0)
            break;
        if (got < 0) {
            readFailed = true;
            break;
        }
        if (!writeWhole(file.get(), reinterpret_cast<const unsigned char*>(buffer.data()),
                        static_cast<std::size_t>(got), timing)) {
            result.outcome = abandonUnwrittenFile(file, entryName, fullPath, destinationDir, result.lines);
            return result;
        }
        crc = crc32(crc, reinterpret_cast<const Bytef*>(buffer.data()), static_cast<uInt>(got));
        copied += static_cast<ZPOS64_T>(got);
    }
    const auto scope = timing.time(ExtractPhase::finish);
    const bool closed = entry.close() == UNZ_OK;
    if (readFailed || !closed || copied != info.uncompressed_size || crc != info.crc) {
        removePartialFile(file, entryName, fullPath, result.lines);
        result.outcome = EntryOutcome::failed;
        return result;
    }
    setFileTimeFromEntry(file.get(), entryFileTime(info.dosDate), result.lines);
    file.reset();
    timing.countEntry(copied);
    return result;
}
