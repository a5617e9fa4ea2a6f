#include <windows.h>

#include <thread>

#include "install/removal.h"
#include "testing.h"
#include "trace_log_fixture.h"

using namespace testing_support;

namespace {

using RemovalTest = InstallUnitTest;

// The status the platform gives for a directory that cannot be removed in the given state.
DWORD removeDirectoryError(const std::string& path)
{
    RemoveDirectoryA(path.c_str());
    return GetLastError();
}

TEST_F(RemovalTest, RemovesANestedTreeWithoutATraceLine)
{
    const std::string root = scratch + "tree";
    writeFile(root + "\\a.txt", "a");
    writeFile(root + "\\sub\\b.txt", "b");
    writeFile(root + "\\sub\\deeper\\c.txt", "c");
    makeDirectories(root + "\\empty");
    // More entries than one level's list used to hold.
    for (int i = 0; i < 60; ++i)
        writeFile(root + "\\many\\f" + std::to_string(i) + ".txt", "x");
    SetFileAttributesA((root + "\\sub\\b.txt").c_str(), FILE_ATTRIBUTE_HIDDEN);
    const std::string before = currentDirectory();

    removeDirectoryTree(root);

    EXPECT_FALSE(exists(root));
    EXPECT_EQ(currentDirectory(), before);
    EXPECT_EQ(traceText(), "");
}

// A chain of count folders called name below root, in the "\\?\" form that goes past MAX_PATH,
// with a file at its end; the chain's path.
std::wstring makeFolderChain(const std::string& root, int count, const wchar_t* name)
{
    std::wstring path = L"\\\\?\\" + std::wstring(root.begin(), root.end());
    CreateDirectoryW(path.c_str(), nullptr);
    for (int i = 0; i < count; ++i) {
        path += L"\\";
        path += name;
        CreateDirectoryW(path.c_str(), nullptr);
    }
    const UniqueFileHandle file(CreateFileW((path + L"\\leaf.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    return file ? path : std::wstring();
}

// A tree hundreds of folders deep, its paths far past MAX_PATH, goes whole without a line: the
// walk opens each level below the one above it and keeps the levels on a stack of its own.
TEST_F(RemovalTest, RemovesATreeHundredsOfFoldersDeep)
{
    const std::string root = scratch + "deep";
    const std::wstring leaf = makeFolderChain(root, 400, L"e");
    ASSERT_FALSE(leaf.empty());
    ASSERT_FALSE(makeFolderChain(root + "\\e\\e\\side", 100, L"s").empty());
    ASSERT_GT(leaf.size(), 800u);

    removeDirectoryTree(root);

    EXPECT_FALSE(exists(root));
    EXPECT_EQ(traceText(), "");
}

TEST_F(RemovalTest, MissingRootGivesOneLine)
{
    const std::string root = scratch + "absent";
    const DWORD expected = removeDirectoryError(root);
    removeDirectoryTree(root);
    EXPECT_EQ(traceText(), withCrLf("Error removing directory " + root + ": error code " + std::to_string(expected) + " \n"));
}

TEST_F(RemovalTest, ReadOnlyFileKeepsEveryDirectoryAboveIt)
{
    const std::string root = scratch + "locked";
    writeFile(root + "\\outer\\inner\\ro.txt", "keep");
    writeFile(root + "\\outer\\inner\\other.txt", "gone");
    writeFile(root + "\\sibling\\s.txt", "gone");
    SetFileAttributesA((root + "\\outer\\inner\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    const std::string before = currentDirectory();

    removeDirectoryTree(root);

    EXPECT_TRUE(exists(root + "\\outer\\inner\\ro.txt"));
    EXPECT_FALSE(exists(root + "\\outer\\inner\\other.txt"));
    EXPECT_FALSE(exists(root + "\\sibling"));
    EXPECT_EQ(currentDirectory(), before);
    const std::string notEmpty = std::to_string(removeDirectoryError(root + "\\outer\\inner"));
    EXPECT_EQ(traceText(), withCrLf("GetLastError returned = " + notEmpty + " for directory inner \n"
                           "GetLastError returned = " + notEmpty + " for directory outer \n"
                           "Error removing directory " + root + ": error code " + notEmpty + " \n"));
}

// Files and folders that another process holds for a moment (a scanner reading what was just
// unpacked, the console window of a Java process that has just ended) are waited for: the
// tree goes whole, without a line. The hold is an open handle that shares nothing, let go of
// after a third of a second.
TEST_F(RemovalTest, WaitsForWhatIsHeldForAMoment)
{
    const std::string root = scratch + "held";
    writeFile(root + "\\bin\\launch.exe", "l");
    writeFile(root + "\\lib\\kp.jar", "k");
    for (const std::string held : {root + "\\lib\\kp.jar", root + "\\bin"}) {
        SCOPED_TRACE(held);
        makeDirectories(root + "\\bin");
        writeFile(root + "\\lib\\kp.jar", "k");
        UniqueFileHandle handle(CreateFileA(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        ASSERT_TRUE(handle);
        std::thread release([&] {
            Sleep(300);
            handle.reset();
        });

        removeDirectoryTree(root);
        release.join();

        EXPECT_FALSE(exists(root));
        EXPECT_EQ(traceText(), "");
    }
}

} // namespace
