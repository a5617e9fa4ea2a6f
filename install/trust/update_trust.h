// Whether an update folder ("\vtupdate" on the Windows drive, "c:\vtupdate", "c:\kpupdate")
// may be used. install runs elevated, and any user can create a folder in a drive's root or
// add to one there; an update folder is used only when nothing in it can come from such a user.
#pragma once

#include <optional>
#include <string>

#include "../platform.h"

enum class UpdateFolderVerdict { absent, trusted, refused };

// The verdict on folder for this run. On the NT family a folder is trusted when the
// Administrators group, SYSTEM or TrustedInstaller own it and its permissions let nobody else
// write, append, delete, delete below it, change its permissions or take it over. It is then
// locked: a protected list (Administrators and SYSTEM, full control) and the Administrators as
// owner. So, from the top down, is every folder and file below it, each of which must pass the
// same test, be no link, have no second name, be open for writing nowhere and have a name that
// leads nowhere else; each is then held, shared for reading only, to the end of the run (see
// releaseUpdateFolder). Anything else refuses the folder with one trace line, and nothing of it
// is held or used. The first verdict holds for the rest of the run, "absent" (which writes
// nothing) included. On the 95 family, which has no permissions, a folder that exists is
// trusted.
UpdateFolderVerdict updateFolderVerdict(const std::string& folder);

inline bool isTrustedUpdateFolder(const std::string& folder)
{
    return updateFolderVerdict(folder) == UpdateFolderVerdict::trusted;
}

// A handle of file, below the trusted folder, which has been held since the folder was checked,
// shared for reading only, so that nobody can write, rename or replace it while install reads
// it. Nothing, with its line, when the folder is not trusted or the file was not there when it
// was checked. On the 95 family the handle given is empty: there is nothing to hold a file
// against.
std::optional<UniqueFileHandle> holdUpdateFile(const std::string& folder, const std::string& file);

// Lets go of the folder and everything held below it, so that it can be removed; it stays
// locked, so that only administrators can change it from here on.
void releaseUpdateFolder(const std::string& folder);

// A run starts with no verdicts; the tests start each case afresh.
void forgetUpdateFolderVerdicts();
