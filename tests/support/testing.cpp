#include "testing.h"

#include "../../common/program_path.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace testing_support {

namespace {


// The one way the tests start a program: with its own copy of the command line, in directory
// (or the current one), with the given start-up record; the thread handle is closed at once.
UniqueHandle startProgram(const std::string& commandLine, const std::string& directory, STARTUPINFOA& startup,
                    bool inheritHandles, DWORD* processId = nullptr)
{
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::vector<char> writable(commandLine.begin(), commandLine.end());
    writable.push_back('\0');
    if (!CreateProcessA(nullptr, writable.data(), nullptr, nullptr, inheritHandles, 0, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &info))
        throw std::runtime_error("cannot start " + commandLine);
    const UniqueHandle thread(info.hThread);
    if (processId)
        *processId = info.dwProcessId;
    return UniqueHandle(info.hProcess);
}

UniqueHandle startProgram(const std::wstring& commandLine, const std::wstring& directory, STARTUPINFOW& startup)
{
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::wstring writable = commandLine;
    if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &info))
        throw std::runtime_error("cannot start a program by its wide command line");
    const UniqueHandle thread(info.hThread);
    return UniqueHandle(info.hProcess);
}

std::string parentOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Where the test runner sends Wine's stderr; empty when tests run outside it.
std::string relayLogPath()
{
    char buffer[MAX_PATH * 2] = {};
    const DWORD length = GetEnvironmentVariableA("INSTALLER_TEST_STDERR", buffer, sizeof(buffer));
    return length > 0 && length < sizeof(buffer) ? std::string(buffer, length) : std::string();
}

std::size_t fileSize(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (path.empty() || !GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return data.nFileSizeLow;
}

// One string as Wine's debug output writes it, from the opening quote on.
std::string unescapeWineString(std::string_view text, std::size_t& pos)
{
    std::string out;
    ++pos;
    while (pos < text.size() && text[pos] != '"') {
        char c = text[pos++];
        if (c == '\\' && pos < text.size()) {
            const char e = text[pos++];
            switch (e) {
            case 'n': c = '\n'; break;
            case 'r': c = '\r'; break;
            case 't': c = '\t'; break;
            case 'x':
                c = static_cast<char>(std::stoi(std::string(text.substr(pos, 2)), nullptr, 16));
                pos += 2;
                break;
            default:
                // A wide string's character beyond ASCII: four hex digits, given here in UTF-8.
                if (std::isxdigit(static_cast<unsigned char>(e)) && pos + 3 <= text.size()) {
                    const unsigned point = std::stoul(std::string(text.substr(pos - 1, 4)), nullptr, 16);
                    pos += 3;
                    if (point < 0x800) {
                        out += static_cast<char>(0xC0 | (point >> 6));
                    } else {
                        out += static_cast<char>(0xE0 | (point >> 12));
                        out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
                    }
                    c = static_cast<char>(0x80 | (point & 0x3F));
                    break;
                }
                c = e;
                break;
            }
        }
        out += c;
    }
    ++pos;
    return out;
}

} // namespace

std::string programDirectory()
{
    return ::programDirectory();
}

UniqueFileHandle openForReading(const std::string& path)
{
    return UniqueFileHandle(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
}

std::string readFile(const std::string& path)
{
    const UniqueFileHandle file = openForReading(path);
    if (!file)
        throw std::runtime_error("cannot read " + path);
    std::string content;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0)
        content.append(buffer, got);
    return content;
}

void writeFile(const std::string& path, std::string_view content)
{
    makeDirectories(parentOf(path));
    const UniqueFileHandle file(
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        throw std::runtime_error("cannot write " + path);
    DWORD written = 0;
    if (!content.empty() && !WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr))
        throw std::runtime_error("cannot write " + path);
}

void makeDirectories(const std::string& path)
{
    if (path.empty() || path.size() <= 3 || exists(path))
        return;
    makeDirectories(parentOf(path));
    CreateDirectoryA(path.c_str(), nullptr);
}

