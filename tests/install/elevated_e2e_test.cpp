#include <windows.h>

#include "install_run.h"

using namespace testing_support;

namespace {

constexpr char kOneClassCfg[] = "[CLASS]\r\ncom.bravik.Install\r\n";
constexpr char kPlantedRecord[] = "C:\\itest\\planted.txt";

using Elevated = InstallEndToEnd;

TEST_F(Elevated, LibrariesBesideInstallAreNeverLoaded)
{
    buildMedia(kMedia, kOneClassCfg);
    for (const char* name : {"psapi.dll", "vdmdbg.dll", "version.dll", "uxtheme.dll", "dwmapi.dll", "userenv.dll",
                             "cryptbase.dll", "profapi.dll", "kernel32.dll"})
        copyFile(programDirectory() + "\\planted\\planted.dll", std::string(kMedia) + "\\" + name);
    const ScopedEnvironment record("PLANTED_LIBRARY_RECORD", kPlantedRecord);

    const InstallRun run = runMedia();

    EXPECT_EQ(run.launches.size(), 1u);
    EXPECT_FALSE(exists(kPlantedRecord)) << readFile(kPlantedRecord);
}

} // namespace
