// The two registry facts install reads: the system's common-files folder and a registered
// Java runtime 1.1.
#pragma once

#include <optional>
#include <string>

// The product's common directory below CommonFilesDir, ending in a backslash.
std::optional<std::string> getCommonFilesDir();

// The JavaHome of a registered Java runtime 1.1 of micro version 7 or later.
std::optional<std::string> getJavaHome();
