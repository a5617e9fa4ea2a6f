#include "install_run.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "zip_writer.h"

using namespace testing_support;

namespace {

constexpr char kLaunchRecord[] = "C:\\itest\\launches.txt";
constexpr char kSplashRecord[] = "C:\\itest\\splashes.txt";
constexpr char kAppDefaultsKey[] = "Software\\Wine\\AppDefaults\\install.exe";

// The stand-in launcher writes "%", CR and LF in a value as %25, %0D and %0A.
std::string unescaped(const std::string& value)
{
    static const std::map<std::string, char> kEscapes = {{"%25", '%'}, {"%0D", '\r'}, {"%0A", '\n'}};
    std::string text;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const auto escape = kEscapes.find(value.substr(i, 3));
        if (escape != kEscapes.end()) {
            text += escape->second;
            i += 2;
        } else {
            text += value[i];
        }
    }
    return text;
}

void addNative(LaunchRecord& record, const std::string& value)
{
    const std::size_t tab = value.find('\t');
    const std::size_t second = value.find('\t', tab + 1);
    if (tab == std::string::npos || second == std::string::npos)
        return;
    record.natives[value.substr(0, tab)] = {value.substr(tab + 1, second - tab - 1), value.substr(second + 1)};
}

std::vector<LaunchRecord> parseLaunches(const std::string& text, std::vector<std::string>& events)
{
    std::vector<LaunchRecord> launches;
    for (const std::string& line : splitLines(text)) {
        if (line.rfind("begin ", 0) == 0) {
            launches.emplace_back();
            launches.back().processId = std::stoul(line.substr(6));
            events.push_back(line);
        } else if (line.rfind("end ", 0) == 0) {
            // "end <pid>", and from the launcher "end <pid> <exit code>".
            const std::size_t code = line.find(' ', 4);
            events.push_back(line.substr(0, code));
            if (code != std::string::npos && !launches.empty())
                launches.back().exitCode = std::stoi(line.substr(code + 1));
        } else if (!launches.empty()) {
            LaunchRecord& record = launches.back();
            const std::size_t equals = line.find('=');
            const std::string key = line.substr(0, equals);
            const std::string value = equals == std::string::npos ? "" : unescaped(line.substr(equals + 1));
            const std::map<std::string, std::string*> texts = {
                {"program", &record.program}, {"cmdline", &record.commandLine}, {"cwd", &record.currentDirectory},
                {"PATH", &record.path},       {"CLASSPATH", &record.classPath}, {"argument", &record.argument},
                {"main", &record.mainClass},  {"classpath", &record.searchedClassPath},
                {"found", &record.foundIn},   {"error", &record.error}};
            const std::map<std::string, std::vector<std::string>*> lists = {
                {"arg", &record.arguments}, {"option", &record.options}, {"parameter", &record.parameters}};
            if (const auto list = lists.find(key); list != lists.end())
                list->second->push_back(value);
            if (const auto single = texts.find(key); single != texts.end())
                *single->second = value;
            if (key == "native")
                addNative(record, value);
        }
    }
    return launches;
}

// The classes the [CLASS] lines of a configuration name: on each line the first word that is
// neither an option nor an argument file.
std::vector<std::string> classesNamedIn(const std::string& configuration)
{
    std::vector<std::string> classes;
    bool inClasses = false;
    for (const std::string& line : splitLines(configuration)) {
        if (!line.empty() && line[0] == '[') {
            inClasses = line.rfind("[CLASS]", 0) == 0;
            continue;
        }
        std::size_t start = 0;
        while (inClasses && start < line.size()) {
            const std::size_t end = std::min(line.find(' ', start), line.size());
            const std::string word = line.substr(start, end - start);
            if (!word.empty() && word[0] != '-' && word[0] != '@') {
                classes.push_back(word);
                break;
            }
            start = end + 1;
        }
    }
    return classes;
}

} // namespace

std::ostream& operator<<(std::ostream& out, const JavaProcess& process)
{
    out << process.mainClass << " options {";
    for (const std::string& option : process.options)
        out << " [" << option << "]";
    out << " } parameters {";
    for (const std::string& parameter : process.parameters)
        out << " [" << parameter << "]";
    return out << " }";
}

std::vector<JavaProcess> javaProcesses(const std::vector<LaunchRecord>& launches)
{
    std::vector<JavaProcess> processes;
    for (const LaunchRecord& launch : launches) {
        if (launch.foundIn.empty())
            ADD_FAILURE() << "the launcher started as " << launch.commandLine << " ran no class: " << launch.error;
        else
            processes.push_back({launch.mainClass, launch.options, launch.parameters});
    }
    return processes;
}

void writeJar(const std::string& path, const std::vector<std::string>& classes)
{
    std::vector<ZipEntry> entries{{"META-INF/MANIFEST.MF", "Manifest-Version: 1.0\r\n"}};
    for (std::string name : classes) {
        std::replace(name.begin(), name.end(), '.', '/');
        entries.push_back({name + ".class", "\xCA\xFE\xBA\xBE"});
    }
    makeDirectories(path.substr(0, path.find_last_of('\\')));
    writeZip(path, entries);
}

std::vector<std::string> addProductJars(int count, std::size_t nameLength)
{
    const std::string lib = std::string(InstallEndToEnd::kMedia) + "\\kp\\lib\\";
    std::vector<std::string> entries;
    for (int i = 0; i < count; ++i) {
        char head[64];
        std::snprintf(head, sizeof(head), "library-component-%03d-1.0.0", i);
        std::string name = head;
        name.append(nameLength > name.size() + 4 ? nameLength - name.size() - 4 : 0, 'x');
        entries.push_back(lib + name + ".jar");
        writeFile(entries.back(), "j");
    }
    return entries;
}

std::vector<LaunchRecord> launchesRecordedIn(const std::string& recordFile)
{
    std::vector<std::string> events;
    return exists(recordFile) ? parseLaunches(readFile(recordFile), events) : std::vector<LaunchRecord>{};
}

std::string jarBytes(const std::vector<std::string>& classes)
{
    const std::string path = temporaryDirectory() + "bytes-of.jar";
    writeJar(path, classes);
    const std::string bytes = readFile(path);
    DeleteFileA(path.c_str());
    return bytes;
}

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
    // The product's jar holds the classes its configuration names, so that the launcher finds them.
    writeJar(root + "\\kp\\lib\\kp.jar", classesNamedIn(installCfg));
    writeJar(root + "\\jre\\lib\\rt.jar", {"java.lang.Object"});
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
