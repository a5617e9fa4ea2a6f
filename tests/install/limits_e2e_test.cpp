// Products and machines of today's size: hundreds of jars, a developer's long search path and
// entries deeper than MAX_PATH, each as far as Windows allows it and stopped with a word past it.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "install_run.h"
#include "zip_writer.h"

using namespace testing_support;

namespace {

constexpr char kOneClassCfg[] = "[CLASS]\r\ncom.bravik.Install\r\n";
constexpr std::size_t kVariableLimit = 32766;
constexpr char kTooLongTitle[] = "Class Path Too Long";

std::vector<std::string> entriesOf(const std::string& list)
{
    std::vector<std::string> entries;
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t end = std::min(list.find(';', start), list.size());
        if (end > start)
            entries.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return entries;
}

bool holds(const std::vector<std::string>& entries, const std::string& entry)
{
    return std::find(entries.begin(), entries.end(), entry) != entries.end();
}


// The class path's value as the run wrote it just before it looked for launch.exe.
std::string finalClassPath(const std::string& traceLog)
{
    const std::string head = "ClassPath just prior to launch.exe is CLASSPATH=";
    for (const std::string& line : linesOf(traceLog))
        if (line.rfind(head, 0) == 0)
            return line.substr(head.size(), line.size() - head.size() - 1);
    return {};
}

// The two numbers of the box that stops a class path past the limit: needed and allowed.
std::pair<std::size_t, std::size_t> tooLongNumbers(const std::string& text)
{
    unsigned long needed = 0, allowed = 0;
    std::sscanf(text.c_str(), "The class path of this installation needs %lu characters, but Windows allows %lu.",
                &needed, &allowed);
    return {needed, allowed};
}

using Limits = InstallEndToEnd;

TEST_F(Limits, TwoHundredJarsAllReachJava)
{
    buildMedia(kMedia, kOneClassCfg);
    const std::vector<std::string> jars = addProductJars(200, 31);

    const InstallRun run = runMedia();

    ASSERT_EQ(run.launches.size(), 1u);
    EXPECT_EQ(javaProcesses(run.launches), (std::vector<JavaProcess>{{"com.bravik.Install"}}));
    const std::vector<std::string> classPath = entriesOf(run.launches[0].classPath);
    for (const std::string& jar : jars)
        EXPECT_TRUE(holds(classPath, jar)) << jar;
    EXPECT_TRUE(holds(classPath, std::string(kMedia) + "\\kp\\lib\\kp.jar"));
    EXPECT_TRUE(holds(classPath, std::string(kMedia) + "\\jre\\lib\\rt.jar"));
    EXPECT_EQ(run.traceLog.find("Left out"), std::string::npos);
    EXPECT_TRUE(run.program.messageBoxes.empty());
}

TEST_F(Limits, AClassPathPastTheLimitStopsBeforeAnyJavaProcess)
{
    buildMedia(kMedia, kOneClassCfg);
    addProductJars(300, 120);

    const InstallRun run = runMedia();

    EXPECT_TRUE(run.launches.empty());
    ASSERT_EQ(run.program.messageBoxes.size(), 1u);
    const std::string& text = run.program.messageBoxes[0].text;
    EXPECT_EQ(run.program.messageBoxes[0].title, kTooLongTitle);
    const std::size_t needed = finalClassPath(run.traceLog).size();
    EXPECT_GT(needed, kVariableLimit);
    EXPECT_EQ(text, "The class path of this installation needs " + std::to_string(needed) +
                        " characters, but Windows allows " + std::to_string(kVariableLimit) +
                        ". Application terminating ");
    EXPECT_TRUE(hasLine(run.traceLog, text));
    // Clean-up ran: the update folder's removal is its last step.
    EXPECT_TRUE(hasLine(run.traceLog, "Error removing directory c:\\vtupdate: error code " +
                                          removeDirectoryFailure("c:\\vtupdate") + " "));
}

TEST_F(Limits, TheMachinesLongSearchPathReachesJavaWhole)
{
    buildMedia(kMedia, kOneClassCfg);
    std::string own;
    for (int i = 0; i < 40; ++i) {
        char folder[128];
        std::snprintf(folder, sizeof(folder), "C:\\Program Files\\Developer Tools %02d\\%s\\bin;", i,
                      std::string(60, 't').c_str());
        own += folder;
    }
    own += "C:\\windows\\system32;C:\\windows";
    ASSERT_GT(own.size(), 4000u);
    const ScopedEnvironment path("PATH", own.c_str());

    const InstallRun run = runMedia();

    ASSERT_EQ(run.launches.size(), 1u);
    EXPECT_EQ(javaProcesses(run.launches), (std::vector<JavaProcess>{{"com.bravik.Install"}}));
    const std::string& received = run.launches[0].path;
    ASSERT_GT(received.size(), own.size());
    EXPECT_EQ(received.substr(received.size() - own.size() - 1), ";" + own);
    EXPECT_EQ(run.traceLog.find("Left out"), std::string::npos);
}

TEST_F(Limits, AnEntryDeeperThanMaxPathIsUnpackedRecordedAndRemoved)
{
    buildMedia(kMedia, kOneClassCfg);
    const std::string deep = "deep/" + std::string(150, 'a') + "/" + std::string(140, 'b') + "/file.txt";
    writeZip(std::string(kMedia) + "\\kp\\zip\\product.zip", {{"product.ver", "date=5"}, {deep, "deep bytes"}});

    const InstallRun run = runMedia();

    std::string stored = deep;
    std::replace(stored.begin(), stored.end(), '/', '\\');
    const std::string file = std::string(kCommonDir) + "kp\\" + stored;
    ASSERT_GT(deep.size(), 300u);
    EXPECT_TRUE(exists(file));
    EXPECT_TRUE(exists(std::string(kCommonDir) + "kp\\product.ver"));
    EXPECT_EQ(run.traceLog.find("too long a path"), std::string::npos);
    EXPECT_EQ(run.traceLog.find("not unpacked completely"), std::string::npos);

    // A run that removes the common trees leaves nothing of them behind.
    writeFile(std::string(kMedia) + "\\kp\\windows\\install.cfg", "[REMOVE_FILES]\r\n0 true\r\n\r\n[CLASS]\r\nx\r\n");
    const InstallRun removal = runMedia();
    EXPECT_TRUE(hasLine(removal.traceLog, "Skipping unzipping of zipFile product.zip "));
    EXPECT_FALSE(exists(std::string(kCommonDir) + "kp"));
    EXPECT_EQ(removal.traceLog.find("Error removing directory " + std::string(kCommonDir) + "kp"), std::string::npos);
    EXPECT_EQ(removal.traceLog.find("GetLastError returned"), std::string::npos);
}

// An entry past what the NT family takes even in the "\\?\" form (30,000 folders, 60,001
// characters) is refused with its line before anything is made for it: the media count as
// damaged, and nothing of the entry is below the common folder.
TEST_F(Limits, AnEntryPastTheLongestPathIsRefusedBeforeAnythingIsMade)
{
    std::string deep;
    for (int i = 0; i < 30000; ++i)
        deep += "e/";
    deep += "x";
    const std::string productDir = std::string(kCommonDir) + "kp";
    buildMedia(kMedia, kOneClassCfg);
    writeZip(std::string(kMedia) + "\\kp\\zip\\product.zip", {{"product.ver", "date=5"}, {deep, "x"}});

    const InstallRun run = runMedia();

    EXPECT_TRUE(hasLine(run.traceLog, "Entry " + deep + " is too long a path below " + productDir + " and is not unpacked"));
    EXPECT_TRUE(hasLine(run.traceLog, "Zip file product.zip was not unpacked completely; no version file is written"));
    ASSERT_EQ(run.program.messageBoxes.size(), 1u);
    EXPECT_EQ(run.program.messageBoxes[0].title, "Damaged Media");
    EXPECT_TRUE(run.launches.empty());
    EXPECT_TRUE(exists(productDir));
    EXPECT_FALSE(exists(productDir + "\\e"));
}

// The 95 family keeps the whole environment within 32,767 bytes, so the class path gets what
// the other variables leave; the same media install on the NT family.
TEST_F(Limits, NinetyFiveFamilyAllowsWhatTheRestOfTheEnvironmentLeaves)
{
    buildMedia(kMedia, kOneClassCfg);
    makeDirectories(std::string(kMedia) + "\\kp\\bin_win");
    addProductJars(200, 120);
    const std::string filler(8000, 'f');
    const ScopedEnvironment other("INSTALL_TEST_FILLER", filler.c_str());
    poseAsWindows98();

    const InstallRun nineFive = runMedia();

    EXPECT_TRUE(nineFive.launches.empty());
    ASSERT_EQ(nineFive.program.messageBoxes.size(), 1u);
    EXPECT_EQ(nineFive.program.messageBoxes[0].title, kTooLongTitle);
    const auto [needed, allowed] = tooLongNumbers(nineFive.program.messageBoxes[0].text);
    EXPECT_EQ(needed, finalClassPath(nineFive.traceLog).size());
    EXPECT_GT(needed, allowed);
    EXPECT_LT(allowed, kVariableLimit - filler.size());
    EXPECT_LE(needed, kVariableLimit);

    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\install.exe");
    const InstallRun nt = runMedia();
    ASSERT_EQ(nt.launches.size(), 1u);
    EXPECT_EQ(nt.launches[0].classPath, finalClassPath(nt.traceLog));
    EXPECT_EQ(javaProcesses(nt.launches), (std::vector<JavaProcess>{{"com.bravik.Install"}}));
}

} // namespace
