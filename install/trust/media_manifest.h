// Signed media: an install.exe built with its publisher's certificate (trust/publisher.h) uses
// nothing from its media, or from an update folder, that is not listed as it stands in a
// manifest that publisher signed. Built without one, it checks nothing, and every step runs as it
// would without this file.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../../common/owners.h"
#include "media_digest.h"

// For a build with a publisher's certificate, verifies the manifest of the media below
// mediaRoot against it (media.manifest, signed detached in media.manifest.p7s); one that cannot
// check at all (the 95 family, a system without the crypt32 message functions or SHA-256)
// refuses. Writes one trace line for a build that checks nothing. False when the media are not
// as their publisher signed them or cannot be checked; the refusal is then kept (mediaRefusal).
bool verifySignedMedia(const std::string& mediaRoot);

// True when this run checks what it takes from the media.
bool mediaAreChecked();

// For an update folder: true when the run checks nothing, or when the folder's own signed
// manifest verifies, in which case its files are checked against it from here on. False, with
// its trace line, otherwise.
bool verifyUpdateManifest(const std::string& folder);

enum class MediaFile {
    unchecked,  // the run checks nothing, or the file lies outside the media and update folders
    held,       // listed, and matches on the handle held for the rest of the run
    unlisted,   // below the media, but not in the manifest: not to be used
    refused,    // listed, but does not match, or cannot be held: the run stops
};

// Holds path open, shared for reading only, for the rest of the run, and checks it on that
// handle against the manifest of the media or update folder it lies in. A refused file is kept
// as the run's refusal.
MediaFile holdMediaFile(const std::string& path);

// The same for a file the run cannot go on without (the configuration, an archive): one that
// lies outside the media, or is unlisted, is refused as well. True when it may be used.
bool requireMediaFile(const std::string& path);

// requireMediaFile for each of paths, whose digests are computed side by side; the first that
// fails, in the order given, refuses the run. True when all may be used.
bool requireMediaFiles(const std::vector<std::string>& paths);

// For a file the run reads (the configuration): nothing when it is absent, or is refused (the
// refusal kept); otherwise a handle of the very file that was checked, positioned at its start,
// which the caller reads through and closes. Only for a run that checks its media.
UniqueFileHandle openCheckedFile(const std::string& path);

// The same for a program install starts: one below the common directory came from an archive
// already checked; anywhere else but the media it is refused.
bool requireMediaProgram(const std::string& path, const std::string& commonDirectory);

// True when path lies below the media or an update folder whose signed manifest verified.
bool liesInSignedFolder(const std::string& path);

// Holds and checks every file of folder (with below, every file below it as well): one that is
// not listed, or not as listed, refuses the run. Archives (".zip", ".jar") are only looked up in
// the manifest: nothing reads them but where they are named, and there they are checked whole.
// True when each may be used.
bool requireFolderFiles(const std::string& folder, bool below);

// Refuses the run because something it would use is not what its publisher signed: reason is
// the message box's ending.
void refuseMedia(const std::string& reason);

// The first refusal of the run, as the message box gives it; nothing while there is none.
const std::optional<std::string>& mediaRefusal();

// True when the refusal is that this system cannot check signatures at all.
bool mediaCannotBeChecked();

// Lets go of every held file: before clean-up removes an update folder.
void releaseMediaFiles();

// A file as the manifest lists it.
struct ListedFile {
    Sha256Digest digest{};
    unsigned long long size = 0;
};

// The files a manifest's text lists, by their path below its folder in upper case: one line
// "<64 hex digits> <size> <path>" each, CR LF or LF, "#" lines and empty lines skipped. Nothing,
// with the reason for the trace log, when a line is not an entry, a path is absolute, climbs out
// with "..", or comes twice. name is the manifest's, for the reason.
std::optional<std::map<std::string, ListedFile>> parseMediaManifest(std::string_view text, const std::string& name,
                                                                    std::string& reason);

// A run starts with nothing verified; the tests start each case afresh.
void forgetSignedMedia();
