// The search path and class path that install hands to the Java processes, and the lookup of
// a program along the search path.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "globals.h"

// Appends text to target when the result still fits kPathBufSize; otherwise leaves target as
// it was, says so in the trace log and returns false.
bool appendWithinLimit(std::string& target, std::string_view text);

// Start the search path and class path from the update directory and the working directory.
void PresSetupPath();
void PresSetupClassPath();

// Adds to target every entry of a ";"-separated list that exists, after the archives inside
// it when it is a directory.
void expandClassPathEntries(std::string_view entries, std::string& target);

// Appends the matches of pattern in the current directory, as directory\name;, skipping
// those target already holds.
void appendArchives(const char* pattern, std::string& target, const std::string& directory);

// True when directory, or directory\name, occurs in text.
bool containsPathEntry(std::string_view text, const std::string& directory, std::string_view name = {});

// basePath when it exists, else the first directory of the search path holding program.
std::optional<std::string> findProgram(const std::string& basePath, std::string_view searchPath,
                                       std::string_view program);

// The segments of a registered Java runtime home and of the product's common directory.
void addJavaHomeSegments(const std::string& javaHome);
void addCommonDirSegments(const std::string& commonDir);

// Completes the search path with the process's own and puts both texts into the environment
// that every child inherits.
void appendOwnSearchPath();
void exportPaths();