void copyFile(const std::string& from, const std::string& to)
{
    makeDirectories(parentOf(to));
    if (!CopyFileA(from.c_str(), to.c_str(), FALSE))
        throw std::runtime_error("cannot copy " + from + " to " + to);
}

namespace {

// The "\\?\" form of a path, which the wide functions take at any depth.
std::wstring extendedForm(const std::string& path)
{
    std::wstring wide(path.size() + 1, L'\0');
    wide.resize(static_cast<std::size_t>(
        MultiByteToWideChar(CP_ACP, 0, path.c_str(), static_cast<int>(path.size()), wide.data(),
                            static_cast<int>(wide.size()))));
    std::wstring full(wide.size() + MAX_PATH, L'\0');
    full.resize(GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr));
    return L"\\\\?\\" + full;
}

void removeExtendedTree(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileW(path.c_str());
        return;
    }
    WIN32_FIND_DATAW entry{};
    if (const UniqueFindHandle search(FindFirstFileW((path + L"\\*").c_str(), &entry)); search) {
        do {
            const std::wstring name = entry.cFileName;
            if (name != L"." && name != L"..")
                removeExtendedTree(path + L"\\" + name);
        } while (FindNextFileW(search.get(), &entry));
    }
    RemoveDirectoryW(path.c_str());
}

} // namespace

