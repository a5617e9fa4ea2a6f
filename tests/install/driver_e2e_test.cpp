#include <windows.h>

#include "install_run.h"
#include "zip_writer.h"

using namespace testing_support;

namespace {

constexpr char kCanonicalCfg[] = "[CLASSPATH]\r\n"
                                 "kp\\classes;\r\n"
                                 "\r\n"
                                 "[PATH]\r\n"
                                 "kp\\tools;\r\n"
                                 "\r\n"
                                 "[SPLASH_BITMAP]\r\n"
                                 "0 logo.bmp\r\n"
                                 "\r\n"
                                 "[CLASS]\r\n"
                                 "com.bravik.Install\r\n"
                                 "com.bravik.Register\r\n"
                                 "\r\n"
                                 "[PARAMETERS]\r\n"
                                 "0 -mode install\r\n"
                                 "1 -quiet\r\n";

constexpr char kOneClassCfg[] = "[CLASS]\r\ncom.bravik.Install\r\n";

std::string environmentValue(const char* name)
{
    std::string value(32768, '\0');
    const DWORD length = GetEnvironmentVariableA(name, value.data(), static_cast<DWORD>(value.size()));
    value.resize(length);
    return value;
}

// What an earlier installation left in the common directory for a removal run.
void buildInstalledProduct(const std::string& removeCfg)
{
    const std::string base = InstallEndToEnd::kCommonDir;
    copyFile(programDirectory() + "\\stubs\\launch.exe", base + "kp\\bin\\launch.exe");
    writeJar(base + "kp\\lib\\kp.jar", {"com.bravik.Remove"});
    writeJar(base + "jre\\lib\\rt.jar", {"java.lang.Object"});
    writeFile(base + "kp\\bin\\remove.cfg", removeCfg);
}

using Driver = InstallEndToEnd;

TEST_F(Driver, TraceLogOfAWholeRunIsExact)
{
    // The runtime and product archives come from the media; rt.jar and kp.jar reach the class
    // path only from the common directory they are unpacked into.
    buildMedia(kMedia, kCanonicalCfg);
    const std::string m = kMedia;
    removeTree(m + "\\kp\\lib");
    removeTree(m + "\\jre\\lib");
    writeFile(m + "\\kp\\classes\\extra.jar", "x");
    makeDirectories(m + "\\jre\\bin");
    writeZip(m + "\\kp\\windows\\jre.zip", {{"jre.ver", "date=100"}, {"lib/rt.jar", "rt"}, {"bin/java.dll", "j"}});
    const std::string productJar = jarBytes({"com.bravik.Install", "com.bravik.Register"});
    writeZip(m + "\\kp\\zip\\product.zip", {{"product.ver", "date=200"}, {"lib/kp.jar", productJar}});

    const InstallRun run = runMedia();

    const std::string cd = kCommonDir;
    const std::string log = traceLogPath();
    const std::string classPath = "CLASSPATH=" + m + "\\kp\\classes\\extra.jar;" + m + "\\kp\\classes;" + cd +
                                  "kp\\lib\\kp.jar;" + cd + "kp\\lib;" + cd + "kp\\help;" + cd + "jre\\lib\\rt.jar;" +
                                  cd + "jre\\lib;";
    const std::string searchPath = "PATH=.;" + m + "\\kp\\bin;" + m + "\\jre\\bin;" + m + "\\kp\\tools;;" + cd +
                                   "kp\\bin;" + cd + "jre\\bin;" + cd + "jre\\bin\\hotspot";
    const std::string commonFiles = "Program Files directory was C:\\Program Files\\Common Files \n";
    const std::string spacer(44, ' ');
    const std::string head =
        "started\n"
        "CWD = " + m + "\n" +
        m + "\\kp\\bin\\install.cfg\n" +
        m + "\\kp\\bin\\launch\n"
        "install.exe is not signed: the media are used without checking them\n"
        "Error removing directory c:\\kpupdate: error code " + removeDirectoryFailure("c:\\kpupdate") + " \n"
        ".....ClassPath at after of PresSetupClassPath is CLASSPATH= \n"
        "Successfully read file: " + m + "\\kp\\windows\\install.cfg\n"
        ".....ClassPath after reading the cfg file CLASSPATH=" + m + "\\kp\\classes\\extra.jar;" + m +
        "\\kp\\classes; \n"
        "version key is Software\\JavaSoft\\Java Runtime Environment\\1.1 \n"
        " locale = C" + commonFiles + commonFiles;
    const std::string tail =
        "\n\nClassPath just prior to removeDuplicateJars call is " + classPath + " \n"
        "Path just prior to locating launch.exe is " + searchPath + " \n"
        "\n\nClassPath just prior to launch.exe is " + classPath + " \n" +
        spacer + "\n" + spacer + "\n" + spacer + "\n" + spacer + "\n" + spacer + "\n"
        "new current directory is " + m + "\\kp\\bin_nt\n"
        "Adding parameter -mode install to buffer \n"
        "About to launch " + m + "\\kp\\bin\\launch.exe  com.bravik.Install  -mode install hence closing " + log + "  \n"
        "In install.exe-- opened the file " + log + " again\n"
        "Adding parameter -quiet to buffer \n"
        "About to launch " + m + "\\kp\\bin\\launch.exe  com.bravik.Register  -quiet hence closing " + log + "  \n"
        "In install.exe-- opened the file " + log + " again\n"
        "Error removing directory c:\\vtupdate: error code " + removeDirectoryFailure("c:\\vtupdate") + " \n";
    EXPECT_EQ(run.traceLog, withCrLf(head + "Writing date=100 to file \nWriting date=200 to file \n" + tail));
    EXPECT_TRUE(run.program.messageBoxes.empty());
    EXPECT_EQ(readFile(cd + "jre\\jre.ver"), "date=100");
    EXPECT_EQ(readFile(cd + "kp\\product.ver"), "date=200");
    EXPECT_EQ(readFile(cd + "jre\\bin\\java.dll"), "j");

    ASSERT_EQ(run.launches.size(), 2u);
    EXPECT_EQ(run.launches[0].commandLine, m + "\\kp\\bin\\launch.exe  com.bravik.Install  -mode install");
    EXPECT_EQ(run.launches[1].commandLine, m + "\\kp\\bin\\launch.exe  com.bravik.Register  -quiet");
    EXPECT_EQ(javaProcesses(run.launches), (std::vector<JavaProcess>{{"com.bravik.Install", {}, {"-mode", "install"}},
                                                                      {"com.bravik.Register", {}, {"-quiet"}}}));
    for (const LaunchRecord& launch : run.launches) {
        EXPECT_EQ(launch.foundIn, cd + "kp\\lib\\kp.jar");
        EXPECT_EQ(launch.currentDirectory, m + "\\kp\\bin_nt");
        EXPECT_EQ(launch.classPath, classPath.substr(std::string("CLASSPATH=").size()));
        EXPECT_EQ(launch.path, searchPath.substr(std::string("PATH=").size()) + ";" + environmentValue("PATH"));
    }

    // A second run from the same media unpacks nothing.
    writeFile(cd + "jre\\bin\\java.dll", "kept");
    const InstallRun second = runMedia();
    EXPECT_EQ(second.traceLog, withCrLf(head + "Skipping unzipping of zipFile kp\\windows\\jre.zip \n"
                                               "Skipping unzipping of zipFile product.zip \n" + tail));
    EXPECT_EQ(readFile(cd + "jre\\bin\\java.dll"), "kept");

    // A newer stamp unpacks that archive alone.
    const std::string newerJar = jarBytes({"com.bravik.Install", "com.bravik.Register", "com.bravik.New"});
    writeZip(m + "\\kp\\zip\\product.zip", {{"product.ver", "date=201"}, {"lib/kp.jar", newerJar}});
    const InstallRun third = runMedia();
    EXPECT_EQ(third.traceLog, withCrLf(head + "Skipping unzipping of zipFile kp\\windows\\jre.zip \n"
                                              "Writing date=201 to file \n" + tail));
    EXPECT_EQ(readFile(cd + "kp\\lib\\kp.jar"), newerJar);
    EXPECT_EQ(javaProcesses(third.launches).size(), 2u);
    EXPECT_EQ(readFile(cd + "jre\\bin\\java.dll"), "kept");
}

TEST_F(Driver, UpdateDirectoryArchivesAreUnpackedLast)
{
    stageUpdateFolders();
    buildMedia("D:", kOneClassCfg);
    writeZip("D:\\kp\\zip\\product.zip", {{"product.ver", "date=1"}, {"shared.txt", "from the media"}});
    writeZip("C:\\vtupdate\\kp\\zip\\patch.zip", {{"patch.ver", "date=2"}, {"shared.txt", "from the update"}});
    const InstallRun run = runInstall("D:\\install.exe", "", "D:\\");
    EXPECT_EQ(readFile(std::string(kCommonDir) + "kp\\shared.txt"), "from the update");
    EXPECT_NE(run.traceLog.find("Writing date=1 to file \r\nWriting date=2 to file \r\n"), std::string::npos);
    // Drive D and its directory were current again afterwards.
    ASSERT_EQ(run.launches.size(), 1u);
    EXPECT_EQ(run.launches[0].currentDirectory, "D:\\kp\\bin_nt");
    EXPECT_EQ(javaProcesses(run.launches), (std::vector<JavaProcess>{{"com.bravik.Install", {}, {}}}));
    EXPECT_FALSE(exists("C:\\vtupdate"));
    removeTree("D:\\kp\\zip");
}

TEST_F(Driver, NoArchiveCanPlantAnotherArchivesRecord)
{
    // a.zip comes first and carries what Windows would store as b's record.
    buildMedia(kMedia, kOneClassCfg);
    const std::string m = kMedia;
    writeZip(m + "\\kp\\zip\\a.zip", {{"a.ver", "date=1"}, {"b.ver.", "date=2147483647"}, {"a.txt", "a"}});
    writeZip(m + "\\kp\\zip\\b.zip", {{"b.ver", "date=5"}, {"b.txt", "b"}});
    const InstallRun run = runMedia();
    const std::string productDir = std::string(kCommonDir) + "kp\\";
    EXPECT_EQ(readFile(productDir + "b.txt"), "b");
    EXPECT_EQ(readFile(productDir + "b.ver"), "date=5");
    EXPECT_EQ(run.traceLog.find("Skipping"), std::string::npos);
    removeTree(m + "\\kp\\zip");
}

TEST_F(Driver, ProgramInADriveRootWorksFromTheDriveName)
{
    buildMedia("D:", kOneClassCfg);
    makeDirectories("D:\\jre\\bin");
    const InstallRun run = runInstall("D:\\install.exe", "", "D:\\");
    EXPECT_TRUE(hasLine(run.traceLog, "CWD = D:"));
    EXPECT_TRUE(hasLine(run.traceLog, "D:\\kp\\bin\\install.cfg"));
    EXPECT_TRUE(hasLine(run.traceLog, "D:\\kp\\bin\\launch"));
    EXPECT_TRUE(hasLine(run.traceLog, "Successfully read file: D:\\kp\\windows\\install.cfg"));
    ASSERT_EQ(run.launches.size(), 1u);
    EXPECT_EQ(run.launches[0].commandLine, "D:\\kp\\bin\\launch.exe  com.bravik.Install");
    EXPECT_EQ(javaProcesses(run.launches), (std::vector<JavaProcess>{{"com.bravik.Install", {}, {}}}));
    EXPECT_EQ(run.launches[0].path.rfind(".;D:\\kp\\bin;D:\\jre\\bin;", 0), 0u) << run.launches[0].path;
    EXPECT_EQ(run.launches[0].currentDirectory, "D:\\kp\\bin_nt");
}

TEST_F(Driver, CurrentDirectoryThatPrefixesTheProgramDirectoryStaysTheWorkingDirectory)
{
    // C:\ is a prefix of C:\itest\inst, so the run works from C:\ and a relative "-cfg" path
    // gets a second backslash after the drive.
    copyFile(programDirectory() + "\\install.exe", "C:\\itest\\inst\\install.exe");
    copyFile(programDirectory() + "\\stubs\\launch.exe", "C:\\kp\\bin\\launch.exe");
    writeJar("C:\\kp\\lib\\kp.jar", {"com.bravik.Install"});
    writeJar("C:\\jre\\lib\\rt.jar", {"java.lang.Object"});
    writeFile("C:\\my.cfg", kOneClassCfg);
    const InstallRun run = runInstall("C:\\itest\\inst\\install.exe", "-cfg=my.cfg", "C:\\");
    removeTree("C:\\jre");
    EXPECT_TRUE(hasLine(run.traceLog, "CWD = C:\\"));
    EXPECT_TRUE(hasLine(run.traceLog, "Path to CFG file is C:\\\\my.cfg"));
    EXPECT_TRUE(hasLine(run.traceLog, "C:\\kp\\bin\\launch"));
    EXPECT_TRUE(hasLine(run.traceLog, "Successfully read file: C:\\\\my.cfg"));
    ASSERT_EQ(run.launches.size(), 1u);
    EXPECT_EQ(run.launches[0].commandLine, "C:\\kp\\bin\\launch.exe  com.bravik.Install");
    EXPECT_EQ(javaProcesses(run.launches), (std::vector<JavaProcess>{{"com.bravik.Install", {}, {}}}));
}

TEST_F(Driver, EveryFormOfTheCfgSwitch)
{
    struct Case {
        const char* arguments;
        const char* pathLine;  // the "Path to CFG file is" value, or nullptr for no such line
        const char* readPath;  // the file read
        const char* command;   // what the launcher gets after its path
        JavaProcess parsed;    // what it makes of that
    };
    const std::string m = kMedia;
    const Case cases[] = {
        {"-cfg=my.cfg", "C:\\itest\\media\\my.cfg", "C:\\itest\\media\\my.cfg", "  from.my", {"from.my"}},
        {"-CFG=my.cfg", "C:\\itest\\media\\my.cfg", "C:\\itest\\media\\my.cfg", "  from.my", {"from.my"}},
        {"-cfg=D:\\x.cfg", "D:\\x.cfg", "D:\\x.cfg", "  from.d", {"from.d"}},
        {"-cfg=\\itest\\rooted.cfg", "\\itest\\rooted.cfg", "\\itest\\rooted.cfg", "  from.rooted", {"from.rooted"}},
        {"-cfg=a.cfg -debug", "C:\\itest\\media\\a.cfg -debug", "C:\\itest\\media\\a.cfg -debug", "  from.a",
         {"from.a"}},
        // Without "=" the switch only counts as a known parameter.
        {"-cfg", nullptr, "C:\\itest\\media\\kp\\bin\\install.cfg", "  from.bin", {"from.bin"}},
        // Other capitalisations are not the switch and are passed on.
        {"-Cfg=my.cfg", nullptr, "C:\\itest\\media\\kp\\bin\\install.cfg", "  from.bin    -Cfg=my.cfg",
         {"from.bin", {}, {"-Cfg=my.cfg"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        buildMedia(kMedia, "");
        writeJar(m + "\\kp\\lib\\kp.jar", {"from.my", "from.d", "from.rooted", "from.a", "from.bin"});
        writeFile(m + "\\my.cfg", "[CLASS]\nfrom.my\n");
        writeFile("D:\\x.cfg", "[CLASS]\nfrom.d\n");
        writeFile("C:\\itest\\rooted.cfg", "[CLASS]\nfrom.rooted\n");
        writeFile(m + "\\a.cfg -debug", "[CLASS]\nfrom.a\n");
        writeFile(m + "\\kp\\bin\\install.cfg", "[CLASS]\nfrom.bin\n");

        const InstallRun run = runMedia(c.arguments);

        if (c.pathLine)
            EXPECT_TRUE(hasLine(run.traceLog, std::string("Path to CFG file is ") + c.pathLine)) << run.traceLog;
        else
            EXPECT_EQ(run.traceLog.find("Path to CFG file is"), std::string::npos);
        EXPECT_TRUE(hasLine(run.traceLog, std::string("Successfully read file: ") + c.readPath)) << run.traceLog;
        ASSERT_EQ(run.launches.size(), 1u);
        EXPECT_EQ(run.launches[0].commandLine, m + "\\kp\\bin\\launch.exe" + c.command);
        EXPECT_EQ(javaProcesses(run.launches), std::vector<JavaProcess>{c.parsed});
        removeTree("D:\\x.cfg");
    }
}

TEST_F(Driver, ConfigurationUnderKpWindowsWinsOverTheCfgSwitch)
{
    buildMedia(kMedia, "[CLASS]\nfrom.windows\n");
    writeJar(std::string(kMedia) + "\\kp\\lib\\kp.jar", {"from.windows", "from.my"});
    writeFile(std::string(kMedia) + "\\my.cfg", "[CLASS]\nfrom.my\n");
    const InstallRun run = runMedia("-cfg=my.cfg");
    EXPECT_TRUE(hasLine(run.traceLog, "Successfully read file: C:\\itest\\media\\kp\\windows\\install.cfg"));
    ASSERT_EQ(run.launches.size(), 1u);
    EXPECT_EQ(run.launches[0].commandLine, std::string(kMedia) + "\\kp\\bin\\launch.exe  from.windows");
    EXPECT_EQ(javaProcesses(run.launches), (std::vector<JavaProcess>{{"from.windows"}}));
}

TEST_F(Driver, ProgramNameGivesTheConfigurationName)
{
    buildMedia(kMedia, "", "setup.exe");
    writeJar(std::string(kMedia) + "\\kp\\lib\\kp.jar", {"from.setup", "from.bin"});
    writeFile(std::string(kMedia) + "\\kp\\windows\\setup.cfg", "[CLASS]\nfrom.setup\n");
    writeFile(std::string(kMedia) + "\\kp\\bin\\install.cfg", "[CLASS]\nfrom.bin\n");
    const InstallRun run = runInstall(std::string(kMedia) + "\\setup.exe", "", kMedia);
    // kp\bin has no setup.cfg, so its configuration path falls back to install.cfg.
    EXPECT_TRUE(hasLine(run.traceLog, "C:\\itest\\media\\kp\\bin\\install.cfg"));
    EXPECT_TRUE(hasLine(run.traceLog, "Successfully read file: C:\\itest\\media\\kp\\windows\\setup.cfg"));
    ASSERT_EQ(run.launches.size(), 1u);
    EXPECT_EQ(run.launches[0].commandLine, std::string(kMedia) + "\\kp\\bin\\launch.exe  from.setup");
    EXPECT_EQ(javaProcesses(run.launches), (std::vector<JavaProcess>{{"from.setup"}}));
}

TEST_F(Driver, UpdateDirectoryConfigurationIsPreferredAndRemovedAfterwards)
{
    stageUpdateFolders();
    buildMedia(kMedia, "[CLASS]\nfrom.media\n");
    writeFile("C:\\vtupdate\\kp\\windows\\install.cfg", "[CLASS]\nfrom.update.windows\n");
    writeFile("C:\\vtupdate\\install.cfg", "[CLASS]\nfrom.update\n");
    // The update brings its classes in its own jar, ahead of the product's.
    writeJar("C:\\vtupdate\\patch.jar", {"from.update.windows", "from.update"});
    const InstallRun run = runMedia();
    EXPECT_TRUE(hasLine(run.traceLog, "Successfully read file: C:\\vtupdate\\kp\\windows\\install.cfg"));
    ASSERT_EQ(run.launches.size(), 1u);
    EXPECT_EQ(run.launches[0].commandLine, std::string(kMedia) + "\\kp\\bin\\launch.exe  from.update.windows");
    EXPECT_EQ(javaProcesses(run.launches), (std::vector<JavaProcess>{{"from.update.windows"}}));
    EXPECT_EQ(run.launches[0].foundIn, "C:\\vtupdate\\patch.jar");
    EXPECT_EQ(run.launches[0].classPath.rfind("C:\\vtupdate\\patch.jar;", 0), 0u) << run.launches[0].classPath;
    EXPECT_EQ(run.launches[0].path.rfind(".;C:\\vtupdate;", 0), 0u) << run.launches[0].path;
    EXPECT_FALSE(exists("C:\\vtupdate"));

    writeFile("C:\\vtupdate\\install.cfg", "[CLASS]\nfrom.update\n");
    writeJar("C:\\vtupdate\\patch.jar", {"from.update"});
    const InstallRun second = runMedia();
    EXPECT_TRUE(hasLine(second.traceLog, "Successfully read file: C:\\vtupdate\\install.cfg"));
    EXPECT_EQ(javaProcesses(second.launches), (std::vector<JavaProcess>{{"from.update"}}));
}

TEST_F(Driver, MissingConfigurationEndsTheRunQuietly)
{
    stageUpdateFolders();
    buildMedia(kMedia, "");
    makeDirectories("C:\\vtupdate");
    makeDirectories("C:\\kpupdate\\old");
    const InstallRun run = runMedia();
    EXPECT_TRUE(hasLine(run.traceLog, "Could not find file either at : C:\\itest\\media\\kp\\windows\\install.cfg or "
                                      "C:\\itest\\media\\kp\\bin\\install.cfg"));
    EXPECT_TRUE(run.program.messageBoxes.empty());
    EXPECT_TRUE(run.launches.empty());
    EXPECT_FALSE(exists("C:\\vtupdate"));
    EXPECT_FALSE(exists("C:\\kpupdate"));
}

TEST_F(Driver, RemovalRunWorksFromTheCommonDirectory)
{
    const std::string base = kCommonDir;
    buildInstalledProduct("[CLASS]\ncom.bravik.Remove\n\n[PARAMETERS]\n0 -uninstall\n");
    buildMedia(kMedia, "[CLASS]\nnot.this\n");

    const InstallRun run = runMedia("-remove -silent ..\\data\\ip.db -x");

    EXPECT_TRUE(hasLine(run.traceLog, "Name of the cfg file is " + base + "kp\\bin\\remove.cfg "));
    EXPECT_TRUE(hasLine(run.traceLog, "Name of the exe file is " + base + "kp\\bin\\launch "));
    EXPECT_TRUE(hasLine(run.traceLog, "CWD = " + base.substr(0, base.size() - 1)));
    EXPECT_TRUE(hasLine(run.traceLog, "Successfully read file: " + base + "kp\\bin\\remove.cfg"));
    // The launcher's path holds blanks, so it is quoted: a launcher splits its command line there.
    const std::string command =
        "\"" + base + "kp\\bin\\launch.exe\"  com.bravik.Remove   ..\\data\\ip.db -x  -uninstall";
    EXPECT_TRUE(hasLine(run.traceLog, "About to launch " + command + " hence closing " + traceLogPath() + "  "));
    ASSERT_EQ(run.launches.size(), 1u);
    EXPECT_EQ(run.launches[0].commandLine, command);
    EXPECT_EQ(javaProcesses(run.launches),
              (std::vector<JavaProcess>{{"com.bravik.Remove", {}, {"..\\data\\ip.db", "-x", "-uninstall"}}}));
    EXPECT_EQ(run.launches[0].currentDirectory, base + "kp\\bin");
}

TEST_F(Driver, RemovalSwitchIsCaseSensitiveAndItsTailIsOptional)
{
    const std::string base = kCommonDir;
    buildInstalledProduct("[CLASS]\ncom.bravik.Remove\n");
    buildMedia(kMedia, "[CLASS]\ncom.bravik.Install\n");

    // Without "..\data\ip.db" nothing is appended, and the run says why.
    const InstallRun removal = runMedia("-remove");
    EXPECT_TRUE(hasLine(removal.traceLog, "No ..\\data\\ip.db on the command line to pass on: -remove"));
    ASSERT_EQ(removal.launches.size(), 1u);
    EXPECT_EQ(removal.launches[0].commandLine, "\"" + base + "kp\\bin\\launch.exe\"  com.bravik.Remove");
    EXPECT_EQ(javaProcesses(removal.launches), (std::vector<JavaProcess>{{"com.bravik.Remove"}}));

    const InstallRun other = runMedia("-Remove");
    ASSERT_EQ(other.launches.size(), 1u);
    EXPECT_EQ(other.launches[0].commandLine,
              std::string(kMedia) + "\\kp\\bin\\launch.exe  com.bravik.Install    -Remove");
    EXPECT_EQ(javaProcesses(other.launches), (std::vector<JavaProcess>{{"com.bravik.Install", {}, {"-Remove"}}}));
}

// A console launcher, as java.exe is, leaves its console window's host holding its folder for a
// moment after it ends; the removal waits for it and leaves nothing behind.
TEST_F(Driver, RemovalWithAConsoleLauncherLeavesNothingBehind)
{
    const std::string base = kCommonDir;
    buildInstalledProduct("[REMOVE_FILES]\n0 true\n\n[CLASS]\ncom.bravik.Remove\n");
    copyFile(programDirectory() + "\\stubs\\console\\launch.exe", base + "kp\\bin\\launch.exe");
    writeFile(base + "jre\\bin\\java.dll", "j");
    buildMedia(kMedia, "[CLASS]\nnot.this\n");

    const InstallRun run = runMedia("-remove ..\\data\\ip.db");

    EXPECT_EQ(javaProcesses(run.launches), (std::vector<JavaProcess>{{"com.bravik.Remove", {}, {"..\\data\\ip.db"}}}));
    EXPECT_FALSE(exists(base + "kp"));
    EXPECT_FALSE(exists(base + "jre"));
    EXPECT_EQ(run.traceLog.find("GetLastError returned"), std::string::npos) << run.traceLog;
    EXPECT_EQ(run.traceLog.find("Error removing directory " + base), std::string::npos) << run.traceLog;
}

TEST_F(Driver, FatalConditionsShowTheirBoxes)
{
    stageUpdateFolders();
    struct Case {
        const char* name;
        const char* removed;  // below the media root
        const char* added;
        const char* logText;
        const char* boxText;
        const char* title;
        bool cleansUp;
    };
    const Case cases[] = {
        // A class path that names the runtime archive only in capitals fails the check.
        {"runtime", "jre\\lib\\rt.jar", "jre\\lib\\RT.JAR",
         "This java application requires rt.jar to be part of the classPath but rt.jar not found . Application "
         "terminating ",
         "This java application requires rt.jar to be part of the classPath but rt.jar not found . Application "
         "terminating ",
         "JRE Required", true},
        {"product", "kp\\lib\\kp.jar", nullptr,
         "This java application requires kp.jar to be part of the classPath but kp.jar not found. Application "
         "terminating ",
         "This java application requires kp.jar to be part of the classPath but kp.jar not found . Application "
         "terminating ",
         "KP Required", true},
        {"launcher", "kp\\bin\\launch.exe", nullptr,
         "This application was unable to locate launch.exe required for executing this installaton. Application "
         "terminating ",
         "This application was unable to locate launch.exe required for executing this installation. Application "
         "terminating ",
         "Launch.exe Required", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        buildMedia(kMedia, "[CLASS]\ncom.bravik.Install\n");
        removeTree(std::string(kMedia) + "\\" + c.removed);
        if (c.added)
            writeFile(std::string(kMedia) + "\\" + c.added, "x");
        makeDirectories("C:\\vtupdate");

        const InstallRun run = runMedia();

        EXPECT_NE(run.traceLog.find(c.logText), std::string::npos) << run.traceLog;
        EXPECT_EQ(run.program.messageBoxes, (std::vector<MessageBoxCall>{{c.boxText, c.title}}));
        EXPECT_TRUE(run.launches.empty());
        EXPECT_EQ(exists("C:\\vtupdate"), !c.cleansUp);
        removeTree("C:\\vtupdate");
        removeTree(kMedia);
    }
}

// An archive that is there but does not unpack whole stops the run before any Java process:
// one cut short (no central directory left to open) and one whose entry fails its checksum.
TEST_F(Driver, ADamagedArchiveStopsTheRunWithABoxNamingIt)
{
    stageUpdateFolders();
    struct Case {
        const char* archive;  // below the media root
        const char* versionEntry;
        const char* record;  // below the common directory
        bool truncated;
    };
    const Case cases[] = {
        {"kp\\zip\\product.zip", "product.ver", "kp\\product.ver", true},
        {"kp\\windows\\jre.zip", "jre.ver", "jre\\jre.ver", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.archive);
        buildMedia(kMedia, kOneClassCfg);
        const std::string archive = std::string(kMedia) + "\\" + c.archive;
        writeZip(archive, {{c.versionEntry, "date=5"},
                           {"lib/whole.jar", "arrives"},
                           {"lib/broken.jar", "stored with a wrong checksum", 0, false, 0x12345678}});
        if (c.truncated) {
            const std::string whole = readFile(archive);
            writeFile(archive, whole.substr(0, whole.size() / 2));
        }
        makeDirectories("C:\\vtupdate");

        const InstallRun run = runMedia();

        const std::string text = "The archive " + archive +
                                 " could not be unpacked whole: the installation media are damaged or incomplete. "
                                 "Application terminating ";
        EXPECT_EQ(run.program.messageBoxes, (std::vector<MessageBoxCall>{{text, "Damaged Media"}}));
        EXPECT_TRUE(hasLine(run.traceLog, text)) << run.traceLog;
        EXPECT_TRUE(run.launches.empty());
        EXPECT_FALSE(exists("C:\\vtupdate"));
        EXPECT_FALSE(exists(std::string(kCommonDir) + c.record));
        const std::string unpacked = std::string(kCommonDir) + c.record;
        const std::string lib = unpacked.substr(0, unpacked.rfind('\\')) + "\\lib\\";
        EXPECT_FALSE(exists(lib + "broken.jar"));
        EXPECT_EQ(exists(lib + "whole.jar"), !c.truncated);
        removeTree(std::string(kCommonDir) + "jre");
        removeTree(std::string(kCommonDir) + "kp");
        removeTree(kMedia);
    }
}

TEST_F(Driver, RepeatedJarsReachTheLauncherOnce)
{
    buildMedia(kMedia, "[CLASSPATH]\nmore;\n\n[CLASS]\ncom.bravik.Install\n");
    const std::string m = kMedia;
    writeFile(m + "\\more\\KP.JAR", "again");
    writeFile(m + "\\more\\own.jar", "own");
    const InstallRun run = runMedia();
    ASSERT_EQ(run.launches.size(), 1u);
    EXPECT_EQ(javaProcesses(run.launches), (std::vector<JavaProcess>{{"com.bravik.Install"}}));
    EXPECT_EQ(run.launches[0].classPath, m + "\\kp\\lib\\kp.jar;" + m + "\\jre\\lib\\rt.jar;" + m +
                                             "\\more\\own.jar;" + m + "\\more;" + kCommonDir + "kp\\help;");
}

TEST_F(Driver, ReadOnlyFileStopsTheUpdateDirectoryRemoval)
{
    stageUpdateFolders();
    buildMedia(kMedia, "[CLASS]\ncom.bravik.Install\n");
    writeFile("C:\\vtupdate\\sub\\ro.txt", "keep");
    writeFile("C:\\vtupdate\\gone.txt", "gone");
    SetFileAttributesA("C:\\vtupdate\\sub\\ro.txt", FILE_ATTRIBUTE_READONLY);
    const InstallRun run = runMedia();
    SetFileAttributesA("C:\\vtupdate\\sub\\ro.txt", FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(exists("C:\\vtupdate\\sub\\ro.txt"));
    EXPECT_FALSE(exists("C:\\vtupdate\\gone.txt"));
    const std::string notEmpty = removeDirectoryFailure("C:\\vtupdate");
    EXPECT_NE(run.traceLog.find(withCrLf("GetLastError returned = " + notEmpty + " for directory sub \n"
                                         "Error removing directory c:\\vtupdate: error code " + notEmpty + " \n")),
              std::string::npos)
        << run.traceLog;
}

TEST_F(Driver, CommonFilesAreDeletedBeforeAndAfterAndTreesRemovedOnRequest)
{
    stageUpdateFolders();
    const std::string common = kCommonDir;
    buildMedia(kMedia, "[DELETE_COMMON_FILES]\nkp\\before.txt\n\n"
                       "[POST_DELETE_COMMON_FILES]\nkp\\after.txt\n\n"
                       "[CLASS]\ncom.bravik.Install\n");
    writeFile(common + "kp\\before.txt", "b");
    writeFile(common + "kp\\after.txt", "a");
    writeFile(common + "kp\\stays.txt", "s");
    SetFileAttributesA((common + "kp\\before.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    writeFile("C:\\kpupdate\\old\\x.txt", "x");
    const ScopedEnvironment probe("LAUNCH_STUB_SLEEP_MS", "0");
    const InstallRun run = runMedia();
    EXPECT_FALSE(exists(common + "kp\\before.txt"));
    EXPECT_FALSE(exists(common + "kp\\after.txt"));
    EXPECT_TRUE(exists(common + "kp\\stays.txt"));
    EXPECT_FALSE(exists("C:\\kpupdate"));
    EXPECT_EQ(javaProcesses(run.launches), (std::vector<JavaProcess>{{"com.bravik.Install"}}));

    // [REMOVE_FILES] "true", in any case, removes the runtime and product trees at the end.
    writeFile(common + "jre\\bin\\java.dll", "j");
    writeFile(std::string(kMedia) + "\\kp\\windows\\install.cfg",
              "[REMOVE_FILES]\n0 TRUE\n\n[CLASS]\ncom.bravik.Install\n");
    runMedia();
    EXPECT_FALSE(exists(common + "jre"));
    EXPECT_FALSE(exists(common + "kp"));
}

TEST_F(Driver, NinetyFiveFamilyUnpacksAUnicodeNameOnlyUnderAnExactAnsiForm)
{
    buildMedia(kMedia, kOneClassCfg);
    makeDirectories(std::string(kMedia) + "\\kp\\bin_win");
    const auto utf8 = [](const char* name, const char* content) {
        ZipEntry entry{name, content};
        entry.utf8Name = true;
        return entry;
    };
    // The 95 family has no form of the file functions for paths past MAX_PATH.
    const std::string deep = std::string(150, 'd') + "/" + std::string(120, 'f') + ".txt";
    writeZip(std::string(kMedia) + "\\kp\\windows\\jre.zip",
             {utf8("jre.ver", "date=3"), utf8("r\xC3\xA9sum\xC3\xA9.txt", "accents"),
              utf8("\xE6\x97\xA5\xE6\x9C\xAC.txt", "cjk"), {deep, "deep"}});
    poseAsWindows98();

    const InstallRun run = runMedia();

    const std::string runtime = std::string(kCommonDir) + "jre\\";
    EXPECT_EQ(readFile(runtime + "r\xE9sum\xE9.txt"), "accents");
    EXPECT_FALSE(exists(runtime + "jre.ver"));
    EXPECT_TRUE(hasLine(run.traceLog, "Entry ??.txt has no name in the ANSI code page and is skipped"));
    EXPECT_TRUE(hasLine(run.traceLog, "Entry " + deep + " is too long a path below " + std::string(kCommonDir) +
                                          "jre and is not unpacked"));
    EXPECT_TRUE(hasLine(run.traceLog,
                        "Zip file kp\\windows\\jre.zip was not unpacked completely; no version file is written"));
}

} // namespace
