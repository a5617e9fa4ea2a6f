#include "own_files.h"

#include <fcntl.h>
#include <io.h>

#include <cstdint>

#include "ansi_text.h"
#include "nt_files.h"
#include "processes.h"

namespace {

// Whether the file held open is the one path names: the handle's final path, every link and
// junction on the way resolved, against the path's full form, in long names where it holds short
// ones (a temporary folder in a profile whose name the code page lacks). False when the system
// cannot name the file; nothing where it has no final paths (before Vista).
std::optional<bool> isFileNamedBy(HANDLE file, const std::string& path)
{
    const std::optional<std::wstring> finalPath = finalPathOf(file);
    if (!finalPath)
        return finalPathsAvailable() ? std::optional<bool>(false) : std::nullopt;
    const std::wstring named = fullPathName(widenAnsi(path));
    if (named.empty())
        return false;
    const std::wstring wanted = toUpperWide(*finalPath);
    if (toUpperWide(named) == wanted)
        return true;
    const std::wstring longName = longPathName(named);
    return !longName.empty() && toUpperWide(longName) == wanted;
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

