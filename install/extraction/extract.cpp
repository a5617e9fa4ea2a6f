#include "extract.h"

#include <optional>
#include <vector>

#include <unzip.h>

#include "../../common/unzip_owners.h"
#include "../globals.h"
#include "../trust/media_manifest.h"
#include "../platform.h"
#include "../registry.h"
#include "../tracelog.h"
#include "../trust/update_trust.h"
#include "archive_reader.h"
#include "entry_walk.h"
#include "extract_timing.h"
#include "version_records.h"

namespace {

constexpr char kCannotOpenFormat[] = "Zip file could not be opened %s\n";
constexpr char kSkippingFormat[] = "Skipping unzipping of zipFile %s \n";
constexpr char kIncompleteFormat[] = "Zip file %s was not unpacked completely; no version file is written\n";
constexpr char kListedDirectoryFormat[] = "Directory %s of a listed zip file cannot be entered\n";

constexpr char kRuntimeArchive[] = "kp\\windows\\jre.zip";
constexpr char kUpdateZipDir[] = "c:\\vtupdate\\kp\\zip";
constexpr char kUpdateDir[] = "c:\\vtupdate";
constexpr char kArchivePattern[] = "*.zip";

// The archive file's last-modification time in seconds since 1970, or 0.
long fileModificationStamp(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    ULARGE_INTEGER time;
    time.LowPart = data.ftLastWriteTime.dwLowDateTime;
    time.HighPart = data.ftLastWriteTime.dwHighDateTime;
    constexpr unsigned long long kUnixEpoch = 116444736000000000ULL;
    if (time.QuadPart < kUnixEpoch)
        return 0;
    return static_cast<long>((time.QuadPart - kUnixEpoch) / 10000000ULL);
}

// The archives of the current folder, by the names that lead nowhere else.
void listArchives(std::vector<std::string>& archives)
{
    forEachDirectoryEntry(
        kArchivePattern, [&](const WIN32_FIND_DATAA& entry) { archives.emplace_back(entry.cFileName); },
        [](const std::string& name) { writeRefusedNameLine(kArchivePattern, name); });
}

// The full path of an archive named relative to the current directory, for the message that
// asks the user to mend the media.
std::string damagedArchive(const std::string& archive)
{
    return joinPath(currentDirectory(), archive);
}

// The archive opened for reading as it stands (a link at its name is not followed on the NT
// family), shared for reading only so that nobody changes it while it is read; empty when it is
// not there or cannot be read.
UniqueFileHandle openArchiveFile(const std::string& path)
{
    const DWORD flags = FILE_FLAG_SEQUENTIAL_SCAN |
                        (windowsPlatform() == VER_PLATFORM_WIN32_NT ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    return UniqueFileHandle(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, flags, nullptr));
}

// The archive's stamp, from its version entry or else its file's time, and whether its version
// record in destinationDir says it is to be unpacked; nothing when it cannot be opened.
struct ArchiveStamp {
    std::string versionName;
    long stamp = 0;
    bool current = false;
};

std::optional<ArchiveStamp> stampOf(unzFile zip, const std::string& archivePath, const std::string& destinationDir)
{
    ArchiveStamp found{versionFileName(archivePath), 0, false};
    found.stamp = readVersionEntry(zip, found.versionName);
    if (found.stamp == 0)
        found.stamp = fileModificationStamp(archivePath);
    const int compared = compareVersionFile(destinationDir, found.versionName, found.stamp);
    found.current = compared == 0 || compared == 1;
    return found;
}

// Checks, before anything is unpacked, every archive the run will unpack from signed media or a
// signed update folder, so that one that is not as signed stops the run before the first
// archive is unpacked; their digests are computed side by side. An archive whose version record
// is current is not unpacked, so it is not read whole either. What passes stays held, and is not
// read again when its turn comes.
void checkArchivesBeforeUnpacking(const std::string& runtimeDir, const std::string& productDir)
{
    std::vector<std::string> unpacked;
    const auto consider = [&](const std::string& archive, const std::string& destinationDir) {
        const UniqueFileHandle file = openArchiveFile(archive);
        if (!file)
            return;
        const ArchiveFile opened(file.get());
        const UniqueZipArchive zip = openZipArchive(opened);
        const std::optional<ArchiveStamp> stamp =
            zip ? stampOf(zip.get(), archive, destinationDir) : std::optional<ArchiveStamp>();
        if (!stamp || !stamp->current)
            unpacked.push_back(archive);
    };
    const auto considerFolder = [&](const std::string& folder) {
        forEachDirectoryEntry(
            joinPath(folder, kArchivePattern),
            [&](const WIN32_FIND_DATAA& entry) { consider(joinPath(folder, entry.cFileName), productDir); },
            [](const std::string&) {});
    };
    const std::string cwd = currentDirectory();
    consider(joinPath(cwd, kRuntimeArchive), runtimeDir);
    if (zipNameTable[0].empty())
        considerFolder(joinPath(cwd, "kp\\zip"));
    for (std::size_t slot = 0; slot < kZipSlots && !zipNameTable[slot].empty(); ++slot)
        consider(joinPath(zipDirTable[slot].empty() ? cwd : joinPath(cwd, zipDirTable[slot]), zipNameTable[slot]),
                 productDir);
    if (isTrustedUpdateFolder(kUpdateDir) && isDirectory(kUpdateZipDir))
        considerFolder(kUpdateZipDir);
    requireMediaFiles(unpacked);
}

} // namespace

