#include <windows.h>

#include "install_run.h"

using namespace testing_support;

namespace {

// Where the stand-in Splash.exe records its start. The stand-in launcher is told to wait for
// it, so that the splash program has always recorded itself before clean-up ends it.
constexpr char kSplashRecord[] = "C:\\itest\\splashes.txt";

constexpr char kSplashCfg[] = "[SPLASH_BITMAP]\r\n0 logo.bmp\r\n\r\n[CLASS]\r\ncom.bravik.Install\r\n";

class Splash : public InstallEndToEnd {
protected:
    void addSplash(const std::string& folder)
    {
        copyFile(programDirectory() + "\\stubs\\Splash.exe", folder + "\\Splash.exe");
    }
};

// The stand-in sleeps for a minute unless it is ended; ending on its own gives exit code 7.
bool wasTerminated(unsigned long processId)
{
    const UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, processId));
    if (!process)
        return true;
    const bool ended = WaitForSingleObject(process.get(), 5000) == WAIT_OBJECT_0;
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    return ended && code != 7;
}

TEST_F(Splash, StartsInItsOwnDirectoryAndEndsAtCleanUp)
{
    const std::string m = kMedia;
    buildMedia(kMedia, kSplashCfg);
    addSplash(m + "\\kp\\bin");
    const ScopedEnvironment sleep("SPLASH_STUB_SLEEP_MS", "60000");
    const ScopedEnvironment exitCode("SPLASH_STUB_EXIT", "7");
    // The Java process goes on only once the splash program has recorded its start.
    const ScopedEnvironment order("LAUNCH_STUB_WAIT_FOR", kSplashRecord);

    const InstallRun run = runMedia();

    const std::string command = m + "\\kp\\bin\\Splash.exe  en\\logo.bmp";
    ASSERT_EQ(run.splashes.size(), 1u);
    EXPECT_EQ(run.splashes[0].commandLine, command);
    EXPECT_EQ(run.splashes[0].argument, "en\\logo.bmp");
    EXPECT_EQ(run.splashes[0].currentDirectory, m + "\\kp\\bin");
    EXPECT_EQ(run.splashEvents.size(), 1u);
    EXPECT_TRUE(wasTerminated(run.splashes[0].processId));
    EXPECT_EQ(countProcessesNamed("Splash.exe"), 0);
    EXPECT_NE(run.traceLog.find(withCrLf(" locale = C...CmdLine parameter now passed to CreateProcess " + command +
                                         " \n....Successfully launched a splash screen " + command + "\n")),
              std::string::npos)
        << run.traceLog;
    ASSERT_EQ(run.launches.size(), 1u);
    // install is back in its own directory when it goes on.
    EXPECT_EQ(run.launches[0].currentDirectory, m + "\\kp\\bin_nt");
    EXPECT_EQ(javaProcesses(run.launches), (std::vector<JavaProcess>{{"com.bravik.Install"}}));
}

TEST_F(Splash, DriveRootLooksForSplashExeThere)
{
    buildMedia("D:", kSplashCfg);
    addSplash("D:");
    const ScopedEnvironment order("LAUNCH_STUB_WAIT_FOR", kSplashRecord);
    const InstallRun run = runInstall("D:\\install.exe", "", "D:\\");
    ASSERT_EQ(run.splashes.size(), 1u);
    EXPECT_EQ(run.splashes[0].commandLine, "D:\\Splash.exe  en\\logo.bmp");
    EXPECT_EQ(run.splashes[0].argument, "en\\logo.bmp");
    EXPECT_EQ(run.splashes[0].currentDirectory, "D:\\");
    removeTree("D:\\Splash.exe");
}

TEST_F(Splash, NoSplashForDevelopersOrWithoutProgram)
{
    buildMedia(kMedia, kSplashCfg);
    addSplash(std::string(kMedia) + "\\kp\\bin");
    const InstallRun developer = runMedia("-developer");
    EXPECT_TRUE(developer.splashes.empty());

    removeTree(std::string(kMedia) + "\\kp\\bin\\Splash.exe");
    const InstallRun missing = runMedia();
    EXPECT_TRUE(missing.splashes.empty());
    EXPECT_EQ(missing.traceLog.find("CmdLine parameter"), std::string::npos);
    EXPECT_EQ(javaProcesses(missing.launches), (std::vector<JavaProcess>{{"com.bravik.Install"}}));
}

TEST_F(Splash, ProgramThatCannotStartNeverStopsTheRun)
{
    buildMedia(kMedia, kSplashCfg);
    writeFile(std::string(kMedia) + "\\kp\\bin\\Splash.exe", "not a program");
    const InstallRun run = runMedia();
    EXPECT_TRUE(hasLine(run.traceLog, "Did not successfully launch a splash screen"));
    // The driver reopens the trace log at once and the run goes on.
    EXPECT_EQ(javaProcesses(run.launches), (std::vector<JavaProcess>{{"com.bravik.Install"}}));
    EXPECT_NE(run.traceLog.find("In install.exe-- opened the file"), std::string::npos);
}

TEST_F(Splash, EndsEvenWhenTheRunEndsWithoutCleanUp)
{
    const std::string m = kMedia;
    buildMedia(kMedia, kSplashCfg);
    addSplash(m + "\\jre\\bin");
    writeFile(m + "\\kp\\windows\\install.cfg", std::string("[PATH]\r\njre\\bin;\r\n\r\n") + kSplashCfg);
    removeTree(m + "\\kp\\bin\\launch.exe");
    makeDirectories("C:\\vtupdate");
    const ScopedEnvironment sleep("SPLASH_STUB_SLEEP_MS", "60000");
    const ScopedEnvironment exitCode("SPLASH_STUB_EXIT", "7");
    const InstallRun run = runMedia();
    // The run ends so soon after the splash started that the stand-in may not have written its
    // record yet; what counts is that it was started and is gone.
    EXPECT_NE(run.traceLog.find("....Successfully launched a splash screen"), std::string::npos);
    EXPECT_EQ(countProcessesNamed("Splash.exe"), 0);
    EXPECT_EQ(run.program.messageBoxes.size(), 1u);
    EXPECT_TRUE(exists("C:\\vtupdate"));
}

} // namespace
