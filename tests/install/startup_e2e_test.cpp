#include <windows.h>

#include <cstdlib>
#include <ctime>

#include "install_run.h"
#include "pe_image.h"

using namespace testing_support;

namespace {

constexpr char kOneClassCfg[] = "[CLASS]\r\ncom.bravik.Install\r\n";

using Startup = InstallEndToEnd;

TEST_F(Startup, SecondRunStartsTheTraceLogAfresh)
{
    buildMedia(kMedia, kOneClassCfg);
    runMedia();
    const InstallRun second = runMedia();
    EXPECT_EQ(second.traceLog.rfind("started\r\nCWD = ", 0), 0u);
    EXPECT_EQ(second.traceLog.find("started", 1), std::string::npos);
}

TEST_F(Startup, DebugSwitchWritesTheStampAndIsPassedOn)
{
    buildMedia(kMedia, kOneClassCfg);
    const long before = static_cast<long>(std::time(nullptr));
    const InstallRun run = runMedia("-debug");
    const long stamp = std::atol(readFile("C:\\nnndbg").c_str());
    EXPECT_GE(stamp, before - 5);
    EXPECT_LE(stamp, static_cast<long>(std::time(nullptr)) + 5);
    EXPECT_EQ(readFile("C:\\nnndbg").find_first_not_of("0123456789"), std::string::npos);
    ASSERT_EQ(run.launches.size(), 1u);
    EXPECT_EQ(run.launches[0].commandLine, std::string(kMedia) + "\\kp\\bin\\launch.exe  com.bravik.Install    -debug");
    EXPECT_EQ(javaProcesses(run.launches), (std::vector<JavaProcess>{{"com.bravik.Install", {}, {"-debug"}}}));
    EXPECT_TRUE(hasLine(run.traceLog, "Unknown parameters passed: Passing them to Driver -debug "));
}

TEST_F(Startup, TemporaryDirectoryOnACdRomSendsTheLogToTheWindowsDrive)
{
    buildMedia(kMedia, kOneClassCfg);
    const ScopedEnvironment temp("TEMP", "E:\\temp\\");
    const ScopedEnvironment tmp("TMP", "E:\\temp\\");
    const InstallRun run = runMedia("-developer");
    // The Windows drive's current directory was the media root when install started; the
    // whole run stays in that one file although install changes directory on the way.
    const std::string log = std::string(kMedia) + "\\kp_nstal.out";
    const std::string text = readFile(log);
    EXPECT_EQ(text.rfind("started\r\n", 0), 0u);
    EXPECT_TRUE(hasLine(text, "Just created developer file " + std::string(kMedia) + "\\install.bat "));
    EXPECT_TRUE(hasLine(text, "Error removing directory c:\\vtupdate: error code " +
                                  removeDirectoryFailure("c:\\vtupdate") + " "));
    EXPECT_TRUE(exists(std::string(kMedia) + "\\install.bat"));
    EXPECT_FALSE(exists("E:\\temp\\kp_nstal.out"));
}

TEST_F(Startup, TemporaryDirectoryTooLongForItsBufferSendsTheLogToTheWindowsDrive)
{
    buildMedia(kMedia, kOneClassCfg);
    const std::string longTemp = "C:\\itest\\" + std::string(120, 't') + "\\";
    makeDirectories(longTemp.substr(0, longTemp.size() - 1));
    const ScopedEnvironment temp("TEMP", longTemp.c_str());
    const ScopedEnvironment tmp("TMP", longTemp.c_str());
    const InstallRun run = runMedia();
    EXPECT_TRUE(exists(std::string(kMedia) + "\\kp_nstal.out"));
    EXPECT_FALSE(exists(longTemp + "kp_nstal.out"));
    EXPECT_EQ(javaProcesses(run.launches), (std::vector<JavaProcess>{{"com.bravik.Install"}}));
}

TEST_F(Startup, TraceLogThatCannotBeOpenedEndsTheRunAtOnce)
{
    buildMedia(kMedia, kOneClassCfg);
    makeDirectories(traceLogPath());
    makeDirectories("C:\\vtupdate");
    const InstallRun run = runMedia();
    EXPECT_TRUE(run.launches.empty());
    EXPECT_TRUE(run.program.messageBoxes.empty());
    EXPECT_TRUE(exists("C:\\vtupdate"));
}

TEST(Deliverable, InstallNeedsOnlySystemLibraries)
{
    for (const std::string& dll : importedDlls(programDirectory() + "\\install.exe"))
        EXPECT_TRUE(equalsIgnoringCase(dll, "KERNEL32.dll") || equalsIgnoringCase(dll, "USER32.dll") ||
                    equalsIgnoringCase(dll, "ADVAPI32.dll") || equalsIgnoringCase(dll, "msvcrt.dll"))
            << dll;
}

} // namespace
