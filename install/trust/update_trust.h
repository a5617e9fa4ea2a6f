// Whether an update folder ("\vtupdate" on the Windows drive, "c:\vtupdate", "c:\kpupdate")
// may be used. install runs elevated, and any user can create a folder in a drive's root or
// add to one there; an update folder is used only when nothing in it can come from such a user.
#pragma once

#include <optional>
#include <string>

#include "../platform.h"

enum class UpdateFolderVerdict { absent, trusted, refused };

// The verdict on folder for this run. On the NT family a folder is trusted when its permissions
// let nobody but the Administrators group, SYSTEM and TrustedInstaller write, append, delete,
// delete below it, change its permissions or take it over; who owns it does not count. It is
// then locked: a protected list (Administrators and SYSTEM, full control) and the
// Administrators as owner. So, from the top down, is every folder and file below it, each of
// which must pass the same test, be no link, have no second name, be open for writing
// nowhere and have a name that leads nowhere else. Anything else refuses the folder with one
// trace line. The first verdict holds for the rest of the run, "absent" (which writes
// nothing) included. On the 95 family, which has no permissions, a folder that exists is
// trusted.
UpdateFolderVerdict updateFolderVerdict(const std::string& folder);

inline bool isTrustedUpdateFolder(const std::string& folder)
{
    return updateFolderVerdict(folder) == UpdateFolderVerdict::trusted;
}

// Opens file, below the trusted folder, for reading and shared for reading only, so that
// nobody can write, rename or replace it while install reads it by its path, and checks its
// permissions on that handle. Nothing when the folder is not trusted or the file cannot be
// held or others may change it; the folder is then refused from here on, with its line. On the 95 family
// the handle given is empty: there is nothing to hold a file against.
std::optional<UniqueFileHandle> holdUpdateFile(const std::string& folder, const std::string& file);

// A run starts with no verdicts; the tests start each case afresh.
void forgetUpdateFolderVerdicts();
