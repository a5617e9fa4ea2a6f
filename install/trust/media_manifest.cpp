#include "media_manifest.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "media_digest.h"
#include "../nt_files.h"
#include "../platform.h"
#include "publisher.h"
#include "signature.h"
#include "../tracelog.h"

namespace {

constexpr char kManifestName[] = "media.manifest";
constexpr char kSignatureName[] = "media.manifest.p7s";
// A manifest of tens of thousands of files is a few megabytes.
constexpr DWORD kLargestManifest = 64 * 1024 * 1024;

constexpr char kUnsignedLine[] = "install.exe is not signed: the media are used without checking them\n";
constexpr char kCannotCheck[] = "this system cannot check signatures, and this install.exe uses nothing unchecked";
constexpr char kVerifiedFormat[] = "The media in %s are as their publisher signed them: %lu files listed\n";
constexpr char kUpdateVerifiedFormat[] = "Update directory %s is as its publisher signed it: %lu files listed\n";
constexpr char kUpdateRefusedFormat[] = "Update directory %s is not used: %s\n";
constexpr char kUnlistedFormat[] = "%s is not in the signed manifest and is not used\n";
constexpr char kMissingFile[] = "%s cannot be read";
constexpr char kNoSignature[] = "%s or its signature cannot be read";
constexpr char kNotVerified[] = "the signature of %s does not verify: %s";
constexpr char kUnreadableManifest[] = "%s line %lu is not \"<SHA-256> <size> <path>\"";
constexpr char kDiffers[] = "%s is not as the signed manifest lists it";
constexpr char kNotListed[] = "%s is not in the signed manifest";
constexpr char kOutside[] = "%s lies outside the signed media";
constexpr char kLinkInTheWay[] = "%s is a link, or cannot be held";

// A folder whose manifest verified: its files by their path below it, in upper case.
struct SignedRoot {
    std::string prefix;
    std::map<std::string, ListedFile> files;
};

struct SignedMediaState {
    bool checked = false;
    bool uncheckable = false;
    std::string certificate;
    std::vector<SignedRoot> roots;
    // The files checked and held, by where they stand on their volume: a file is found again
    // by what it is, not by the text of its path, and checked once per run.
    std::map<FileIdentity, UniqueFileHandle> held;
    // Every folder from a signed folder down to a held file's, by its full path in upper case.
    std::map<std::string, UniqueFileHandle> heldFolders;
    // Where the file system puts each signed folder, in upper case: what lies below it must be
    // found there too.
    std::map<std::string, std::wstring> finalRoots;
    std::optional<std::string> refusal;
};

SignedMediaState state;

void refuse(const std::string& text)
{
    if (!state.refusal)
        state.refusal = text;
}

// The whole file, read on a handle that keeps it from change meanwhile; nothing when it cannot be.
std::optional<std::string> readHeldFile(const std::string& path)
{
    UniqueFileHandle file = createFile(FilePath{path, {}}, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    const DWORD size = file ? GetFileSize(file.get(), nullptr) : INVALID_FILE_SIZE;
    if (size == INVALID_FILE_SIZE || size > kLargestManifest)
        return std::nullopt;
    std::string bytes(size, '\0');
    DWORD got = 0;
    if (size > 0 && (!ReadFile(file.get(), bytes.data(), size, &got, nullptr) || got != size))
        return std::nullopt;
    return bytes;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// One line "<64 hex digits> <decimal size> <path>"; false when it is not one.
bool parseManifestLine(std::string_view line, std::string& path, ListedFile& file)
{
    if (line.size() < 68 || line[64] != ' ')
        return false;
    for (std::size_t i = 0; i < 32; ++i) {
        const int high = hexValue(line[2 * i]), low = hexValue(line[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        file.digest[i] = static_cast<unsigned char>(high << 4 | low);
    }
    std::size_t at = 65;
    file.size = 0;
    for (; at < line.size() && std::isdigit(static_cast<unsigned char>(line[at])); ++at)
        file.size = file.size * 10 + static_cast<unsigned>(line[at] - '0');
    if (at == 65 || at + 1 >= line.size() || line[at] != ' ')
        return false;
    path = toUpperAnsi(line.substr(at + 1));
    return path.front() != '\\' && !contains(path, ":") && !contains(path, "..");
}

} // namespace

std::optional<std::map<std::string, ListedFile>> parseMediaManifest(std::string_view text, const std::string& name,
                                                                    std::string& reason)
{
    std::map<std::string, ListedFile> files;
    unsigned long number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty() || line.front() == '#')
            continue;
        std::string path;
        ListedFile file;
        if (!parseManifestLine(line, path, file) || !files.emplace(path, file).second) {
            reason = formatText(kUnreadableManifest, name.c_str(), number);
            return std::nullopt;
        }
    }
    return files;
}

namespace {

// The verified manifest of folder, or nothing with the reason.
std::optional<SignedRoot> verifyManifest(const std::string& folder, std::string& reason)
{
    const std::string manifestPath = joinPath(folder, kManifestName);
    const std::optional<std::string> manifest = readHeldFile(manifestPath);
    const std::optional<std::string> signature = readHeldFile(joinPath(folder, kSignatureName));
    if (!manifest || !signature) {
        reason = formatText(kNoSignature, manifestPath.c_str());
        return std::nullopt;
    }
    std::string why;
    if (!verifyDetachedSignature(*signature, *manifest, state.certificate, why)) {
        reason = formatText(kNotVerified, manifestPath.c_str(), why.c_str());
        return std::nullopt;
    }
    std::optional<std::map<std::string, ListedFile>> files = parseMediaManifest(*manifest, manifestPath, reason);
    if (!files)
        return std::nullopt;
    std::string prefix = toUpperAnsi(fullPathName(folder));
    if (prefix.empty())
        return std::nullopt;
    if (prefix.back() != '\\')
        prefix += '\\';
    return SignedRoot{std::move(prefix), std::move(*files)};
}

// The root a full path lies below, and its path below it; nothing when it lies below none.
const SignedRoot* rootOf(const std::string& path, std::string& relative)
{
    const std::string full = toUpperAnsi(fullPathName(path));
    for (const SignedRoot& root : state.roots)
        if (full.size() > root.prefix.size() && full.compare(0, root.prefix.size(), root.prefix) == 0) {
            relative = full.substr(root.prefix.size());
            return &root;
        }
    return nullptr;
}

} // namespace

bool verifySignedMedia(const std::string& mediaRoot)
{
    forgetSignedMedia();
    // Decided when the program was built: nothing read at run time turns the check off.
    const std::string_view certificate = publisherCertificate();
    if (certificate.empty()) {
        writeTraceLog("%s", kUnsignedLine);
        return true;
    }
    state.checked = true;
    // The 95 family has no crypt32 message functions, and a program can be made to report it by
    // a compatibility setting its user's own processes may set: a checking build uses nothing.
    if (windowsPlatform() != VER_PLATFORM_WIN32_NT || !cryptMessagesAvailable()) {
        state.uncheckable = true;
        refuse(kCannotCheck);
        return false;
    }
    state.certificate = std::string(certificate);
    std::string reason;
    std::optional<SignedRoot> root = verifyManifest(mediaRoot, reason);
    if (!root) {
        refuse(reason);
        return false;
    }
    writeTraceLog(kVerifiedFormat, mediaRoot.c_str(), static_cast<unsigned long>(root->files.size()));
    state.roots.push_back(std::move(*root));
    return true;
}

bool mediaAreChecked()
{
    return state.checked;
}

bool verifyUpdateManifest(const std::string& folder)
{
    if (!state.checked)
        return true;
    std::string relative;
    if (rootOf(joinPath(folder, kManifestName), relative) && relative == toUpperAnsi(kManifestName))
        return true;
    std::string reason;
    std::optional<SignedRoot> root = verifyManifest(folder, reason);
    if (!root) {
        writeTraceLog(kUpdateRefusedFormat, folder.c_str(), reason.c_str());
        return false;
    }
    writeTraceLog(kUpdateVerifiedFormat, folder.c_str(), static_cast<unsigned long>(root->files.size()));
    state.roots.push_back(std::move(*root));
    return true;
}

namespace {

// Holds each folder from the signed folder prefix (its full path, ending in a backslash) down to
// the one that holds relative, opened as itself (a link is refused, never followed) and shared
// for everything but deleting: none of them can be renamed, removed or swapped for a link while
// the run goes on, so a path checked once leads to the same file for the rest of the run. False,
// with the refusal, when one of them is a link or cannot be held.
// A link can look like a plain folder or file (Wine shows a symbolic link so); where the system
// names the object behind a handle, that name must be the signed folder's, followed by the path
// below it, so that a link anywhere on the way is seen.
bool standsWhereListed(HANDLE handle, const std::string& prefix, const std::string& below)
{
    const std::optional<std::wstring> final = finalPathOf(handle);
    if (!final)
        return true;
    const auto root = state.finalRoots.find(prefix);
    if (root == state.finalRoots.end()) {
        state.finalRoots[prefix] = toUpperWide(*final);
        return below.empty();
    }
    return toUpperWide(*final) == root->second + L"\\" + widenAnsi(below);
}

bool holdFoldersOnTheWay(const std::string& prefix, const std::string& relative)
{
    std::string folder = prefix.substr(0, prefix.size() - 1);
    std::string below;
    for (std::size_t at = 0;;) {
        if (!state.heldFolders.count(folder)) {
            UniqueFileHandle handle(CreateFileA(folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                nullptr, OPEN_EXISTING,
                                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
            BY_HANDLE_FILE_INFORMATION info{};
            if (!handle || !GetFileInformationByHandle(handle.get(), &info) ||
                (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
                !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !standsWhereListed(handle.get(), prefix, below)) {
                refuse(formatText(kLinkInTheWay, folder.c_str()));
                return false;
            }
            state.heldFolders.emplace(folder, std::move(handle));
        }
        const std::size_t slash = relative.find('\\', at);
        if (slash == std::string::npos)
            return true;
        below = relative.substr(0, slash);
        folder = prefix + below;
        at = slash + 1;
    }
}

} // namespace

namespace {

// A file of signed media opened for its check, its digest still to be compared.
struct PendingFile {
    std::string path;
    UniqueFileHandle file;
    FileIdentity identity;
    ListedFile listed;
};

// The first half of a file's check: where it lies, whether it is listed, and its handle, opened
// as itself on a way without links. pending is set when its digest is still to be compared.
MediaFile openForCheck(const std::string& path, std::optional<PendingFile>& pending)
{
    if (!state.checked)
        return MediaFile::unchecked;
    std::string relative;
    const SignedRoot* root = rootOf(path, relative);
    if (!root)
        return MediaFile::unchecked;
    // The manifest and its signature were read and verified whole; they vouch for themselves.
    if (relative == toUpperAnsi(kManifestName) || relative == toUpperAnsi(kSignatureName))
        return MediaFile::held;
    const auto listed = root->files.find(relative);
    if (listed == root->files.end()) {
        writeTraceLog(kUnlistedFormat, path.c_str());
        return MediaFile::unlisted;
    }
    if (!holdFoldersOnTheWay(root->prefix, relative))
        return MediaFile::refused;
    // Shared for reading only: nobody can write, rename or replace the file while it is held,
    // and the open fails while anyone holds it open for writing. A link is opened as the link,
    // and refused: what is checked is the file that stands in the media.
    UniqueFileHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || !GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
        refuse(formatText(kMissingFile, path.c_str()));
        return MediaFile::refused;
    }
    if (!standsWhereListed(file.get(), root->prefix, relative)) {
        refuse(formatText(kLinkInTheWay, path.c_str()));
        return MediaFile::refused;
    }
    const FileIdentity identity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    if (state.held.count(identity))
        return MediaFile::held;
    pending = PendingFile{path, std::move(file), identity, listed->second};
    return MediaFile::held;
}

// The second half: the digest compared with the listing; the file is held from here on.
MediaFile finishCheck(PendingFile& pending, const std::optional<FileDigest>& digest)
{
    if (!digest || digest->size != pending.listed.size || digest->digest != pending.listed.digest) {
        refuse(formatText(kDiffers, pending.path.c_str()));
        return MediaFile::refused;
    }
    state.held.emplace(pending.identity, std::move(pending.file));
    return MediaFile::held;
}

// What a check that the run cannot go on without makes of a file's status.
bool isUsable(MediaFile status, const std::string& path)
{
    switch (status) {
    case MediaFile::held:
        return true;
    case MediaFile::unlisted:
        refuse(formatText(kNotListed, path.c_str()));
        return false;
    case MediaFile::unchecked:
        refuse(formatText(kOutside, path.c_str()));
        return false;
    case MediaFile::refused:
        break;
    }
    return false;
}

} // namespace

MediaFile holdMediaFile(const std::string& path)
{
    std::optional<PendingFile> pending;
    const MediaFile status = openForCheck(path, pending);
    return pending ? finishCheck(*pending, sha256OfFile(pending->file.get())) : status;
}

bool requireMediaFiles(const std::vector<std::string>& paths)
{
    if (!state.checked)
        return true;
    std::vector<PendingFile> pending;
    for (const std::string& path : paths) {
        std::optional<PendingFile> opened;
        if (!isUsable(openForCheck(path, opened), path))
            return false;
        if (opened)
            pending.push_back(std::move(*opened));
    }
    // The digests are computed side by side, one file to a thread, as many threads as the
    // processor runs at once; compared in the order given, so the first file that differs is
    // the one refused, as one by one.
    std::vector<std::optional<FileDigest>> digests(pending.size());
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    const std::size_t threads = std::max<std::size_t>(1, std::min<std::size_t>(system.dwNumberOfProcessors, pending.size()));
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t i = next++; i < pending.size(); i = next++)
            digests[i] = sha256OfFile(pending[i].file.get());
    };
    std::vector<std::thread> helpers;
    for (std::size_t i = 1; i < threads; ++i)
        helpers.emplace_back(work);
    work();
    for (std::thread& helper : helpers)
        helper.join();
    for (std::size_t i = 0; i < pending.size(); ++i)
        if (finishCheck(pending[i], digests[i]) != MediaFile::held)
            return false;
    return true;
}

UniqueFileHandle openCheckedFile(const std::string& path)
{
    // Nothing is opened by its path after this: a file that is absent now is not read, even if
    // it is there a moment later.
    if (!pathExists(path) || !requireMediaFile(path))
        return {};
    UniqueFileHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || !GetFileInformationByHandle(file.get(), &info))
        return {};
    const auto held = state.held.find(FileIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow});
    if (held == state.held.end()) {
        refuse(formatText(kMissingFile, path.c_str()));
        return {};
    }
    // The handle that was checked, read from its start.
    HANDLE duplicate = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), held->second.get(), GetCurrentProcess(), &duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS) ||
        SetFilePointer(duplicate, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
        if (duplicate)
            CloseHandle(duplicate);
        refuse(formatText(kMissingFile, path.c_str()));
        return {};
    }
    return UniqueFileHandle(duplicate);
}

