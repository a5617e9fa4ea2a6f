// The running program's own file, found one way for every program of the tree.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The full path of the running program's file, however long; empty when the system cannot
// give it.
inline std::string programPath()
{
    std::vector<char> buffer(MAX_PATH + 1);
    for (;;) {
        const DWORD length = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return {};
        // A name that filled the buffer may have been cut; ask again with more room.
        if (length < buffer.size() - 1)
            return std::string(buffer.data(), length);
        buffer.resize(buffer.size() * 2);
    }
}

// The same in UTF-16, for a path the ANSI code page may not be able to write (NT family).
inline std::wstring programPathWide()
{
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return {};
        if (length < buffer.size() - 1)
            return std::wstring(buffer.data(), length);
        buffer.resize(buffer.size() * 2);
    }
}

// The folder of the running program's file, without a trailing backslash; empty when unknown.
inline std::string programDirectory()
{
    const std::string path = programPath();
    const std::size_t slash = path.rfind('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}
