// Removal of whole directory trees (the update directories and, on request, the unpacked
// runtime and product) and of the common files the configuration lists.
#pragma once

#include <string>

// Removes path and everything below it; failures go to the trace log. What another process
// holds for a moment is waited for, ten seconds at most per tree; a read-only file is not.
void removeDirectoryTree(const std::string& path);

// Removes an update folder ("c:\kpupdate", "c:\vtupdate") as removeDirectoryTree does when it
// was trusted in this run; a refused one stays with the line that said why, and one judged absent
// gets the line of a folder that is not there, whatever stands there now.
void removeUpdateDirectory(const std::string& path);

// Delete the files their tables name below commonDir, clearing read-only and hidden first. An
// entry that would reach outside commonDir (a drive, a rooted or UNC path, "..", a device
// name) is refused with a line.
void deleteCommonFiles(const std::string& commonDir);
void postDeleteCommonFiles(const std::string& commonDir);
