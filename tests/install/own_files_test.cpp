#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "install/platform.h"
#include "testing.h"

using namespace testing_support;

namespace {

// The trace log keeps one identity for the run: a reopen that finds another file at its path
// (one moved over it while a Java process ran, say) neither writes to it nor empties it.
TEST(OwnFiles, AReopenFindsTheSameFileOrNothing)
{
    const std::string path = temporaryDirectory() + "own-file.out";
    const std::string other = temporaryDirectory() + "own-file.other";
    FileIdentity identity;
    {
        const UniqueFile created = openOwnFile(path, OwnFileMode::truncate, std::nullopt, &identity);
        ASSERT_TRUE(created);
        std::fputs("started\n", created.get());
    }
    {
        const UniqueFile again = openOwnFile(path, OwnFileMode::append, identity);
        ASSERT_TRUE(again);
        std::fputs("more\n", again.get());
    }
    EXPECT_EQ(readFile(path), withCrLf("started\nmore\n"));

    writeFile(other, "someone else's");
    ASSERT_TRUE(MoveFileExA(other.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_FALSE(openOwnFile(path, OwnFileMode::append, identity));
    EXPECT_FALSE(openOwnFile(path, OwnFileMode::truncate, identity));
    EXPECT_EQ(readFile(path), "someone else's");
    DeleteFileA(path.c_str());
}

} // namespace
