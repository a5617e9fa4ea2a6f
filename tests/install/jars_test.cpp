#include "install/jars.h"
#include "install/paths.h"
#include "install/globals.h"
#include "install/tracelog.h"
#include "testing.h"
#include "trace_log_fixture.h"

using testing_support::withCrLf;

namespace {

using JarsTest = InstallUnitTest;

TEST_F(JarsTest, KeepsTheFirstOccurrenceOfEachJar)
{
    struct Case {
        const char* before;
        const char* after;
    };
    const Case cases[] = {
        {"CLASSPATH=C:\\a\\x.jar;D:\\b\\X.JAR;C:\\a\\y.jar;", "CLASSPATH=C:\\a\\x.jar;C:\\a\\y.jar;"},
        // Directories and zip archives are never taken out, even when repeated.
        {"CLASSPATH=C:\\k\\data;C:\\k\\data;C:\\c.zip;D:\\c.zip;", "CLASSPATH=C:\\k\\data;C:\\k\\data;C:\\c.zip;D:\\c.zip;"},
        // A name that merely holds ".jar" counts as a jar and is compared whole.
        {"CLASSPATH=C:\\a\\a.jar.bak;C:\\b\\A.JAR.BAK;C:\\c\\a.jar;", "CLASSPATH=C:\\a\\a.jar.bak;C:\\c\\a.jar;"},
        // Empty fields disappear; every entry kept ends in ";".
        {"CLASSPATH=C:\\a.jar;;C:\\b.jar", "CLASSPATH=C:\\a.jar;C:\\b.jar;"},
        // The first entry carries the prefix and is never a duplicate.
        {"CLASSPATH=C:\\x\\rt.jar;C:\\y\\rt.jar;C:\\z\\RT.jar;", "CLASSPATH=C:\\x\\rt.jar;"},
        // A trailing backslash does not hide the last component.
        {"CLASSPATH=C:\\x\\kp.jar\\;C:\\y\\kp.jar;", "CLASSPATH=C:\\x\\kp.jar\\;"},
    };
    for (const Case& c : cases) {
        classPathBuf = c.before;
        removeDuplicateJars();
        EXPECT_EQ(classPathBuf, c.after) << c.before;
    }
}

TEST_F(JarsTest, LeavesTheClassPathAloneWhileTheTraceLogIsClosed)
{
    classPathBuf = "CLASSPATH=C:\\a\\x.jar;C:\\b\\x.jar;";
    closeTraceLog();
    removeDuplicateJars();
    EXPECT_EQ(classPathBuf, "CLASSPATH=C:\\a\\x.jar;C:\\b\\x.jar;");
}

TEST_F(JarsTest, PrintJarListWritesEveryNode)
{
    JarList list;
    ASSERT_EQ(appendJarNode(list, JarNode{"C:\\a\\x.jar", {}, 0}), 0);
    ASSERT_EQ(appendJarNode(list, JarNode{"C:\\b\\X.jar", {}, 0}), 0);
    fillJarFileNames(list);
    markDuplicateJars(list);
    printJarList(list);
    EXPECT_EQ(traceText(), withCrLf("\n\n******** Linked List Contents **************"
                                    "\nFullPath: C:\\a\\x.jar\nfileName: x.jar\nisDup: 0"
                                    "\nFullPath: C:\\b\\X.jar\nfileName: X.jar\nisDup: 1"));
}

} // namespace
