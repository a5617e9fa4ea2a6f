// Update folders as an administrator stages them: locked, so that only administrators can
// change what is in them. Wine keeps no permissions of its own: it makes them up from the
// Unix mode, with the account running the tests as owner and full control, which install
// rightly refuses. For the life of the object, install's look-up of GetSecurityInfo in this
// program hands out one that reports every file and folder as staged and locked.
#pragma once

#include "pe_image.h"

namespace testing_support {

// The permissions an administrator leaves with icacls: a protected list, full control for the
// Administrators and SYSTEM, reading for users.
inline constexpr char kStagedAndLocked[] =
    "O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)";

class StagedUpdateFolders {
public:
    // more: further look-ups to stand in for, by name.
    explicit StagedUpdateFolders(std::map<std::string, void*> more = {});

private:
    LookupStandIns standIns_;
};

// The stand-in itself: what GetSecurityInfo gives for descriptor, in the system's notation, as
// one block the caller frees with LocalFree.
DWORD reportSecurity(const char* descriptor, SECURITY_INFORMATION what, PSID* owner, PSID* group, PACL* dacl,
                     PACL* sacl, PSECURITY_DESCRIPTOR* made);

} // namespace testing_support
