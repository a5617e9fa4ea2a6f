#include <windows.h>

#include "install/driver.h"
#include "install/running.h"
#include "testing.h"
#include "trace_log_fixture.h"

using namespace testing_support;

namespace {

class RunningTest : public InstallUnitTest {
protected:
    // Starts the stand-in launcher under another name, from a folder of its own, and waits
    // until it has started.
    std::unique_ptr<RunningProgram> startAs(const std::string& name)
    {
        return startSleepingLauncher(scratch + "elsewhere", name);
    }
};

TEST_F(RunningTest, RefusalTextsFollowThePlatformFamily)
{
    EXPECT_STREQ(previousInstallMessage(VER_PLATFORM_WIN32_NT),
                 "The last installation not yet completed- to start another install or remove, open the Windows "
                 "Task Manager and end process \"launch.exe\"");
    EXPECT_STREQ(previousInstallMessage(VER_PLATFORM_WIN32_WINDOWS),
                 "The last installation not yet completed- to start another install or remove, press CTRL+ALT+DEL "
                 "and end process \"Bravik Product Installation\"");
    EXPECT_EQ(previousInstallMessage(VER_PLATFORM_WIN32s), nullptr);
}

TEST_F(RunningTest, LauncherIsFoundByItsBaseNameInAnyCase)
{
    EXPECT_EQ(isInstallerRunning(), 0);
    const auto launcher = startAs("LAUNCH.EXE");
    EXPECT_EQ(isInstallerRunning(), 1);
    // A first buffer of one id has to grow several times before the list is whole.
    EXPECT_EQ(isInstallerRunningNt(4), 1);
    EXPECT_EQ(traceText(), withCrLf("Finally we found our process is LAUNCH.EXE \n"
                                    "Finally we found our process is LAUNCH.EXE \n"));
}

TEST_F(RunningTest, SimilarNamesAreNotTheLauncher)
{
    const auto prefixed = startAs("mylaunch.exe");
    const auto suffixed = startAs("launch.exe.bak");
    EXPECT_EQ(isInstallerRunningNt(4), 0);
    EXPECT_EQ(isInstallerRunning(), 0);
    EXPECT_EQ(traceText(), "");
}

TEST_F(RunningTest, ToolhelpNamesWithoutAFolderNeverMatch)
{
    // Wine's Toolhelp snapshot gives base names, so the 95-family walk cannot see the launcher.
    const auto launcher = startAs("launch.exe");
    EXPECT_EQ(isInstallerRunning95(), 0);
    EXPECT_EQ(isInstallerRunningNt(1024), 1);
}

} // namespace
