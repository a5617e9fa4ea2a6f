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

// Checks, before anything is unpacked, every archive the run will unpack from signed media or a
// signed update folder, so that one that is not as signed stops the run before the first
// archive is unpacked. What passes stays held, and is not read again when its turn comes.
void checkArchivesBeforeUnpacking()
{
    const auto require = [](const std::string& archive) {
        if (pathExists(archive))
            requireMediaFile(archive);
    };
    const auto requireFolder = [&](const std::string& folder) {
        forEachDirectoryEntry(
            joinPath(folder, kArchivePattern),
            [&](const WIN32_FIND_DATAA& entry) { require(joinPath(folder, entry.cFileName)); },
            [](const std::string&) {});
    };
    const std::string cwd = currentDirectory();
    require(joinPath(cwd, kRuntimeArchive));
    if (zipNameTable[0].empty())
        requireFolder(joinPath(cwd, "kp\\zip"));
    for (std::size_t slot = 0; slot < kZipSlots && !zipNameTable[slot].empty(); ++slot)
        require(joinPath(zipDirTable[slot].empty() ? cwd : joinPath(cwd, zipDirTable[slot]), zipNameTable[slot]));
    if (isTrustedUpdateFolder(kUpdateDir) && isDirectory(kUpdateZipDir))
        requireFolder(kUpdateZipDir);
}

} // namespace

std::optional<std::string> extractArchives()
{
    if (mediaAreChecked()) {
        checkArchivesBeforeUnpacking();
        if (mediaRefusal())
            return std::nullopt;
    }
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
    createDirectoryIfMissing(runtimeDir);
    if (!extractArchive(kRuntimeArchive, runtimeDir))
        return damagedArchive(kRuntimeArchive);

    const std::string productDir = base + "kp";
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
    // Checked whole before its walk begins, so that a mismatch never leaves part of it unpacked.
    if (mediaAreChecked() && pathExists(archivePath) && !requireMediaFile(archivePath))
        return false;
    const UniqueZipArchive zip(unzOpen(archivePath.c_str()));
    if (!zip) {
        writeTraceLog(kCannotOpenFormat, archivePath.c_str());
        // A file that is there but is no archive is a truncated or damaged copy; one that is
        // missing may be supplied by the machine, and the checks after unpacking judge that.
        return !pathExists(archivePath);
    }
    const std::string versionName = versionFileName(archivePath);
    long stamp = readVersionEntry(zip.get(), versionName);
    if (stamp == 0)
        stamp = fileModificationStamp(archivePath);
    const int compared = compareVersionFile(destinationDir, versionName, stamp);
    if (compared == 0 || compared == 1) {
        writeTraceLog(kSkippingFormat, archivePath.c_str());
        return true;
    }
    ExtractTiming timing;
    const bool whole = unpackEntries(zip.get(), archivePath, destinationDir, timing);
    timing.report(archivePath);
    if (!whole) {
        writeTraceLog(kIncompleteFormat, archivePath.c_str());
        return false;
    }
    if (writeVersionFiles)
        writeVersionFile(destinationDir, versionName, stamp);
    return true;
}
