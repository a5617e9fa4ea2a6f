#include <string>

#include "install/config.h"
#include "install/paths.h"
#include "install/removal.h"
#include "testing.h"
#include "trace_log_fixture.h"

using namespace testing_support;

namespace {

class ConfigTest : public InstallUnitTest {
protected:
    // Writes a configuration file and reads it with the install's reader.
    int readConfig(const std::string& text)
    {
        const std::string path = scratch + "install.cfg";
        writeFile(path, text);
        return readConfigFile(path, parameterTable, classTable);
    }
};

TEST_F(ConfigTest, EverySectionFillsItsTable)
{
    ASSERT_EQ(readConfig("free text before any section\r\n"
                         "[CLASS]\r\n"
                         "com.bravik.Install -x\r\n"
                         "com.bravik.Register\r\n"
                         "\r\n"
                         "[PARAMETERS]\r\n"
                         "0 -mode install\r\n"
                         "1   20 cm\r\n"
                         "\r\n"
                         "[SPLASH_BITMAP]\r\n"
                         "0 logo.bmp\r\n"
                         "\r\n"
                         "[REMOVE_FILES]\r\n"
                         "0 true\r\n"
                         "\r\n"
                         "[ZIP_FILES]\r\n"
                         "C:\\media\\zips\\one.zip\r\n"
                         "\r\n"
                         "[DELETE_COMMON_FILES]\r\n"
                         "kp\\old.txt\r\n"
                         "\r\n"
                         "[POST_DELETE_COMMON_FILES]\r\n"
                         "kp\\tmp.txt\r\n"
                         "\r\n"
                         "[NO_VERSION_FILES]\r\n"),
              1);
    EXPECT_EQ(classTable[0], "com.bravik.Install -x");
    EXPECT_EQ(classTable[1], "com.bravik.Register");
    EXPECT_EQ(classTable[2], "");
    EXPECT_EQ(parameterTable[0], "-mode install");
    EXPECT_EQ(parameterTable[1], "cm");
    EXPECT_EQ(splashBitmapTable[0], "logo.bmp");
    EXPECT_EQ(removeFilesFlag[0], "true");
    EXPECT_EQ(zipDirTable[0], "C:\\media\\zips");
    EXPECT_EQ(zipNameTable[0], "one.zip");
    EXPECT_EQ(deleteCommonFilesTable[0], "kp\\old.txt");
    EXPECT_EQ(postDeleteCommonFilesTable[0], "kp\\tmp.txt");
    EXPECT_FALSE(writeVersionFiles);
}

TEST_F(ConfigTest, FileThatCannotBeOpenedChangesNothing)
{
    classTable[0] = "kept";
    EXPECT_EQ(readConfigFile(scratch + "missing.cfg", parameterTable, classTable), 0);
    EXPECT_EQ(classTable[0], "kept");
    EXPECT_TRUE(writeVersionFiles);
}

TEST_F(ConfigTest, HeadersIgnoreCaseButMustStandAlone)
{
    readConfig("[class]\nlower.Case\n\n"
               "[CLASS] \ntrailing.Blank\n\n"
               " [SPLASH_BITMAP]\n0 leading.bmp\n\n"
               "[Splash_Bitmap]\n0 mixed.bmp\n");
    EXPECT_EQ(classTable[0], "lower.Case");
    EXPECT_EQ(classTable[1], "");
    EXPECT_EQ(splashBitmapTable[0], "mixed.bmp");
}

TEST_F(ConfigTest, SectionWithoutTerminatorSwallowsTheNextHeader)
{
    readConfig("[CLASS]\nfirst.Class\n[PARAMETERS]\n0 -p\n\n[NO_VERSION_FILES]");
    EXPECT_EQ(classTable[0], "first.Class");
    EXPECT_EQ(classTable[1], "[PARAMETERS]");
    EXPECT_EQ(classTable[2], "0 -p");
    EXPECT_EQ(parameterTable[0], "");
    // The last line has no line end and still counts.
    EXPECT_FALSE(writeVersionFiles);
}

TEST_F(ConfigTest, LineBeginningWithBlankEndsSection)
{
    readConfig("[CLASS]\none.Class\n two.Class\nthree.Class\n");
    EXPECT_EQ(classTable[0], "one.Class");
    EXPECT_EQ(classTable[1], "");
}

TEST_F(ConfigTest, IndexedSectionsWriteBySlotAndIgnoreWhatHasNoSlot)
{
    readConfig("[PARAMETERS]\n3 third\nx no digit\n10 ten\n\n"
               "[REMOVE_FILES]\n1 true\n\n"
               "[SPLASH_BITMAP]\n9\n");
    EXPECT_EQ(parameterTable[0], "");
    EXPECT_EQ(parameterTable[1], "ten");  // the slot is the first digit alone
    EXPECT_EQ(parameterTable[2], "");
    EXPECT_EQ(parameterTable[3], "third");
    EXPECT_EQ(removeFilesFlag[0], "");
    const std::string trace = traceText();
    EXPECT_NE(trace.find("x no digit"), std::string::npos);
    EXPECT_NE(trace.find("1 true"), std::string::npos);
}

TEST_F(ConfigTest, SequentialSectionsRestartAtSlotZeroAndKeepTenEntries)
{
    std::string text = "[CLASS]\n";
    for (int i = 0; i < 12; ++i)
        text += "c" + std::to_string(i) + "\n";
    text += "\n[CLASS]\nagain\n\n";
    readConfig(text);
    EXPECT_EQ(classTable[0], "again");
    EXPECT_EQ(classTable[1], "c1");
    EXPECT_EQ(classTable[9], "c9");
    const std::string trace = traceText();
    EXPECT_NE(trace.find("c10"), std::string::npos);
    EXPECT_NE(trace.find("c11"), std::string::npos);
}

TEST_F(ConfigTest, LongLinesArriveInPieces)
{
    const std::string seventyNine(79, 'a');
    const std::string hundred = std::string(79, 'b') + std::string(21, 'c');
    readConfig("[CLASS]\n" + hundred + "\nnext\n\n[DELETE_COMMON_FILES]\n" + std::string(127, 'd') + "xy\n\n");
    EXPECT_EQ(classTable[0], std::string(79, 'b'));
    EXPECT_EQ(classTable[1], std::string(21, 'c'));
    EXPECT_EQ(classTable[2], "next");
    EXPECT_EQ(deleteCommonFilesTable[0], std::string(127, 'd'));
    EXPECT_EQ(deleteCommonFilesTable[1], "xy");

    // A line of 79 characters leaves its line end as an empty piece, which ends the section.
    classTable = {};
    readConfig("[CLASS]\n" + seventyNine + "\nafter\n");
    EXPECT_EQ(classTable[0], seventyNine);
    EXPECT_EQ(classTable[1], "");
}

TEST_F(ConfigTest, ZipLinesSplitAtTheLastBackslash)
{
    struct Case {
        const char* line;
        const char* dir;
        const char* name;
    };
    const Case cases[] = {
        {"C:\\media\\zips\\a.zip", "C:\\media\\zips", "a.zip"},
        {"\\rooted\\b.zip", "\\rooted", "b.zip"},
        {"relative\\dir\\c.zip", "relative\\dir", "c.zip"},
        {"\\d.zip", "", "d.zip"},
        {"bare.zip", "", "bare.zip"},
        {"with blank \\e f.zip ", "with blank ", "e f.zip "},
    };
    std::string text = "[ZIP_FILES]\n";
    for (const Case& c : cases)
        text += std::string(c.line) + "\n";
    readConfig(text);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(zipDirTable[i], cases[i].dir) << cases[i].line;
        EXPECT_EQ(zipNameTable[i], cases[i].name) << cases[i].line;
    }
}

