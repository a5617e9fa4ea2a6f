#include "trace_log_fixture.h"

#include "install/config.h"
#include "install/paths.h"
#include "install/globals.h"
#include "install/tracelog.h"
#include "install/trust/update_trust.h"
#include "testing.h"

using namespace testing_support;

void InstallUnitTest::SetUp()
{
    savedDirectory_ = testing_support::currentDirectory();
    scratch = "C:\\install-unit\\";
    removeTree("C:\\install-unit");
    makeDirectories("C:\\install-unit");
    traceLogPath = temporaryDirectory() + "install-unit-trace.out";
    writeFile(traceLogPath, "");
    ASSERT_TRUE(reopenTraceLog());
    readWindowsDirectory();
    forgetUpdateFolderVerdicts();

    classTable = {};
    parameterTable = {};
    splashBitmapTable = {};
    removeFilesFlag = {};
    zipDirTable = {};
    zipNameTable = {};
    deleteCommonFilesTable = {};
    postDeleteCommonFilesTable = {};
    writeVersionFiles = true;
    pathBuf = "PATH=.;";
    classPathBuf = "CLASSPATH=";
}

void InstallUnitTest::TearDown()
{
    closeTraceLog();
    SetCurrentDirectoryA(savedDirectory_.c_str());
    removeTree("C:\\install-unit");
    DeleteFileA(traceLogPath.c_str());
}

std::string InstallUnitTest::traceText()
{
    flushTraceLog();
    return readFile(traceLogPath);
}

void ArchiveUnitTest::SetUp()
{
    InstallUnitTest::SetUp();
    archive = scratch + "media\\jre.zip";
    dest = scratch + "dest";
    makeDirectories(dest);
}
