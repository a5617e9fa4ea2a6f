#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "install_run.h"

using namespace testing_support;

namespace {

constexpr char kOneClassCfg[] = "[CLASS]\r\ncom.bravik.Install\r\n";
constexpr char kSplashCfg[] = "[SPLASH_BITMAP]\r\n0 logo.bmp\r\n\r\n[CLASS]\r\ncom.bravik.Install\r\n";
constexpr char kPlantedRecord[] = "C:\\itest\\planted.txt";
constexpr char kSplashRecord[] = "C:\\itest\\splashes.txt";

using Elevated = InstallEndToEnd;

TEST_F(Elevated, LibrariesBesideInstallAreNeverLoaded)
{
    buildMedia(kMedia, kOneClassCfg);
    for (const char* name : {"psapi.dll", "vdmdbg.dll", "version.dll", "uxtheme.dll", "dwmapi.dll", "userenv.dll",
                             "cryptbase.dll", "profapi.dll", "kernel32.dll"})
        copyFile(programDirectory() + "\\planted\\planted.dll", std::string(kMedia) + "\\" + name);
    const ScopedEnvironment record("PLANTED_LIBRARY_RECORD", kPlantedRecord);

    const InstallRun run = runMedia();

    EXPECT_EQ(javaProcesses(run.launches), (std::vector<JavaProcess>{{"com.bravik.Install"}}));
    EXPECT_FALSE(exists(kPlantedRecord)) << readFile(kPlantedRecord);
}

TEST_F(Elevated, ProgramsStartByTheirFullPathFromAFolderWithABlank)
{
    const std::string media = "C:\\my media";
    const std::string launcher = media + "\\kp\\bin\\launch.exe";
    buildMedia(media, kSplashCfg);
    copyFile(programDirectory() + "\\stubs\\Splash.exe", media + "\\kp\\bin\\Splash.exe");
    // The system tries every blank of an unquoted program path as the end of its name.
    copyFile(programDirectory() + "\\stubs\\launch.exe", "C:\\my.exe");
    const ScopedEnvironment order("LAUNCH_STUB_WAIT_FOR", kSplashRecord);

    const InstallRun run = runInstall(media + "\\install.exe", "", media);

    std::vector<std::string> started;
    for (const LaunchRecord& launch : run.launches)
        started.push_back(launch.program);
    EXPECT_EQ(started, std::vector<std::string>{launcher});
    ASSERT_EQ(run.launches.size(), 1u);
    ASSERT_EQ(run.splashes.size(), 1u);
    EXPECT_EQ(run.splashes[0].program, media + "\\kp\\bin\\Splash.exe");
    // Each program's path is quoted on its command line, so each reads its own arguments whole:
    // the launcher its main class, the splash program its bitmap.
    EXPECT_EQ(run.splashes[0].commandLine, "\"" + media + "\\kp\\bin\\Splash.exe\"  en\\logo.bmp");
    EXPECT_EQ(run.splashes[0].argument, "en\\logo.bmp");
    EXPECT_EQ(run.launches[0].commandLine, "\"" + launcher + "\"  com.bravik.Install");
    EXPECT_EQ(javaProcesses(run.launches), (std::vector<JavaProcess>{{"com.bravik.Install"}}));
    EXPECT_TRUE(hasLine(run.traceLog, "About to launch \"" + launcher + "\"  com.bravik.Install hence closing " +
                                          traceLogPath() + "  "));

    // A folder named plain "launch" is what the lookup finds; the program started is still
    // launch.exe, and the command line keeps the name as found.
    makeDirectories(media + "\\kp\\bin\\launch");
    const InstallRun plain = runInstall(media + "\\install.exe", "", media);
    ASSERT_EQ(plain.launches.size(), 1u);
    EXPECT_EQ(plain.launches[0].program, launcher);
    EXPECT_TRUE(hasLine(plain.traceLog, "About to launch \"" + media +
                                            "\\kp\\bin\\launch\"  com.bravik.Install hence closing " +
                                            traceLogPath() + "  "));
    EXPECT_EQ(javaProcesses(plain.launches), (std::vector<JavaProcess>{{"com.bravik.Install"}}));
}

// The working folder is the media's own: a folder above it that the current folder names (a
// drive root, where any user may create folders) is never read from, and a folder whose name
// merely begins like the media's is not above it.
TEST_F(Elevated, TheWorkingFolderIsTheMediasOwnNeverAFolderAboveIt)
{
    buildMedia(kMedia, kOneClassCfg);
    const std::string program = std::string(kMedia) + "\\install.exe";
    const std::string planted = "[CLASS]\r\nplanted.Class\r\n";
    writeFile("C:\\kp\\windows\\install.cfg", planted);
    writeJar("C:\\kp\\lib\\kp.jar", {"planted.Class"});
    writeFile("C:\\itest\\med\\kp\\windows\\install.cfg", planted);

    for (const char* current : {"C:\\", "C:\\itest\\med"}) {
        SCOPED_TRACE(current);
        const InstallRun run = runInstall(program, "", current);
        EXPECT_TRUE(hasLine(run.traceLog, "CWD = " + std::string(kMedia)));
        ASSERT_EQ(run.launches.size(), 1u);
        EXPECT_EQ(run.launches[0].commandLine, std::string(kMedia) + "\\kp\\bin\\launch.exe  com.bravik.Install");
        EXPECT_EQ(javaProcesses(run.launches), (std::vector<JavaProcess>{{"com.bravik.Install"}}));
    }

    // install.exe in a subfolder of the media, started from the media's root, works from there.
    copyFile(program, std::string(kMedia) + "\\setup\\install.exe");
    const InstallRun sub = runInstall(std::string(kMedia) + "\\setup\\install.exe", "", kMedia);
    EXPECT_TRUE(hasLine(sub.traceLog, "CWD = " + std::string(kMedia)));
    EXPECT_EQ(javaProcesses(sub.launches), (std::vector<JavaProcess>{{"com.bravik.Install"}}));
}

// The Unix form of a Windows path, as Wine maps it.
std::string unixPathOf(const std::string& path)
{
    using UnixNameFunction = char*(CDECL*)(LPCWSTR);
    const auto unixName = reinterpret_cast<UnixNameFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    const std::wstring wide(path.begin(), path.end());
    const UniqueHeapBlock name(unixName ? unixName(wide.c_str()) : nullptr);
    return name ? std::string(static_cast<const char*>(name.get())) : std::string();
}

// Runs a Unix shell command and waits until it is done: Wine starts a Unix program but gives no
// handle to wait on, so the command leaves a mark.
void runUnixCommand(const std::string& command)
{
    const std::string mark = "C:\\itest\\unix-command-done";
    DeleteFileA(mark.c_str());
    std::string line = "/bin/sh -c \"" + command + "; touch '" + unixPathOf(mark) + "'\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(CreateProcessA("Z:\\bin\\sh", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &info))
        << line;
    const UniqueHandle process(info.hProcess);
    const UniqueHandle thread(info.hThread);
    ASSERT_TRUE(waitForFile(mark, 10000)) << line;
    DeleteFileA(mark.c_str());
}

// A symbolic link for the time of a scope, made as a user of the machine could: Wine 8's
// CreateSymbolicLinkW makes nothing, and Wine deletes what a link leads to rather than the link,
// so the link comes and goes the Unix way.
class ScopedSymbolicLink {
public:
    ScopedSymbolicLink(std::string link, const std::string& target) : link_(std::move(link))
    {
        runUnixCommand("rm -f '" + unixPathOf(link_) + "'; ln -s '" + unixPathOf(target) + "' '" +
                       unixPathOf(link_) + "'");
    }
    ~ScopedSymbolicLink() { runUnixCommand("rm -f '" + unixPathOf(link_) + "'"); }
    ScopedSymbolicLink(const ScopedSymbolicLink&) = delete;
    ScopedSymbolicLink& operator=(const ScopedSymbolicLink&) = delete;

private:
    std::string link_;
};

// The names a folder holds.
std::vector<std::string> namesIn(const std::string& folder)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA entry{};
    if (const UniqueFindHandle search(FindFirstFileA((folder + "\\*").c_str(), &entry)); search) {
        do {
            if (std::string_view(entry.cFileName) != "." && std::string_view(entry.cFileName) != "..")
                names.push_back(entry.cFileName);
        } while (FindNextFileA(search.get(), &entry));
    }
    return names;
}

