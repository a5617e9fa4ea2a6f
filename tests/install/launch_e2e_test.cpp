#include <windows.h>

#include "install_run.h"

using namespace testing_support;

namespace {

using Launch = InstallEndToEnd;

TEST_F(Launch, ClassesRunStrictlyOneAfterAnother)
{
    buildMedia(kMedia, "[CLASS]\nfirst.Class\nsecond.Class\nthird.Class\n");
    const ScopedEnvironment sleep("LAUNCH_STUB_SLEEP_MS", "400");
    const ScopedEnvironment exitCode("LAUNCH_STUB_EXIT", "3");
    const InstallRun run = runMedia();
    EXPECT_EQ(javaProcesses(run.launches),
              (std::vector<JavaProcess>{{"first.Class"}, {"second.Class"}, {"third.Class"}}));
    ASSERT_EQ(run.events.size(), 6u);
    for (std::size_t i = 0; i < run.events.size(); i += 2) {
        EXPECT_EQ(run.events[i].rfind("begin ", 0), 0u) << i;
        EXPECT_EQ(run.events[i + 1], "end " + run.events[i].substr(6)) << i;
    }
}

TEST_F(Launch, ParametersPairWithClassesByPosition)
{
    buildMedia(kMedia, "[CLASS]\nfirst.Class\nsecond.Class\n\n[PARAMETERS]\n1 -second\n");
    const std::string launcher = std::string(kMedia) + "\\kp\\bin\\launch.exe";

    const InstallRun plain = runMedia();
    ASSERT_EQ(plain.launches.size(), 2u);
    EXPECT_EQ(plain.launches[0].commandLine, launcher + "  first.Class");
    EXPECT_EQ(plain.launches[1].commandLine, launcher + "  second.Class  -second");
    EXPECT_EQ(javaProcesses(plain.launches),
              (std::vector<JavaProcess>{{"first.Class"}, {"second.Class", {}, {"-second"}}}));
    EXPECT_TRUE(hasLine(plain.traceLog, "Adding parameter -second to buffer "));

    // Text that is no switch reaches every class, after its configured parameter.
    const InstallRun unknown = runMedia("fast mode");
    ASSERT_EQ(unknown.launches.size(), 2u);
    EXPECT_EQ(unknown.launches[0].commandLine, launcher + "  first.Class    fast mode");
    EXPECT_EQ(unknown.launches[1].commandLine, launcher + "  second.Class  -second  fast mode");
    EXPECT_EQ(javaProcesses(unknown.launches),
              (std::vector<JavaProcess>{{"first.Class", {}, {"fast", "mode"}},
                                        {"second.Class", {}, {"-second", "fast", "mode"}}}));
    EXPECT_TRUE(hasLine(unknown.traceLog, "Unknown parameters passed: Passing them to Driver fast mode "));

    // With "-cfg" the command line is not passed on.
    writeFile(std::string(kMedia) + "\\kp\\bin\\install.cfg", "unused");
    const InstallRun configured = runMedia("-cfg fast");
    ASSERT_EQ(configured.launches.size(), 2u);
    EXPECT_EQ(configured.launches[1].commandLine, launcher + "  second.Class  -second");
    EXPECT_EQ(javaProcesses(configured.launches),
              (std::vector<JavaProcess>{{"first.Class"}, {"second.Class", {}, {"-second"}}}));
}

TEST_F(Launch, RuntimeDirectoryFallsBackToWindowsThenBin)
{
    buildMedia(kMedia, "[CLASS]\nfirst.Class\n");
    const std::string m = kMedia;
    removeTree(m + "\\kp\\bin_nt");
    const InstallRun fromWindows = runMedia();
    ASSERT_EQ(fromWindows.launches.size(), 1u);
    EXPECT_EQ(fromWindows.launches[0].currentDirectory, m + "\\kp\\windows");
    EXPECT_EQ(fromWindows.traceLog.find("new current directory is"), std::string::npos);
    EXPECT_EQ(javaProcesses(fromWindows.launches), (std::vector<JavaProcess>{{"first.Class"}}));

    writeFile(m + "\\kp\\bin\\install.cfg", "[CLASS]\nfirst.Class\n");
    removeTree(m + "\\kp\\windows");
    const InstallRun fromBin = runMedia();
    ASSERT_EQ(fromBin.launches.size(), 1u);
    EXPECT_EQ(fromBin.launches[0].currentDirectory, m + "\\kp\\bin");
    EXPECT_EQ(javaProcesses(fromBin.launches), (std::vector<JavaProcess>{{"first.Class"}}));
}

TEST_F(Launch, ProcessThatCannotBeCreatedEndsTheLoop)
{
    stageUpdateFolders();
    buildMedia(kMedia, "[CLASS]\nfirst.Class\nsecond.Class\n");
    // A launcher that is no program: the lookup finds it, the start fails.
    writeFile(std::string(kMedia) + "\\kp\\bin\\launch.exe", "not a program");
    makeDirectories("C:\\vtupdate");
    const InstallRun run = runMedia();
    const std::vector<std::string> lines = linesOf(run.traceLog);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 1], "For some reason, CreateProcess failed");
    EXPECT_EQ(lines[lines.size() - 2].rfind("About to launch " + std::string(kMedia) + "\\kp\\bin\\launch.exe  first.Class", 0),
              0u);
    EXPECT_TRUE(run.program.messageBoxes.empty());
    // Clean-up still runs, with the trace log closed.
    EXPECT_FALSE(exists("C:\\vtupdate"));
}