std::optional<std::string> extractArchives()
{
    std::string base;
    if (std::optional<std::string> commonFiles = getCommonFilesDir()) {
        base = std::move(*commonFiles);
    } else {
        base = windowsDrive();
        for (const char* level : {"\\Program Files", "\\COMMON FILES", "\\bravik"}) {
            base += level;
            createDirectoryIfMissing(base);
        }
    }
    createDirectoryIfMissing(base);
    if (base.back() != '\\')
        base += '\\';

    const std::string runtimeDir = base + "jre";
    const std::string productDir = base + "kp";
    if (mediaAreChecked()) {
        checkArchivesBeforeUnpacking(runtimeDir, productDir);
        if (mediaRefusal())
            return std::nullopt;
    }
    createDirectoryIfMissing(runtimeDir);
    if (!extractArchive(kRuntimeArchive, runtimeDir))
        return damagedArchive(kRuntimeArchive);

    createDirectoryIfMissing(productDir);
    const std::optional<std::string> damaged =
        !zipNameTable[0].empty() ? extractListedArchives(productDir) : extractZipDirectory(productDir);
    if (damaged)
        return damaged;

    if (!isTrustedUpdateFolder(kUpdateDir) || !isDirectory(kUpdateZipDir))
        return std::nullopt;
    const CurrentDirectoryGuard back;
    // Entering c:\vtupdate\kp\zip also makes drive C the current drive.
    if (!changeDirectory(kUpdateZipDir))
        return std::nullopt;
    std::vector<std::string> archives;
    listArchives(archives);
    for (const std::string& archive : archives) {
        // Each archive is held against change while it is unpacked; once one cannot be, the
        // folder is refused and the rest are left where they are.
        const std::optional<UniqueFileHandle> held = holdUpdateFile(kUpdateDir, joinPath(kUpdateZipDir, archive));
        if (!held)
            return std::nullopt;
        if (!extractArchive(archive, productDir))
            return damagedArchive(archive);
    }
    return std::nullopt;
}

std::optional<std::string> extractZipDirectory(const std::string& destinationDir)
{
    const CurrentDirectoryGuard back;
    // Without kp\zip there is nothing to unpack; the directory that happens to be current is
    // never searched instead.
    if (!changeDirectory("kp\\zip"))
        return std::nullopt;
    std::vector<std::string> archives;
    listArchives(archives);
    for (const std::string& archive : archives)
        if (!extractArchive(archive, destinationDir))
            return damagedArchive(archive);
    return std::nullopt;
}

std::optional<std::string> extractListedArchives(const std::string& destinationDir)
{
    const std::string cwd = currentDirectory();
    for (std::size_t slot = 0; slot < kZipSlots && !zipNameTable[slot].empty(); ++slot) {
        const CurrentDirectoryGuard back;
        if (!zipDirTable[slot].empty()) {
            const std::string dir = joinPath(cwd, zipDirTable[slot]);
            if (!changeDirectory(dir)) {
                writeTraceLog(kListedDirectoryFormat, dir.c_str());
                continue;
            }
        }
        if (!extractArchive(zipNameTable[slot], destinationDir))
            return damagedArchive(zipNameTable[slot]);
    }
    return std::nullopt;
}

bool extractArchive(const std::string& archivePath, const std::string& destinationDir)
{
    // Opened once: everything below reads the archive through this handle. Of checked media it
    // is the very handle the archive was checked on, once its record says it is to be unpacked.
    UniqueFileHandle file = openArchiveFile(archivePath);
    std::optional<ArchiveFile> opened;
    if (file)
        opened.emplace(file.get());
    UniqueZipArchive zip = opened ? openZipArchive(*opened) : UniqueZipArchive();
    if (!zip) {
        // Of checked media, a file that is there is refused as the manifest judges it.
        if (mediaAreChecked() && file && !requireMediaFile(archivePath))
            return false;
        writeTraceLog(kCannotOpenFormat, archivePath.c_str());
        // A file that is there but is no archive is a truncated or damaged copy; one that is
        // missing may be supplied by the machine, and the checks after unpacking judge that.
        return !file;
    }
    const std::optional<ArchiveStamp> found = stampOf(zip.get(), archivePath, destinationDir);
    const std::string versionName = found->versionName;
    const long stamp = found->stamp;
    if (found->current) {
        writeTraceLog(kSkippingFormat, archivePath.c_str());
        return true;
    }
    // Checked whole before its walk begins, so that a mismatch never leaves part of it unpacked;
    // then read through the handle that was checked.
    if (mediaAreChecked()) {
        zip.reset();
        opened.reset();
        file = openCheckedFile(archivePath);
        if (!file)
            return false;
        opened.emplace(file.get());
        zip = openZipArchive(*opened);
        if (!zip) {
            writeTraceLog(kCannotOpenFormat, archivePath.c_str());
            return false;
        }
    }
    ExtractTiming timing;
    const bool whole = unpackEntries(zip.get(), *opened, archivePath, destinationDir, timing);
    timing.report(archivePath);
    if (!whole) {
        writeTraceLog(kIncompleteFormat, archivePath.c_str());
        return false;
    }
    if (writeVersionFiles)
        writeVersionFile(destinationDir, versionName, stamp);
    return true;
}