// The trace log, the developer batch file and the debug stamp have fixed names in folders others
// can write to: a second name for another file standing there is never written through. Nor is a
// symbolic link, which Wine, like the Windows trick of a junction on a folder and an
// object-manager link, shows as the file it leads to, with neither a reparse point nor a second
// name: one at the fixed name to a file that is there, one to a file that is not (which a write
// through it would make), and one on the folder that holds the trace log and the batch file. The
// victims stay as they were, and no file appears where a link led.
TEST_F(Elevated, FilesOfFixedNamesAreNeverWrittenThroughASecondName)
{
    buildMedia(kMedia, kOneClassCfg);
    const std::string victims = "C:\\itest\\victims";
    const std::string linkedTemp = "C:\\itest\\linked-temp";
    enum class Link { hard, toFile, toMissingFile, onFolder };
    struct Case {
        std::string name;
        const char* arguments;
        Link link;
    };
    const std::string temp = temporaryDirectory();
    const std::vector<Case> cases = {
        {traceLogPath(), "", Link::hard},
        {temp + "install.bat", "-developer", Link::hard},
        {"C:\\nnndbg", "-debug", Link::hard},
        {traceLogPath(), "", Link::toFile},
        {temp + "install.bat", "-developer", Link::toFile},
        {"C:\\nnndbg", "-debug", Link::toFile},
        {traceLogPath(), "", Link::toMissingFile},
        {temp + "install.bat", "-developer", Link::toMissingFile},
        {"C:\\nnndbg", "-debug", Link::toMissingFile},
        {linkedTemp + "\\kp_nstal.out", "", Link::onFolder},
        {linkedTemp + "\\install.bat", "-developer", Link::onFolder},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " kind " + std::to_string(static_cast<int>(c.link)));
        const std::string victimName = c.name.substr(c.name.find_last_of('\\') + 1);
        const std::string victim = victims + "\\" + victimName;
        removeTree(c.name);
        writeFile(victim, "precious");
        std::optional<ScopedSymbolicLink> symbolicLink;
        if (c.link == Link::hard)
            ASSERT_TRUE(CreateHardLinkA(c.name.c_str(), victim.c_str(), nullptr));
        else if (c.link == Link::onFolder)
            symbolicLink.emplace(linkedTemp, victims);
        else
            symbolicLink.emplace(c.name, victim);
        ASSERT_EQ(readFile(c.name), "precious");
        if (c.link == Link::toMissingFile)
            ASSERT_TRUE(DeleteFileA(victim.c_str()));
        std::optional<ScopedEnvironment> tmp, tempVariable;
        if (c.link == Link::onFolder) {
            tmp.emplace("TMP", (linkedTemp + "\\").c_str());
            tempVariable.emplace("TEMP", (linkedTemp + "\\").c_str());
        }

        runMedia(c.arguments);

        const bool missing = c.link == Link::toMissingFile;
        EXPECT_EQ(namesIn(victims), missing ? std::vector<std::string>() : std::vector<std::string>{victimName});
        if (!missing)
            EXPECT_EQ(readFile(victim), "precious");
        if (c.link == Link::hard)
            removeTree(c.name);
        removeTree(victim);
    }
}

} // namespace
