// sysnat.dll as a JVM uses it: loaded, its methods found by their export names, called
// through the stand-in runtime, their results checked against the platform's own answers.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>

#include "java_classes.h"
#include "jni_standin.h"
#include "pe_image.h"
#include "testing.h"

using namespace testing_support;
using jni_standin::JavaVm;
using jni_standin::NativeLibrary;

namespace {

constexpr char kPrefix[] = "Java_com_bravik_application_install_windows_KPNativeWin_";
constexpr char kScratch[] = "C:\\sysnat-test";

// The method table: each native method and the argument bytes of its export.
const std::vector<std::pair<std::string, int>> kMethods = {
    {"getNativeDiskSpaceAvail", 12},      {"getNativeTotalDiskSpace", 12},     {"getNativeClusterSize", 12},
    {"getNativeBytesPerSector", 12},      {"getNativeSectorsPerCluster", 12},  {"getNativeDriveType", 12},
    {"isNativeDiskInserted", 12},         {"nativeGetDriveList", 8},           {"nativeGetEnvironmentVariable", 12},
    {"nativeSetEnvironmentVariable", 16}, {"nativeGetWindowsDirectory", 8},    {"nativeGetSystemDirectory", 8},
    {"nativeWinGetCurrentDirectory", 8},  {"nativeGetHostName", 8},            {"isDllLoaded", 12},
    {"nativeWinGetStreamAttributes", 12}, {"nativeWinSetStreamAttributes", 16}, {"nativeWinSetDateAndTime", 36},
    {"nativeRestartComputer", 12},
};

// The only JNI functions the library may call, by their index in the function table.
const std::set<int> kAllowedSlots = {167, 171, 176, 184, 192, 208};

std::string libraryPath()
{
    return programDirectory() + "\\sysnat.dll";
}

class Sysnat : public ::testing::Test {
protected:
    static void SetUpTestSuite() { library = new NativeLibrary(libraryPath()); }
    static void TearDownTestSuite()
    {
        delete library;
        library = nullptr;
    }

    void SetUp() override
    {
        self = reinterpret_cast<jclass>(jni_standin::defineSystemClasses(vm));
        removeTree(kScratch);
        makeDirectories(kScratch);
    }

    // Every call leaves the runtime as it found it: no buffer kept, nothing thrown, no misuse,
    // no JNI function outside the list, and every array passed in as it was.
    void TearDown() override
    {
        removeTree(kScratch);
        EXPECT_EQ(vm.problems(kAllowedSlots), std::vector<std::string>{});
        EXPECT_EQ(vm.pendingException(), nullptr);
        for (const auto& [array, content] : passedIn_)
            EXPECT_EQ(vm.bytesOf(array), content) << "an argument array changed";
    }

    // A byte array argument; its content is checked again after the test.
    jbyteArray bytes(std::string_view text)
    {
        jbyteArray array = vm.newByteArray(text);
        passedIn_.emplace_back(array, std::string(text));
        return array;
    }

    template <typename Result, typename... Args>
    Result call(const std::string& method, Args... args)
    {
        return library->call<Result>(kPrefix + method, vm.env(), self, args...);
    }

    // A byte[] result as text; "<null>" for null.
    std::string text(jobject array) { return array ? vm.bytesOf(array) : "<null>"; }

