// Extraction on workers keeps every promise of a walk on one thread: its memory budget, its
// checks, its trace and the files it leaves alone after the failure that ends an archive.
#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <thread>

#include "install/extraction/extract.h"
#include "install/globals.h"
#include "install/tracelog.h"
#include "pe_image.h"
#include "testing.h"
#include "../trace_log_fixture.h"
#include "zip_writer.h"

using namespace testing_support;

namespace {

class UnpackWorkersTest : public ArchiveUnitTest {
protected:
    void restartTraceLog()
    {
        closeTraceLog();
        writeFile(traceLogPath, "");
        ASSERT_TRUE(reopenTraceLog());
    }

    std::string incomplete() const
    {
        return "Zip file " + archive + " was not unpacked completely; no version file is written\n";
    }
};

// Text that deflates, of a given size, different for every variant.
std::string textOf(std::size_t size, unsigned variant)
{
    std::string text;
    text.reserve(size + 16);
    while (text.size() < size) {
        variant = variant * 1103515245u + 12345u;
        text += "line " + std::to_string(variant >> 8) + "\n";
    }
    text.resize(size);
    return text;
}

// The platform's answers that a test changes for the length of one case.
struct StandIns {
    // GlobalMemoryStatusEx reports this much free physical memory.
    static inline DWORDLONG freeMemory = 0;
    // WriteFile stores nothing more into the file whose path ends in failingFile once it has
    // stored failAfter bytes into it: the disk is full.
    static inline std::string failingFile;
    static inline std::atomic<std::size_t> failAfter = 0;
    // CreateFileA refuses to open a read-only file for writing, as Windows does for any user.
    static inline bool honourReadOnly = false;
    static inline void* originalWriteFile = nullptr;
    static inline void* originalCreateFile = nullptr;

    static BOOL WINAPI memoryStatusEx(LPMEMORYSTATUSEX status)
    {
        std::memset(reinterpret_cast<char*>(status) + sizeof(DWORD), 0, sizeof(*status) - sizeof(DWORD));
        status->ullAvailPhys = freeMemory;
        status->ullTotalPhys = freeMemory;
        return TRUE;
    }

    static BOOL WINAPI writeFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
    {
        const std::string path = pathOfHandle(file);
        if (!failingFile.empty() && path.size() >= failingFile.size() &&
            equalsIgnoringCase(path.substr(path.size() - failingFile.size()), failingFile)) {
            const std::size_t room = failAfter.load();
            const DWORD stored = static_cast<DWORD>(std::min<std::size_t>(room, size));
            failAfter -= stored;
            if (stored < size) {
                if (stored > 0)
                    reinterpret_cast<decltype(&WriteFile)>(originalWriteFile)(file, data, stored, written, overlapped);
                *written = stored;
                SetLastError(ERROR_DISK_FULL);
                return FALSE;
            }
        }
        return reinterpret_cast<decltype(&WriteFile)>(originalWriteFile)(file, data, size, written, overlapped);
    }

    static HANDLE WINAPI createFile(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                    DWORD disposition, DWORD flags, HANDLE templateFile)
    {
        const DWORD attributes = GetFileAttributesA(name);
        if (honourReadOnly && (access & GENERIC_WRITE) && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_READONLY) && disposition != CREATE_NEW) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        return reinterpret_cast<decltype(&CreateFileA)>(originalCreateFile)(name, access, share, security, disposition,
                                                                          flags, templateFile);
    }
};

// Points one import of this program, which holds install's code, at a stand-in.
class StandIn {
public:
    StandIn(const char* dll, const char* function, void* replacement, void*& original)
        : patch_(GetModuleHandleA(nullptr), dll, function, replacement)
    {
        original = patch_.original();
    }

private:
    ImportPatch patch_;
};

// What the process has committed now, as its memory counters tell (under Wine: the pages it
// has touched).
std::size_t committedBytes()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return counters.PagefileUsage;
}

