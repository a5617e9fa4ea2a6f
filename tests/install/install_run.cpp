#include "install_run.h"

#include <windows.h>

#include <cstdio>

using namespace testing_support;

namespace {

constexpr char kLaunchRecord[] = "C:\\itest\\launches.txt";
constexpr char kSplashRecord[] = "C:\\itest\\splashes.txt";
constexpr char kAppDefaultsKey[] = "Software\\Wine\\AppDefaults\\install.exe";

std::vector<LaunchRecord> parseLaunches(const std::string& text, std::vector<std::string>& events)
{
    std::vector<LaunchRecord> launches;
    for (const std::string& line : splitLines(text)) {
        if (line.rfind("begin ", 0) == 0) {
            launches.emplace_back();
            launches.back().processId = std::stoul(line.substr(6));
            events.push_back(line);
        } else if (line.rfind("end ", 0) == 0) {
            events.push_back(line);
        } else if (!launches.empty()) {
            LaunchRecord& record = launches.back();
            const std::size_t equals = line.find('=');
            const std::string key = line.substr(0, equals);
            const std::string value = equals == std::string::npos ? "" : line.substr(equals + 1);
            if (key == "program")
                record.program = value;
            else if (key == "cmdline")
                record.commandLine = value;
            else if (key == "cwd")
                record.currentDirectory = value;
            else if (key == "PATH")
                record.path = value;
            else if (key == "CLASSPATH")
                record.classPath = value;
        }
    }
    return launches;
}

} // namespace

void InstallEndToEnd::SetUp()
{
    cleanFixedPlaces();
    makeDirectories("C:\\itest");
}

void InstallEndToEnd::TearDown()
{
    if (HasFailure())
        for (const std::string& report : runReports_)
            std::printf("%s", report.c_str());
    if (posingAs98_)
        RegDeleteTreeA(HKEY_CURRENT_USER, kAppDefaultsKey);
    cleanFixedPlaces();
}

void InstallEndToEnd::poseAsWindows98()
{
    UniqueRegistryKey key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kAppDefaultsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                              nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key.get(), "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>("win98"), 6);
    posingAs98_ = true;
}

void InstallEndToEnd::cleanFixedPlaces()
{
    for (const char* place : {"C:\\itest", "C:\\vtupdate", "C:\\kpupdate", "C:\\nnndbg", "C:\\kp", "C:\\my.cfg",
                              "C:\\my media", "C:\\my.exe",
                              "C:\\Program Files\\Common Files\\bravik", "D:\\install.exe", "D:\\kp", "D:\\jre",
                              "D:\\x.cfg", "C:\\kp_nstal.out"})
        removeTree(place);
    removeTree(traceLogPath());
    removeTree(temporaryDirectory() + "install.bat");
}

void InstallEndToEnd::buildMedia(const std::string& root, const std::string& installCfg, const std::string& programName)
{
    copyFile(programDirectory() + (stagedUpdates_ ? "\\staged\\install.exe" : "\\install.exe"), root + "\\" + programName);
    copyFile(programDirectory() + "\\stubs\\launch.exe", root + "\\kp\\bin\\launch.exe");
    writeFile(root + "\\kp\\lib\\kp.jar", "kp");
    writeFile(root + "\\jre\\lib\\rt.jar", "rt");
    makeDirectories(root + "\\kp\\bin_nt");
    if (!installCfg.empty())
        writeFile(root + "\\kp\\windows\\install.cfg", installCfg);
}

InstallRun InstallEndToEnd::runInstall(const std::string& program, const std::string& arguments,
                                       const std::string& directory)
{
    return collectRun(
        [&] { return runProgram("\"" + program + "\"" + (arguments.empty() ? "" : " " + arguments), directory); },
        program + " " + arguments);
}

InstallRun InstallEndToEnd::runInstall(const std::wstring& program, const std::wstring& directory)
{
    return collectRun([&] { return runProgram(L"\"" + program + L"\"", directory); }, "install.exe by its wide path");
}

InstallRun InstallEndToEnd::collectRun(const std::function<ProgramRun()>& start, const std::string& label)
{
    DeleteFileA(kLaunchRecord);
    DeleteFileA(kSplashRecord);
    const ScopedEnvironment record("LAUNCH_STUB_RECORD", kLaunchRecord);
    const ScopedEnvironment splashRecord("SPLASH_STUB_RECORD", kSplashRecord);
    InstallRun run;
    run.program = start();
    EXPECT_TRUE(run.program.finished) << label;
    EXPECT_EQ(run.program.exitCode, 0u);
    const DWORD logAttributes = GetFileAttributesA(traceLogPath().c_str());
    if (logAttributes != INVALID_FILE_ATTRIBUTES && !(logAttributes & FILE_ATTRIBUTE_DIRECTORY))
        run.traceLog = readFile(traceLogPath());
    if (exists(kLaunchRecord))
        run.launches = parseLaunches(readFile(kLaunchRecord), run.events);
    if (exists(kSplashRecord))
        run.splashes = parseLaunches(readFile(kSplashRecord), run.splashEvents);
    runReports_.push_back("--- " + label + ": " +
                          (run.program.finished ? "exit code " + std::to_string(run.program.exitCode) : "did not end") +
                          ", trace log:\n" + run.traceLog + "\n");
    return run;
}

InstallRun InstallEndToEnd::runMedia(const std::string& arguments)
{
    return runInstall(std::string(kMedia) + "\\install.exe", arguments, kMedia);
}

std::string InstallEndToEnd::traceLogPath()
{
    return temporaryDirectory() + "kp_nstal.out";
}

std::string InstallEndToEnd::removeDirectoryFailure(const std::string& path)
{
    RemoveDirectoryA(path.c_str());
    return std::to_string(GetLastError());
}

std::vector<std::string> linesOf(const std::string& text)
{
    return splitLines(text);
}

bool hasLine(const std::string& text, const std::string& line)
{
    for (const std::string& candidate : splitLines(text))
        if (candidate == line)
            return true;
    return false;
}