    JavaVm vm;
    jclass self = nullptr;
    static NativeLibrary* library;

private:
    std::vector<std::pair<jbyteArray, std::string>> passedIn_;
};

NativeLibrary* Sysnat::library = nullptr;

// Captures what is printed to the process's standard output, byte for byte.
class StandardOutputCapture {
public:
    StandardOutputCapture() : path_(std::string(kScratch) + "\\stdout.txt")
    {
        std::fflush(stdout);
        saved_ = _dup(1);
        const int file = _open(path_.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
        _dup2(file, 1);
        _close(file);
    }
    std::string finish()
    {
        std::fflush(stdout);
        _dup2(saved_, 1);
        _close(saved_);
        return readFile(path_);
    }

private:
    std::string path_;
    int saved_ = -1;
};

TEST(SysnatLibrary, ExportsExactlyTheMethodTable)
{
    std::vector<std::string> exported = exportedNames(libraryPath());
    std::sort(exported.begin(), exported.end());
    EXPECT_EQ(exported, jni_standin::exportNames(kPrefix, kMethods));
}

TEST(SysnatLibrary, NeedsOnlyKernel32AndTheCRuntime)
{
    for (const std::string& dll : importedDlls(libraryPath()))
        EXPECT_TRUE(equalsIgnoringCase(dll, "KERNEL32.dll") || equalsIgnoringCase(dll, "msvcrt.dll")) << dll;
}

TEST(JniStandIn, AFunctionOutsideTheListEndsTheProgramLoudly)
{
    JavaVm vm;
    JNIEnv* env = vm.env();
    EXPECT_EXIT(env->GetVersion(), ::testing::ExitedWithCode(99), "slot 4 was called");
}

TEST_F(Sysnat, GeometryComesInClustersFromTheDriveRoot)
{
    struct Query {
        const char* method;
        int which;  // 0 free clusters, 1 total clusters, 2 cluster size, 3 bytes per sector, 4 sectors per cluster
    };
    const Query queries[] = {{"getNativeDiskSpaceAvail", 0},
                             {"getNativeTotalDiskSpace", 1},
                             {"getNativeClusterSize", 2},
                             {"getNativeBytesPerSector", 3},
                             {"getNativeSectorsPerCluster", 4}};
    struct Case {
        std::string path;
        const char* root;           // what the platform is asked
        const char* freeSpaceRoot;  // what getNativeDiskSpaceAvail asks
    };
    const Case cases[] = {{"C:\\Program Files\\Setup", "C:\\", "C:\\"},
                          {"C:", "C:", "C:\\"},
                          {"C", "C", "C"},
                          {"D:\\anything", "D:\\", "D:\\"},
                          {"Q:\\no such drive", "Q:\\", "Q:\\"},
                          // A zero byte ends the string for the platform.
                          {std::string("C:\0\\hidden", 10), "C:", "C:\\"}};
    for (const Case& c : cases) {
        for (const Query& q : queries) {
            SCOPED_TRACE(c.path + " " + q.method);
            const std::string root = q.which == 0 ? c.freeSpaceRoot : c.root;
            DWORD spc = 0, bps = 0, freeClusters = 0, total = 0;
            const bool ok = GetDiskFreeSpaceA(root.c_str(), &spc, &bps, &freeClusters, &total);
            const jlong got = call<jlong>(q.method, bytes(c.path));
            if (!ok) {
                EXPECT_EQ(got, -1);
                continue;
            }
            const jlong expected[] = {freeClusters, total, static_cast<DWORD>(bps * spc), bps, spc};
            if (q.which == 0)  // free space moves with whatever else writes to the disk
                EXPECT_NEAR(static_cast<double>(got), static_cast<double>(expected[0]),
                            std::max(1000.0, expected[0] / 100.0));
            else
                EXPECT_EQ(got, expected[q.which]);
        }
    }
}

TEST_F(Sysnat, DriveTypesAreThePlatformsCodes)
{
    struct Case {
        const char* path;
        const char* root;
    };
    const Case cases[] = {{"C:\\windows", "C:\\"}, {"D:\\", "D:\\"}, {"E:\\temp\\x", "E:\\"},
                          {"Q:\\", "Q:\\"},        {"C:", "C:"},     {"", ""}};
    for (const Case& c : cases)
        EXPECT_EQ(call<jlong>("getNativeDriveType", bytes(c.path)), static_cast<jlong>(GetDriveTypeA(c.root)))
            << c.path;
    EXPECT_EQ(call<jlong>("getNativeDriveType", bytes("E:\\")), DRIVE_CDROM);
    // A root that does not exist is the platform's code 1, not a failure.
    EXPECT_EQ(call<jlong>("getNativeDriveType", bytes("Q:\\")), DRIVE_NO_ROOT_DIR);
}

TEST_F(Sysnat, MediumCheckRestoresTheErrorMode)
{
    const UINT mine = SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX;
    const UINT before = SetErrorMode(mine);
    EXPECT_EQ(call<jboolean>("isNativeDiskInserted", bytes("C:\\setup")), JNI_TRUE);
    EXPECT_EQ(call<jboolean>("isNativeDiskInserted", bytes("Q:\\")), JNI_FALSE);
    EXPECT_EQ(SetErrorMode(before), mine);
}

TEST_F(Sysnat, DriveListFollowsTheDriveMask)
{
    std::string expected;
    const DWORD mask = GetLogicalDrives();
    for (int i = 0; i < 26; ++i)
        if (mask & (1u << i))
            expected += std::string(1, static_cast<char>('A' + i)) + ":,";
    EXPECT_EQ(text(call<jobject>("nativeGetDriveList")), expected);
    EXPECT_NE(expected.find("C:,"), std::string::npos);
}

TEST_F(Sysnat, NullArraysFailWithoutTouchingTheRuntime)
{
    EXPECT_EQ(call<jlong>("getNativeDiskSpaceAvail", jbyteArray{}), -1);
    EXPECT_EQ(call<jlong>("getNativeDriveType", jbyteArray{}), -1);
    EXPECT_EQ(call<jboolean>("isNativeDiskInserted", jbyteArray{}), JNI_FALSE);
    EXPECT_EQ(call<jobject>("nativeGetEnvironmentVariable", jbyteArray{}), nullptr);
    EXPECT_EQ(call<jint>("isDllLoaded", jbyteArray{}), 0);
    EXPECT_EQ(call<jlong>("nativeWinGetStreamAttributes", jbyteArray{}), 0);
    call<void>("nativeWinSetStreamAttributes", jbyteArray{}, jint{0});
    call<void>("nativeSetEnvironmentVariable", jbyteArray{}, jbyteArray{});
    EXPECT_TRUE(vm.calls().empty());
}

TEST_F(Sysnat, EnvironmentVariablesAreReadSetAndDeleted)
{
    EXPECT_EQ(call<jobject>("nativeGetEnvironmentVariable", bytes("SYSNAT_NO_SUCH_VARIABLE")), nullptr);

    call<void>("nativeSetEnvironmentVariable", bytes("SYSNAT_VARIABLE"), bytes("some value"));
    char platform[64] = {};
    EXPECT_EQ(GetEnvironmentVariableA("SYSNAT_VARIABLE", platform, sizeof(platform)), 10u);
    EXPECT_STREQ(platform, "some value");
    EXPECT_EQ(text(call<jobject>("nativeGetEnvironmentVariable", bytes("SYSNAT_VARIABLE"))), "some value");

    // An empty value reads as no value.
    call<void>("nativeSetEnvironmentVariable", bytes("SYSNAT_VARIABLE"), bytes(""));
    EXPECT_EQ(call<jobject>("nativeGetEnvironmentVariable", bytes("SYSNAT_VARIABLE")), nullptr);

    // A value longer than the 4096-byte buffer comes back whole.
    const std::string longValue(5000, 'v');
    SetEnvironmentVariableA("SYSNAT_VARIABLE", longValue.c_str());
    EXPECT_EQ(text(call<jobject>("nativeGetEnvironmentVariable", bytes("SYSNAT_VARIABLE"))), longValue);

    call<void>("nativeSetEnvironmentVariable", bytes("SYSNAT_VARIABLE"), jbyteArray{});
    EXPECT_EQ(GetEnvironmentVariableA("SYSNAT_VARIABLE", platform, sizeof(platform)), 0u);
    EXPECT_EQ(call<jobject>("nativeGetEnvironmentVariable", bytes("SYSNAT_VARIABLE")), nullptr);
}

TEST_F(Sysnat, RefusedEnvironmentChangesArePrinted)
{
    // The platform refuses a name holding "=".
    StandardOutputCapture output;
    call<void>("nativeSetEnvironmentVariable", bytes("A=B"), bytes("x"));
    call<void>("nativeSetEnvironmentVariable", bytes("A=B"), jbyteArray{});
    EXPECT_EQ(output.finish(), "Attempt to set environment variable A=B to x failed."
                               "Attempt to set environment variable A=B to null failed.");
}

TEST_F(Sysnat, DirectoriesAndHostAreThePlatforms)
{
    char expected[MAX_PATH] = {};
    GetWindowsDirectoryA(expected, sizeof(expected));
    EXPECT_EQ(text(call<jobject>("nativeGetWindowsDirectory")), expected);
    GetSystemDirectoryA(expected, sizeof(expected));
    EXPECT_EQ(text(call<jobject>("nativeGetSystemDirectory")), expected);
    const std::string before = currentDirectory();
    SetCurrentDirectoryA(kScratch);
    EXPECT_EQ(text(call<jobject>("nativeWinGetCurrentDirectory")), kScratch);
    SetCurrentDirectoryA(before.c_str());

    char name[256] = {};
    DWORD size = sizeof(name);
    ASSERT_TRUE(GetComputerNameA(name, &size));
    const jobject host = call<jobject>("nativeGetHostName");
    ASSERT_TRUE(vm.isString(host));
    EXPECT_EQ(vm.asciiOf(host), name);
}

TEST_F(Sysnat, LoadedModulesAreFoundAndNothingIsLoaded)
{
    EXPECT_EQ(call<jint>("isDllLoaded", bytes("KERNEL32.DLL")), 1);
    EXPECT_EQ(call<jint>("isDllLoaded", bytes("sysnat.dll")), 1);
    // On disk, but not loaded: it stays that way.
    ASSERT_EQ(GetModuleHandleA("vdmdbg.dll"), nullptr);
    EXPECT_EQ(call<jint>("isDllLoaded", bytes("vdmdbg.dll")), 0);
    EXPECT_EQ(GetModuleHandleA("vdmdbg.dll"), nullptr);
    EXPECT_EQ(call<jint>("isDllLoaded", bytes("")), 0);
}

// Stand-ins for the C runtime's free and malloc inside the library: one leaves a distinctive
// value in the return register, the other refuses every block of 1 KiB or more, as an
// exhausted heap would (small blocks stay, for the exception itself).
int __cdecl freeLeavingGarbage(void* block)
{
    std::free(block);
    return -1;
}

void* __cdecl refuseLargeBlock(std::size_t size)
{
    return size < 1024 ? std::malloc(size) : nullptr;
}

TEST_F(Sysnat, IsDllLoadedAnswersWithAWhole32BitValue)
{
    // The module name is freed last; whatever free leaves in the register must not show.
    const ImportPatch garble(library->module(), "msvcrt.dll", "free", reinterpret_cast<void*>(&freeLeavingGarbage));
    EXPECT_EQ(call<jint>("isDllLoaded", bytes("KERNEL32.DLL")), 1);
    EXPECT_EQ(call<jint>("isDllLoaded", bytes("vdmdbg.dll")), 0);
}

TEST_F(Sysnat, AFailedAllocationEndsTheCallWithTheFailureValue)
{
    // The directory is read into a std::vector of 1 KiB, whose allocation throws.
    const ImportPatch exhausted(library->module(), "msvcrt.dll", "malloc", reinterpret_cast<void*>(&refuseLargeBlock));
    jobject directory = vm.newByteArray("unchanged");
    EXPECT_NO_THROW(directory = call<jobject>("nativeGetWindowsDirectory"));
    EXPECT_EQ(directory, nullptr);
}

TEST_F(Sysnat, StreamAttributesMapBothWays)
{
    const std::string file = std::string(kScratch) + "\\attributes.txt";
    writeFile(file, "x");
    auto flags = [&] { return call<jlong>("nativeWinGetStreamAttributes", bytes(file)); };

    // Wine keeps the archive attribute on every file, so here the getter shows 6 and 10; a file
    // without it would show 4 and 8.
    SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(flags(), 6);
    SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(flags(), 10);
    const DWORD archive = GetFileAttributesA(file.c_str()) & FILE_ATTRIBUTE_ARCHIVE;

    struct Case {
        jint flags;
        DWORD attributes;  // besides whatever archive attribute the platform keeps
    };
    const Case cases[] = {
        {0x04, FILE_ATTRIBUTE_READONLY},
        {0x04 | 0x08, 0},
        {0x00, FILE_ATTRIBUTE_READONLY},
        {0x08 | 0x20, FILE_ATTRIBUTE_HIDDEN},
        {0x02 | 0x08, FILE_ATTRIBUTE_ARCHIVE},
        {0x01 | 0x10 | 0x08, 0},
    };
    for (const Case& c : cases) {
        SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_HIDDEN);
        call<void>("nativeWinSetStreamAttributes", bytes(file), c.flags);
        EXPECT_EQ(GetFileAttributesA(file.c_str()) & ~archive, c.attributes & ~archive) << c.flags;
    }