TEST_F(UnpackWorkersTest, ManySmallEntriesStayWithinTheBudget)
{
    // 2,500 entries of a few bytes: were each held in two blocks of 64 KB, they would take
    // 320 MB (and touch 20 MB of it) while the workers create their files one by one.
    std::vector<ZipEntry> entries;
    for (int i = 0; i < 2500; ++i)
        entries.push_back({"many/" + std::to_string(i / 100) + "/" + std::to_string(i) + ".txt",
                           "entry " + std::to_string(i)});
    writeZip(archive, entries);
    StandIns::freeMemory = 4 * 256 * 1024;
    const LookupStandIns budget({{"GlobalMemoryStatusEx", reinterpret_cast<void*>(&StandIns::memoryStatusEx)}});

    const std::size_t before = committedBytes();
    std::atomic<bool> done = false;
    std::size_t highest = before;
    std::thread watch([&] {
        while (!done) {
            highest = std::max(highest, committedBytes());
            Sleep(2);
        }
    });
    extractArchive(archive, dest);
    done = true;
    watch.join();

    EXPECT_EQ(readFile(dest + "\\many\\24\\2499.txt"), "entry 2499");
    EXPECT_TRUE(exists(dest + "\\jre.ver"));
    // The budget of 256 KB, the buffers kept for later jobs and the walk's own: far below what
    // blocks of 64 KB would take.
    EXPECT_LT(highest - before, 8u * 1024 * 1024) << "committed " << (highest - before) / 1024 << " KB more";
}

TEST_F(UnpackWorkersTest, OnlyEntriesUnpackedAndCheckedHereCountAsWhole)
{
    // An entry packed with bzip2 (method 12), which install does not unpack, whose checksum is
    // wrong too; and an empty deflated entry without a single packed byte, as some tools write.
    writeZip(archive, {{"jre.ver", "date=7"},
                       {"empty.txt", "", dosDateTime(2001, 2, 3, 4, 5, 6), true, std::nullopt, 8},
                       {"b12.bin", "twelve bytes", dosDateTime(2001, 2, 3, 4, 5, 6), false, 0x1234, 12},
                       {"last.txt", "last"}});
    extractArchive(archive, dest);
    EXPECT_FALSE(exists(dest + "\\b12.bin"));
    EXPECT_EQ(readFile(dest + "\\empty.txt"), "");
    EXPECT_EQ(readFile(dest + "\\last.txt"), "last");
    EXPECT_FALSE(exists(dest + "\\jre.ver"));
    EXPECT_EQ(traceText(), withCrLf("Entry b12.bin is packed with method 12, which cannot be unpacked, and is skipped\n" +
                                    incomplete()));

    // Without it the empty entry is whole, and the archive is recorded.
    writeZip(archive, {{"jre.ver", "date=8"}, {"empty.txt", "", dosDateTime(2001, 2, 3, 4, 5, 6), true, std::nullopt, 8}});
    extractArchive(archive, dest);
    EXPECT_EQ(readFile(dest + "\\jre.ver"), "date=8");
}

