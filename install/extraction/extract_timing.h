// Where extraction spends its time, for the extraction benchmark only. A build configured with
// -DEXTRACT_TIMING=ON adds up the time of each phase per archive and appends one line per
// archive to the file the environment variable EXTRACT_TIMING_REPORT names; every other build,
// the deliverables among them, compiles all of it to nothing.
#pragma once

#include <windows.h>

#include <array>
#include <cstdio>
#include <string>

#include "../../common/owners.h"

enum class ExtractPhase {
    walk,    // entry information and the step to the next entry
    names,   // the checks of an entry name
    create,  // directories and the destination file
    open,    // opening the entry, its local header
    read,    // reading packed bytes of the archive
    inflate, // inflating, or reading and inflating where one call does both
    write,   // writing the file
    finish,  // closing the file and the entry, setting the file's times
    wait,    // the reading thread waiting for room or for the workers
    count
};

#ifdef EXTRACT_TIMING

class ExtractTiming {
public:
    class Scope {
    public:
        Scope(ExtractTiming& timing, ExtractPhase phase) : timing_(timing), phase_(phase) { start_ = now(); }
        ~Scope() { timing_.ticks_[static_cast<std::size_t>(phase_)] += now() - start_; }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        ExtractTiming& timing_;
        ExtractPhase phase_;
        long long start_;
    };

    ExtractTiming() : start_(now()) {}

    Scope time(ExtractPhase phase) { return Scope(*this, phase); }
    void countEntry(unsigned long long bytes)
    {
        ++entries_;
        bytes_ += bytes;
    }
    void merge(const ExtractTiming& other)
    {
        for (std::size_t i = 0; i < ticks_.size(); ++i)
            ticks_[i] += other.ticks_[i];
        entries_ += other.entries_;
        bytes_ += other.bytes_;
    }

    // One line: the archive, its entries and bytes, the wall time, then seconds per phase.
    void report(const std::string& archivePath) const
    {
        char path[MAX_PATH];
        const DWORD length = GetEnvironmentVariableA("EXTRACT_TIMING_REPORT", path, sizeof(path));
        if (length == 0 || length >= sizeof(path))
            return;
        const UniqueFile file(std::fopen(path, "a"));
        if (!file)
            return;
        FILE* out = file.get();
        static constexpr const char* kNames[] = {"walk", "names", "create", "open", "read",
                                                 "inflate", "write", "finish", "wait"};
        std::fprintf(out, "archive=%s entries=%llu bytes=%llu wall=%.6f", archivePath.c_str(), entries_, bytes_,
                     seconds(now() - start_));
        for (std::size_t i = 0; i < ticks_.size(); ++i)
            std::fprintf(out, " %s=%.6f", kNames[i], seconds(ticks_[i]));
        std::fprintf(out, "\n");
    }

private:
    static long long now()
    {
        LARGE_INTEGER ticks;
        QueryPerformanceCounter(&ticks);
        return ticks.QuadPart;
    }
    static double seconds(long long ticks)
    {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(ticks) / static_cast<double>(frequency.QuadPart);
    }

    std::array<long long, static_cast<std::size_t>(ExtractPhase::count)> ticks_{};
    unsigned long long entries_ = 0;
    unsigned long long bytes_ = 0;
    long long start_;
};

#else

class ExtractTiming {
public:
    // A destructor of its own, as the timing scope has, keeps unused-variable warnings away.
    struct Scope {
        ~Scope() {}
    };
    Scope time(ExtractPhase) { return {}; }
    void countEntry(unsigned long long) {}
    void merge(const ExtractTiming&) {}
    void report(const std::string&) const {}
};

#endif
