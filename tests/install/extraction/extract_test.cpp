#include <windows.h>

#include <algorithm>
#include <climits>

#include "install/config.h"
#include "install/extraction/extract.h"
#include "install/extraction/entry_names.h"
#include "install/extraction/version_records.h"
#include "install/removal.h"
#include "testing.h"
#include "../trace_log_fixture.h"
#include "zip_writer.h"

using namespace testing_support;

namespace {

class ExtractTest : public ArchiveUnitTest {
protected:
    std::string record(const std::string& name = "jre.ver") { return readFile(dest + "\\" + name); }
};

FILETIME entryTimeAsUtc(int year, int month, int day, int hour, int minute, int second)
{
    SYSTEMTIME fields{};
    fields.wYear = static_cast<WORD>(year);
    fields.wMonth = static_cast<WORD>(month);
    fields.wDay = static_cast<WORD>(day);
    fields.wHour = static_cast<WORD>(hour);
    fields.wMinute = static_cast<WORD>(minute);
    fields.wSecond = static_cast<WORD>(second);
    FILETIME local{}, utc{};
    SystemTimeToFileTime(&fields, &local);
    LocalFileTimeToFileTime(&local, &utc);
    return utc;
}

struct FileTimes {
    FILETIME created{}, accessed{}, written{};
};

FileTimes timesOf(const std::string& path)
{
    FileTimes times;
    GetFileTime(openForReading(path).get(), &times.created, &times.accessed, &times.written);
    return times;
}

bool sameTime(const FILETIME& a, const FILETIME& b)
{
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

TEST_F(ExtractTest, VersionNamesAndEntries)
{
    EXPECT_EQ(versionFileName("kp\\windows\\jre.zip"), "jre.ver");
    EXPECT_EQ(versionFileName("a.b.zip"), "a.b.ver");
    EXPECT_EQ(versionFileName("C:\\x.y\\PRODUCT.ZIP"), "PRODUCT.ver");
    EXPECT_EQ(versionFileName("kp\\zip\\noextension"), "noextension.ver");

    EXPECT_EQ(isVersionEntry("jre.ver"), 1);
    EXPECT_EQ(isVersionEntry("lib/deep/X.VER"), 1);
    EXPECT_EQ(isVersionEntry("lib/ver"), 0);
    EXPECT_EQ(isVersionEntry("a.ver.txt"), 0);

    EXPECT_EQ(parseVersionStamp("date=42"), 42);
    EXPECT_EQ(parseVersionStamp("date=  -7 tail"), -7);
    EXPECT_EQ(parseVersionStamp("date=abc"), 0);
    EXPECT_EQ(parseVersionStamp("no number"), 0);
    EXPECT_EQ(parseVersionStamp("a=5=6"), 5);
    EXPECT_EQ(parseVersionStamp("date=99999999999999"), LONG_MAX);
}

TEST_F(ExtractTest, FirstRunUnpacksAndRecordsSecondRunSkips)
{
    writeZip(archive, {{"jre.ver", "date=1234"},
                       {"root.txt", "at the root"},
                       {"lib/", ""},
                       {"lib/ext/x.jar", std::string(100000, 'x')},
                       {"lib/notes.VER", "never unpacked"},
                       {"empty/", ""},
                       {"same/same", "a directory named like its file"}});
    extractArchive(archive, dest);
    EXPECT_EQ(readFile(dest + "\\root.txt"), "at the root");
    EXPECT_EQ(readFile(dest + "\\lib\\ext\\x.jar"), std::string(100000, 'x'));
    EXPECT_EQ(readFile(dest + "\\same\\same"), "a directory named like its file");
    EXPECT_FALSE(exists(dest + "\\lib\\notes.VER"));
    EXPECT_FALSE(exists(dest + "\\empty"));
    EXPECT_EQ(record(), "date=1234");
    EXPECT_EQ(traceText(), withCrLf("Writing date=1234 to file \n"));

    writeFile(dest + "\\root.txt", "changed since");
    extractArchive(archive, dest);
    EXPECT_EQ(readFile(dest + "\\root.txt"), "changed since");
    EXPECT_NE(traceText().find(withCrLf("Skipping unzipping of zipFile " + archive + " \n")), std::string::npos);

    // An older stamp is skipped too; a newer one unpacks again.
    writeZip(archive, {{"jre.ver", "date=1233"}, {"root.txt", "older"}});
    extractArchive(archive, dest);
    EXPECT_EQ(readFile(dest + "\\root.txt"), "changed since");
    writeZip(archive, {{"JRE.VER", "date=1235"}, {"root.txt", "newer"}});
    extractArchive(archive, dest);
    EXPECT_EQ(readFile(dest + "\\root.txt"), "newer");
    EXPECT_EQ(record(), "date=1235");
}

TEST_F(ExtractTest, ArchiveWithoutVersionEntryUsesItsFileTime)
{
    writeZip(archive, {{"a.txt", "one"}});
    extractArchive(archive, dest);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExA(archive.c_str(), GetFileExInfoStandard, &data);
    const ULONGLONG ticks = (static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                            data.ftLastWriteTime.dwLowDateTime;
    const long seconds = static_cast<long>((ticks - 116444736000000000ULL) / 10000000ULL);
    EXPECT_EQ(record(), "date=" + std::to_string(seconds));

    writeFile(dest + "\\a.txt", "edited");
    extractArchive(archive, dest);
    EXPECT_EQ(readFile(dest + "\\a.txt"), "edited");

    // Touching the archive makes it newer than its record.
    ULARGE_INTEGER later;
    later.QuadPart = ticks + 60ULL * 10000000ULL;
    FILETIME touched{later.LowPart, later.HighPart};
    SetFileTime(UniqueFileHandle(CreateFileA(archive.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0,
                                             nullptr)).get(),
                nullptr, nullptr, &touched);
    extractArchive(archive, dest);
    EXPECT_EQ(readFile(dest + "\\a.txt"), "one");
}

TEST_F(ExtractTest, RecordsWithoutANumberCountAsAbsent)
{
    writeZip(archive, {{"jre.ver", "date=77"}, {"a.txt", "fresh"}});
    for (const char* text : {"date=0", "date=", "no equals sign", "date=x77"}) {
        writeFile(dest + "\\jre.ver", text);
        writeFile(dest + "\\a.txt", "stale");
        extractArchive(archive, dest);
        EXPECT_EQ(readFile(dest + "\\a.txt"), "fresh") << text;
        EXPECT_EQ(record(), "date=77") << text;
    }
}

TEST_F(ExtractTest, NoVersionFilesUnpacksEveryTime)
{
    writeVersionFiles = false;
    writeZip(archive, {{"jre.ver", "date=5"}, {"a.txt", "fresh"}});
    extractArchive(archive, dest);
    EXPECT_FALSE(exists(dest + "\\jre.ver"));
    writeFile(dest + "\\a.txt", "stale");
    extractArchive(archive, dest);
    EXPECT_EQ(readFile(dest + "\\a.txt"), "fresh");
}

TEST_F(ExtractTest, ReadOnlyDestinationFileIsOverwritten)
{
    // Wine lets root open a read-only file for writing, so the first try may already succeed;
    // on Windows the attributes are cleared and the second try does.
    writeFile(dest + "\\ro.txt", "old");
    SetFileAttributesA((dest + "\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    writeZip(archive, {{"ro.txt", "new"}});
    extractArchive(archive, dest);
    EXPECT_EQ(readFile(dest + "\\ro.txt"), "new");
    EXPECT_EQ(record().rfind("date=", 0), 0u);
}

TEST_F(ExtractTest, DestinationFileThatCannotBeCreatedStopsTheArchive)
{
    // A file held open without sharing cannot be opened for writing by anyone.
    writeFile(dest + "\\held.txt", "held");
    UniqueFileHandle held(CreateFileA((dest + "\\held.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_NE(held.get(), INVALID_HANDLE_VALUE);
    const std::string path = dest + "\\held.txt";
    const std::string unable = "Unable to open " + path + ". Trying setFileAttributesToNormal method \n";
    const std::string failed = "Something went wrong creating file  " + path + " \n";

    // As the first entry the walk stops without a further line.
    writeZip(archive, {{"held.txt", "new"}, {"after.txt", "after"}});
    extractArchive(archive, dest);
    EXPECT_EQ(traceText(), withCrLf(unable + failed + "Zip file " + archive +
                                    " was not unpacked completely; no version file is written\n"));
    EXPECT_FALSE(exists(dest + "\\after.txt"));

    // Later, it says so and flushes the trace log.
    writeZip(archive, {{"before.txt", "before"}, {"held.txt", "new"}, {"after.txt", "after"}});
    extractArchive(archive, dest);
    held.reset();
    EXPECT_EQ(readFile(path), "held");
    EXPECT_EQ(readFile(dest + "\\before.txt"), "before");
    EXPECT_FALSE(exists(dest + "\\after.txt"));
    EXPECT_FALSE(exists(dest + "\\jre.ver"));
    EXPECT_NE(traceText().find(withCrLf(unable + failed + "2:jumping to exit - checkAndCreateDestinationDirectoriesAndFile \n")),
              std::string::npos);
}

TEST_F(ExtractTest, FilesCarryTheEntryTimeAsLocalTime)
{
    writeZip(archive, {{"dated.txt", "d", dosDateTime(2001, 2, 3, 4, 5, 6)},
                       {"late.txt", "l", dosDateTime(2107, 12, 31, 23, 59, 58)},
                       {"bad.txt", "b", dosDateTime(2001, 13, 3, 4, 5, 6)}});
    FILETIME start;
    GetSystemTimeAsFileTime(&start);
    ULARGE_INTEGER earlier{{start.dwLowDateTime, start.dwHighDateTime}};
    earlier.QuadPart -= 2ULL * 10000000ULL;
    const FILETIME before{earlier.LowPart, earlier.HighPart};
    extractArchive(archive, dest);
    const FileTimes dated = timesOf(dest + "\\dated.txt");
    EXPECT_TRUE(sameTime(dated.created, entryTimeAsUtc(2001, 2, 3, 4, 5, 6)));
    EXPECT_TRUE(sameTime(dated.written, entryTimeAsUtc(2001, 2, 3, 4, 5, 6)));
    EXPECT_TRUE(sameTime(timesOf(dest + "\\late.txt").written, entryTimeAsUtc(2107, 12, 31, 23, 59, 58)));

    // A date that is no date leaves the file with the time it got when it was written.
    SYSTEMTIME invalid{};
    invalid.wYear = 2001;
    invalid.wMonth = 13;
    invalid.wDay = 3;
    FILETIME unused;
    SystemTimeToFileTime(&invalid, &unused);
    const std::string error = std::to_string(GetLastError());
    EXPECT_NE(traceText().find("error converting time err = " + error + "\r\n"), std::string::npos);
    const FileTimes bad = timesOf(dest + "\\bad.txt");
    EXPECT_GE(CompareFileTime(&bad.written, &before), 0);
}

TEST_F(ExtractTest, EntriesThatWouldLeaveTheDestinationAreSkipped)
{
    const std::vector<std::string> hostile = {
        "../evil1.txt",  "a/../../evil2.txt", "/evil3.txt",     "\\evil4.txt", "C:evil5.txt",
        "c:/evil6.txt",  "..\\evil7.txt",     "a\\..\\..\\evil8.txt", "x/.../evil9.txt", "CON",
        "sub/aux.txt",   "a/. ./evil10.txt",  "stream.txt:hidden"};
    std::vector<ZipEntry> entries = {{"good/before.txt", "kept"}};
    for (const std::string& name : hostile)
        entries.push_back({name, "evil"});
    entries.push_back({"good/after.txt", "kept too"});
    makeDirectories(scratch + "dest\\a");
    writeZip(archive, entries);

    extractArchive(archive, dest);

    EXPECT_EQ(readFile(dest + "\\good\\before.txt"), "kept");
    EXPECT_EQ(readFile(dest + "\\good\\after.txt"), "kept too");
    for (int i = 1; i <= 10; ++i) {
        EXPECT_FALSE(exists(scratch + "evil" + std::to_string(i) + ".txt")) << i;
        EXPECT_FALSE(exists("C:\\evil" + std::to_string(i) + ".txt")) << i;
    }
    const std::string trace = traceText();
    for (const std::string& name : hostile)
        EXPECT_NE(trace.find("Entry " + name + " would be written outside " + dest + " and is skipped"),
                  std::string::npos)
            << name;
    // Skipping is final: the archive counts as unpacked.
    EXPECT_EQ(record().rfind("date=", 0), 0u);
}

TEST_F(ExtractTest, NameChecksSeeTheNameWindowsStores)
{
    struct Case {
        std::string name;
        std::string stored;
        int version;
        bool safe;
        bool claimsRecord;
    };
    const std::vector<Case> cases = {
        {"lib/x.jar", "lib/x.jar", 0, true, false},
        {"h.ver.", "h.ver", 1, true, false},
        {"h.ver ", "h.ver", 1, true, false},
        {"H.VER..", "H.VER", 1, true, false},
        {"h.ver. .", "h.ver", 1, true, false},
        {"PRODUC~1.VER", "PRODUC~1.VER", 1, true, false},
        {"h.ver/x.txt", "h.ver/x.txt", 0, true, true},
        {"./H.Ver. /x.txt", "./H.Ver/x.txt", 0, true, true},
        {"lib/h.ver/x.txt", "lib/h.ver/x.txt", 0, true, false},
        {"dir. /file.txt ", "dir/file.txt", 0, true, false},
        {"CON.", "CON", 0, false, false},
        {"con .txt", "con .txt", 0, false, false},
        {"AUX. ", "AUX", 0, false, false},
        {"a/NUL.txt.", "a/NUL.txt", 0, false, false},
        {"COM\xB9", "COM\xB9", 0, false, false},
        {"lpt\xB2.log", "lpt\xB2.log", 0, false, false},
        {"LPT\xB3", "LPT\xB3", 0, false, false},
        {"COM0", "COM0", 0, true, false},
        {"a/ ./b", "a/ ./b", 0, false, false},
        {"..", "..", 0, false, false},
        {"", "", 0, false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(storedEntryName(c.name), c.stored) << c.name;
        EXPECT_EQ(isVersionEntry(c.name), c.version) << c.name;
        EXPECT_EQ(hasSafeEntryName(c.name), c.safe) << c.name;
        EXPECT_EQ(claimsVersionRecord(c.name), c.claimsRecord) << c.name;
    }
}

TEST_F(ExtractTest, NoEntryCanPlantOrBlockAVersionRecord)
{
    // A forged record for this archive, then an entry that fails: neither record nor stamp stays.
    writeZip(archive, {{"jre.ver", "date=5"},
                       {"jre.ver.", "date=2147483647"},
                       {"JRE.VER ", "date=2147483647"},
                       {"kp.ver/x.txt", "takes the place of another archive's record"},
                       {"bad.txt", "bad", 0, false, 7}});
    extractArchive(archive, dest);
    EXPECT_FALSE(exists(dest + "\\jre.ver"));
    EXPECT_FALSE(exists(dest + "\\kp.ver"));
    EXPECT_NE(traceText().find("Entry kp.ver/x.txt would take the place of a version record and is skipped"),
              std::string::npos);

    // A sound newer archive then unpacks and records its own stamp.
    writeZip(archive, {{"jre.ver", "date=6"}, {"good.txt", "good"}, {"", "nameless"}});
    extractArchive(archive, dest);
    EXPECT_EQ(readFile(dest + "\\good.txt"), "good");
    EXPECT_EQ(record(), "date=6");
    EXPECT_NE(traceText().find(withCrLf("An entry without a name is skipped\n")), std::string::npos);
}

// The archive with the 16-bit entry counts of its end record set to count.
void declareEntries(const std::string& path, unsigned count)
{
    std::string bytes = readFile(path);
    const std::size_t end = bytes.rfind("PK\x05\x06");
    ASSERT_NE(end, std::string::npos);
    for (std::size_t field : {end + 8, end + 10}) {
        bytes[field] = static_cast<char>(count & 0xFF);
        bytes[field + 1] = static_cast<char>(count >> 8);
    }
    writeFile(path, bytes);
}

// The archive rewritten with a ZIP64 end record and locator, the way archives of more than
// 65,535 entries carry their directory.
void makeZip64(const std::string& path)
{
    std::string bytes = readFile(path);
    const std::size_t end = bytes.rfind("PK\x05\x06");
    const auto field = [&](std::size_t at, int size) {
        unsigned long long value = 0;
        for (int i = size - 1; i >= 0; --i)
            value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
        return value;
    };
    const auto put = [](std::string& out, unsigned long long value, int size) {
        for (int i = 0; i < size; ++i)
            out += static_cast<char>((value >> (8 * i)) & 0xFF);
    };
    const unsigned long long entries = field(end + 10, 2), size = field(end + 12, 4), offset = field(end + 16, 4);
    std::string tail = "PK\x06\x06";
    put(tail, 44, 8);
    put(tail, 45, 2);
    put(tail, 45, 2);
    put(tail, 0, 4);
    put(tail, 0, 4);
    put(tail, entries, 8);
    put(tail, entries, 8);
    put(tail, size, 8);
    put(tail, offset, 8);
    tail += "PK\x06\x07";
    put(tail, 0, 4);
    put(tail, end, 8);
    put(tail, 1, 4);
    tail += "PK\x05\x06";
    put(tail, 0, 4);
    put(tail, 0xFFFF, 2);
    put(tail, 0xFFFF, 2);
    put(tail, 0xFFFFFFFF, 4);
    put(tail, 0xFFFFFFFF, 4);
    put(tail, 0, 2);
    writeFile(path, bytes.substr(0, end) + tail);
}

TEST_F(ExtractTest, AnEndRecordThatUndercountsTheDirectoryWritesNoRecord)
{
    const std::vector<ZipEntry> entries = {{"jre.ver", "date=3"}, {"a.txt", "a"}, {"b.txt", "b"}};
    writeZip(archive, entries);
    declareEntries(archive, 2);
    extractArchive(archive, dest);
    EXPECT_FALSE(exists(dest + "\\jre.ver"));
    EXPECT_EQ(traceText(), withCrLf("The directory of zip file " + archive + " holds more entries than it declares\n" +
                                    "Zip file " + archive + " was not unpacked completely; no version file is written\n"));

    // The same directory behind a ZIP64 end record is whole.
    writeZip(archive, entries);
    makeZip64(archive);
    extractArchive(archive, dest);
    EXPECT_EQ(readFile(dest + "\\b.txt"), "b");
    EXPECT_EQ(record(), "date=3");
}

TEST_F(ExtractTest, TruncatedArchiveCannotBeOpened)
{
    writeZip(archive, {{"a.txt", std::string(5000, 'a')}});
    const std::string whole = readFile(archive);
    writeFile(archive, whole.substr(0, whole.size() / 2));
    EXPECT_FALSE(extractArchive(archive, dest));
    EXPECT_EQ(traceText(), withCrLf("Zip file could not be opened " + archive + "\n"));
    EXPECT_FALSE(exists(dest + "\\jre.ver"));
}

TEST_F(ExtractTest, DamagedEntriesLeaveNeitherFileNorRecord)
{
    // A deflated entry whose data is damaged in the middle, and a stored one whose checksum is wrong.
    std::string noise;
    unsigned state = 12345;
    for (int i = 0; i < 200000; ++i) {
        state = state * 1103515245u + 12345u;
        noise += static_cast<char>(state >> 16);
    }
    writeZip(archive, {{"jre.ver", "date=9"},
                       {"first.txt", "fine"},
                       {"damaged.bin", noise},
                       {"badcrc.txt", "stored with a wrong checksum", 0, false, 0x12345678},
                       {"last.txt", "fine too"}});
    std::string bytes = readFile(archive);
    const std::size_t middle = bytes.find("damaged.bin") + 30 + 11 + 5000;
    for (std::size_t i = 0; i < 64; ++i)
        bytes[middle + i] = static_cast<char>(~bytes[middle + i]);
    writeFile(archive, bytes);

    EXPECT_FALSE(extractArchive(archive, dest));

    EXPECT_EQ(readFile(dest + "\\first.txt"), "fine");
    EXPECT_EQ(readFile(dest + "\\last.txt"), "fine too");
    EXPECT_FALSE(exists(dest + "\\damaged.bin"));
    EXPECT_FALSE(exists(dest + "\\badcrc.txt"));
    EXPECT_FALSE(exists(dest + "\\jre.ver"));
    const std::string trace = traceText();
    EXPECT_NE(trace.find("Entry damaged.bin was not unpacked whole; " + dest + "\\damaged.bin is removed"),
              std::string::npos);
    EXPECT_NE(trace.find("Entry badcrc.txt was not unpacked whole; " + dest + "\\badcrc.txt is removed"),
              std::string::npos);
    EXPECT_NE(trace.find("Zip file " + archive + " was not unpacked completely; no version file is written"),
              std::string::npos);

    // The next run tries again instead of skipping.
    extractArchive(archive, dest);
    EXPECT_EQ(traceText().find("Skipping unzipping"), std::string::npos);
}

// Text of words drawn at random: it deflates, and inflating it takes a while.
std::string pseudoText(std::size_t size, unsigned state)
{
    static const char* const kWords[] = {"alpha ", "beta ", "gamma ", "delta\n", "epsilon ", "zeta ", "eta ", "theta\n"};
    std::string text;
    text.reserve(size + 8);
    while (text.size() < size) {
        state = state * 1103515245u + 12345u;
        text += kWords[(state >> 16) % 8];
        text += static_cast<char>('a' + (state >> 24) % 26);
    }
    text.resize(size);
    return text;
}

TEST_F(ExtractTest, EntriesFailingOnWorkersWhileOthersInflateLeaveThemWholeLinesInOrderAndNoRecord)
{
    std::vector<ZipEntry> entries = {{"jre.ver", "date=4"}};
    std::vector<std::pair<std::string, std::string>> whole;
    for (unsigned i = 0; i < 6; ++i) {
        const std::string name = "big/" + std::to_string(i) + ".txt";
        whole.emplace_back(name, pseudoText(4000000, i));
        entries.push_back({name, whole.back().second});
        if (i == 1 || i == 4)
            entries.push_back({"big/bad" + std::to_string(i) + ".bin", std::string(2000000, 'b'),
                               dosDateTime(2001, 2, 3, 4, 5, 6), false, 0x1234});
    }
    writeZip(archive, entries);

    extractArchive(archive, dest);

    for (const auto& [name, content] : whole)
        EXPECT_TRUE(readFile(dest + "\\" + name) == content) << name;
    EXPECT_FALSE(exists(dest + "\\big\\bad1.bin"));
    EXPECT_FALSE(exists(dest + "\\big\\bad4.bin"));
    EXPECT_FALSE(exists(dest + "\\jre.ver"));
    // One line for each failed entry, in entry order, and the archive's own.
    EXPECT_EQ(traceText(), withCrLf("Entry big\\bad1.bin was not unpacked whole; " + dest + "\\big\\bad1.bin is removed\n" +
                                    "Entry big\\bad4.bin was not unpacked whole; " + dest + "\\big\\bad4.bin is removed\n" +
                                    "Zip file " + archive + " was not unpacked completely; no version file is written\n"));
}

TEST_F(ExtractTest, FailedUpdateKeepsTheOlderRecord)
{
    writeZip(archive, {{"jre.ver", "date=1"}, {"a.txt", "version one"}});
    extractArchive(archive, dest);
    writeZip(archive, {{"jre.ver", "date=2"}, {"a.txt", "version two"}, {"b.txt", "b", 0, false, 1}});
    extractArchive(archive, dest);
    EXPECT_EQ(record(), "date=1");
    EXPECT_EQ(compareVersionFile(dest, "jre.ver", 2), -1);
}

TEST_F(ExtractTest, AnEntryPastMaxPathArrivesOnTheNtFamily)
{
    const std::string longName = std::string(150, 'd') + "/" + std::string(150, 'f') + ".txt";
    writeZip(archive, {{longName, "long"}, {"short.txt", "short"}});
    extractArchive(archive, dest);
    EXPECT_EQ(readFile(dest + "\\short.txt"), "short");
    EXPECT_TRUE(exists(dest + "\\" + std::string(150, 'd') + "\\" + std::string(150, 'f') + ".txt"));
    EXPECT_EQ(traceText().find("too long a path"), std::string::npos);
    EXPECT_TRUE(exists(dest + "\\jre.ver"));
}

// An entry whose path passes what the NT family takes even in the "\\?\" form, or that holds a
// name longer than a file system stores, is refused before anything is made for it: its line
// names it, the archive gets no record, and the entries after it still arrive.
TEST_F(ExtractTest, AnEntryPastTheLongestPathIsRefusedBeforeAnythingIsMade)
{
    std::string deep;
    for (int i = 0; i < 30000; ++i)
        deep += "e/";
    deep += "x";
    for (const std::string& name : {deep, "d/" + std::string(256, 'n') + "/x.txt"}) {
        SCOPED_TRACE(name.size());
        writeZip(archive, {{"jre.ver", "date=7"}, {name, "refused"}, {"after.txt", "after"}});

        EXPECT_FALSE(extractArchive(archive, dest));

        EXPECT_FALSE(exists(dest + "\\e"));
        EXPECT_FALSE(exists(dest + "\\d"));
        EXPECT_EQ(readFile(dest + "\\after.txt"), "after");
        EXPECT_FALSE(exists(dest + "\\jre.ver"));
        EXPECT_NE(traceText().find(withCrLf("Entry " + name + " is too long a path below " + dest +
                                            " and is not unpacked\n")),
                  std::string::npos);
    }
}

// A folder of an entry that cannot be made (its name holds a character no file system takes)
// ends the archive as a file that cannot be made does, with the same lines; the folders the
// entry made above it go again, innermost first, while a folder that was there before and one an
// earlier entry made stay.
TEST_F(ExtractTest, AnEntryWhoseFolderCannotBeMadeTakesBackTheFoldersItMade)
{
    makeDirectories(dest + "\\old");
    const std::string name = "old\\n1\\n2\\bad*name\\n4\\x.txt";
    std::string stored = name;
    std::replace(stored.begin(), stored.end(), '\\', '/');
    writeZip(archive, {{"jre.ver", "date=8"}, {"kept/a.txt", "a"}, {stored, "x"}, {"after.txt", "after"}});

    EXPECT_FALSE(extractArchive(archive, dest));

    EXPECT_EQ(readFile(dest + "\\kept\\a.txt"), "a");
    EXPECT_TRUE(exists(dest + "\\old"));
    EXPECT_FALSE(exists(dest + "\\old\\n1"));
    EXPECT_FALSE(exists(dest + "\\after.txt"));
    const std::string path = dest + "\\" + name;
    EXPECT_EQ(traceText(), withCrLf("Unable to open " + path + ". Trying setFileAttributesToNormal method \n" +
                                    "Something went wrong creating file  " + path + " \n" +
                                    "2:jumping to exit - checkAndCreateDestinationDirectoriesAndFile \n" +
                                    "Zip file " + archive + " was not unpacked completely; no version file is written\n"));
}

// An entry hundreds of folders deep arrives whole under every rule, beside another in its
// deepest folder, and the tree they make goes whole with the removal of their destination.
TEST_F(ExtractTest, AnEntryHundredsOfFoldersDeepArrivesAndIsRemoved)
{
    std::string deep;
    for (int i = 0; i < 300; ++i)
        deep += "e/";
    writeZip(archive, {{"jre.ver", "date=9"}, {deep + "x.txt", "deep"}, {deep + "y.txt", "beside"}});

    EXPECT_TRUE(extractArchive(archive, dest));

    std::string stored = deep;
    std::replace(stored.begin(), stored.end(), '/', '\\');
    EXPECT_TRUE(exists(dest + "\\" + stored + "x.txt"));
    EXPECT_TRUE(exists(dest + "\\" + stored + "y.txt"));
    EXPECT_EQ(record(), "date=9");
    removeDirectoryTree(dest);
    EXPECT_FALSE(exists(dest));
    EXPECT_EQ(traceText(), withCrLf("Writing date=9 to file \n"));
}

TEST_F(ExtractTest, ListedArchivesComeFromTheirDirectories)
{
    const std::string media = scratch + "media";
    writeZip(media + "\\abs\\a.zip", {{"a.txt", "a"}});
    writeZip("C:\\install-unit\\rooted\\b.zip", {{"b.txt", "b"}});
    writeZip(media + "\\rel\\c.zip", {{"c.txt", "c"}});
    writeZip(media + "\\d.zip", {{"d.txt", "d"}});
    writeZip(media + "\\rel\\late.zip", {{"late.txt", "late"}});
    zipDirTable[0] = media + "\\abs";
    zipNameTable[0] = "a.zip";
    zipDirTable[1] = "\\install-unit\\rooted";
    zipNameTable[1] = "b.zip";
    zipDirTable[2] = "rel";
    zipNameTable[2] = "c.zip";
    zipNameTable[3] = "d.zip";
    zipDirTable[4] = "missing";
    zipNameTable[4] = "x.zip";
    zipDirTable[6] = "rel";
    zipNameTable[6] = "late.zip";
    ASSERT_TRUE(SetCurrentDirectoryA(media.c_str()));

    extractListedArchives(dest);

    for (const char* name : {"a", "b", "c", "d"})
        EXPECT_EQ(readFile(dest + "\\" + name + ".txt"), name);
    // The walk ends at the first empty slot.
    EXPECT_FALSE(exists(dest + "\\late.txt"));
    EXPECT_EQ(testing_support::currentDirectory(), media);
    EXPECT_NE(traceText().find("Directory " + media + "\\missing of a listed zip file cannot be entered"),
              std::string::npos);
}

} // namespace
