#include <windows.h>

#include "install_run.h"

using namespace testing_support;

namespace {

constexpr char kOneClassCfg[] = "[CLASS]\r\ncom.bravik.Install\r\n";

class Running : public InstallEndToEnd {
protected:
    // The stand-in launcher, running from a folder of its own under the given name.
    std::unique_ptr<RunningProgram> startAs(const std::string& name)
    {
        return startSleepingLauncher("C:\\itest\\other", name);
    }
};

TEST_F(Running, RunningLauncherMakesInstallRefuse)
{
    stageUpdateFolders();
    buildMedia(kMedia, kOneClassCfg);
    writeFile("C:\\vtupdate\\old\\file.txt", "old");
    const auto launcher = startAs("LAUNCH.EXE");

    const InstallRun run = runMedia();

    EXPECT_EQ(run.traceLog, withCrLf("started\n"
                                     "Finally we found our process is LAUNCH.EXE \n"
                                     "The last installation not yet completed - not possible to start another "
                                     "install or remove \n"));
    EXPECT_EQ(run.program.messageBoxes,
              (std::vector<MessageBoxCall>{{"The last installation not yet completed- to start another install or "
                                            "remove, open the Windows Task Manager and end process \"launch.exe\"",
                                            "Previous Install or remove not completed"}}));
    EXPECT_TRUE(run.launches.empty());
    EXPECT_FALSE(exists("C:\\vtupdate"));
}

TEST_F(Running, SimilarNamesDoNotCount)
{
    buildMedia(kMedia, kOneClassCfg);
    const auto prefixed = startAs("mylaunch.exe");
    const auto suffixed = startAs("launch.exe.bak");
    const InstallRun run = runMedia();
    EXPECT_TRUE(run.program.messageBoxes.empty());
    EXPECT_EQ(javaProcesses(run.launches), (std::vector<JavaProcess>{{"com.bravik.Install"}}));
}

TEST_F(Running, NinetyFiveFamilyUsesItsOwnRuntimeDirectory)
{
    buildMedia(kMedia, kOneClassCfg);
    makeDirectories(std::string(kMedia) + "\\kp\\bin_win");
    makeDirectories("C:\\vtupdate");
    poseAsWindows98();
    // Wine's Toolhelp snapshot names processes without their folder, so on this family a
    // running launcher cannot be seen here and the run goes ahead.
    const auto launcher = startAs("launch.exe");

    const InstallRun run = runMedia();

    EXPECT_TRUE(run.program.messageBoxes.empty());
    EXPECT_TRUE(hasLine(run.traceLog, "new current directory is " + std::string(kMedia) + "\\kp\\bin_win"));
    ASSERT_EQ(run.launches.size(), 1u);
    EXPECT_EQ(run.launches[0].currentDirectory, std::string(kMedia) + "\\kp\\bin_win");
    EXPECT_EQ(javaProcesses(run.launches), (std::vector<JavaProcess>{{"com.bravik.Install"}}));
    EXPECT_FALSE(exists("C:\\vtupdate"));
}

} // namespace
