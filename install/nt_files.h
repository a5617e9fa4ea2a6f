// Files and folders by handle, on the NT family: an entry opened below a folder held open (never
// by a path the system resolves again), as the object itself (a link is opened, never
// followed), a folder listed through its handle, and an entry deleted through its own handle.
// What a folder holds then cannot be swapped for a link to somewhere else between a check and
// its use. The functions come from ntdll, looked up at run time; the 95 family has none.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../common/owners.h"

// True when this system has what the functions below need.
bool ntFilesAvailable();

enum class EntryKind { file, folder };

// Opens name, one component without separators, below the folder held by parent; with no
// parent, name is a full path in its "\\?\" form. The entry's own object: a link is opened as
// the link. kind says which the caller wants; the other is refused (error 267 or 5).
// Nothing, with the Win32 error code in error, when it cannot be opened.
UniqueFileHandle openEntry(HANDLE parent, std::wstring_view name, EntryKind kind, ACCESS_MASK access, DWORD share,
                           DWORD& error);

struct FolderEntry {
    std::wstring name;
    DWORD attributes = 0;
};

// The entries of the folder held by folder (opened with FILE_LIST_DIRECTORY), "." and ".."
// left out, in the order the file system gives them; nothing, with the error code, when the
// folder cannot be listed.
std::optional<std::vector<FolderEntry>> listFolder(HANDLE folder, DWORD& error);

// Deletes the entry held by handle (opened with DELETE): a file goes, an empty folder goes.
// The Win32 error code, 0 for done.
DWORD deleteByHandle(HANDLE handle);

// The path the system gives for the object behind handle (GetFinalPathNameByHandleW, Vista on,
// looked up at run time), in long names, without its "\\?\" prefix (a share as "\\server\..."):
// the path as the file system resolves it, links and all, whatever path it was opened by.
// Nothing where the system cannot give it; finalPathsAvailable says whether it ever can.
std::optional<std::wstring> finalPathOf(HANDLE handle);
bool finalPathsAvailable();
