#include "files.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "../common/program_path.h"
#include "ansi_text.h"
#include "processes.h"

UniqueFile openFile(const std::string& path, const char* mode)
{
    return UniqueFile(std::fopen(path.c_str(), mode));
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

std::wstring longPathName(const std::wstring& path)
{
    // Looked up, never imported: the 95 family lacks the wide function.
    const auto getLongPathName =
        resolveFunction<DWORD(WINAPI*)(LPCWSTR, LPWSTR, DWORD)>(GetModuleHandleA("kernel32.dll"), "GetLongPathNameW");
    if (!getLongPathName)
        return {};
    return filledText<wchar_t>(path.size() + 1,
                               [&](wchar_t* buffer, DWORD size) { return getLongPathName(path.c_str(), buffer, size); });
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

std::wstring comparablePath(const FilePath& path)
{
    return toUpperWide(path.isWide() ? path.wide : widenAnsi(path.text));
}