bool requireMediaFile(const std::string& path)
{
    return !state.checked || isUsable(holdMediaFile(path), path);
}

bool requireMediaProgram(const std::string& path, const std::string& commonDirectory)
{
    if (!state.checked)
        return true;
    // The file checked is the file started: a program named without an extension is started
    // as its ".exe", whatever else of that name stands beside it.
    const std::string program = programFile(path);
    std::string relative;
    if (!rootOf(program, relative) && liesBelow(program, commonDirectory))
        return true;
    return requireMediaFile(program);
}

bool liesInSignedFolder(const std::string& path)
{
    std::string relative;
    if (rootOf(path, relative))
        return true;
    // The signed folder itself counts as well as what lies below it.
    const std::string full = toUpperAnsi(fullPathName(path)) + "\\";
    return std::any_of(state.roots.begin(), state.roots.end(), [&](const SignedRoot& root) { return root.prefix == full; });
}

namespace {

// An archive in a folder is read only where something names it (the class path, the archives to
// unpack), and checked there; elsewhere it need only be the media's.
bool isArchiveName(std::string_view name)
{
    const std::string upper = toUpperAnsi(name);
    return upper.ends_with(".ZIP") || upper.ends_with(".JAR");
}

void requireListed(const std::string& path)
{
    std::string relative;
    const SignedRoot* root = rootOf(path, relative);
    if (!root || !root->files.count(relative))
        refuse(formatText(kNotListed, path.c_str()));
}

} // namespace

bool requireFolderFiles(const std::string& folder, bool below)
{
    std::vector<std::string> folders{folder};
    while (!folders.empty() && !state.refusal) {
        const std::string dir = folders.back();
        folders.pop_back();
        forEachDirectoryEntry(
            joinPath(dir, "*"),
            [&](const WIN32_FIND_DATAA& entry) {
                const std::string path = joinPath(dir, entry.cFileName);
                if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    if (below)
                        folders.push_back(path);
                } else if (isArchiveName(entry.cFileName)) {
                    requireListed(path);
                } else {
                    requireMediaFile(path);
                }
            },
            [&](const std::string& name) { refuse(formatText(kNotListed, joinPath(dir, name).c_str())); });
    }
    return !state.refusal;
}

void refuseMedia(const std::string& reason)
{
    refuse(reason);
}

const std::optional<std::string>& mediaRefusal()
{
    return state.refusal;
}

bool mediaCannotBeChecked()
{
    return state.uncheckable;
}

void releaseMediaFiles()
{
    state.held.clear();
    state.heldFolders.clear();
    state.finalRoots.clear();
}

void forgetSignedMedia()
{
    state = SignedMediaState{};
}