TEST_F(Launch, DeveloperBatchFileIsExact)
{
    buildMedia(kMedia, "[CLASS]\nfirst.Class\nsecond.Class\n\n"
                       "[PARAMETERS]\n0 -mode install /OUTPUT_TO_FILE out.txt\n1 -plain\n\n"
                       "[SPLASH_BITMAP]\n0 logo.bmp\n");
    const InstallRun run = runMedia("-developer");
    EXPECT_TRUE(run.launches.empty());
    EXPECT_EQ(run.traceLog.find("About to launch"), std::string::npos);
    EXPECT_EQ(run.traceLog.find("In install.exe-- opened the file"), std::string::npos);
    EXPECT_EQ(run.traceLog.find("locale ="), std::string::npos);
    const std::string batch = temporaryDirectory() + "install.bat";
    EXPECT_TRUE(hasLine(run.traceLog, "Just created developer file " + batch + " "));

    const std::string m = kMedia;
    const std::string classPath = m + "\\kp\\lib\\kp.jar;" + m + "\\jre\\lib\\rt.jar;" + kCommonDir + "kp\\help;";
    std::string own(32768, '\0');
    own.resize(GetEnvironmentVariableA("PATH", own.data(), static_cast<DWORD>(own.size())));
    const std::string searchPath = "PATH=.;" + m + "\\kp\\bin;;" + kCommonDir + "kp\\bin;" + kCommonDir + "jre\\bin;" +
                                   kCommonDir + "jre\\bin\\hotspot;" + own;
    const std::string launcher = m + "\\kp\\bin\\launch.exe";
    const std::string expected = "REM This file helps the developer to either run it as\n"
                                 "REM a batch file or for building a Visual Cafe debugging\n"
                                 "REM Environment. The -cp parameter containing the various\n"
                                 "REM classpaths can be used for setting the classpath\n"
                                 "REM environment variable while debugging your application\n"
                                 "\n\n\n"
                                 "set SAVEPATH=%PATH%;\n"
                                 "\n\n\n"
                                 "set " + searchPath + " \n"
                                 "\n\n\n"
                                 "pushd \"" + m + "\\kp\\bin_nt\"\n" +
                                 launcher + " -cp \"" + classPath + "\" first.Class -mode install \n" +
                                 launcher + " -cp \"" + classPath + "\" second.Class -plain\n"
                                 "popd\n"
                                 "\n\n\n"
                                 "set PATH=%SAVEPATH%;\n";
    EXPECT_EQ(readFile(batch), withCrLf(expected));
}

// The batch file of a product of today's size starts every class when cmd.exe runs it: its class
// path, too long for one of cmd.exe's lines, goes into an argument file, and the classes' own
// argument files are read from the folder the Java processes start in.
TEST_F(Launch, DeveloperBatchFileStartsEveryClassOfALargeProduct)
{
    buildMedia(kMedia, "[CLASS]\n@jvm0.args first.Class\nsecond.Class\n\n[PARAMETERS]\n0 -mode install\n1 -plain\n");
    const std::string m = kMedia;
    addProductJars(400, 40);
    writeFile(m + "\\kp\\bin_nt\\jvm0.args", "-Xmx512m\n\"-Dsuite.title=Suite 4 Setup\" # the window's title\n");

    const InstallRun run = runMedia("-developer");
    ASSERT_TRUE(run.launches.empty());
    const std::string batch = temporaryDirectory() + "install.bat";
    const std::string text = readFile(batch);
    for (const std::string& line : splitLines(text))
        EXPECT_LE(line.size(), 8191u) << line.substr(0, 100);
    EXPECT_TRUE(exists(temporaryDirectory() + "install-cp.args"));

    const std::string record = "C:\\itest\\batch-launches.txt";
    const ScopedEnvironment recorded("LAUNCH_STUB_RECORD", record.c_str());
    const ProgramRun cmd = runProgram("cmd.exe /c \"" + batch + "\"", temporaryDirectory());
    ASSERT_TRUE(cmd.finished);
    const std::vector<LaunchRecord> launches = launchesRecordedIn(record);
    ASSERT_EQ(launches.size(), 2u);
    // The class path is the one install composed, every jar of it.
    const std::string classPath = launches[0].searchedClassPath;
    EXPECT_TRUE(hasLine(run.traceLog, "ClassPath just prior to launch.exe is CLASSPATH=" + classPath + " "));
    EXPECT_EQ(javaProcesses(launches),
              (std::vector<JavaProcess>{
                  {"first.Class", {"-cp", classPath, "-Xmx512m", "-Dsuite.title=Suite 4 Setup"}, {"-mode", "install"}},
                  {"second.Class", {"-cp", classPath}, {"-plain"}}}));
    for (const LaunchRecord& launch : launches) {
        EXPECT_EQ(launch.currentDirectory, m + "\\kp\\bin_nt");
        EXPECT_EQ(launch.foundIn, m + "\\kp\\lib\\kp.jar");
    }
    removeTree(temporaryDirectory() + "install-cp.args");
}

} // namespace
