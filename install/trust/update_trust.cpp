#include "update_trust.h"

#include <windows.h>

#include <aclapi.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <map>
#include <vector>

#include "../nt_files.h"
#include "media_manifest.h"
#include "../tracelog.h"

namespace {

constexpr char kCannotOpenFormat[] = "Update directory %s is not used: %s cannot be opened to check it (error %lu)\n";
constexpr char kLinkFormat[] = "Update directory %s is not used: %s is a link\n";
constexpr char kSecondNameFormat[] = "Update directory %s is not used: %s has more than one name\n";
constexpr char kNotFolderFormat[] = "Update directory %s is not used: %s is not a folder\n";
constexpr char kChangeableFormat[] = "Update directory %s is not used: %s can be changed by %s\n";
constexpr char kOwnedFormat[] = "Update directory %s is not used: %s is owned by %s\n";
constexpr char kAnyoneFormat[] = "Update directory %s is not used: %s has no permissions list, so anyone can change it\n";
constexpr char kUnreadablePermissionFormat[] =
    "Update directory %s is not used: %s has a permission of a kind install cannot read\n";
constexpr char kPermissionsUnknownFormat[] =
    "Update directory %s is not used: the permissions of %s cannot be read (error %lu)\n";
constexpr char kNoSecurityFormat[] = "Update directory %s is not used: this system cannot tell who may change it\n";
constexpr char kRefusedNameFormat[] = "Update directory %s is not used: %s\\%s is a name that leads elsewhere\n";
constexpr char kCannotLockFormat[] = "Update directory %s is not used: %s cannot be locked (error %lu)\n";
constexpr char kLateFileFormat[] = "%s came into update directory %s after its check and is not used\n";

constexpr char kAdvapiLibrary[] = "advapi32.dll";
// The object itself, a link included, and a folder as well as a file.
constexpr DWORD kOpenUnfollowed = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
constexpr DWORD kLockAccess = GENERIC_READ | WRITE_DAC | WRITE_OWNER;

using GetSecurityInfoFunction = DWORD(WINAPI*)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*, PACL*,
                                               PACL*, PSECURITY_DESCRIPTOR*);
using SetKernelObjectSecurityFunction = BOOL(WINAPI*)(HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR);

// Looked up, never imported: the 95 family's ADVAPI32 lacks them, and an import it cannot
// satisfy would keep install.exe from starting there.
struct SecurityFunctions {
    GetSecurityInfoFunction getSecurityInfo;
    SetKernelObjectSecurityFunction setKernelObjectSecurity;
};

// What may change an entry: write or append its data (for a folder, add files or folders),
// delete it or what is in it, change its permissions or take it over.
constexpr ACCESS_MASK kChangingAccess = FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | FILE_DELETE_CHILD | WRITE_DAC |
                                        WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// A SID in storage of our own, built for a well-known account: the SIDs and the list below are
// made by hand, so they need nothing the system has to give back and no helper that NT 4 lacks.
using Sid = std::vector<DWORD>;

// A folder judged in this run: its verdict and, when trusted, its handle and those of every entry
// below it, held from the check to the end of the run, shared for reading only: nobody can
// change, rename, replace or delete what install uses, and the folder stays where it was.
struct JudgedFolder {
    UpdateFolderVerdict verdict = UpdateFolderVerdict::absent;
    UniqueFileHandle root;
    std::map<std::string, UniqueFileHandle> entries;
};

struct TrustCheck {
    const std::string& folder;
    const SecurityFunctions& security;
    // Where the handles of checked entries go, by their full path in upper case.
    std::map<std::string, UniqueFileHandle>* held = nullptr;
    // Those who may change what install uses.
    std::vector<Sid> administrators;
    // The descriptor every entry gets when it is locked.
    SECURITY_DESCRIPTOR locked;
    std::vector<DWORD> lockedAcl;
};

std::map<std::string, JudgedFolder> judgedFolders;

