#include "staged_updates.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

namespace testing_support {

namespace {

DWORD WINAPI stagedGetSecurityInfo(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION what, PSID* owner, PSID* group,
                                   PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor)
{
    return reportSecurity(kStagedAndLocked, what, owner, group, dacl, sacl, descriptor);
}

} // namespace

DWORD reportSecurity(const char* descriptor, SECURITY_INFORMATION what, PSID* owner, PSID* group, PACL* dacl,
                     PACL* sacl, PSECURITY_DESCRIPTOR* made)
{
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(descriptor, SDDL_REVISION_1, made, nullptr))
        return ERROR_INVALID_PARAMETER;
    BOOL present = FALSE, defaulted = FALSE;
    if ((what & OWNER_SECURITY_INFORMATION) && owner)
        GetSecurityDescriptorOwner(*made, owner, &defaulted);
    if ((what & DACL_SECURITY_INFORMATION) && dacl) {
        // A descriptor without a list reports none, as the system does for a NULL list.
        GetSecurityDescriptorDacl(*made, &present, dacl, &defaulted);
        if (!present)
            *dacl = nullptr;
    }
    if (group)
        *group = nullptr;
    if (sacl)
        *sacl = nullptr;
    return ERROR_SUCCESS;
}

StagedUpdateFolders::StagedUpdateFolders(std::map<std::string, void*> more)
    : standIns_([&] {
          more.emplace("GetSecurityInfo", reinterpret_cast<void*>(&stagedGetSecurityInfo));
          return std::move(more);
      }())
{
}

} // namespace testing_support
