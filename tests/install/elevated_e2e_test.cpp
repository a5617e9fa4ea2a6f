#include <windows.h>

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

// The trace log, the developer batch file and the debug stamp have fixed names in folders others
// can write to: a second name for another file standing there is never written through.
TEST_F(Elevated, FilesOfFixedNamesAreNeverWrittenThroughASecondName)
{
    buildMedia(kMedia, kOneClassCfg);
    const std::string victim = "C:\\itest\\victim.txt";
    struct Case {
        std::string path;
        const char* arguments;
    };
    const Case cases[] = {
        {traceLogPath(), ""},
        {temporaryDirectory() + "install.bat", "-developer"},
        {"C:\\nnndbg", "-debug"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        writeFile(victim, "precious");
        removeTree(c.path);
        ASSERT_TRUE(CreateHardLinkA(c.path.c_str(), victim.c_str(), nullptr));

        runMedia(c.arguments);

        EXPECT_EQ(readFile(victim), "precious");
        removeTree(c.path);
    }
}

} // namespace