std::optional<SecurityFunctions> lookUpSecurityFunctions()
{
    // install imports ADVAPI32 for the registry, so it is loaded already.
    const HMODULE advapi = GetModuleHandleA(kAdvapiLibrary);
    const SecurityFunctions functions{
        resolveFunction<GetSecurityInfoFunction>(advapi, "GetSecurityInfo"),
        resolveFunction<SetKernelObjectSecurityFunction>(advapi, "SetKernelObjectSecurity"),
    };
    if (!advapi || !functions.getSecurityInfo || !functions.setKernelObjectSecurity)
        return std::nullopt;
    return functions;
}

std::size_t sidBytes(PSID sid)
{
    return offsetof(SID, SubAuthority) + static_cast<const SID*>(sid)->SubAuthorityCount * sizeof(DWORD);
}

// A SID of the NT authority: S-1-5 followed by the sub-authorities.
Sid ntAuthoritySid(std::initializer_list<DWORD> subAuthorities)
{
    Sid sid(offsetof(SID, SubAuthority) / sizeof(DWORD) + subAuthorities.size());
    auto* header = reinterpret_cast<SID*>(sid.data());
    header->Revision = SID_REVISION;
    header->SubAuthorityCount = static_cast<BYTE>(subAuthorities.size());
    header->IdentifierAuthority = SECURITY_NT_AUTHORITY;
    std::memcpy(header->SubAuthority, subAuthorities.begin(), subAuthorities.size() * sizeof(DWORD));
    return sid;
}