    // Attributes that cannot be read give no flags.
    EXPECT_EQ(call<jlong>("nativeWinGetStreamAttributes", bytes(std::string(kScratch) + "\\missing.txt")), 0);
    SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Sysnat, DateAndTimeAreTakenAsUtcAndLeaveLastAccessAlone)
{
    const std::string file = std::string(kScratch) + "\\dated.txt";
    writeFile(file, "x");
    SYSTEMTIME accessFields{2010, 6, 0, 15, 12, 0, 0, 0};
    FILETIME access;
    SystemTimeToFileTime(&accessFields, &access);
    SetFileTime(UniqueFileHandle(CreateFileA(file.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0,
                                             nullptr)).get(),
                nullptr, &access, nullptr);

    call<void>("nativeWinSetDateAndTime", bytes(file), jint{2001}, jint{1}, jint{2}, jint{3}, jint{4}, jint{5});

    FILETIME created, accessed, written;
    GetFileTime(openForReading(file).get(), &created, &accessed, &written);
    SYSTEMTIME fields;
    FileTimeToSystemTime(&written, &fields);
    EXPECT_EQ(fields.wYear, 2001);
    EXPECT_EQ(fields.wMonth, 1);
    EXPECT_EQ(fields.wDay, 2);
    EXPECT_EQ(fields.wHour, 3);
    EXPECT_EQ(fields.wMinute, 4);
    EXPECT_EQ(fields.wSecond, 5);
    EXPECT_EQ(CompareFileTime(&created, &written), 0);
    EXPECT_EQ(CompareFileTime(&accessed, &access), 0);

    // Components that form no time change nothing.
    call<void>("nativeWinSetDateAndTime", bytes(file), jint{2001}, jint{13}, jint{2}, jint{3}, jint{4}, jint{5});
    FILETIME after;
    GetFileTime(openForReading(file).get(), nullptr, nullptr, &after);
    EXPECT_EQ(CompareFileTime(&after, &written), 0);
}

TEST_F(Sysnat, RestartOnlyPrintsItsNotice)
{
    StandardOutputCapture output;
    call<void>("nativeRestartComputer", jint{0});
    call<void>("nativeRestartComputer", jint{-12345});
    const std::string notice = "\n\nRebooting Computer...\r\n(Currently not implemented for the Windows Platform)\r\n\n\n";
    EXPECT_EQ(output.finish(), notice + notice);
}

} // namespace
