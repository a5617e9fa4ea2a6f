// In-process tests of install's areas: each test gets a scratch folder, a trace log of its
// own, fresh configuration tables and paths, and its current directory back afterwards.
#pragma once

#include <gtest/gtest.h>

#include <string>

class InstallUnitTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // What the trace log holds so far.
    std::string traceText();

    // A fresh folder for this test, ending in a backslash.
    std::string scratch;

private:
    std::string savedDirectory_;
};

// A unit test of extraction: an archive's place on the media and a destination folder.
class ArchiveUnitTest : public InstallUnitTest {
protected:
    void SetUp() override;

    std::string archive;
    std::string dest;
};