const Sid& administratorsSid()
{
    static const Sid sid = ntAuthoritySid({SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
    return sid;
}

const Sid& systemSid()
{
    static const Sid sid = ntAuthoritySid({SECURITY_LOCAL_SYSTEM_RID});
    return sid;
}

const Sid& trustedInstallerSid()
{
    static const Sid sid =
        ntAuthoritySid({SECURITY_SERVICE_ID_BASE_RID, 956008885, 3418522649, 1831038044, 1853292631, 2271478464});
    return sid;
}

bool isSameSid(PSID sid, const Sid& other)
{
    return sidBytes(sid) == other.size() * sizeof(DWORD) && std::memcmp(sid, other.data(), sidBytes(sid)) == 0;
}

// The SID as Windows writes it, S-1-5-21-...
std::string sidText(PSID sid)
{
    const auto* header = static_cast<const SID*>(sid);
    unsigned long long authority = 0;
    for (const BYTE part : header->IdentifierAuthority.Value)
        authority = (authority << 8) | part;
    std::string text = "S-";
    text.append(std::to_string(header->Revision)).append("-").append(std::to_string(authority));
    for (BYTE i = 0; i < header->SubAuthorityCount; ++i)
        text.append("-").append(std::to_string(header->SubAuthority[i]));
    return text;
}

// The protected list a locked folder and everything below it gets: Administrators and SYSTEM,
// full control, inherited by whatever an administrator adds later.
std::vector<DWORD> lockedFolderAcl()
{
    const auto aceBytes = [](const Sid& sid) {
        return offsetof(ACCESS_ALLOWED_ACE, SidStart) + sid.size() * sizeof(DWORD);
    };
    const std::size_t bytes = sizeof(ACL) + aceBytes(administratorsSid()) + aceBytes(systemSid());
    std::vector<DWORD> storage(bytes / sizeof(DWORD));
    auto* acl = reinterpret_cast<ACL*>(storage.data());
    acl->AclRevision = ACL_REVISION;
    acl->AclSize = static_cast<WORD>(bytes);
    acl->AceCount = 2;
    auto* next = reinterpret_cast<BYTE*>(acl + 1);
    for (const Sid* sid : {&administratorsSid(), &systemSid()}) {
        auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(next);
        ace->Header.AceType = ACCESS_ALLOWED_ACE_TYPE;
        ace->Header.AceFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
        ace->Header.AceSize = static_cast<WORD>(aceBytes(*sid));
        ace->Mask = FILE_ALL_ACCESS;
        std::memcpy(&ace->SidStart, sid->data(), sid->size() * sizeof(DWORD));
        next += ace->Header.AceSize;
    }
    return storage;
}

// S-1-3-4, which stands for whoever owns the entry.
bool isOwnerRightsSid(PSID sid)
{
    const auto* header = static_cast<const SID*>(sid);
    constexpr SID_IDENTIFIER_AUTHORITY kCreatorAuthority = SECURITY_CREATOR_SID_AUTHORITY;
    return header->SubAuthorityCount == 1 && header->SubAuthority[0] == 4 &&
           std::memcmp(&header->IdentifierAuthority, &kCreatorAuthority, sizeof(kCreatorAuthority)) == 0;
}

bool isAdministrator(const TrustCheck& check, PSID sid)
{
    return std::any_of(check.administrators.begin(), check.administrators.end(),
                       [&](const Sid& trusted) { return isSameSid(sid, trusted); });
}

// Whether the entry belongs to the administrators and its permissions let nobody else change
// it. The owner can always change the permissions, whatever they say, and can hold a handle
// that does so across install's lock: an entry any other account owns was staged by that
// account. Of the list only what it grants counts; refusals in it are not weighed, which can
// only refuse more.
bool onlyAdministratorsCanChange(const TrustCheck& check, HANDLE handle, const std::string& path)
{
    PSID owner = nullptr;
    PACL dacl = nullptr;
    UniqueLocalBlock descriptor;
    const DWORD error =
        check.security.getSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                       &owner, nullptr, &dacl, nullptr, descriptor.put());
    if (error != ERROR_SUCCESS) {
        writeTraceLog(kPermissionsUnknownFormat, check.folder.c_str(), path.c_str(), error);
        return false;
    }
    if (!owner || !isAdministrator(check, owner)) {
        writeTraceLog(kOwnedFormat, check.folder.c_str(), path.c_str(), owner ? sidText(owner).c_str() : "nobody");
        return false;
    }
    if (!dacl) {
        writeTraceLog(kAnyoneFormat, check.folder.c_str(), path.c_str());
        return false;
    }
    const BYTE* next = reinterpret_cast<const BYTE*>(dacl + 1);
    const BYTE* const end = reinterpret_cast<const BYTE*>(dacl) + dacl->AclSize;
    for (WORD i = 0; i < dacl->AceCount; ++i) {
        const auto* header = reinterpret_cast<const ACE_HEADER*>(next);
        if (next + sizeof(ACE_HEADER) > end || header->AceSize < sizeof(ACE_HEADER) || next + header->AceSize > end) {
            writeTraceLog(kUnreadablePermissionFormat, check.folder.c_str(), path.c_str());
            return false;
        }
        next += header->AceSize;
        // A permission only for what is created below applies to nothing that is there; the
        // lock replaces it before anything can be.
        if (header->AceFlags & INHERIT_ONLY_ACE)
            continue;
        const bool grants = header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
        const bool grantsForObjects = header->AceType == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
                                      header->AceType == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE ||
                                      header->AceType == ACCESS_ALLOWED_COMPOUND_ACE_TYPE;
        if (!grants && !grantsForObjects)
            continue;
        const auto* allowed = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
        if (!(allowed->Mask & kChangingAccess))
            continue;
        if (grantsForObjects || header->AceSize < offsetof(ACCESS_ALLOWED_ACE, SidStart) + offsetof(SID, SubAuthority)) {
            writeTraceLog(kUnreadablePermissionFormat, check.folder.c_str(), path.c_str());
            return false;
        }
        PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        if (offsetof(ACCESS_ALLOWED_ACE, SidStart) + sidBytes(sid) > header->AceSize) {
            writeTraceLog(kUnreadablePermissionFormat, check.folder.c_str(), path.c_str());
            return false;
        }
        if (isOwnerRightsSid(sid) && owner)
            sid = owner;
        if (!isAdministrator(check, sid)) {
            writeTraceLog(kChangeableFormat, check.folder.c_str(), path.c_str(), sidText(sid).c_str());
            return false;
        }
    }
    return true;
}

// Opens path itself, shared for reading only, and checks that it is no link, has no second
// name and that only administrators can change it; nothing, with its line, otherwise. The open fails while
// anyone else holds the entry open for writing, renaming or deleting, and while it is held
// nobody can.
UniqueFileHandle openTrustedEntry(const TrustCheck& check, const std::string& path, DWORD access,
                                  BY_HANDLE_FILE_INFORMATION& info, const char* cannotOpenFormat)
{
    UniqueFileHandle entry(
        CreateFileA(path.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING, kOpenUnfollowed, nullptr));
    if (!entry || !GetFileInformationByHandle(entry.get(), &info)) {
        writeTraceLog(cannotOpenFormat, check.folder.c_str(), path.c_str(), GetLastError());
        return {};
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        writeTraceLog(kLinkFormat, check.folder.c_str(), path.c_str());
        return {};
    }
    // A file's other name may stand where anyone can reach it.
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && info.nNumberOfLinks > 1) {
        writeTraceLog(kSecondNameFormat, check.folder.c_str(), path.c_str());
        return {};
    }
    if (!onlyAdministratorsCanChange(check, entry.get(), path))
        return {};
    return entry;
}

