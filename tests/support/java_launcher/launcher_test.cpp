// The stand-in Java launcher reads its command line as the java tool's documentation says the
// launcher does: a table of command lines and argument files, each with the main class,
// options and parameters the documentation gives for it, and the failures it names.
#include <windows.h>

#include <gtest/gtest.h>

#include "../../install/install_run.h"

using namespace testing_support;

namespace {

constexpr char kFolder[] = "C:\\itest\\launcher";
constexpr char kRecord[] = "C:\\itest\\launcher\\record.txt";

struct Reading {
    const char* what;
    const char* arguments;  // after the launcher's own quoted path
    const char* argumentFile;  // args.txt in the current folder, or nullptr
    std::vector<std::string> options;
    const char* mainClass;
    std::vector<std::string> parameters;
};

const Reading kReadings[] = {
    {"blanks and tabs end arguments, runs of them count once", "  -Xmx1g \t a.Main  one   two", nullptr,
     {"-Xmx1g"}, "a.Main", {"one", "two"}},
    {"double quotes keep blanks, anywhere in an argument", "a.Main \"two words\" x\"y z\"w \"\"", nullptr, {},
     "a.Main", {"two words", "xy zw", ""}},
    {"backslashes are literal unless they precede a quote",
     "a.Main C:\\dir\\ \"C:\\Program Files\\\\\" a\\\\\\\"b \\\\\\\\\"c d\"", nullptr, {}, "a.Main",
     {"C:\\dir\\", "C:\\Program Files\\", "a\\\"b", "\\\\c d"}},
    {"an option taking a value takes the next argument, even one without a dash",
     "--add-opens java.base/java.lang=ALL-UNNAMED -cp \"C:\\itest\\launcher\\classes.jar\" a.Main -x", nullptr,
     {"--add-opens", "java.base/java.lang=ALL-UNNAMED", "-cp", "C:\\itest\\launcher\\classes.jar"}, "a.Main", {"-x"}},
    {"an argument file before the main class: white space, both quotes, escapes in quotes, comments",
     "@args.txt a.Main @args.txt",
     "-Xms64m # the heap\r\n"
     "\"-Dsuite.home=C:\\\\Program Files\\\\Suite\"\r\n"
     "'-Dsingle=a \"quoted\" b'   -Dtab=\"x\\ty\"\n"
     "--add-opens\tjava.base/java.io=ALL-UNNAMED\n"
     "# a line of its own\n",
     {"-Xms64m", "-Dsuite.home=C:\\Program Files\\Suite", "-Dsingle=a \"quoted\" b", "-Dtab=x\ty", "--add-opens",
      "java.base/java.io=ALL-UNNAMED"},
     "a.Main", {"@args.txt"}},
    {"an argument file may hold the main class and its parameters", "-Xss1m @args.txt tail",
     "a.Main 'first parameter' second\n", {"-Xss1m"}, "a.Main", {"first parameter", "second", "tail"}},
};

class JavaLauncher : public ::testing::Test {
protected:
    void SetUp() override
    {
        removeTree(kFolder);
        copyFile(programDirectory() + "\\stubs\\launch.exe", launcher());
        writeJar(std::string(kFolder) + "\\classes.jar", {"a.Main"});
    }
    void TearDown() override { removeTree(kFolder); }

    static std::string launcher() { return std::string(kFolder) + "\\Program Files\\launch.exe"; }

