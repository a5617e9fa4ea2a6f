// Libraries come from the system directory only. The programs run elevated, and the folder a
// program starts from (a download folder, the media) is one that a standard user can write to:
// a DLL placed there under a system library's name must never be the one that loads.
#pragma once

#include <windows.h>

#include <string>

#include "owners.h"

// Takes the application's folder, the current directory and PATH out of the search for every
// library loaded later, where the system can (Windows 8, and 7 and Vista with KB2533623); the
// 95 family, NT 4 and an unpatched Windows 7 lack the function, so it is looked up, never
// imported.
inline void restrictDllSearchToSystemDirectory()
{
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (!kernel)
        return;
    const auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (setDefaultDllDirectories)
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// The system library name (such as "PSAPI.DLL") loaded by its full path in the system
// directory; nothing when the directory cannot be read whole or the library does not load.
inline UniqueModule loadSystemLibrary(const char* name)
{
    char directory[MAX_PATH];
    const UINT length = GetSystemDirectoryA(directory, sizeof(directory));
    if (length == 0 || length >= sizeof(directory))
        return UniqueModule();
    std::string path(directory, length);
    if (path.back() != '\\')
        path += '\\';
    return UniqueModule(LoadLibraryA(path.append(name).c_str()));
}
