// Linked into a copy of install.exe for the end-to-end runs that need what Wine cannot give:
// from its start, the update folders it looks at are as an administrator staged and locked
// them, and, when INSTALL_STANDIN_NO_SHORT_NAMES is set, its volumes give no short names.
#include <windows.h>

#include <map>
#include <string>

#include "staged_updates.h"

namespace {

// As on a volume with short names turned off: the path comes back as it went.
DWORD WINAPI longNamesOnly(LPCWSTR path, LPWSTR shortPath, DWORD size)
{
    const std::wstring given = path;
    if (given.size() >= size)
        return static_cast<DWORD>(given.size() + 1);
    given.copy(shortPath, given.size());
    shortPath[given.size()] = L'\0';
    return static_cast<DWORD>(given.size());
}

std::map<std::string, void*> chosenStandIns()
{
    if (!GetEnvironmentVariableA("INSTALL_STANDIN_NO_SHORT_NAMES", nullptr, 0))
        return {};
    return {{"GetShortPathNameW", reinterpret_cast<void*>(&longNamesOnly)}};
}

const testing_support::StagedUpdateFolders staged(chosenStandIns());

} // namespace