TEST_F(UnpackWorkersTest, FirstEntryKeepsTheLinesOfItsSecondTry)
{
    writeFile(dest + "\\ro.txt", "old");
    SetFileAttributesA((dest + "\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    writeZip(archive, {{"ro.txt", "new"}, {"jre.ver", "date=5"}});
    StandIns::honourReadOnly = true;
    {
        const StandIn readOnly("KERNEL32.dll", "CreateFileA", reinterpret_cast<void*>(&StandIns::createFile),
                               StandIns::originalCreateFile);
        extractArchive(archive, dest);
    }
    StandIns::honourReadOnly = false;
    EXPECT_EQ(readFile(dest + "\\ro.txt"), "new");
    EXPECT_EQ(traceText(), withCrLf("Unable to open " + dest + "\\ro.txt. Trying setFileAttributesToNormal method \n" +
                                    "Writing date=5 to file \n"));
}

TEST_F(UnpackWorkersTest, ADiskThatFillsLeavesEveryLaterEntryAsItWas)
{
    // The third entry fills the disk half-way through; the others are small and quick.
    const auto archiveOf = [](const std::string& folder, int version) {
        std::vector<ZipEntry> entries = {{"jre.ver", "date=" + std::to_string(version)}};
        for (int i = 1; i <= 17; ++i) {
            const std::size_t size = i == 3 ? 4000000 : 65536;
            entries.push_back({folder + "e" + std::to_string(i) + ".bin", textOf(size, i * 10 + version)});
        }
        return entries;
    };
    const auto fillDiskAt = [](const std::string& file) {
        StandIns::failingFile = file;
        StandIns::failAfter = 2000000;
    };
    const std::string writeFailed = "something went wrong writing to file ";

    // An update: every file is there from an older unpack, and none after the third may lose it.
    writeZip(archive, archiveOf("", 1));
    extractArchive(archive, dest);
    writeZip(archive, archiveOf("", 2));
    restartTraceLog();
    {
        fillDiskAt("\\e3.bin");
        const StandIn full("KERNEL32.dll", "WriteFile", reinterpret_cast<void*>(&StandIns::writeFile),
                           StandIns::originalWriteFile);
        extractArchive(archive, dest);
    }
    EXPECT_EQ(readFile(dest + "\\e1.bin"), textOf(65536, 12));
    EXPECT_EQ(readFile(dest + "\\e2.bin"), textOf(65536, 22));
    EXPECT_FALSE(exists(dest + "\\e3.bin"));
    for (int i = 4; i <= 17; ++i)
        EXPECT_TRUE(readFile(dest + "\\e" + std::to_string(i) + ".bin") == textOf(65536, i * 10 + 1)) << i;
    EXPECT_EQ(traceText(), withCrLf(writeFailed + "e3.bin at dest " + dest + "\n" + "Entry e3.bin was not unpacked whole; " +
                                    dest + "\\e3.bin is removed\n" + incomplete()));

    // A first unpack: nothing after the third entry is made, not even its folder, and the
    // third entry's own folder goes with it.
    std::vector<ZipEntry> nested = archiveOf("", 3);
    for (int i = 1; i <= 17; ++i)
        nested[i].name = "n" + std::to_string(i) + "/" + nested[i].name;
    writeZip(archive, nested);
    restartTraceLog();
    {
        fillDiskAt("\\e3.bin");
        const StandIn full("KERNEL32.dll", "WriteFile", reinterpret_cast<void*>(&StandIns::writeFile),
                           StandIns::originalWriteFile);
        extractArchive(archive, dest);
    }
    StandIns::failingFile.clear();
    EXPECT_TRUE(exists(dest + "\\n2\\e2.bin"));
    EXPECT_FALSE(exists(dest + "\\n3"));
    for (int i = 4; i <= 17; ++i)
        EXPECT_FALSE(exists(dest + "\\n" + std::to_string(i))) << i;
    EXPECT_EQ(traceText(), withCrLf(writeFailed + "n3\\e3.bin at dest " + dest + "\n" +
                                    "Entry n3\\e3.bin was not unpacked whole; " + dest + "\\n3\\e3.bin is removed\n" +
                                    incomplete()));
}

TEST_F(UnpackWorkersTest, AFolderThatIsAFailedEntrysFileWaitsForItsRemoval)
{
    std::vector<ZipEntry> entries = {{"ff", textOf(32000000, 5), dosDateTime(2001, 2, 3, 4, 5, 6), true, 0x1234},
                                     {"ff/x.txt", "x"}};
    for (int i = 0; i < 10; ++i)
        entries.push_back({"ff/y" + std::to_string(i) + ".txt", "y"});
    writeZip(archive, entries);
    extractArchive(archive, dest);
    EXPECT_EQ(readFile(dest + "\\ff\\x.txt"), "x");
    EXPECT_EQ(readFile(dest + "\\ff\\y9.txt"), "y");
    EXPECT_EQ(traceText(), withCrLf("Entry ff was not unpacked whole; " + dest + "\\ff is removed\n" + incomplete()));
}

} // namespace
