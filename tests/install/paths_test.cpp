#include <windows.h>

#include <cstdlib>

#include "install/config.h"
#include "install/globals.h"
#include "install/paths.h"
#include "install/platform.h"
#include "install/trust/update_trust.h"
#include "staged_updates.h"
#include "testing.h"
#include "trace_log_fixture.h"

using namespace testing_support;

namespace {

class PathsTest : public InstallUnitTest {
protected:
    void SetUp() override
    {
        InstallUnitTest::SetUp();
        removeTree("C:\\vtupdate");
    }
    void TearDown() override
    {
        removeTree("C:\\vtupdate");
        removeTree("D:\\kp");
        removeTree("D:\\jre");
        InstallUnitTest::TearDown();
    }

private:
    const StagedUpdateFolders staged_;
};

TEST_F(PathsTest, JoinPathFollowsTheInstallRules)
{
    struct Case {
        const char* dir;
        const char* name;
        const char* joined;
    };
    const Case cases[] = {
        {"C:\\inst", "kp\\bin", "C:\\inst\\kp\\bin"},
        {"D:\\", "kp\\bin", "D:\\kp\\bin"},
        {"C:\\inst", "\\tools", "C:\\tools"},
        {"D:\\x", "\\tools", "D:\\tools"},
        {"C:\\inst", "E:\\abs", "E:\\abs"},
        {"C:\\inst", "E:rel", "E:rel"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(joinPath(c.dir, c.name), c.joined) << c.dir << " + " << c.name;
}

TEST_F(PathsTest, LanguageCodesFollowTheLocaleName)
{
    struct Case {
        const char* locale;
        const char* code;
    };
    const Case cases[] = {
        {"C", "en"},         {"c", "en"},
        {"German_Germany.1252", "de"}, {"russian", "ru"},
        {"Portuguese_Brazil.1252", "pt"}, {"ITALIAN", "it"},
        {"French_France.1252", "en"}, {"spanish", "en"},
        {"chinese-simplified", "cs"}, {"Chinese-Traditional_Taiwan.950", "ct"},
        {"Japanese_Japan.932", "en"}, {"", "en"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(languageCode(c.locale), c.code) << c.locale;
}

TEST_F(PathsTest, SearchPathStartsFromTheWorkingDirectory)
{
    makeDirectories(scratch + "inst\\kp\\bin");
    makeDirectories(scratch + "inst\\jre\\bin");
    ASSERT_TRUE(SetCurrentDirectoryA((scratch + "inst").c_str()));
    PresSetupPath();
    EXPECT_EQ(pathBuf, "PATH=.;" + scratch + "inst\\kp\\bin;" + scratch + "inst\\jre\\bin;");

    // From a drive root, with the update directory present: another run, with verdicts of its own.
    forgetUpdateFolderVerdicts();
    makeDirectories("D:\\kp\\bin");
    makeDirectories("D:\\jre\\bin");
    makeDirectories("C:\\vtupdate");
    ASSERT_TRUE(SetCurrentDirectoryA("D:\\"));
    PresSetupPath();
    EXPECT_EQ(pathBuf, "PATH=.;C:\\vtupdate;D:\\kp\\bin;D:\\jre\\bin;");
}

TEST_F(PathsTest, ClassPathStartsWithEveryArchiveOfTheFixedDirectories)
{
    writeFile("C:\\vtupdate\\v.jar", "");
    writeFile("C:\\vtupdate\\v.zip", "");
    writeFile("C:\\vtupdate\\notes.txt", "");
    writeFile(scratch + "inst\\kp\\lib\\kp.jar", "");
    writeFile(scratch + "inst\\kp\\lib\\extra.zip", "");
    writeFile(scratch + "inst\\jre\\lib\\rt.jar", "");
    const std::string inst = scratch + "inst";
    ASSERT_TRUE(SetCurrentDirectoryA(inst.c_str()));
    PresSetupClassPath();
    EXPECT_EQ(classPathBuf, "CLASSPATH=C:\\vtupdate\\v.jar;C:\\vtupdate\\v.zip;" + inst + "\\kp\\lib\\kp.jar;" + inst +
                                "\\kp\\lib\\extra.zip;" + inst + "\\jre\\lib\\rt.jar;");
    EXPECT_EQ(testing_support::currentDirectory(), inst);
}

TEST_F(PathsTest, ExpandingEntriesSkipsArchivesAlreadyThere)
{
    const std::string lib = scratch + "lib";
    writeFile(lib + "\\a.jar", "");
    writeFile(lib + "\\b.zip", "");
    writeFile(scratch + "single.jar", "");
    classPathBuf = "CLASSPATH=" + lib + "\\a.jar;";
    const std::string before = testing_support::currentDirectory();
    expandClassPathEntries(lib + ";;" + scratch + "missing;" + scratch + "single.jar;" + lib, classPathBuf);
    EXPECT_EQ(classPathBuf, "CLASSPATH=" + lib + "\\a.jar;" + lib + "\\b.zip;" + lib + ";" + scratch + "single.jar;" +
                                lib + ";");
    EXPECT_EQ(testing_support::currentDirectory(), before);
}

// A class-path folder's archives are joined to its path: a name the code page lacks is left out
// with its line, the others are listed.
TEST_F(PathsTest, ArchivesWithoutAnExactAnsiNameStayOffTheClassPath)
{
    const std::string folder = scratch + "lib";
    writeFile(folder + "\\plain.jar", "p");
    const UniqueFileHandle odd(CreateFileW((widenAnsi(folder) + L"\\\uFF4Bp.jar").c_str(), GENERIC_WRITE, 0, nullptr,
                                           CREATE_NEW, 0, nullptr));
    ASSERT_TRUE(odd);
    std::string target;
    changeDirectory(folder);

    appendArchives("*.jar", target, folder);

    EXPECT_EQ(target, folder + "\\plain.jar;");
    EXPECT_EQ(traceText(), withCrLf("Entry ?p.jar listed in " + folder +
                                    " is not used: its name holds a separator or has no exact ANSI form\n"));
}

TEST_F(PathsTest, JavaHomeAddsLibWithTwoSeparatorsAndBin)
{
    const std::string home = scratch + "java";
    writeFile(home + "\\lib\\classes.zip", "");
    addJavaHomeSegments(home);
    EXPECT_EQ(classPathBuf, "CLASSPATH=" + home + "\\lib\\classes.zip;" + home + "\\lib;;");
    EXPECT_EQ(pathBuf, "PATH=.;;" + home + "\\bin");
}

TEST_F(PathsTest, CommonDirectorySegmentsAvoidRepeatsOnTheSearchPath)
{
    const std::string common = scratch + "common\\";
    writeFile(common + "kp\\lib\\kp.jar", "");
    makeDirectories(common + "kp\\data");
    writeFile(common + "jre\\lib\\rt.jar", "");
    pathBuf = "PATH=.;" + common + "kp\\bin;";
    addCommonDirSegments(common);
    EXPECT_EQ(classPathBuf, "CLASSPATH=" + common + "kp\\lib\\kp.jar;" + common + "kp\\lib;" + common + "kp\\data;" +
                                common + "kp\\help;" + common + "jre\\lib\\rt.jar;" + common + "jre\\lib;");
    EXPECT_EQ(pathBuf, "PATH=.;" + common + "kp\\bin;;" + common + "jre\\bin;" + common + "jre\\bin\\hotspot");
}

TEST_F(PathsTest, FindProgramLooksAtTheBaseThenTheSearchPath)
{
    writeFile(scratch + "bin2\\launch.exe", "");
    writeFile(scratch + "exact\\launch", "");
    makeDirectories(scratch + "bin1");
    ASSERT_TRUE(SetCurrentDirectoryA(scratch.c_str()));
    writeFile(scratch + "launch.exe", "");

    EXPECT_EQ(findProgram(scratch + "exact\\launch", "PATH=.;", "launch.exe"), scratch + "exact\\launch");
    const std::string search = "PATH=.;" + scratch + "bin1;;" + scratch + "bin2;";
    EXPECT_EQ(findProgram(scratch + "bin1\\launch", search, "launch.exe"), scratch + "bin2\\launch.exe");
    // The current directory, the "." entry, is not searched.
    EXPECT_EQ(findProgram(scratch + "none\\launch", "PATH=.;" + scratch + "bin1;", "launch.exe"), std::nullopt);
}

TEST_F(PathsTest, OnlyTheSearchPathIsHeldToTheLimitWhileItIsAssembled)
{
    pathBuf = "PATH=" + std::string(kEnvironmentValueLimit - 8, 'x');
    EXPECT_TRUE(appendWithinLimit(pathBuf, "C:\\a.bin"));
    EXPECT_EQ(pathBuf.size(), 5 + kEnvironmentValueLimit);
    EXPECT_FALSE(appendWithinLimit(pathBuf, ";"));
    EXPECT_EQ(pathBuf.size(), 5 + kEnvironmentValueLimit);
    // The class path takes everything while it is assembled; it is measured whole at the end.
    classPathBuf = "CLASSPATH=" + std::string(kEnvironmentValueLimit, 'x');
    EXPECT_TRUE(appendWithinLimit(classPathBuf, "C:\\a.jar;"));
    EXPECT_EQ(classPathSize().needed, kEnvironmentValueLimit + 9);
    EXPECT_EQ(classPathSize().allowed, kEnvironmentValueLimit);
    EXPECT_EQ(traceText(), withCrLf("Left out of a full search path or class path: ;\n"));
}

TEST_F(PathsTest, TheSystemFoldersAreNeverTheEntriesLeftOut)
{
    char system[MAX_PATH] = {};
    GetSystemDirectoryA(system, MAX_PATH);
    readWindowsDirectory();
    const std::string saved = std::getenv("PATH") ? std::getenv("PATH") : "";
    const std::string own = std::string("C:\\tools;") + system + ";C:\\more;" + windowsDir + "\\";
    _putenv(("PATH=" + own).c_str());
    // Room for the system folders and one more entry, not for both of the others.
    const std::size_t room = 1 + std::string(system).size() + 1 + windowsDir.size() + 1 + 1 + 8;
    pathBuf = "PATH=" + std::string(kEnvironmentValueLimit - room, 'x');
    classPathBuf = "CLASSPATH=";

    appendOwnSearchPath();
    _putenv(("PATH=" + saved).c_str());

    EXPECT_EQ(pathBuf.substr(5 + kEnvironmentValueLimit - room),
              std::string(";C:\\tools;") + system + ";" + windowsDir + "\\");
    EXPECT_EQ(traceText(), withCrLf("Left out of a full search path or class path: ;C:\\more\n"));
}

} // namespace