bool exists(const std::string& path)
{
    return GetFileAttributesW(extendedForm(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Wide and in the "\\?\" form, so that trees deeper than MAX_PATH go too.
void removeTree(const std::string& path)
{
    removeExtendedTree(extendedForm(path));
}

std::string temporaryDirectory()
{
    char buffer[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathA(sizeof(buffer), buffer);
    return std::string(buffer, length);
}

std::string currentDirectory()
{
    char buffer[MAX_PATH + 1] = {};
    const DWORD length = GetCurrentDirectoryA(sizeof(buffer), buffer);
    return std::string(buffer, length);
}

ScopedEnvironment::ScopedEnvironment(std::string name, const char* value) : name_(std::move(name))
{
    std::vector<char> buffer(32768);
    const DWORD length = GetEnvironmentVariableA(name_.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    hadValue_ = length > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    saved_.assign(buffer.data(), length);
    SetEnvironmentVariableA(name_.c_str(), value);
}

ScopedEnvironment::~ScopedEnvironment()
{
    SetEnvironmentVariableA(name_.c_str(), hadValue_ ? saved_.c_str() : nullptr);
}

std::vector<MessageBoxCall> parseMessageBoxCalls(std::string_view relay)
{
    std::vector<std::pair<std::size_t, MessageBoxCall>> found;
    for (const std::string_view call : {std::string_view("Call user32.MessageBoxA("),
                                        std::string_view("Call user32.MessageBoxW(")}) {
        for (std::size_t at = relay.find(call); at != std::string_view::npos; at = relay.find(call, at + 1)) {
            std::size_t pos = relay.find('"', at);
            MessageBoxCall box;
            box.text = unescapeWineString(relay, pos);
            pos = relay.find('"', pos);
            box.title = unescapeWineString(relay, pos);
            found.emplace_back(at, box);
        }
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<MessageBoxCall> calls;
    for (auto& [at, box] : found)
        calls.push_back(std::move(box));
    return calls;
}

namespace {

template <typename Start>
ProgramRun runStarted(Start start, DWORD timeoutMs)
{
    const std::string relayLog = relayLogPath();
    const std::size_t relayStart = fileSize(relayLog);

    ProgramRun run;
    UniqueHandle process;
    {
        const ScopedEnvironment relay("WINEDEBUG", relayLog.empty() ? nullptr : "+relay");
        process = start();
    }
    run.finished = WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0;
    if (!run.finished)
        TerminateProcess(process.get(), 1);
    GetExitCodeProcess(process.get(), &run.exitCode);

    if (!relayLog.empty()) {
        const std::string relay = readFile(relayLog);
        if (relay.size() > relayStart)
            run.messageBoxes = parseMessageBoxCalls(std::string_view(relay).substr(relayStart));
    }
    return run;
}

} // namespace

ProgramRun runProgram(const std::string& commandLine, const std::string& directory, DWORD timeoutMs)
{
    STARTUPINFOA startup{};
    return runStarted([&] { return startProgram(commandLine, directory, startup, false); }, timeoutMs);
}

ProgramRun runProgram(const std::wstring& commandLine, const std::wstring& directory, DWORD timeoutMs)
{
    STARTUPINFOW startup{};
    return runStarted([&] { return startProgram(commandLine, directory, startup); }, timeoutMs);
}

std::string withCrLf(std::string_view text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

bool equalsIgnoringCase(const std::string& a, const std::string& b)
{
    return lstrcmpiA(a.c_str(), b.c_str()) == 0;
}

RunningProgram::RunningProgram(const std::string& commandLine, const std::string& directory)
{
    STARTUPINFOA startup{};
    process_ = startProgram(commandLine, directory, startup, false, &processId_);
}

RunningProgram::~RunningProgram()
{
    TerminateProcess(process_.get(), 0);
    WaitForSingleObject(process_.get(), 10000);
}

std::unique_ptr<RunningProgram> startSleepingLauncher(const std::string& folder, const std::string& name)
{
    const std::string program = folder + "\\" + name;
    // Any program that runs a while will do; the stand-in splash program sleeps as it is told.
    copyFile(programDirectory() + "\\stubs\\Splash.exe", program);
    const std::string started = program + ".started";
    DeleteFileA(started.c_str());
    const ScopedEnvironment record("SPLASH_STUB_RECORD", started.c_str());
    const ScopedEnvironment sleep("SPLASH_STUB_SLEEP_MS", "60000");
    auto running = std::make_unique<RunningProgram>(program, folder);
    if (!waitForFile(started))
        throw std::runtime_error(program + " did not start");
    return running;
}

int countProcessesNamed(const std::string& name)
{
    // A snapshot that could not be made is INVALID_HANDLE_VALUE, as a file would be.
    const UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return -1;
    int count = 0;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot.get(), &entry); more; more = Process32Next(snapshot.get(), &entry)) {
        const std::string file = entry.szExeFile;
        const std::string base = file.substr(file.find_last_of('\\') + 1);
        if (equalsIgnoringCase(base, name))
            ++count;
    }
    return count;
}

bool waitForFile(const std::string& path, DWORD timeoutMs)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += 20) {
        if (exists(path))
            return true;
        Sleep(20);
    }
    return exists(path);
}

void writeBitmap(const std::string& path, int width, int height)
{
    const int rowBytes = (width * 3 + 3) & ~3;
    BITMAPFILEHEADER file{};
    BITMAPINFOHEADER info{};
    info.biSize = sizeof(info);
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biSizeImage = static_cast<DWORD>(rowBytes * height);
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(info);
    file.bfSize = file.bfOffBits + info.biSizeImage;
    std::string bytes(reinterpret_cast<const char*>(&file), sizeof(file));
    bytes.append(reinterpret_cast<const char*>(&info), sizeof(info));
    for (int y = 0; y < height; ++y) {
        std::string row(rowBytes, '\0');
        for (int x = 0; x < width; ++x) {
            row[x * 3] = static_cast<char>(x * 255 / width);
            row[x * 3 + 1] = static_cast<char>(y * 255 / height);
            row[x * 3 + 2] = static_cast<char>(0x80);
        }
        bytes += row;
    }
    writeFile(path, bytes);
}

std::string outputOf(const std::string& commandLine)
{
    const std::string path = temporaryDirectory() + "test-output-" + std::to_string(GetCurrentProcessId()) + ".txt";
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    {
        const UniqueFileHandle output(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                  &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        STARTUPINFOA startup{};
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = output.get();
        startup.hStdError = output.get();
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        const UniqueHandle process = startProgram(commandLine, "", startup, true);
        WaitForSingleObject(process.get(), 60000);
    }
    std::string text = readFile(path);
    DeleteFileA(path.c_str());
    return text;
}

std::vector<std::string> splitLines(std::string_view text)
{
    std::vector<std::string> lines;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string line(text.substr(0, end));
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

} // namespace testing_support