TEST_F(ConfigTest, ListsStopAtTheirLimitAndLeaveTheRestAsOrdinaryLines)
{
    std::string text = "[ZIP_FILES]\n";
    for (int i = 0; i < 30; ++i)
        text += "zips\\a" + std::to_string(i) + ".zip\n";
    // The 31st line is read as an ordinary line: a header there is taken as a header.
    text += "[NO_VERSION_FILES]\nzips\\a31.zip\n\n[POST_DELETE_COMMON_FILES]\n";
    for (int i = 0; i < 31; ++i)
        text += "p" + std::to_string(i) + "\n";
    readConfig(text);
    EXPECT_EQ(zipNameTable[29], "a29.zip");
    EXPECT_FALSE(writeVersionFiles);
    EXPECT_EQ(postDeleteCommonFilesTable[29], "p29");

    std::string deletions = "[DELETE_COMMON_FILES]\n";
    for (int i = 0; i < 41; ++i)
        deletions += "d" + std::to_string(i) + "\n";
    readConfig(deletions);
    EXPECT_EQ(deleteCommonFilesTable[39], "d39");
}

TEST_F(ConfigTest, PathLinesAreMadeAbsoluteAgainstTheCurrentDirectory)
{
    makeDirectories(scratch + "inst");
    ASSERT_TRUE(SetCurrentDirectoryA((scratch + "inst").c_str()));
    readConfig("[PATH]\nkp\\bin;\n\\tools;\nD:\\abs;\nmissing\\dir;\n");
    EXPECT_EQ(pathBuf, "PATH=.;" + scratch + "inst\\kp\\bin;C:\\tools;D:\\abs;" + scratch + "inst\\missing\\dir;");

    // From a drive root no second backslash is put in.
    pathBuf = "PATH=.;";
    ASSERT_TRUE(SetCurrentDirectoryA("D:\\"));
    readConfig("[path]\nkp\\bin;\n");
    EXPECT_EQ(pathBuf, "PATH=.;D:\\kp\\bin;");
}

