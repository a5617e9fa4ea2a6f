// End-to-end runs of the real install.exe: media trees built per test, the stand-in
// launch.exe recording what each Java process received, and the trace log read back.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "testing.h"

// A native library the stand-in Java launcher looked for: where it found it and what the one
// method it called answered.
struct NativeRecord {
    std::string path;
    std::string answer;
};

// What one start of a stand-in program saw, and for the Java launcher what it parsed.
struct LaunchRecord {
    unsigned long processId = 0;
    std::string program;
    std::string commandLine;
    std::string currentDirectory;
    std::string path;
    std::string classPath;
    // The splash program's argument: the text after its own name.
    std::string argument;
    // The launcher's reading: arguments (argument files expanded), options, main class and
    // parameters, the class path searched and the element that held the class.
    std::vector<std::string> arguments;
    std::vector<std::string> options;
    std::string mainClass;
    std::vector<std::string> parameters;
    std::string searchedClassPath;
    std::string foundIn;
    std::map<std::string, NativeRecord> natives;
    std::string error;
    int exitCode = -1;
};

// What a Java process runs: the class it was found to be and what it was given.
struct JavaProcess {
    std::string mainClass;
    std::vector<std::string> options;
    std::vector<std::string> parameters;
    bool operator==(const JavaProcess&) const = default;
};
std::ostream& operator<<(std::ostream& out, const JavaProcess& process);

// The Java processes that started their main class, in their order; a start whose class was not
// found adds a failure naming the launcher's error.
std::vector<JavaProcess> javaProcesses(const std::vector<LaunchRecord>& launches);

// Writes a jar holding each class (binary names such as com.example.Setup) as an empty class
// file; jarBytes gives the same jar as bytes, for an archive that carries it.
void writeJar(const std::string& path, const std::vector<std::string>& classes);
std::string jarBytes(const std::vector<std::string>& classes);

struct InstallRun {
    testing_support::ProgramRun program;
    std::string traceLog;
    std::vector<LaunchRecord> launches;
    // "begin" and "end" of every launcher start, in the order they happened.
    std::vector<std::string> events;
    std::vector<LaunchRecord> splashes;
    std::vector<std::string> splashEvents;
};

class InstallEndToEnd : public ::testing::Test {
public:
    // The media root most tests use.
    static constexpr const char* kMedia = "C:\\itest\\media";
    // The product's common directory below the prefix's registered Common Files folder.
    static constexpr const char* kCommonDir = "C:\\Program Files\\Common Files\\bravik\\";

protected:

    void SetUp() override;
    void TearDown() override;

    // A media tree that a plain installation can finish from: install.exe (under programName),
    // the launcher in kp\bin, kp\lib\kp.jar, jre\lib\rt.jar and kp\bin_nt, plus the given
    // kp\windows\install.cfg unless it is empty. The stand-in Splash.exe is not part of it.
    void buildMedia(const std::string& root, const std::string& installCfg,
                    const std::string& programName = "install.exe");

    // Runs program with arguments from directory and collects what happened.
    InstallRun runInstall(const std::string& program, const std::string& arguments, const std::string& directory);
    // The same for a program and folder whose names the code page may not be able to write.
    InstallRun runInstall(const std::wstring& program, const std::wstring& directory);
    // The usual case: kMedia\install.exe started from kMedia.
    InstallRun runMedia(const std::string& arguments = "");

    // The trace log of a run whose temporary directory is the default one.
    static std::string traceLogPath();
    static std::string removeDirectoryFailure(const std::string& path);

    // Makes Wine pose as the 95 family for install.exe until the test ends.
    void poseAsWindows98();

    // The update folders of this test are as an administrator staged and locked them: media
    // built from here on get the copy of install.exe that sees them so (support/staged_updates.h).
    void stageUpdateFolders() { stagedUpdates_ = true; }

private:
    InstallRun collectRun(const std::function<testing_support::ProgramRun()>& start, const std::string& label);
    void cleanFixedPlaces();
    bool posingAs98_ = false;
    bool stagedUpdates_ = false;
    // Every run of this test, told when the test fails: how install ended and its trace log.
    std::vector<std::string> runReports_;
};

// Adds count jars of nameLength characters to the media's kp\lib, as a product of today's size
// ships them; gives their class-path entries.
std::vector<std::string> addProductJars(int count, std::size_t nameLength);

// The starts of the stand-in launcher that a record file holds.
std::vector<LaunchRecord> launchesRecordedIn(const std::string& recordFile);

// The lines of a text, for readable comparisons.
std::vector<std::string> linesOf(const std::string& text);
bool hasLine(const std::string& text, const std::string& line);