    // Starts the launcher as install starts a program, by its path, with that command line as it
    // stands, from kFolder, the class path the jar alone; gives what it read.
    LaunchRecord run(const std::string& commandLine)
    {
        DeleteFileA(kRecord);
        const ScopedEnvironment record("LAUNCH_STUB_RECORD", kRecord);
        const ScopedEnvironment classPath("CLASSPATH", (std::string(kFolder) + "\\classes.jar").c_str());
        STARTUPINFOA startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        std::string writable = commandLine;
        EXPECT_TRUE(CreateProcessA(launcher().c_str(), writable.data(), nullptr, nullptr, FALSE, 0, nullptr, kFolder,
                                   &startup, &info))
            << commandLine;
        const UniqueHandle process(info.hProcess), thread(info.hThread);
        EXPECT_EQ(WaitForSingleObject(process.get(), 60000), WAIT_OBJECT_0) << commandLine;
        const std::vector<LaunchRecord> launches = launchesRecordedIn(kRecord);
        return launches.size() == 1 ? launches[0] : LaunchRecord{};
    }
};

TEST_F(JavaLauncher, ReadsItsCommandLineAndArgumentFilesAsDocumented)
{
    for (const Reading& reading : kReadings) {
        SCOPED_TRACE(reading.what);
        const std::string file = std::string(kFolder) + "\\args.txt";
        removeTree(file);
        if (reading.argumentFile)
            writeFile(file, reading.argumentFile);

        const LaunchRecord launch = run("\"" + launcher() + "\" " + reading.arguments);

        EXPECT_EQ(launch.options, reading.options);
        EXPECT_EQ(launch.mainClass, reading.mainClass);
        EXPECT_EQ(launch.parameters, reading.parameters);
        EXPECT_EQ(launch.foundIn, std::string(kFolder) + "\\classes.jar") << launch.error;
        EXPECT_EQ(launch.exitCode, 0);
    }
}

TEST_F(JavaLauncher, FailsWhereTheLauncherFails)
{
    const std::string quoted = "\"" + launcher() + "\"";
    struct Failure {
        std::string commandLine;
        std::string error;
    };
    const Failure failures[] = {
        {quoted + " @missing.args a.Main", "Error: could not open `missing.args'"},
        {quoted + " b.Missing", "Error: Could not find or load main class b.Missing"},
        // Unquoted, the path's blank ends the program's name: the rest of it is the main class.
        {launcher() + "  a.Main", "Error: Could not find or load main class Files\\launch.exe"},
    };
    for (const Failure& failure : failures) {
        SCOPED_TRACE(failure.commandLine);
        const LaunchRecord launch = run(failure.commandLine);
        EXPECT_EQ(launch.error, failure.error);
        EXPECT_EQ(launch.exitCode, 1);
        EXPECT_TRUE(launch.foundIn.empty());
        EXPECT_TRUE(launch.natives.empty());
    }
}

// The natives are found where System.loadLibrary looks on Windows: the launcher's own folder
// before the folders of PATH.
TEST_F(JavaLauncher, FindsTheNativesBesideItselfBeforeThePath)
{
    const std::string other = std::string(kFolder) + "\\path";
    copyFile(programDirectory() + "\\sysnat.dll", std::string(kFolder) + "\\Program Files\\sysnat.dll");
    copyFile(programDirectory() + "\\sysnat.dll", other + "\\sysnat.dll");
    copyFile(programDirectory() + "\\hivenat.dll", other + "\\hivenat.dll");
    std::string path(32767, '\0');
    path.resize(GetEnvironmentVariableA("PATH", path.data(), static_cast<DWORD>(path.size())));
    const ScopedEnvironment searched("PATH", (other + ";" + path).c_str());

    const LaunchRecord launch = run("\"" + launcher() + "\" a.Main");

    ASSERT_EQ(launch.natives.size(), 2u);
    EXPECT_EQ(launch.natives.at("sysnat.dll").path, std::string(kFolder) + "\\Program Files\\sysnat.dll");
    EXPECT_EQ(launch.natives.at("sysnat.dll").answer, std::string("nativeWinGetCurrentDirectory=") + kFolder);
    EXPECT_EQ(launch.natives.at("hivenat.dll").path, other + "\\hivenat.dll");
    EXPECT_EQ(launch.natives.at("hivenat.dll").answer.rfind("CommonFilesDir=", 0), 0u);
}

} // namespace