bool checkEntries(const TrustCheck& check, const std::string& dir, HANDLE held);

// Gives the entry the locked list, and the Administrators as its owner, on the handle it was
// checked through: no other account keeps the owner's right to change the list. The list is set on that
// object alone: nothing is carried on to what lies below, so no link that a user planted can
// lead the change out of the tree; each entry below is locked in its own turn.
bool lockEntry(const TrustCheck& check, HANDLE entry, const std::string& path)
{
    if (check.security.setKernelObjectSecurity(entry, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                               const_cast<SECURITY_DESCRIPTOR*>(&check.locked)))
        return true;
    writeTraceLog(kCannotLockFormat, check.folder.c_str(), path.c_str(), GetLastError());
    return false;
}

// Checks an entry and locks it before it looks below it: once a folder is locked nobody else
// can add to it, so its listing is complete. A folder stays open while its entries are checked,
// so that it cannot be renamed meanwhile.
bool checkEntry(const TrustCheck& check, const std::string& path)
{
    BY_HANDLE_FILE_INFORMATION info{};
    UniqueFileHandle entry = openTrustedEntry(check, path, kLockAccess, info, kCannotOpenFormat);
    if (!entry || !lockEntry(check, entry.get(), path))
        return false;
    const HANDLE held = entry.get();
    (*check.held)[toUpperAnsi(fullPathName(path))] = std::move(entry);
    // The lock changes permissions, nothing else. Where a system keeps the read-only mark in the
    // same bits as the permissions (Wine's files do), a new list can clear it; it is put back.
    constexpr DWORD kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesA(path.c_str(), info.dwFileAttributes & kSettable);
    return !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || checkEntries(check, path, held);
}

// The folder is held open, not shared for deleting, while its entries are checked: it cannot be
// renamed or replaced, so each checked name, which holds no separator, stays below it.
// The folder's entries are listed through the handle it was checked on (held): the listing is of
// that folder, whatever its name leads to meanwhile.
bool checkEntries(const TrustCheck& check, const std::string& dir, HANDLE held)
{
    bool trusted = true;
    const auto refuseName = [&](const std::string& name) {
        if (trusted)
            writeTraceLog(kRefusedNameFormat, check.folder.c_str(), dir.c_str(), name.c_str());
        trusted = false;
    };
    if (!ntFilesAvailable()) {
        forEachDirectoryEntry(
            joinPath(dir, "*"),
            [&](const WIN32_FIND_DATAA& found) { trusted = trusted && checkEntry(check, joinPath(dir, found.cFileName)); },
            refuseName);
        return trusted;
    }
    DWORD error = ERROR_SUCCESS;
    const std::optional<std::vector<FolderEntry>> entries = listFolder(held, error);
    if (!entries) {
        writeTraceLog(kCannotOpenFormat, check.folder.c_str(), dir.c_str(), error);
        return false;
    }
    for (const FolderEntry& entry : *entries) {
        const std::optional<std::string> name = exactAnsiText(entry.name);
        if (!name || name->find_first_of("\\/:") != std::string::npos)
            refuseName(ansiTextForTrace(entry.name));
        else
            trusted = trusted && checkEntry(check, joinPath(dir, *name));
        if (!trusted)
            return false;
    }
    return true;
}

