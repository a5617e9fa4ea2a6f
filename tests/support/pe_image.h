// Reads a PE file's import and export tables from disk, the way the loader will see them.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

// The DLL names the import directory lists, as written there.
std::vector<std::string> importedDlls(const std::string& path);

// The names the export directory lists, as written there.
std::vector<std::string> exportedNames(const std::string& path);

// Points one import of a loaded module at a replacement for the life of the object, so that a
// test can stand in for a platform call the module makes.
class ImportPatch {
public:
    ImportPatch(void* module, const std::string& dll, const std::string& function, void* replacement);
    ~ImportPatch();
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    void* original() const { return original_; }

private:
    void** slot_ = nullptr;
    void* original_ = nullptr;
};

} // namespace testing_support
