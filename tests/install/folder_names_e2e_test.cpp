// Media, temporary folder and common folder whose names the ANSI code page cannot write. The
// prefix runs with code page 1252 (Wine under C.UTF-8): Polish and Japanese letters have no
// place in it.
#include <windows.h>

#include <string>
#include <vector>

#include "install_run.h"

using namespace testing_support;

namespace {

constexpr char kOneClassCfg[] = "[CLASS]\r\ncom.bravik.Install\r\n";
// A user's profile folder named in the user's own script, as Windows names it.
const std::wstring kPolishProfile = L"C:\\itest\\Users\\\u0141ukasz \u017B\u00F3\u0142\u0107";
const std::wstring kJapaneseProfile = L"C:\\itest\\Users\\\u5C71\u7530\u592A\u90CE";

class FolderNames : public InstallEndToEnd {};

void makeWideDirectories(const std::wstring& path)
{
    for (std::size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1))
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    CreateDirectoryW(path.c_str(), nullptr);
}

// The short form of an existing folder, which is how the tests write into it.
std::string shortPathOf(const std::wstring& path)
{
    const DWORD size = GetShortPathNameW(path.c_str(), nullptr, 0);
    std::wstring shortPath(size, L'\0');
    shortPath.resize(GetShortPathNameW(path.c_str(), shortPath.data(), size));
    return std::string(shortPath.begin(), shortPath.end());
}

std::vector<std::string> entriesOf(const std::string& list)
{
    std::vector<std::string> entries;
    for (std::size_t start = 0; start < list.size();) {
        const std::size_t end = std::min(list.find(';', start), list.size());
        if (end > start)
            entries.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return entries;
}

// Whether the Java process can reach each entry on the media the way it reads it, with the ANSI
// functions; there is at least one.
void expectEveryMediaEntryReachable(const std::string& list, const std::string& media)
{
    int onMedia = 0;
    for (const std::string& entry : entriesOf(list)) {
        if (entry.rfind(media + "\\", 0) != 0)
            continue;
        ++onMedia;
        EXPECT_NE(GetFileAttributesA(entry.c_str()), INVALID_FILE_ATTRIBUTES) << entry << " of " << list;
    }
    EXPECT_GT(onMedia, 0) << list;
}

TEST_F(FolderNames, MediaBelowAProfileInTheUsersScriptInstallsThroughShortNames)
{
    for (const std::wstring& profile : {kPolishProfile, kJapaneseProfile}) {
        const std::wstring media = profile + L"\\Downloads\\suite";
        makeWideDirectories(media);
        const std::string shortMedia = shortPathOf(media);
        ASSERT_FALSE(shortMedia.empty());
        buildMedia(shortMedia, kOneClassCfg);

        const InstallRun run = runInstall(media + L"\\install.exe", media);

        EXPECT_TRUE(hasLine(run.traceLog, "CWD = " + shortMedia)) << run.traceLog;
        ASSERT_EQ(run.launches.size(), 1u) << run.traceLog;
        EXPECT_EQ(run.launches[0].commandLine, shortMedia + "\\kp\\bin\\launch.exe  com.bravik.Install");
        EXPECT_EQ(javaProcesses(run.launches), (std::vector<JavaProcess>{{"com.bravik.Install"}}));
        EXPECT_EQ(run.launches[0].foundIn, shortMedia + "\\kp\\lib\\kp.jar");
        expectEveryMediaEntryReachable(run.launches[0].classPath, shortMedia);
        expectEveryMediaEntryReachable(run.launches[0].path, shortMedia);
        EXPECT_NE(run.launches[0].classPath.find(shortMedia + "\\kp\\lib\\kp.jar"), std::string::npos);
        removeTree("C:\\itest\\Users");
    }
}

// The temporary folder and a folder of the machine's search path lie in such a profile, the
// media elsewhere: the trace log is created in the temporary folder, by its short name, the
// search path carries the other's short name, and the run goes on.
TEST_F(FolderNames, TemporaryFolderAndSearchPathInTheUsersScriptGoByShortNames)
{
    const std::wstring temp = kPolishProfile + L"\\AppData\\Local\\Temp";
    const std::wstring tools = kPolishProfile + L"\\tools";
    makeWideDirectories(temp);
    makeWideDirectories(tools);
    const std::string log = shortPathOf(temp) + "\\kp_nstal.out";
    buildMedia(kMedia, kOneClassCfg);
    std::wstring savedTemp(32767, L'\0'), savedPath(32767, L'\0');
    savedTemp.resize(GetEnvironmentVariableW(L"TEMP", savedTemp.data(), 32767));
    savedPath.resize(GetEnvironmentVariableW(L"PATH", savedPath.data(), 32767));
    SetEnvironmentVariableW(L"TEMP", temp.c_str());
    SetEnvironmentVariableW(L"TMP", temp.c_str());
    SetEnvironmentVariableW(L"PATH", (savedPath + L";" + tools).c_str());

    const InstallRun run = runMedia();

    SetEnvironmentVariableW(L"TEMP", savedTemp.c_str());
    SetEnvironmentVariableW(L"TMP", savedTemp.c_str());
    SetEnvironmentVariableW(L"PATH", savedPath.c_str());
    ASSERT_TRUE(exists(log));
    const std::string text = readFile(log);
    EXPECT_EQ(text.rfind("started\r\n", 0), 0u) << text;
    EXPECT_TRUE(hasLine(text, "CWD = " + std::string(kMedia))) << text;
    ASSERT_EQ(run.launches.size(), 1u);
    EXPECT_EQ(javaProcesses(run.launches), (std::vector<JavaProcess>{{"com.bravik.Install"}}));
    const std::vector<std::string> path = entriesOf(run.launches[0].path);
    EXPECT_EQ(path.back(), shortPathOf(tools)) << run.launches[0].path;
    EXPECT_NE(GetFileAttributesA(path.back().c_str()), INVALID_FILE_ATTRIBUTES);
    removeTree("C:\\itest\\Users");
}

// A volume without short names leaves such a folder without any ANSI form: the run stops with
// the box that names it, and no Java process starts.
TEST_F(FolderNames, AFolderWithNeitherFormStopsTheRunWithABox)
{
    stageUpdateFolders();
    const std::wstring media = kPolishProfile + L"\\Downloads\\suite";
    makeWideDirectories(media);
    buildMedia(shortPathOf(media), kOneClassCfg);
    const ScopedEnvironment noShortNames("INSTALL_STANDIN_NO_SHORT_NAMES", "1");

    const InstallRun run = runInstall(media + L"\\install.exe", media);

    const std::string tail = " has a name this system's code page cannot write, and no short name. Copy the "
                             "installation media to a folder whose name the system can write, and run install "
                             "again. Application terminating ";
    EXPECT_TRUE(hasLine(run.traceLog, "The folder C:\\itest\\Users\\?ukasz ?\xF3??\\Downloads\\suite" + tail))
        << run.traceLog;
    EXPECT_EQ(run.program.messageBoxes,
              (std::vector<MessageBoxCall>{
                  {"The folder C:\\itest\\Users\\\xC5\x81ukasz \xC5\xBB\xC3\xB3\xC5\x82\xC4\x87\\Downloads\\suite" + tail,
                   "Folder Name Not Supported"}}));
    EXPECT_TRUE(run.launches.empty());
    removeTree("C:\\itest\\Users");
}

} // namespace
