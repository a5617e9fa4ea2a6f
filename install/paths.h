// The search path and class path that install hands to the Java processes, and the lookup of
// a program along the search path.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "globals.h"

// The most characters the value of PATH or of CLASSPATH may hold in the environment the Java
// processes get: 32,766 on the NT family (a variable holds 32,767 with its terminator). The 95
// family keeps its whole environment block within 32,767 bytes, so there the two share what the
// other variables leave of it (see classPathSize and appendOwnSearchPath).
inline constexpr std::size_t kEnvironmentValueLimit = 32766;
inline constexpr std::size_t kEnvironmentBlockLimit95 = 32767;

// Appends an entry to the search path, the class path or a work text. The search path takes it
// only while its value stays within kEnvironmentValueLimit; otherwise it is left as it was, the
// trace log says so and the result is false. Every other text takes every entry: the class path
// is measured whole, once, against what reaches Java (classPathSize).
bool appendWithinLimit(std::string& target, std::string_view text);

// What the finished class path needs and what the environment allows it, in characters of its
// value. On the 95 family the allowance is what the block leaves beside the other variables and
// the search path as the run made it.
struct ClassPathSize {
    std::size_t needed = 0;
    std::size_t allowed = 0;
};
ClassPathSize classPathSize();

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

// Completes the search path with the process's own, entry by entry, each while it fits what the
// environment allows; one that does not is left out whole, with its line. The system directory
// and the Windows directory are never the ones left out: room for them is kept while the entries
// before them are added.
void appendOwnSearchPath();
// Puts both texts into the environment that every child inherits.
void exportPaths();
