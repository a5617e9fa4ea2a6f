// The version resource of every deliverable and the manifest of each program, read back the
// way Windows reads them: through version.dll and the resource loader.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "install/platform.h"
#include "testing.h"

using namespace testing_support;

namespace {

// The build's version, from the CMake project version.
constexpr char kVersion[] = BRAVIK_VERSION;
constexpr char kStringBlock[] = "\\StringFileInfo\\040904B0\\";

struct Deliverable {
    const char* file;
    const char* description;
    const char* executionLevel; // nullptr: a library, which carries no manifest
};

const Deliverable kDeliverables[] = {
    {"install.exe", "Bravik installer bootstrap", "requireAdministrator"},
    {"Splash.exe", "Bravik splash screen", "asInvoker"},
    {"sysnat.dll", "Bravik system natives for Java", nullptr},
    {"hivenat.dll", "Bravik registry natives for Java", nullptr},
};

// One value of the US English string block, as a file's property page shows it; empty when
// the file has no such value.
std::string versionString(const std::string& path, const std::string& name)
{
    DWORD unused = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &unused);
    std::vector<char> block(size);
    char* value = nullptr;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoA(path.c_str(), 0, size, block.data()) ||
        !VerQueryValueA(block.data(), (kStringBlock + name).c_str(), reinterpret_cast<void**>(&value), &length))
        return {};
    return std::string(value, strnlen(value, length));
}

// The text of the manifest the loader reads for a program; empty when the file has none.
std::string manifestText(const std::string& path)
{
    UniqueModule module(LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!module)
        throw std::runtime_error("cannot load " + path + " as data");
    HRSRC found = FindResourceA(module.get(), CREATEPROCESS_MANIFEST_RESOURCE_ID, RT_MANIFEST);
    if (!found)
        return {};
    const auto* text = static_cast<const char*>(LockResource(LoadResource(module.get(), found)));
    return std::string(text, SizeofResource(module.get(), found));
}

TEST(Deliverables, CarryTheirVersionAndManifest)
{
    for (const Deliverable& deliverable : kDeliverables) {
        SCOPED_TRACE(deliverable.file);
        const std::string path = programDirectory() + "\\" + deliverable.file;
        EXPECT_EQ(versionString(path, "FileDescription"), deliverable.description);
        EXPECT_EQ(versionString(path, "FileVersion"), kVersion);
        EXPECT_EQ(versionString(path, "OriginalFilename"), deliverable.file);
        const std::string manifest = manifestText(path);
        if (deliverable.executionLevel)
            EXPECT_NE(manifest.find("level=\"" + std::string(deliverable.executionLevel) + "\""), std::string::npos)
                << manifest;
        else
            EXPECT_EQ(manifest, "");
    }
}

} // namespace
