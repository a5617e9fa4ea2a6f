#include "platform.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "../common/program_path.h"
#include "nt_files.h"

UniqueFile openFile(const std::string& path, const char* mode)
{
    return UniqueFile(std::fopen(path.c_str(), mode));
}

namespace {

// What a call fills in that gives the length it needs when the buffer is short; empty on failure.
template <typename Char, typename Fill>
std::basic_string<Char> filledText(std::size_t size, Fill fill)
{
    std::basic_string<Char> text(size, Char(0));
    for (;;) {
        const DWORD length = fill(text.data(), static_cast<DWORD>(text.size()));
        if (length == 0)
            return {};
        if (length < text.size())
            return text.substr(0, length);
        text.resize(length + 1);
    }
}

// A path in the form in which two names of one file are compared: without the "\\?\" prefix (a
// share's "\\?\UNC\server" back to "\\server"), in upper case.
std::wstring comparableName(std::wstring path)
{
    if (path.starts_with(L"\\\\?\\UNC\\"))
        path.erase(2, 6);
    else if (path.starts_with(L"\\\\?\\"))
        path.erase(0, 4);
    return toUpperWide(path);
}

// Whether the file held open is the one path names: the handle's final path, every link and
// junction on the way resolved, against the path's full form, in long names where it holds short
// ones (a temporary folder in a profile whose name the code page lacks). False when the system
// cannot name the file; nothing where it has no final paths (before Vista: looked up, never
// imported).
std::optional<bool> isFileNamedBy(HANDLE file, const std::string& path)
{
    const HMODULE kernel = GetModuleHandleA("kernel32.dll");
    const auto finalPathName =
        resolveFunction<DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD)>(kernel, "GetFinalPathNameByHandleW");
    if (!finalPathName)
        return std::nullopt;
    const std::wstring finalPath = filledText<wchar_t>(MAX_PATH + 1, [&](wchar_t* buffer, DWORD size) {
        return finalPathName(file, buffer, size, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    });
    const std::wstring named = fullPathName(widenAnsi(path));
    if (finalPath.empty() || named.empty())
        return false;
    const std::wstring wanted = comparableName(finalPath);
    if (comparableName(named) == wanted)
        return true;
    const auto longPathName = resolveFunction<DWORD(WINAPI*)(LPCWSTR, LPWSTR, DWORD)>(kernel, "GetLongPathNameW");
    if (!longPathName)
        return false;
    const std::wstring longName = filledText<wchar_t>(
        named.size() + 1, [&](wchar_t* buffer, DWORD size) { return longPathName(named.c_str(), buffer, size); });
    return !longName.empty() && comparableName(longName) == wanted;
}

// Opens the file path names as it stands, or makes it when there is none, never opening over
// what appears meanwhile; on the NT family a link at the end of the name is opened as the link.
// created says whether this call made the file; a file it made is opened for deletion too, so
// that one made through a link can go again.
UniqueFileHandle openOrCreateOwnFile(const std::string& path, bool checked, bool& created)
{
    const DWORD access = GENERIC_READ | GENERIC_WRITE;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | (checked ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    UniqueFileHandle file(CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr));
    created = false;
    if (file || GetLastError() != ERROR_FILE_NOT_FOUND)
        return file;
    // A link whose target is missing is not there to open, yet stands in the way of a new file:
    // it is refused rather than followed to make its target.
    file.reset(CreateFileA(path.c_str(), access | (checked ? DELETE : 0), share, nullptr, CREATE_NEW, flags, nullptr));
    created = static_cast<bool>(file);
    return file;
}

// The checks of the NT family on the file held open: not a link, a folder or a file with a
// second name, the file expected when one is, and the very file path names; identity, when
// given, receives the file's.
bool isOwnFile(HANDLE file, const std::string& path, const std::optional<FileIdentity>& expected,
               FileIdentity* identity)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        info.nNumberOfLinks > 1)
        return false;
    const FileIdentity found{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    // A link on a folder of the way (or, under Wine, a symbolic link at the end, which shows no
    // reparse point) leads to another file than the one named.
    const std::optional<bool> named = isFileNamedBy(file, path);
    if ((expected && !(*expected == found)) || (named && !*named))
        return false;
    if (identity)
        *identity = found;
    return true;
}

} // namespace