// What checking the folder needs; the check holds the locked descriptor, which points into it,
// so it stays where it was made.
void prepareTrustCheck(TrustCheck& check)
{
    check.administrators = {administratorsSid(), systemSid(), trustedInstallerSid()};
    check.lockedAcl = lockedFolderAcl();
    check.locked = SECURITY_DESCRIPTOR{};
    check.locked.Revision = SECURITY_DESCRIPTOR_REVISION;
    check.locked.Control = SE_DACL_PRESENT | SE_DACL_PROTECTED;
    check.locked.Dacl = reinterpret_cast<PACL>(check.lockedAcl.data());
    check.locked.Owner = const_cast<DWORD*>(administratorsSid().data());
}

// Lock first, then verify, from the top down: once a folder is locked nobody but an
// administrator can add to it or change it, so what the walk finds is what install will use.
// Everything checked stays held in judged, and is let go of at once when the folder is refused.
void checkUpdateFolder(const std::string& folder, JudgedFolder& judged)
{
    judged.verdict = UpdateFolderVerdict::refused;
    if (!pathExists(folder)) {
        judged.verdict = UpdateFolderVerdict::absent;
        return;
    }
    const std::optional<SecurityFunctions> security = lookUpSecurityFunctions();
    if (!security) {
        writeTraceLog(kNoSecurityFormat, folder.c_str());
        return;
    }
    TrustCheck check{folder, *security, &judged.entries, {}, {}, {}};
    prepareTrustCheck(check);
    BY_HANDLE_FILE_INFORMATION info{};
    judged.root = openTrustedEntry(check, folder, kLockAccess, info, kCannotOpenFormat);
    if (!judged.root)
        return;
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        writeTraceLog(kNotFolderFormat, folder.c_str(), folder.c_str());
        judged.root.reset();
        return;
    }
    if (lockEntry(check, judged.root.get(), folder) && checkEntries(check, folder, judged.root.get())) {
        judged.verdict = UpdateFolderVerdict::trusted;
        return;
    }
    judged.entries.clear();
    judged.root.reset();
}

bool isNinetyFiveFamily()
{
    return windowsPlatform() == VER_PLATFORM_WIN32_WINDOWS;
}

} // namespace

UpdateFolderVerdict updateFolderVerdict(const std::string& folder)
{
    if (isNinetyFiveFamily())
        return pathExists(folder) ? UpdateFolderVerdict::trusted : UpdateFolderVerdict::absent;
    const std::string key = toUpperAnsi(folder);
    if (const auto judged = judgedFolders.find(key); judged != judgedFolders.end())
        return judged->second.verdict;
    // An absent folder stays absent for the run: one that appears later (a junction a user made
    // meanwhile, say) is never used, let alone removed.
    JudgedFolder& judged = judgedFolders[key];
    checkUpdateFolder(folder, judged);
    // A signed install also asks the folder's own signed manifest.
    if (judged.verdict == UpdateFolderVerdict::trusted && !verifyUpdateManifest(folder)) {
        judged = JudgedFolder{};
        judged.verdict = UpdateFolderVerdict::refused;
    }
    return judged.verdict;
}

std::optional<UniqueFileHandle> holdUpdateFile(const std::string& folder, const std::string& file)
{
    if (isNinetyFiveFamily())
        return UniqueFileHandle();
    if (!isTrustedUpdateFolder(folder))
        return std::nullopt;
    // Everything below a trusted folder was checked and has been held since: a file that is not
    // among it came later and is not used.
    const JudgedFolder& judged = judgedFolders[toUpperAnsi(folder)];
    const auto held = judged.entries.find(toUpperAnsi(fullPathName(file)));
    if (held == judged.entries.end()) {
        writeTraceLog(kLateFileFormat, file.c_str(), folder.c_str());
        return std::nullopt;
    }
    HANDLE duplicate = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), held->second.get(), GetCurrentProcess(), &duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return std::nullopt;
    return UniqueFileHandle(duplicate);
}

void releaseUpdateFolder(const std::string& folder)
{
    const auto judged = judgedFolders.find(toUpperAnsi(folder));
    if (judged == judgedFolders.end())
        return;
    judged->second.entries.clear();
    judged->second.root.reset();
}

void forgetUpdateFolderVerdicts()
{
    judgedFolders.clear();
}
