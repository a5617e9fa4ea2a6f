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
#include "install/update_trust.h"
#include "pe_image.h"
#include "testing.h"
#include "trace_log_fixture.h"
#include "zip_writer.h"

using namespace testing_support;

namespace {

constexpr char kUpdateDir[] = "C:\\vtupdate";
constexpr char kAdministrators[] = "S-1-5-32-544";
constexpr char kSystem[] = "S-1-5-18";
constexpr char kOtherUser[] = "S-1-5-21-1111-2222-3333-1001";

// Stand-ins for the security functions install looks up in ADVAPI32. Wine cannot make a file
// that another account owns, so each path reports the owner its test chose (the real answer,
// the account running the tests, for any other path), and a lock is recorded, not made.
struct LockCall {
    std::string path;
    SECURITY_INFORMATION what = 0;
    bool isProtected = false;
    std::string dacl;
};
std::map<std::string, std::string> chosenOwners;
std::vector<LockCall> lockCalls;
// The path of an open file as the tests name it: upper case.
std::string upperPathOfHandle(HANDLE handle)
{
    std::string text = pathOfHandle(handle);
    CharUpperBuffA(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

DWORD WINAPI standInGetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION what, PSID* owner,
                                    PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor)
{
    const auto chosen = chosenOwners.find(upperPathOfHandle(handle));
    if (chosen == chosenOwners.end() || what != OWNER_SECURITY_INFORMATION || group || dacl || sacl)
        return GetSecurityInfo(handle, type, what, owner, group, dacl, sacl, descriptor);
    // A self-relative descriptor holding the owner alone, in one block the caller frees with
    // LocalFree, as the system gives it.
    PSID sid = nullptr;
    ConvertStringSidToSidA(chosen->second.c_str(), &sid);
    const UniqueLocalBlock sidBlock(sid);
    const DWORD sidLength = GetLengthSid(sid);
    auto* block = static_cast<BYTE*>(LocalAlloc(LPTR, sizeof(SECURITY_DESCRIPTOR_RELATIVE) + sidLength));
    auto* relative = reinterpret_cast<SECURITY_DESCRIPTOR_RELATIVE*>(block);
    relative->Revision = SECURITY_DESCRIPTOR_REVISION;
    relative->Control = SE_SELF_RELATIVE;
    relative->Owner = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
    CopySid(sidLength, block + relative->Owner, sid);
    *owner = block + relative->Owner;
    *descriptor = block;
    return ERROR_SUCCESS;
}

BOOL WINAPI standInSetKernelObjectSecurity(HANDLE handle, SECURITY_INFORMATION what, PSECURITY_DESCRIPTOR descriptor)
{
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    lockCalls.push_back({upperPathOfHandle(handle), what, (control & SE_DACL_PROTECTED) != 0,
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
        chosenOwners.clear();
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

    void chooseOwner(const std::string& path, const char* sid)
    {
        std::string key = path;
        CharUpperBuffA(key.data(), static_cast<DWORD>(key.size()));
        chosenOwners[key] = sid;
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

TEST_F(UpdateTrustTest, AdministratorsFolderIsLockedOnceThenUsedAndRemoved)
{
    chooseOwner(kUpdateDir, kAdministrators);

    const std::string configPath = useUpdateFolder();

    EXPECT_EQ(pathBuf, "PATH=.;C:\\vtupdate;");
    EXPECT_EQ(classPathBuf, "CLASSPATH=C:\\vtupdate\\patch.jar;");
    EXPECT_EQ(configPath, "C:\\vtupdate\\install.cfg");
    EXPECT_EQ(classTable[0], "from.update");
    EXPECT_FALSE(exists(kUpdateDir));
    // The folder first, then every folder and file below it, each on its own and once.
    std::vector<std::string> locked;
    for (const LockCall& call : lockCalls) {
        locked.push_back(call.path);
        EXPECT_EQ(call.what, static_cast<SECURITY_INFORMATION>(DACL_SECURITY_INFORMATION)) << call.path;
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

TEST_F(UpdateTrustTest, FolderWithAnythingOfAnotherUserIsIgnoredAndKept)
{
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, const char*>> owners;
        const char* line;
        bool locked;
    };
    const Case cases[] = {
        {"the folder", {{kUpdateDir, kOtherUser}},
         "Update directory C:\\vtupdate is not used: C:\\vtupdate is owned by S-1-5-21-1111-2222-3333-1001\n", false},
        {"one archive", {{kUpdateDir, kAdministrators}, {"C:\\vtupdate\\kp\\zip\\patch.zip", kOtherUser}},
         "Update directory C:\\vtupdate is not used: C:\\vtupdate\\kp\\zip\\patch.zip is owned by "
         "S-1-5-21-1111-2222-3333-1001\n",
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        forgetUpdateFolderVerdicts();
        lockCalls.clear();
        chosenOwners.clear();
        for (const auto& [path, sid] : c.owners)
            chooseOwner(path, sid);
        const std::size_t linesBefore = traceText().size();

        const std::string configPath = useUpdateFolder();

        EXPECT_EQ(pathBuf, "PATH=.;");
        EXPECT_EQ(classPathBuf, "CLASSPATH=");
        EXPECT_EQ(configPath, scratch + "kp\\windows\\install.cfg");
        EXPECT_TRUE(exists(std::string(kUpdateDir) + "\\kp\\zip\\patch.zip"));
        // An administrator's folder is locked before what is below it is looked at.
        EXPECT_EQ(!lockCalls.empty() && lockCalls.front().path == "C:\\VTUPDATE", c.locked);
        EXPECT_EQ(traceText().substr(linesBefore), withCrLf(c.line));
    }
}

// A folder absent when the run looked is never removed, whatever stands there at the end (a
// junction a user made meanwhile, say): only its line is written.
TEST_F(UpdateTrustTest, AFolderAbsentAtTheLookIsNotRemovedLater)
{
    chooseOwner(kUpdateDir, kAdministrators);
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