UniqueFile openOwnFile(const std::string& path, OwnFileMode mode, const std::optional<FileIdentity>& expected,
                       FileIdentity* identity)
{
    // The 95 family has neither links nor stable file IDs to check.
    const bool checked = windowsPlatform() == VER_PLATFORM_WIN32_NT;
    // Opened as it stands, never created over: a file is emptied only once it is known to be
    // install's own.
    bool created = false;
    UniqueFileHandle file = openOrCreateOwnFile(path, checked, created);
    if (!file)
        return {};
    if (checked && !isOwnFile(file.get(), path, expected, identity)) {
        // A file made for nothing goes again: one made through a link must not stay where it led.
        if (created && ntFilesAvailable())
            deleteByHandle(file.get());
        return {};
    }
    if (mode == OwnFileMode::truncate &&
        (SetFilePointer(file.get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER || !SetEndOfFile(file.get())))
        return {};
    const bool append = mode == OwnFileMode::append;
    const int descriptor =
        _open_osfhandle(reinterpret_cast<std::intptr_t>(file.get()), _O_TEXT | (append ? _O_APPEND : 0));
    if (descriptor == -1)
        return {};
    // The descriptor owns the handle from here on, and the stream the descriptor.
    file.release();
    FILE* stream = _fdopen(descriptor, append ? "a+" : "w+");
    if (!stream)
        _close(descriptor);
    return UniqueFile(stream);
}

UniqueFile readingStreamOf(UniqueFileHandle file)
{
    if (!file)
        return {};
    const int descriptor = _open_osfhandle(reinterpret_cast<std::intptr_t>(file.get()), _O_RDONLY | _O_TEXT);
    if (descriptor == -1)
        return {};
    // The descriptor owns the handle from here on, and the stream the descriptor.
    file.release();
    FILE* stream = _fdopen(descriptor, "r");
    if (!stream)
        _close(descriptor);
    return UniqueFile(stream);
}

bool pathExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void createDirectoryIfMissing(const std::string& path)
{
    if (!pathExists(path))
        CreateDirectoryA(path.c_str(), nullptr);
}

bool isDirectory(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

namespace {

// CreateDirectory refuses a plain path of MAX_PATH - 12 characters or more, and the other file
// functions one of MAX_PATH; from there on the NT family takes the "\\?\" form of the wide ones.
constexpr std::size_t kLongestPlainPath = MAX_PATH - 12;

// The "\\?\" form of a long path on the NT family; nothing for a path short enough for the
// plain functions, on the 95 family, or when it cannot be resolved.
std::optional<std::wstring> longPathForm(const FilePath& path)
{
    const std::size_t length = path.isWide() ? path.wide.size() : path.text.size();
    if (length < kLongestPlainPath || windowsPlatform() != VER_PLATFORM_WIN32_NT)
        return std::nullopt;
    std::wstring extended = extendedPath(path.isWide() ? path.wide : widenAnsi(path.text));
    if (extended.empty())
        return std::nullopt;
    return extended;
}

} // namespace

std::string fullPathName(const std::string& path)
{
    return filledText<char>(path.size() + MAX_PATH,
                            [&](char* full, DWORD size) { return GetFullPathNameA(path.c_str(), size, full, nullptr); });
}

std::wstring fullPathName(const std::wstring& path)
{
    return filledText<wchar_t>(path.size() + MAX_PATH, [&](wchar_t* full, DWORD size) {
        return GetFullPathNameW(path.c_str(), size, full, nullptr);
    });
}

std::wstring extendedPath(const std::wstring& path)
{
    constexpr std::wstring_view kLongPrefix = L"\\\\?\\";
    if (path.starts_with(kLongPrefix))
        return path;
    const std::wstring full = fullPathName(path);
    if (full.empty())
        return {};
    if (full.starts_with(L"\\\\"))
        return std::wstring(kLongPrefix) + L"UNC" + full.substr(1);
    return std::wstring(kLongPrefix) + full;
}

bool pathExists(const FilePath& path)
{
    const std::optional<std::wstring> longForm = longPathForm(path);
    const DWORD attributes = longForm       ? GetFileAttributesW(longForm->c_str())
                             : path.isWide() ? GetFileAttributesW(path.wide.c_str())
                                             : GetFileAttributesA(path.text.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES;
}

bool createDirectory(const FilePath& path)
{
    if (const std::optional<std::wstring> longForm = longPathForm(path))
        return CreateDirectoryW(longForm->c_str(), nullptr);
    return path.isWide() ? CreateDirectoryW(path.wide.c_str(), nullptr) : CreateDirectoryA(path.text.c_str(), nullptr);
}

UniqueFileHandle createFile(const FilePath& path, DWORD access, DWORD share, DWORD disposition)
{
    if (const std::optional<std::wstring> longForm = longPathForm(path))
        return UniqueFileHandle(
            CreateFileW(longForm->c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
    return UniqueFileHandle(
        path.isWide()
            ? CreateFileW(path.wide.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr)
            : CreateFileA(path.text.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool setFileAttributes(const FilePath& path, DWORD attributes)
{
    if (const std::optional<std::wstring> longForm = longPathForm(path))
        return SetFileAttributesW(longForm->c_str(), attributes);
    return path.isWide() ? SetFileAttributesW(path.wide.c_str(), attributes)
                         : SetFileAttributesA(path.text.c_str(), attributes);
}

bool deleteFile(const FilePath& path)
{
    if (const std::optional<std::wstring> longForm = longPathForm(path))
        return DeleteFileW(longForm->c_str());
    return path.isWide() ? DeleteFileW(path.wide.c_str()) : DeleteFileA(path.text.c_str());
}

bool removeDirectory(const FilePath& path)
{
    if (const std::optional<std::wstring> longForm = longPathForm(path))
        return RemoveDirectoryW(longForm->c_str());
    return path.isWide() ? RemoveDirectoryW(path.wide.c_str()) : RemoveDirectoryA(path.text.c_str());
}

bool liesBelow(const std::string& path, const std::string& folder)
{
    if (folder.empty())
        return false;
    std::string prefix = toUpperAnsi(fullPathName(folder));
    if (!prefix.empty() && prefix.back() != '\\')
        prefix += '\\';
    return !prefix.empty() && toUpperAnsi(fullPathName(path)).starts_with(prefix);
}

std::string joinPath(std::string_view dir, std::string_view name)
{
    if (name.find(':') != std::string_view::npos)
        return std::string(name);
    if (!name.empty() && name.front() == '\\') {
        if (dir.size() >= 2 && dir[1] == ':')
            return std::string(dir.substr(0, 2)).append(name);
        return std::string(name);
    }
    std::string joined(dir);
    if (joined.empty() || joined.back() != '\\')
        joined += '\\';
    return joined.append(name);
}

namespace {

// A listed name is joined to its folder's path, so it must name a child of that folder: no
// separator, no drive colon. Wide names cannot hold them on NTFS, but a listing can hand over
// a look-alike that the ANSI functions turn into one (U+FF3C becomes '\\').
bool isPlainName(std::wstring_view name)
{
    return name.find_first_of(L"\\/:") == std::wstring_view::npos;
}

// The ANSI record of a wide one, with the exact ANSI form of its name.
WIN32_FIND_DATAA ansiRecord(const WIN32_FIND_DATAW& wide, const std::string& name)
{
    WIN32_FIND_DATAA record{};
    record.dwFileAttributes = wide.dwFileAttributes;
    record.ftCreationTime = wide.ftCreationTime;
    record.ftLastAccessTime = wide.ftLastAccessTime;
    record.ftLastWriteTime = wide.ftLastWriteTime;
    record.nFileSizeHigh = wide.nFileSizeHigh;
    record.nFileSizeLow = wide.nFileSizeLow;
    record.dwReserved0 = wide.dwReserved0;
    std::memcpy(record.cFileName, name.data(), std::min(name.size(), sizeof(record.cFileName) - 1));
    if (const std::optional<std::string> shortName = exactAnsiText(wide.cAlternateFileName))
        std::memcpy(record.cAlternateFileName, shortName->data(),
                    std::min(shortName->size(), sizeof(record.cAlternateFileName) - 1));
    return record;
}

} // namespace

bool forEachDirectoryEntry(const std::string& pattern, const std::function<void(const WIN32_FIND_DATAA&)>& visit,
                           const std::function<void(const std::string&)>& refuse)
{
    // The NT family lists wide: the ANSI listing gives a best-fit look-alike for a name the code
    // page cannot write, which names another entry, or none.
    if (windowsPlatform() == VER_PLATFORM_WIN32_NT)
        return forEachDirectoryEntry(widenAnsi(pattern), [&](const WIN32_FIND_DATAW& entry) {
            const std::optional<std::string> name = exactAnsiText(entry.cFileName);
            if (name && isPlainName(entry.cFileName) && name->size() < sizeof(WIN32_FIND_DATAA::cFileName))
                visit(ansiRecord(entry, *name));
            else
                refuse(ansiTextForTrace(entry.cFileName));
        });
    WIN32_FIND_DATAA entry{};
    UniqueFindHandle search(FindFirstFileA(pattern.c_str(), &entry));
    if (!search)
        return false;
    do {
        const std::string_view name = entry.cFileName;
        if (name == "." || name == "..")
            continue;
        if (name.find_first_of("\\/:") == std::string_view::npos)
            visit(entry);
        else
            refuse(std::string(name));
    } while (FindNextFileA(search.get(), &entry));
    return true;
}

bool forEachDirectoryEntry(const std::wstring& pattern,
                           const std::function<void(const WIN32_FIND_DATAW&)>& visit)
{
    WIN32_FIND_DATAW entry{};
    UniqueFindHandle search(FindFirstFileW(pattern.c_str(), &entry));
    if (!search)
        return false;
    do {
        const std::wstring_view name = entry.cFileName;
        if (name != L"." && name != L"..")
            visit(entry);
    } while (FindNextFileW(search.get(), &entry));
    return true;
}

std::optional<std::string> ansiPathOf(const std::wstring& path)
{
    if (std::optional<std::string> exact = exactAnsiText(path))
        return exact;
    // Looked up, never imported: a stand-in can take its place, and the 95 family, which never
    // gets here, has only a stub.
    using GetShortPathNameFunction = DWORD(WINAPI*)(LPCWSTR, LPWSTR, DWORD);
    const auto getShortPathName =
        resolveFunction<GetShortPathNameFunction>(GetModuleHandleA("kernel32.dll"), "GetShortPathNameW");
    if (!getShortPathName)
        return std::nullopt;
    std::wstring shortPath(path.size() + 1, L'\0');
    for (;;) {
        const DWORD length = getShortPathName(path.c_str(), shortPath.data(), static_cast<DWORD>(shortPath.size()));
        if (length == 0)
            return std::nullopt;
        if (length < shortPath.size()) {
            shortPath.resize(length);
            break;
        }
        shortPath.resize(length + 1);
    }
    // A component without a short name comes back long, and still has no ANSI form.
    return exactAnsiText(shortPath);
}

SystemPath ownProgramPath()
{
    if (windowsPlatform() != VER_PLATFORM_WIN32_NT)
        return {programPath(), {}};
    std::wstring wide = programPathWide();
    std::string ansi = wide.empty() ? std::string() : ansiPathOf(wide).value_or(std::string());
    return {std::move(ansi), std::move(wide)};
}

std::string currentDirectory()
{
    if (windowsPlatform() == VER_PLATFORM_WIN32_NT) {
        std::wstring buffer(MAX_PATH + 1, L'\0');
        for (;;) {
            const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
            if (length == 0)
                return {};
            if (length < buffer.size()) {
                buffer.resize(length);
                return ansiPathOf(buffer).value_or(std::string());
            }
            buffer.resize(length + 1);
        }
    }
    std::vector<char> buffer(MAX_PATH + 1);
    for (;;) {
        const DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length == 0)
            return {};
        if (length < buffer.size())
            return std::string(buffer.data(), length);
        buffer.resize(length + 1);
    }
}

bool changeDirectory(const std::string& dir)
{
    return SetCurrentDirectoryA(dir.c_str()) != 0;
}

std::string commandLineProgram(const std::string& program)
{
    return program.find_first_of(" \t") == std::string::npos ? program : "\"" + program + "\"";
}

std::string programFile(const std::string& program)
{
    const std::size_t nameStart = program.find_last_of("\\/:") + 1;
    return program.find('.', nameStart) == std::string::npos ? program + ".exe" : program;
}

std::optional<ChildProcess> startProcess(const std::string& program, const std::string& commandLine, int showWindow)
{
    // Named outright, the program is never looked for at each blank of an unquoted path (a
    // planted C:\my.exe before C:\my media\...), nor along the search path.
    const std::string application = programFile(program);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.wShowWindow = static_cast<WORD>(showWindow);
    PROCESS_INFORMATION info{};
    // CreateProcessA may write into the command line, so it gets a copy of its own.
    std::vector<char> writable(commandLine.begin(), commandLine.end());
    writable.push_back('\0');
    if (!CreateProcessA(application.c_str(), writable.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info))
        return std::nullopt;
    return ChildProcess{UniqueHandle(info.hProcess), UniqueHandle(info.hThread)};
}

std::optional<DWORD> windowsPlatform()
{
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof(version);
    if (!GetVersionExA(&version))
        return std::nullopt;
    return version.dwPlatformId;
}

std::string toUpperAnsi(std::string_view text)
{
    std::string upper(text);
    if (!upper.empty())
        CharUpperBuffA(upper.data(), static_cast<DWORD>(upper.size()));
    return upper;
}

std::wstring toUpperWide(std::wstring_view text)
{
    std::wstring upper(text);
    if (!upper.empty())
        CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    return upper;
}

std::wstring widenAnsi(std::string_view text)
{
    if (text.empty())
        return {};
    const int bytes = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(CP_ACP, 0, text.data(), bytes, nullptr, 0);
    if (size <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), bytes, wide.data(), size);
    return wide;
}

namespace {

bool convertWithoutBestFit(std::wstring_view text, const char* defaultChar, std::string& out, BOOL& usedDefault)
{
    const int units = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), units, nullptr, 0, defaultChar,
                                         &usedDefault);
    if (size <= 0)
        return false;
    out.assign(static_cast<std::size_t>(size), '\0');
    return WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), units, out.data(), size, defaultChar,
                               &usedDefault) == size;
}

} // namespace

std::optional<std::string> exactAnsiText(std::wstring_view text)
{
    if (text.empty())
        return std::string();
    std::string ansi;
    BOOL usedDefault = FALSE;
    if (!convertWithoutBestFit(text, nullptr, ansi, usedDefault)) {
        usedDefault = FALSE;
        const int units = static_cast<int>(text.size());
        const int size = WideCharToMultiByte(CP_ACP, 0, text.data(), units, nullptr, 0, nullptr, nullptr);
        if (size <= 0)
            return std::nullopt;
        ansi.assign(static_cast<std::size_t>(size), '\0');
        if (WideCharToMultiByte(CP_ACP, 0, text.data(), units, ansi.data(), size, nullptr, nullptr) != size)
            return std::nullopt;
    }
    // Whatever the conversion says, the text must come back as it went: a best-fit look-alike
    // or a default character is another name.
    if (usedDefault || widenAnsi(ansi) != text)
        return std::nullopt;
    return ansi;
}

std::string ansiTextForTrace(std::wstring_view text)
{
    std::string ansi;
    BOOL usedDefault = FALSE;
    if (convertWithoutBestFit(text, "?", ansi, usedDefault))
        return ansi;
    // One character at a time where the system lacks the flag (a surrogate pair is one).
    ansi.clear();
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t units = text[at] >= 0xD800 && text[at] < 0xDC00 && at + 1 < text.size() ? 2 : 1;
        const std::optional<std::string> one = exactAnsiText(text.substr(at, units));
        ansi += one ? *one : "?";
        at += units;
    }
    return ansi;
}

std::wstring comparablePath(const FilePath& path)
{
    return toUpperWide(path.isWide() ? path.wide : widenAnsi(path.text));
}

bool equalsIgnoreCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && toUpperAnsi(a) == toUpperAnsi(b);
}

bool startsWithIgnoreCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

void showMessageBox(const char* text, const char* title)
{
    MessageBoxA(nullptr, text, title, MB_OK);
}

void showMessageBox(const std::wstring& text, const std::wstring& title)
{
    MessageBoxW(nullptr, text.c_str(), title.c_str(), MB_OK);
}
