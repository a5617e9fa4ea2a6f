// Reads a PE file's import and export tables from disk, the way the loader will see them.
#pragma once

#include <windows.h>

#include <map>
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

// Stands in for functions that the code linked into this program looks up by name at run time:
// for the life of the object, this program's GetProcAddress hands out the replacement for each
// name given and the real function for any other. One at a time.
class LookupStandIns {
public:
    explicit LookupStandIns(std::map<std::string, void*> replacements);
    ~LookupStandIns();
    LookupStandIns(const LookupStandIns&) = delete;
    LookupStandIns& operator=(const LookupStandIns&) = delete;

private:
    static FARPROC WINAPI getProcAddress(HMODULE module, LPCSTR name);

    std::map<std::string, void*> replacements_;
    ImportPatch patch_;
};

// The path of an open file, without the "\\?\" prefix.
std::string pathOfHandle(HANDLE handle);

} // namespace testing_support
