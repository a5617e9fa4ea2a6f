#include "nt_files.h"

#include <winternl.h>

#include <cstddef>
#include <cstring>

namespace {

using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                               PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using NtQueryDirectoryFileFunction = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                                                       FILE_INFORMATION_CLASS, BOOLEAN, PUNICODE_STRING, BOOLEAN);
using NtSetInformationFileFunction = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS);
using RtlNtStatusToDosErrorFunction = ULONG(NTAPI*)(NTSTATUS);

constexpr ULONG kFileOpen = 1;  // FILE_OPEN: the entry must exist
constexpr ULONG kSynchronous = 0x00000020;  // FILE_SYNCHRONOUS_IO_NONALERT
constexpr ULONG kNonDirectory = 0x00000040;  // FILE_NON_DIRECTORY_FILE
constexpr ULONG kBackupIntent = 0x00004000;  // FILE_OPEN_FOR_BACKUP_INTENT
constexpr ULONG kCaseInsensitive = 0x00000040;  // OBJ_CASE_INSENSITIVE
constexpr NTSTATUS kNoMoreFiles = static_cast<NTSTATUS>(0x80000006L);
constexpr NTSTATUS kBufferOverflow = static_cast<NTSTATUS>(0x80000005L);
// A listing is read in blocks of this size, each holding many entries.
constexpr ULONG kListingBlock = 64 * 1024;

struct NtFunctions {
    NtCreateFileFunction createFile = nullptr;
    NtQueryDirectoryFileFunction queryDirectory = nullptr;
    NtSetInformationFileFunction setInformation = nullptr;
    RtlNtStatusToDosErrorFunction toDosError = nullptr;
};

// ntdll is in every process of the NT family; the 95 family has none of these.
const NtFunctions& ntFunctions()
{
    static const NtFunctions functions = [] {
        NtFunctions found;
        if (const HMODULE ntdll = GetModuleHandleA("ntdll.dll")) {
            const auto look = [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(ntdll, name)); };
            found.createFile = reinterpret_cast<NtCreateFileFunction>(look("NtCreateFile"));
            found.queryDirectory = reinterpret_cast<NtQueryDirectoryFileFunction>(look("NtQueryDirectoryFile"));
            found.setInformation = reinterpret_cast<NtSetInformationFileFunction>(look("NtSetInformationFile"));
            found.toDosError = reinterpret_cast<RtlNtStatusToDosErrorFunction>(look("RtlNtStatusToDosError"));
        }
        return found;
    }();
    return functions;
}

DWORD dosError(NTSTATUS status)
{
    return status >= 0 ? ERROR_SUCCESS : ntFunctions().toDosError(status);
}

} // namespace

bool ntFilesAvailable()
{
    const NtFunctions& nt = ntFunctions();
    return nt.createFile && nt.queryDirectory && nt.setInformation && nt.toDosError;
}

UniqueFileHandle openEntry(HANDLE parent, std::wstring_view name, EntryKind kind, ACCESS_MASK access, DWORD share,
                           DWORD& error)
{
    // The object manager's form of a "\\?\" path is "\??\".
    std::wstring text(name);
    if (!parent && text.rfind(L"\\\\?\\", 0) == 0)
        text[1] = L'?';
    UNICODE_STRING unicode{};
    unicode.Buffer = text.data();
    unicode.Length = static_cast<USHORT>(text.size() * sizeof(wchar_t));
    unicode.MaximumLength = unicode.Length;
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof(attributes);
    attributes.RootDirectory = parent;
    attributes.ObjectName = &unicode;
    attributes.Attributes = kCaseInsensitive;
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    const ULONG options = kSynchronous | kBackupIntent | FILE_OPEN_REPARSE_POINT |
                          (kind == EntryKind::folder ? FILE_DIRECTORY_FILE : kNonDirectory);
    if (text.size() * sizeof(wchar_t) > 0xFFFF) {
        error = ERROR_FILENAME_EXCED_RANGE;
        return {};
    }
    const NTSTATUS status = ntFunctions().createFile(&handle, access | SYNCHRONIZE, &attributes, &io, nullptr, 0,
                                                     share, kFileOpen, options, nullptr, 0);
    error = dosError(status);
    // The handle type's empty value is INVALID_HANDLE_VALUE; a failed call leaves nullptr.
    return status >= 0 ? UniqueFileHandle(handle) : UniqueFileHandle();
}

std::optional<std::vector<FolderEntry>> listFolder(HANDLE folder, DWORD& error)
{
    std::vector<FolderEntry> entries;
    // Storage aligned for the records the call writes into it.
    std::vector<ULONGLONG> block(kListingBlock / sizeof(ULONGLONG));
    for (bool first = true;; first = false) {
        IO_STATUS_BLOCK io{};
        const NTSTATUS status =
            ntFunctions().queryDirectory(folder, nullptr, nullptr, nullptr, &io, block.data(), kListingBlock,
                                         FileDirectoryInformation, FALSE, nullptr, first ? TRUE : FALSE);
        if (status == kNoMoreFiles)
            break;
        if (status < 0 && status != kBufferOverflow) {
            error = dosError(status);
            return std::nullopt;
        }
        const auto* bytes = reinterpret_cast<const unsigned char*>(block.data());
        for (std::size_t at = 0;;) {
            const auto* record = reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(bytes + at);
            const std::wstring_view name(record->FileName, record->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..")
                entries.push_back({std::wstring(name), record->FileAttributes});
            if (record->NextEntryOffset == 0)
                break;
            at += record->NextEntryOffset;
        }
    }
    error = ERROR_SUCCESS;
    return entries;
}

DWORD deleteByHandle(HANDLE handle)
{
    FILE_DISPOSITION_INFORMATION disposition{};
    disposition.DoDeleteFile = TRUE;
    IO_STATUS_BLOCK io{};
    return dosError(ntFunctions().setInformation(handle, &io, &disposition, sizeof(disposition),
                                                 FileDispositionInformation));
}

namespace {

using GetFinalPathFunction = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);

GetFinalPathFunction finalPathFunction()
{
    static const auto getFinalPath = reinterpret_cast<GetFinalPathFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetFinalPathNameByHandleW")));
    return getFinalPath;
}

} // namespace

bool finalPathsAvailable()
{
    return finalPathFunction() != nullptr;
}

std::optional<std::wstring> finalPathOf(HANDLE handle)
{
    const GetFinalPathFunction getFinalPath = finalPathFunction();
    if (!getFinalPath)
        return std::nullopt;
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        // FILE_NAME_NORMALIZED | VOLUME_NAME_DOS: long names, the drive letter.
        const DWORD length = getFinalPath(handle, path.data(), static_cast<DWORD>(path.size()), 0);
        if (length == 0)
            return std::nullopt;
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(length + 1);
    }
    // A share's "\\?\UNC\server" back to "\\server", a drive's "\\?\C:" to "C:".
    if (path.starts_with(L"\\\\?\\UNC\\"))
        path.erase(2, 6);
    else if (path.starts_with(L"\\\\?\\"))
        path.erase(0, 4);
    return path;
}
