#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "install/config.h"
#include "install/paths.h"
#include "install/removal.h"
#include "install/trust/update_trust.h"
#include "pe_image.h"
#include "staged_updates.h"
#include "testing.h"
#include "../trace_log_fixture.h"
#include "zip_writer.h"

using namespace testing_support;

namespace {

constexpr char kUpdateDir[] = "C:\\vtupdate";
constexpr char kAdministrators[] = "S-1-5-32-544";
constexpr char kSystem[] = "S-1-5-18";
constexpr char kUserAccount[] = "S-1-5-21-1111-2222-3333-1001";

// Permissions as they stand on a real system, in the system's own notation (kStagedAndLocked is
// an update an administrator staged and locked as the guide says). A folder an administrator made in the drive root, with what the root hands down to it:
constexpr char kInheritedFromTheRoot[] =
    "O:BAD:AI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)(A;;0x1301bf;;;AU)";

// Stand-ins for the security functions install looks up in ADVAPI32. Wine keeps no
// permissions of its own (it makes them up from the Unix mode, with the running account as
// owner and full control), so every path reports the permissions its test chose, and a lock is
// recorded, not made.
struct LockCall {
    std::string path;
    SECURITY_INFORMATION what = 0;
    bool isProtected = false;
    std::string owner;
    std::string dacl;
};
std::map<std::string, std::string> chosenDescriptors;
std::string otherPathsDescriptor;
std::vector<LockCall> lockCalls;
// The path of an open file as the tests name it: upper case.
std::string upperPathOfHandle(HANDLE handle)
{
    std::string text = pathOfHandle(handle);
    CharUpperBuffA(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

DWORD WINAPI standInGetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE, SECURITY_INFORMATION what, PSID* owner,
                                    PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor)
{
    const auto chosen = chosenDescriptors.find(upperPathOfHandle(handle));
    const std::string& text = chosen != chosenDescriptors.end() ? chosen->second : otherPathsDescriptor;
    return reportSecurity(text.c_str(), what, owner, group, dacl, sacl, descriptor);
}

BOOL WINAPI standInSetKernelObjectSecurity(HANDLE handle, SECURITY_INFORMATION what, PSECURITY_DESCRIPTOR descriptor)
{
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    PSID owner = nullptr;
    GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
    char* ownerText = nullptr;
    if (owner)
        ConvertSidToStringSidA(owner, &ownerText);
    const UniqueLocalBlock ownerBlock(ownerText);
    lockCalls.push_back({upperPathOfHandle(handle), what, (control & SE_DACL_PROTECTED) != 0,
                         ownerText ? ownerText : "",
                         present && dacl ? std::string(reinterpret_cast<const char*>(dacl), dacl->AclSize)
                                         : std::string()});
    return TRUE;
}

class UpdateTrustTest : public InstallUnitTest {
protected:
    void SetUp() override
    {
        InstallUnitTest::SetUp();
        removeTree(kUpdateDir);
        chosenDescriptors.clear();
        otherPathsDescriptor = kStagedAndLocked;
        lockCalls.clear();
        // install's code is linked into this program, so its look-ups go through this
        // program's import of GetProcAddress.
        lookups_ = std::make_unique<LookupStandIns>(std::map<std::string, void*>{
            {"GetSecurityInfo", reinterpret_cast<void*>(&standInGetSecurityInfo)},
            {"SetKernelObjectSecurity", reinterpret_cast<void*>(&standInSetKernelObjectSecurity)}});
        // An update as an administrator stages it: a configuration, a jar, an archive.
        writeFile(std::string(kUpdateDir) + "\\install.cfg", "[CLASS]\nfrom.update\n");
        writeFile(std::string(kUpdateDir) + "\\patch.jar", "jar");
        writeZip(std::string(kUpdateDir) + "\\kp\\zip\\patch.zip", {{"patch.ver", "date=2"}, {"x.txt", "x"}});
        changeDirectory(scratch);
    }
    void TearDown() override
    {
        lookups_.reset();
        removeTree(kUpdateDir);
        InstallUnitTest::TearDown();
    }

    static void choosePermissions(const std::string& path, const std::string& descriptor)
    {
        std::string key = path;
        CharUpperBuffA(key.data(), static_cast<DWORD>(key.size()));
        chosenDescriptors[key] = descriptor;
    }

    // The uses a run makes of the update folder, in its order: search path, class path,
    // configuration, and at last its removal (its archives meet the same verdict). Gives the
    // configuration path the run would read.
    std::string useUpdateFolder()
    {
        PresSetupPath();
        PresSetupClassPath();
        std::string configPath = scratch + "kp\\windows\\install.cfg";
        if (const UniqueFileHandle held = findUpdateConfig(configPath, "install.cfg")) {
            // Held, it can be read, but neither written nor renamed.
            EXPECT_EQ(readConfigFile(configPath, parameterTable, classTable), 1);
            const UniqueFileHandle writer(CreateFileA(configPath.c_str(), GENERIC_WRITE,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                      OPEN_EXISTING, 0, nullptr));
            EXPECT_EQ(writer.get(), INVALID_HANDLE_VALUE);
            EXPECT_FALSE(MoveFileA(configPath.c_str(), (configPath + ".moved").c_str()));
        }
        removeUpdateDirectory("c:\\vtupdate");
        return configPath;
    }

private:
    std::unique_ptr<LookupStandIns> lookups_;
};

// The list a locked folder got: Administrators and SYSTEM, full control, inherited below.
void expectLockedFolderAcl(const std::string& dacl)
{
    auto* acl = reinterpret_cast<ACL*>(const_cast<char*>(dacl.data()));
    ASSERT_GE(dacl.size(), sizeof(ACL));
    ASSERT_TRUE(IsValidAcl(acl));
    ASSERT_EQ(acl->AceCount, 2);
    const char* expected[] = {kAdministrators, kSystem};
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* ace = nullptr;
        ASSERT_TRUE(GetAce(acl, i, &ace));
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(allowed->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        EXPECT_EQ(allowed->Mask, static_cast<DWORD>(FILE_ALL_ACCESS));
        char* text = nullptr;
        ASSERT_TRUE(ConvertSidToStringSidA(const_cast<DWORD*>(&allowed->SidStart), &text));
        const UniqueLocalBlock textBlock(text);
        EXPECT_STREQ(text, expected[i]);
    }
}

// Staged and locked by an administrator, or owned by SYSTEM: the folder is locked again, used
// and removed.
TEST_F(UpdateTrustTest, AnAdministratorsLockedFolderIsLockedAgainUsedAndRemoved)
{
    for (const char* owner : {"BA", "SY"}) {
        SCOPED_TRACE(owner);
        forgetUpdateFolderVerdicts();
        lockCalls.clear();
        writeFile(std::string(kUpdateDir) + "\\install.cfg", "[CLASS]\nfrom.update\n");
        writeFile(std::string(kUpdateDir) + "\\patch.jar", "jar");
        writeZip(std::string(kUpdateDir) + "\\kp\\zip\\patch.zip", {{"patch.ver", "date=2"}, {"x.txt", "x"}});
        otherPathsDescriptor = std::string(kStagedAndLocked).replace(2, 2, owner);

        const std::string configPath = useUpdateFolder();

        EXPECT_EQ(pathBuf, "PATH=.;C:\\vtupdate;");
        EXPECT_EQ(classPathBuf, "CLASSPATH=C:\\vtupdate\\patch.jar;");
        EXPECT_EQ(configPath, "C:\\vtupdate\\install.cfg");
        EXPECT_EQ(classTable[0], "from.update");
        EXPECT_FALSE(exists(kUpdateDir));
        // The folder first, then every folder and file below it, each on its own and once: the
        // Administrators become the owner, and the list is theirs and SYSTEM's.
        std::vector<std::string> locked;
        for (const LockCall& call : lockCalls) {
            locked.push_back(call.path);
            EXPECT_EQ(call.what, static_cast<SECURITY_INFORMATION>(OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION))
                << call.path;
            EXPECT_EQ(call.owner, kAdministrators) << call.path;
            EXPECT_TRUE(call.isProtected) << call.path;
            expectLockedFolderAcl(call.dacl);
        }
        ASSERT_FALSE(locked.empty());
        EXPECT_EQ(locked.front(), "C:\\VTUPDATE");
        std::sort(locked.begin(), locked.end());
        EXPECT_EQ(locked, (std::vector<std::string>{"C:\\VTUPDATE", "C:\\VTUPDATE\\INSTALL.CFG", "C:\\VTUPDATE\\KP",
                                                    "C:\\VTUPDATE\\KP\\ZIP", "C:\\VTUPDATE\\KP\\ZIP\\PATCH.ZIP",
                                                    "C:\\VTUPDATE\\PATCH.JAR"}));
        EXPECT_EQ(traceText(), "");
    }
}

// From its check to its removal the run holds the folder and everything in it: nothing can be
// renamed, swapped for a link or written meanwhile, and what is removed is what was checked.
TEST_F(UpdateTrustTest, ATrustedFolderIsHeldUntilItIsRemoved)
{
    ASSERT_EQ(updateFolderVerdict(kUpdateDir), UpdateFolderVerdict::trusted);

    EXPECT_FALSE(MoveFileA(kUpdateDir, "C:\\vtupdate-swapped"));
    EXPECT_FALSE(MoveFileA("C:\\vtupdate\\kp", "C:\\vtupdate\\kq"));
    EXPECT_FALSE(MoveFileA("C:\\vtupdate\\patch.jar", "C:\\vtupdate\\other.jar"));
    const UniqueFileHandle writer(CreateFileA("C:\\vtupdate\\patch.jar", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                              nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(writer);
    // A file that comes in after the check is not the folder's.
    writeFile("C:\\vtupdate\\late.cfg", "[CLASS]\nlate\n");
    EXPECT_FALSE(holdUpdateFile(kUpdateDir, "C:\\vtupdate\\late.cfg").has_value());
    EXPECT_TRUE(holdUpdateFile(kUpdateDir, "C:\\vtupdate\\install.cfg").has_value());

    removeUpdateDirectory(kUpdateDir);
    EXPECT_FALSE(exists(kUpdateDir));
    EXPECT_FALSE(exists("C:\\vtupdate-swapped"));
}

TEST_F(UpdateTrustTest, AFolderOthersCanChangeIsIgnoredAndKept)
{
    const std::string user = kUserAccount;
    const std::string userFolder = "O:" + user + "D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + user + ")";
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> permissions;
        std::string line;
        bool locked;
    };
    const Case cases[] = {
        {"an administrator's, as the drive root hands it down", {{kUpdateDir, kInheritedFromTheRoot}},
         "C:\\vtupdate can be changed by S-1-5-11", false},
        {"the user's own, with the owner's full control", {{kUpdateDir, userFolder}},
         "C:\\vtupdate is owned by " + user, false},
        {"the owner's rights to a user", {{kUpdateDir, "O:" + user + "D:P(A;;FA;;;BA)(A;;0x1301bf;;;OW)"}},
         "C:\\vtupdate is owned by " + user, false},
        // The owner can change the list again whenever it likes, and can hold a handle that does
        // so across the lock: a folder a user staged and locked is still the user's.
        {"staged and locked by a user", {{kUpdateDir, std::string(kStagedAndLocked).replace(2, 2, user)}},
         "C:\\vtupdate is owned by " + user, false},
        {"one file of it a user's", {{"C:\\vtupdate\\kp\\zip\\patch.zip", "O:" + user + "D:P(A;;FA;;;BA)(A;;FA;;;SY)"}},
         "C:\\vtupdate\\kp\\zip\\patch.zip is owned by " + user, true},
        {"no list at all", {{kUpdateDir, "O:BA"}},
         "C:\\vtupdate has no permissions list, so anyone can change it", false},
        {"one archive anyone may append to", {{"C:\\vtupdate\\kp\\zip\\patch.zip", "O:BAD:(A;;FA;;;BA)(A;;0x120084;;;WD)"}},
         "C:\\vtupdate\\kp\\zip\\patch.zip can be changed by S-1-1-0", true},
        {"a folder users may add to", {{"C:\\vtupdate\\kp", "O:SYD:P(A;;FA;;;SY)(A;;0x100002;;;BU)"}},
         "C:\\vtupdate\\kp can be changed by S-1-5-32-545", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        forgetUpdateFolderVerdicts();
        lockCalls.clear();
        chosenDescriptors.clear();
        for (const auto& [path, descriptor] : c.permissions)
            choosePermissions(path, descriptor);
        const std::size_t linesBefore = traceText().size();

        const std::string configPath = useUpdateFolder();

        EXPECT_EQ(pathBuf, "PATH=.;");
        EXPECT_EQ(classPathBuf, "CLASSPATH=");
        EXPECT_EQ(configPath, scratch + "kp\\windows\\install.cfg");
        EXPECT_TRUE(exists(std::string(kUpdateDir) + "\\kp\\zip\\patch.zip"));
        // A usable folder is locked before what is below it is looked at.
        EXPECT_EQ(!lockCalls.empty() && lockCalls.front().path == "C:\\VTUPDATE", c.locked);
        EXPECT_EQ(traceText().substr(linesBefore), withCrLf("Update directory C:\\vtupdate is not used: " + c.line + "\n"));
    }
}

// Names the ANSI listing would turn into a separator or into "..": read wide, they are refused
// and never joined, so nothing outside the folder is locked or removed, and the folder stays.
TEST_F(UpdateTrustTest, NamesThatWouldLeadElsewhereRefuseTheFolder)
{
    writeFile("C:\\victim\\sub\\keep.txt", "keep");
    struct Case {
        const wchar_t* name;
        const char* shown;
    };
    for (const Case& c : {Case{L"..\uFF3Cvictim", "..?victim"}, Case{L"C\uFF1A\uFF3Cvictim", "C??victim"},
                          Case{L"\uFF0E\uFF0E", "??"}}) {
        SCOPED_TRACE(c.shown);
        forgetUpdateFolderVerdicts();
        lockCalls.clear();
        const std::wstring planted = std::wstring(L"C:\\kpupdate\\") + c.name;
        ASSERT_TRUE(CreateDirectoryW(L"C:\\kpupdate", nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
        ASSERT_TRUE(CreateDirectoryW(planted.c_str(), nullptr));
        const std::size_t linesBefore = traceText().size();

        removeUpdateDirectory("c:\\kpupdate");

        EXPECT_TRUE(exists("C:\\victim\\sub\\keep.txt"));
        EXPECT_EQ(GetFileAttributesW(planted.c_str()) & FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY);
        for (const LockCall& call : lockCalls)
            EXPECT_EQ(call.path.rfind("C:\\KPUPDATE", 0), 0u) << call.path;
        EXPECT_EQ(traceText().substr(linesBefore),
                  withCrLf(std::string("Update directory c:\\kpupdate is not used: c:\\kpupdate\\") + c.shown +
                           " is a name that leads elsewhere\n"));
        RemoveDirectoryW(planted.c_str());
    }
    removeTree("C:\\kpupdate");
    removeTree("C:\\victim");
}

// A folder absent when the run looked is never removed, whatever stands there at the end (a
// junction a user made meanwhile, say): only its line is written.
TEST_F(UpdateTrustTest, AFolderAbsentAtTheLookIsNotRemovedLater)
{
    const std::string staged = std::string(kUpdateDir) + "\\install.cfg";
    const std::string aside = scratch + "aside";
    ASSERT_TRUE(MoveFileA(kUpdateDir, aside.c_str()));
    EXPECT_EQ(updateFolderVerdict(kUpdateDir), UpdateFolderVerdict::absent);
    ASSERT_TRUE(MoveFileA(aside.c_str(), kUpdateDir));

    removeUpdateDirectory("c:\\vtupdate");

    EXPECT_TRUE(exists(staged));
    EXPECT_TRUE(lockCalls.empty());
    EXPECT_EQ(traceText(), withCrLf("Error removing directory c:\\vtupdate: error code 2 \n"));
}

} // namespace