TEST_F(ConfigTest, ClassPathSectionsKeepWhatExistsInFileOrder)
{
    writeFile(scratch + "lib\\one.jar", "");
    writeFile(scratch + "lib\\two.zip", "");
    writeFile(scratch + "single.jar", "");
    writeFile(scratch + "later.jar", "");
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\install-unit"));
    readConfig("[CLASSPATH]\nlib;\nnot\\there.jar;\nsingle.jar\n;\n\n"
               "[CLASSPATH]\nlater.jar;\n");
    // "single.jar" lacks its ";" and is joined with the next line's resolved text, which
    // names nothing; the joined entry is dropped.
    EXPECT_EQ(classPathBuf, "CLASSPATH=" + scratch + "lib\\one.jar;" + scratch + "lib\\two.zip;" + scratch +
                                "lib;" + scratch + "later.jar;");
}

TEST_F(ConfigTest, DeleteCommonFilesClearsAttributesAndStopsAtEmptySlot)
{
    const std::string common = scratch + "common\\";
    writeFile(common + "kp\\ro.txt", "x");
    writeFile(common + "kp\\hidden.txt", "x");
    writeFile(common + "kp\\beyond.txt", "x");
    SetFileAttributesA((common + "kp\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesA((common + "kp\\hidden.txt").c_str(), FILE_ATTRIBUTE_HIDDEN);
    deleteCommonFilesTable[0] = "kp\\ro.txt";
    deleteCommonFilesTable[1] = "kp\\absent.txt";
    deleteCommonFilesTable[2] = "kp\\hidden.txt";
    deleteCommonFilesTable[4] = "kp\\beyond.txt";
    deleteCommonFiles(common);
    EXPECT_FALSE(exists(common + "kp\\ro.txt"));
    EXPECT_FALSE(exists(common + "kp\\hidden.txt"));
    EXPECT_TRUE(exists(common + "kp\\beyond.txt"));

    postDeleteCommonFilesTable[0] = "kp\\beyond.txt";
    postDeleteCommonFiles(common);
    EXPECT_FALSE(exists(common + "kp\\beyond.txt"));
}

TEST_F(ConfigTest, ListedCommonFilesNeverReachOutsideTheCommonDirectory)
{
    const std::string common = scratch + "common\\";
    const std::string victim = scratch + "victim.txt";
    struct Case {
        const char* entry;
        bool deleted;  // else refused with a line
    };
    const Case cases[] = {
        {"kp\\old.txt", true},
        {"..\\victim.txt", false},
        {"kp\\..\\..\\victim.txt", false},
        {".. \\victim.txt", false},
        {"kp\\...\\..\\victim.txt", false},
        {"C:\\install-unit\\victim.txt", false},
        {"C:victim.txt", false},
        {"\\install-unit\\victim.txt", false},
        {"\\\\localhost\\C$\\install-unit\\victim.txt", false},
        {"kp\\NUL", false},
        {"kp\\COM1.txt", false},
        {"kp\\old.txt:stream", false},
    };
    std::string lines;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        deleteCommonFilesTable[i] = cases[i].entry;
        if (!cases[i].deleted)
            lines += "Listed common file " + std::string(cases[i].entry) + " lies outside " + common +
                     " and is not deleted\n";
    }
    writeFile(victim, "v");
    writeFile(common + "kp\\old.txt", "old");
    writeFile(common + "kp\\late.txt", "late");

    deleteCommonFiles(common);
    postDeleteCommonFilesTable[0] = "kp\\..\\..\\victim.txt";
    postDeleteCommonFilesTable[1] = "kp\\late.txt";
    postDeleteCommonFiles(common);

    EXPECT_TRUE(exists(victim));
    EXPECT_FALSE(exists(common + "kp\\old.txt"));
    EXPECT_FALSE(exists(common + "kp\\late.txt"));
    EXPECT_EQ(traceText(), withCrLf(lines + "Listed common file kp\\..\\..\\victim.txt lies outside " + common +
                                    " and is not deleted\n"));
}

} // namespace
