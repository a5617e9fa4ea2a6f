#include <windows.h>

#include "install/registry.h"
#include "testing.h"
#include "trace_log_fixture.h"

using testing_support::withCrLf;

namespace {

constexpr char kWindowsKey[] = "Software\\Microsoft\\Windows\\CurrentVersion";
constexpr char kJavaSoftKey[] = "Software\\JavaSoft";
constexpr char kJavaKey[] = "Software\\JavaSoft\\Java Runtime Environment\\1.1";
constexpr char kVersionKeyLine[] = "version key is Software\\JavaSoft\\Java Runtime Environment\\1.1 \n";

void setMachineString(const char* key, const char* name, const std::string& value)
{
    UniqueRegistryKey handle;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, handle.put(), nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(handle.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
}

void deleteMachineValue(const char* key, const char* name)
{
    UniqueRegistryKey handle;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_ALL_ACCESS, handle.put()) == ERROR_SUCCESS)
        RegDeleteValueA(handle.get(), name);
}

class RegistryTest : public InstallUnitTest {
protected:
    void SetUp() override
    {
        InstallUnitTest::SetUp();
        char value[512] = {};
        DWORD size = sizeof(value);
        UniqueRegistryKey key;
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, kWindowsKey, 0, KEY_READ, key.put());
        hadCommonFiles_ = RegQueryValueExA(key.get(), "CommonFilesDir", nullptr, nullptr, reinterpret_cast<BYTE*>(value),
                                           &size) == ERROR_SUCCESS;
        savedCommonFiles_ = value;
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kJavaSoftKey);
    }
    void TearDown() override
    {
        if (hadCommonFiles_)
            setMachineString(kWindowsKey, "CommonFilesDir", savedCommonFiles_);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kJavaSoftKey);
        InstallUnitTest::TearDown();
    }

private:
    bool hadCommonFiles_ = false;
    std::string savedCommonFiles_;
};

TEST_F(RegistryTest, CommonFilesDirGetsTheProductFolder)
{
    setMachineString(kWindowsKey, "CommonFilesDir", "C:\\Program Files\\Common Files");
    EXPECT_EQ(getCommonFilesDir(), "C:\\Program Files\\Common Files\\bravik\\");
    EXPECT_EQ(traceText(), withCrLf("Program Files directory was C:\\Program Files\\Common Files \n"));

    const std::string longest = "C:\\" + std::string(124, 'c');
    setMachineString(kWindowsKey, "CommonFilesDir", longest);
    EXPECT_EQ(getCommonFilesDir(), longest + "\\bravik\\");

    // 128 characters and more do not fit the 128-byte buffer.
    setMachineString(kWindowsKey, "CommonFilesDir", longest + "c");
    EXPECT_EQ(getCommonFilesDir(), std::nullopt);
    setMachineString(kWindowsKey, "CommonFilesDir", longest + std::string(300, 'c'));
    EXPECT_EQ(getCommonFilesDir(), std::nullopt);

    deleteMachineValue(kWindowsKey, "CommonFilesDir");
    EXPECT_EQ(getCommonFilesDir(), std::nullopt);
}

TEST_F(RegistryTest, JavaHomeNeedsMicroVersionSevenOrLater)
{
    struct Case {
        const char* microVersion;
        bool accepted;
    };
    const Case cases[] = {{"7", true}, {"70", true}, {"8", true}, {"9", true}, {"", true},
                          {"6", false}, {"10", false}, {"1234", false}, {"12345", false}, {"77777", false}};
    setMachineString(kJavaKey, "JavaHome", "C:\\java11");
    for (const Case& c : cases) {
        setMachineString(kJavaKey, "MicroVersion", c.microVersion);
        EXPECT_EQ(getJavaHome(), c.accepted ? std::optional<std::string>("C:\\java11") : std::nullopt)
            << c.microVersion;
    }
}

TEST_F(RegistryTest, MissingKeyOrJavaHomeGivesNothing)
{
    EXPECT_EQ(getJavaHome(), std::nullopt);
    EXPECT_EQ(traceText(), withCrLf(kVersionKeyLine));

    setMachineString(kJavaKey, "MicroVersion", "7");
    EXPECT_EQ(getJavaHome(), std::nullopt);
    EXPECT_EQ(traceText(), withCrLf(std::string(kVersionKeyLine) + kVersionKeyLine +
                                    "For some reason, Query for JavaHome failed\n"));

    deleteMachineValue(kJavaKey, "MicroVersion");
    setMachineString(kJavaKey, "JavaHome", "C:\\java11");
    EXPECT_EQ(getJavaHome(), std::nullopt);
}

} // namespace
