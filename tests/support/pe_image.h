// Reads a PE file's import and export tables from disk, the way the loader will see them.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

// The DLL names the import directory lists, as written there.
std::vector<std::string> importedDlls(const std::string& path);

// The names the export directory lists, as written there.
std::vector<std::string> exportedNames(const std::string& path);

} // namespace testing_support
