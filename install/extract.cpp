#include "extract.h"

#include <cerrno>
#include <climits>
#include <algorithm>
#include <cstdlib>
#include <optional>
#include <vector>

#include "config.h"
#include "extract_timing.h"
#include "registry.h"
#include "startup.h"

namespace {

constexpr char kCannotOpenFormat[] = "Zip file could not be opened %s\n";
constexpr char kSkippingFormat[] = "Skipping unzipping of zipFile %s \n";
constexpr char kFirstFileFailed[] = "something went wrong radically going to first file\n";
constexpr char kFileInfoFailed[] = "something went wrong radically getting fileInfo on the first file\n";
constexpr char kOpenEntryFailed[] = "something went wrong radically opening the first file\n";
constexpr char kJumpingToExit[] = "2:jumping to exit - checkAndCreateDestinationDirectoriesAndFile \n";
constexpr char kWriteFailedFormat[] = "something went wrong writing to file %s at dest %s\n";
constexpr char kUnableToOpenFormat[] = "Unable to open %s. Trying setFileAttributesToNormal method \n";
constexpr char kCreateFailedFormat[] = "Something went wrong creating file  %s \n";
constexpr char kWritingRecordFormat[] = "Writing %s to file \n";
constexpr char kRecordFormat[] = "date=%ld";
constexpr char kTimeConversionFormat[] = "error converting time err = %d\n";
constexpr char kLocalTimeConversionFormat[] = "error converting local time err = %d\n";
constexpr char kSetTimeFormat[] = "Error setting time err = %d\n";

constexpr char kNextFileFailed[] = "something went wrong radically going to the next file\n";
constexpr char kOutsideFormat[] = "Entry %s would be written outside %s and is skipped\n";
constexpr char kTooLongFormat[] = "Entry %s is too long a path below %s and is not unpacked\n";
constexpr char kNotWholeFormat[] = "Entry %s was not unpacked whole; %s is removed\n";
constexpr char kIncompleteFormat[] = "Zip file %s was not unpacked completely; no version file is written\n";
constexpr char kListedDirectoryFormat[] = "Directory %s of a listed zip file cannot be entered\n";
constexpr char kRecordPlaceFormat[] = "Entry %s would take the place of a version record and is skipped\n";
constexpr char kNamelessEntry[] = "An entry without a name is skipped\n";
constexpr char kShortCountFormat[] = "The directory of zip file %s holds more entries than it declares\n";

constexpr char kRuntimeArchive[] = "kp\\windows\\jre.zip";
constexpr char kUpdateZipDir[] = "c:\\vtupdate\\kp\\zip";
constexpr char kUpdateDir[] = "c:\\vtupdate";
constexpr char kCaseInsensitive = 2;

// The version entry keeps its 512-byte reads: which chunk sets the stamp depends on them.
constexpr unsigned kVersionChunk = 512;
constexpr std::size_t kRecordChunk = 128;
// Large enough that inflate and the disk, not the calls, bound the copy.
constexpr unsigned kCopyBufferSize = 256 * 1024;

enum class EntryOutcome { unpacked, skipped, failed, stop };

void createDirectoryIfMissing(const std::string& path)
{
    if (!pathExists(path))
        CreateDirectoryA(path.c_str(), nullptr);
}

std::vector<std::string> splitEntryName(std::string_view name)
{
    std::vector<std::string> parts;
    while (!name.empty()) {
        const std::size_t end = name.find_first_of("/\\");
        if (end != 0)
            parts.emplace_back(name.substr(0, end));
        if (end == std::string_view::npos)
            break;
        name.remove_prefix(end + 1);
    }
    return parts;
}

// Names Windows takes for devices wherever they stand, with or without an extension, blanks
// before the extension included. The superscript digits are those of the ANSI code page.
bool isDeviceName(std::string_view component)
{
    std::string_view base = component.substr(0, component.find('.'));
    base = base.substr(0, base.find_last_not_of(' ') + 1);
    const std::string upper = toUpperAnsi(base);
    if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL" || upper == "CONIN$" ||
        upper == "CONOUT$")
        return true;
    if (upper.size() != 4 || !(upper.starts_with("COM") || upper.starts_with("LPT")))
        return false;
    const unsigned char digit = static_cast<unsigned char>(upper[3]);
    return (digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

bool isOnlyDotsAndBlanks(std::string_view component)
{
    return component.find_first_not_of(". ") == std::string_view::npos;
}

std::string fullPathName(const std::string& path)
{
    char full[MAX_PATH * 2];
    const DWORD length = GetFullPathNameA(path.c_str(), sizeof(full), full, nullptr);
    return length > 0 && length < sizeof(full) ? std::string(full, length) : std::string();
}

// The archive's stamp from its version entry; 0 when there is none or it holds no number.
long readVersionEntry(unzFile zip, const std::string& versionName)
{
    if (unzLocateFile(zip, versionName.c_str(), kCaseInsensitive) != UNZ_OK)
        return 0;
    if (unzOpenCurrentFile(zip) != UNZ_OK)
        return 0;
    long stamp = 0;
    char chunk[kVersionChunk];
    int got;
    while ((got = unzReadCurrentFile(zip, chunk, kVersionChunk)) > 0)
        if (chunk[0] != ' ')
            stamp = parseVersionStamp(std::string_view(chunk, got));
    unzCloseCurrentFile(zip);
    return stamp;
}

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

void removePartialFile(const std::string& entryName, const std::string& fullPath)
{
    setFileAttributesToNormal(fullPath);
    DeleteFileA(fullPath.c_str());
    writeTraceLog(kNotWholeFormat, entryName.c_str(), fullPath.c_str());
}

// The name of the current entry, however long; false when its information cannot be read.
bool currentEntry(unzFile zip, unz_file_info& info, std::string& name, ExtractTiming& timing)
{
    const auto scope = timing.time(ExtractPhase::walk);
    if (unzGetCurrentFileInfo(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
        return false;
    std::vector<char> buffer(info.size_filename + 1);
    if (unzGetCurrentFileInfo(zip, &info, buffer.data(), static_cast<uLong>(buffer.size()), nullptr, 0, nullptr, 0) !=
        UNZ_OK)
        return false;
    name.assign(buffer.data());
    return true;
}

int goToNextEntry(unzFile zip, ExtractTiming& timing)
{
    const auto scope = timing.time(ExtractPhase::walk);
    return unzGoToNextFile(zip);
}

// Where the archive's end record says its central directory ends, counted as minizip counts
// positions in it (from the directory's declared offset); nothing when the record cannot be read.
std::optional<ZPOS64_T> declaredDirectoryEnd(const std::string& archivePath)
{
    constexpr std::size_t kEndRecordSize = 22;
    constexpr std::size_t kLocatorSize = 20;
    constexpr std::size_t kLongestComment = 0xFFFF;
    constexpr std::size_t kZip64RecordSize = 56;
    const UniqueFile file = openFile(archivePath, "rb");
    if (!file || _fseeki64(file.get(), 0, SEEK_END) != 0)
        return std::nullopt;
    const long long fileSize = _ftelli64(file.get());
    const long long tailSize = std::min<long long>(fileSize, kEndRecordSize + kLocatorSize + kLongestComment);
    std::vector<unsigned char> tail(static_cast<std::size_t>(tailSize));
    if (tailSize < static_cast<long long>(kEndRecordSize) || _fseeki64(file.get(), fileSize - tailSize, SEEK_SET) != 0 ||
        std::fread(tail.data(), 1, tail.size(), file.get()) != tail.size())
        return std::nullopt;
    const auto little = [](const unsigned char* at, int bytes) {
        ZPOS64_T value = 0;
        for (int i = bytes - 1; i >= 0; --i)
            value = (value << 8) | at[i];
        return value;
    };
    // The last end record wins, as it does for minizip.
    for (std::size_t at = tail.size() - kEndRecordSize + 1; at-- > 0;) {
        const unsigned char* end = tail.data() + at;
        if (little(end, 4) != 0x06054B50)
            continue;
        if (at >= kLocatorSize && little(end - kLocatorSize, 4) == 0x07064B50) {
            unsigned char record[kZip64RecordSize];
            const ZPOS64_T recordOffset = little(end - kLocatorSize + 8, 8);
            if (_fseeki64(file.get(), static_cast<long long>(recordOffset), SEEK_SET) != 0 ||
                std::fread(record, 1, sizeof(record), file.get()) != sizeof(record) || little(record, 4) != 0x06064B50)
                return std::nullopt;
            return little(record + 48, 8) + little(record + 40, 8);
        }
        return little(end + 16, 4) + little(end + 12, 4);
    }
    return std::nullopt;
}

// True when the walk, standing on its last entry, ended where the central directory ends: an
// end record that declares fewer entries than the directory lists (or whose 16-bit count
// wrapped) would otherwise lose the rest without a word.
bool walkedWholeDirectory(unzFile zip, const unz_file_info& last, const std::string& archivePath)
{
    constexpr ZPOS64_T kCentralHeaderSize = 46;
    const std::optional<ZPOS64_T> declaredEnd = declaredDirectoryEnd(archivePath);
    const ZPOS64_T walkedEnd = unzGetOffset64(zip) + kCentralHeaderSize + last.size_filename + last.size_file_extra +
                               last.size_file_comment;
    return declaredEnd && *declaredEnd == walkedEnd;
}

// Copies the open entry into the open file; false with the file removed when anything of it
// went wrong, including a checksum that does not match when the entry is closed.
EntryOutcome copyEntry(unzFile zip, UniqueFile file, const std::string& entryName, const std::string& fullPath,
                       const std::string& destinationDir, std::vector<char>& buffer, ExtractTiming& timing)
{
    bool readFailed = false;
    for (;;) {
        int got;
        {
            const auto scope = timing.time(ExtractPhase::inflate);
            got = unzReadCurrentFile(zip, buffer.data(), static_cast<unsigned>(buffer.size()));
        }
        if (got == 0)
            break;
        if (got < 0) {
            readFailed = true;
            break;
        }
        // A short write loses data just as a failed one does.
        const auto scope = timing.time(ExtractPhase::write);
        if (std::fwrite(buffer.data(), 1, got, file.get()) != static_cast<std::size_t>(got)) {
            writeTraceLog(kWriteFailedFormat, entryName.c_str(), destinationDir.c_str());
            file.reset();
            removePartialFile(entryName, fullPath);
            return EntryOutcome::stop;
        }
    }
    const auto scope = timing.time(ExtractPhase::finish);
    const bool closed = std::fclose(file.release()) == 0;
    const bool checked = unzCloseCurrentFile(zip) == UNZ_OK;
    if (readFailed || !closed || !checked) {
        removePartialFile(entryName, fullPath);
        return EntryOutcome::failed;
    }
    return EntryOutcome::unpacked;
}

UniqueFile createDestinationFile(const std::string& destinationDir, std::string& entryName, std::string& fullPath,
                                 ExtractTiming& timing)
{
    const auto scope = timing.time(ExtractPhase::create);
    return checkAndCreateDestinationDirectoriesAndFile(destinationDir, entryName, fullPath);
}

int openEntry(unzFile zip, ExtractTiming& timing)
{
    const auto scope = timing.time(ExtractPhase::open);
    return unzOpenCurrentFile(zip);
}

// Refuses an entry whose name cannot be unpacked below the destination, with its line; nothing
// when the entry may be unpacked under the name Windows will store, which entryName becomes.
std::optional<EntryOutcome> refuseEntryName(std::string& entryName, const std::string& destinationDir)
{
    if (!hasSafeEntryName(entryName)) {
        writeTraceLog(kOutsideFormat, entryName.c_str(), destinationDir.c_str());
        return EntryOutcome::skipped;
    }
    if (claimsVersionRecord(entryName)) {
        writeTraceLog(kRecordPlaceFormat, entryName.c_str());
        return EntryOutcome::skipped;
    }
    entryName = storedEntryName(entryName);
    if (destinationDir.size() + 1 + entryName.size() >= MAX_PATH) {
        writeTraceLog(kTooLongFormat, entryName.c_str(), destinationDir.c_str());
        return EntryOutcome::failed;
    }
    if (!isInsideDestination(destinationDir, entryName)) {
        writeTraceLog(kOutsideFormat, entryName.c_str(), destinationDir.c_str());
        return EntryOutcome::skipped;
    }
    return std::nullopt;
}

// Unpacks the current entry. The first entry of an archive has its file created before the
// entry is opened, and a file that cannot be created ends the walk without a further line.
EntryOutcome unpackEntry(unzFile zip, const unz_file_info& info, std::string entryName,
                         const std::string& destinationDir, bool first, std::vector<char>& buffer,
                         ExtractTiming& timing)
{
    {
        const auto scope = timing.time(ExtractPhase::names);
        if (const std::optional<EntryOutcome> refused = refuseEntryName(entryName, destinationDir))
            return *refused;
    }

    std::string fullPath;
    UniqueFile file;
    if (first) {
        file = createDestinationFile(destinationDir, entryName, fullPath, timing);
        if (!file)
            return EntryOutcome::stop;
        if (openEntry(zip, timing) != UNZ_OK) {
            writeTraceLog(kOpenEntryFailed);
            file.reset();
            removePartialFile(entryName, fullPath);
            return EntryOutcome::stop;
        }
    } else {
        if (openEntry(zip, timing) != UNZ_OK) {
            writeTraceLog(kOpenEntryFailed);
            return EntryOutcome::stop;
        }
        file = createDestinationFile(destinationDir, entryName, fullPath, timing);
        if (!file) {
            writeTraceLog(kJumpingToExit);
            flushTraceLog();
            return EntryOutcome::stop;
        }
    }
    const EntryOutcome outcome = copyEntry(zip, std::move(file), entryName, fullPath, destinationDir, buffer, timing);
    if (outcome == EntryOutcome::unpacked) {
        const auto scope = timing.time(ExtractPhase::finish);
        setFileTimeFromEntry(info, fullPath);
        timing.countEntry(info.uncompressed_size);
    }
    return outcome;
}

// Walks every entry; true when each one that belongs below the destination arrived whole and
// the walk covered the whole central directory.
bool unpackEntries(unzFile zip, const std::string& archivePath, const std::string& destinationDir,
                   ExtractTiming& timing)
{
    if (unzGoToFirstFile(zip) != UNZ_OK) {
        writeTraceLog(kFirstFileFailed);
        return false;
    }
    std::vector<char> buffer(kCopyBufferSize);
    bool complete = true;
    for (bool first = true;; first = false) {
        unz_file_info info{};
        std::string name;
        if (!currentEntry(zip, info, name, timing)) {
            writeTraceLog(kFileInfoFailed);
            return false;
        }
        const bool directoryEntry = !name.empty() && (name.back() == '/' || name.back() == '\\');
        if (name.empty()) {
            writeTraceLog(kNamelessEntry);
        } else if (!isVersionEntry(name) && !directoryEntry) {
            switch (unpackEntry(zip, info, name, destinationDir, first, buffer, timing)) {
            case EntryOutcome::stop: return false;
            case EntryOutcome::failed: complete = false; break;
            case EntryOutcome::unpacked:
            case EntryOutcome::skipped: break;
            }
        }
        const int next = goToNextEntry(zip, timing);
        if (next == UNZ_END_OF_LIST_OF_FILE) {
            if (!walkedWholeDirectory(zip, info, archivePath)) {
                writeTraceLog(kShortCountFormat, archivePath.c_str());
                return false;
            }
            return complete;
        }
        if (next != UNZ_OK) {
            writeTraceLog(kNextFileFailed);
            return false;
        }
    }
}

} // namespace

void extractArchives()
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
    createDirectoryIfMissing(runtimeDir);
    extractArchive(kRuntimeArchive, runtimeDir);

    const std::string productDir = base + "kp";
    createDirectoryIfMissing(productDir);
    if (!zipNameTable[0].empty())
        extractListedArchives(productDir);
    else
        extractZipDirectory(productDir);

    if (isDirectory(kUpdateZipDir)) {
        const CurrentDirectoryGuard back;
        // Entering c:\vtupdate also makes drive C the current drive.
        if (changeDirectory(kUpdateDir))
            extractZipDirectory(productDir);
    }
}

void extractZipDirectory(const std::string& destinationDir)
{
    const CurrentDirectoryGuard back;
    // Without kp\zip there is nothing to unpack; the directory that happens to be current is
    // never searched instead.
    if (!changeDirectory("kp\\zip"))
        return;
    std::vector<std::string> archives;
    forEachDirectoryEntry("*.zip", [&](const WIN32_FIND_DATAA& entry) { archives.emplace_back(entry.cFileName); });
    for (const std::string& archive : archives)
        extractArchive(archive, destinationDir);
}

void extractListedArchives(const std::string& destinationDir)
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
        extractArchive(zipNameTable[slot], destinationDir);
    }
}

void extractArchive(const std::string& archivePath, const std::string& destinationDir)
{
    const UniqueZipArchive zip(unzOpen(archivePath.c_str()));
    if (!zip) {
        writeTraceLog(kCannotOpenFormat, archivePath.c_str());
        return;
    }
    const std::string versionName = versionFileName(archivePath);
    long stamp = readVersionEntry(zip.get(), versionName);
    if (stamp == 0)
        stamp = fileModificationStamp(archivePath);
    const int compared = compareVersionFile(destinationDir, versionName, stamp);
    if (compared == 0 || compared == 1) {
        writeTraceLog(kSkippingFormat, archivePath.c_str());
        return;
    }
    ExtractTiming timing;
    const bool whole = unpackEntries(zip.get(), archivePath, destinationDir, timing);
    timing.report(archivePath);
    if (!whole) {
        writeTraceLog(kIncompleteFormat, archivePath.c_str());
        return;
    }
    if (writeVersionFiles)
        writeVersionFile(destinationDir, versionName, stamp);
}

std::string versionFileName(const std::string& archivePath)
{
    const std::size_t slash = archivePath.rfind('\\');
    const std::string name = slash == std::string::npos ? archivePath : archivePath.substr(slash + 1);
    // A name without an extension gets one.
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? name + ".ver" : name.substr(0, dot + 1) + "ver";
}

int compareVersionFile(const std::string& destinationDir, const std::string& versionName, long stamp)
{
    std::string path = destinationDir + "\\" + versionName;
    toBackslashes(path);
    const UniqueFile record = openFile(path, "r");
    if (!record)
        return -1;
    long recorded = 0;
    char chunk[kRecordChunk];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof(chunk), record.get())) > 0) {
        if (chunk[0] != ' ') {
            recorded = parseVersionStamp(std::string_view(chunk, got));
            break;
        }
    }
    if (recorded == 0 || stamp > recorded)
        return -1;
    return stamp == recorded ? 0 : 1;
}

void writeVersionFile(const std::string& destinationDir, const std::string& versionName, long stamp)
{
    const UniqueFile record = openFile(destinationDir + "\\" + versionName, "w+");
    if (!record)
        return;
    char text[128];
    std::snprintf(text, sizeof(text), kRecordFormat, stamp);
    writeTraceLog(kWritingRecordFormat, text);
    std::fputs(text, record.get());
}

int isVersionEntry(const std::string& entryName)
{
    // "h.ver." and "h.ver " are stored as h.ver, and so are the record.
    const std::string stored = storedEntryName(entryName);
    const std::size_t dot = stored.rfind('.');
    return dot != std::string::npos && equalsIgnoreCase(std::string_view(stored).substr(dot + 1), "ver") ? 1 : 0;
}

std::string storedEntryName(std::string_view entryName)
{
    std::string stored;
    stored.reserve(entryName.size());
    while (true) {
        const std::size_t end = entryName.find_first_of("/\\");
        std::string_view component = entryName.substr(0, end);
        // Names of dots and blanks alone stay as they are for the safety check to refuse.
        if (!isOnlyDotsAndBlanks(component))
            component = component.substr(0, component.find_last_not_of(". ") + 1);
        stored += component;
        if (end == std::string_view::npos)
            return stored;
        stored += entryName[end];
        entryName.remove_prefix(end + 1);
    }
}

bool claimsVersionRecord(const std::string& entryName)
{
    std::vector<std::string> components = splitEntryName(storedEntryName(entryName));
    std::erase(components, ".");
    // Records stand in the destination's top level, so only a top-level folder can take one's place.
    return components.size() > 1 && isVersionEntry(components.front());
}

long parseVersionStamp(std::string_view text)
{
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos)
        return 0;
    // strtol reads like atol but is defined for numbers out of range.
    const std::string number(text.substr(equals + 1));
    return std::strtol(number.c_str(), nullptr, 10);
}

bool hasSafeEntryName(const std::string& entryName)
{
    const std::string stored = storedEntryName(entryName);
    if (stored.empty() || stored.front() == '/' || stored.front() == '\\' || stored.find(':') != std::string::npos)
        return false;
    for (const std::string& component : splitEntryName(stored)) {
        if (component == ".")
            continue;
        // "..", "..." and names of dots and blanks all lose their last characters to Windows.
        if (isOnlyDotsAndBlanks(component) || isDeviceName(component))
            return false;
    }
    return true;
}

bool isInsideDestination(const std::string& destinationDir, const std::string& entryName)
{
    if (!hasSafeEntryName(entryName))
        return false;
    std::string joined = destinationDir + "\\" + storedEntryName(entryName);
    toBackslashes(joined);
    const std::string base = fullPathName(destinationDir);
    const std::string full = fullPathName(joined);
    if (base.empty() || full.empty())
        return false;
    const std::string prefix = base.back() == '\\' ? base : base + "\\";
    return full.size() > prefix.size() && startsWithIgnoreCase(full, prefix);
}

UniqueFile checkAndCreateDestinationDirectoriesAndFile(const std::string& destinationDir, std::string& entryName,
                                                       std::string& fullPathOut)
{
    entryName = storedEntryName(entryName);
    const std::vector<std::string> components = splitEntryName(entryName);
    if (components.empty())
        return {};
    // Every level above the file is made, whatever it is called.
    std::string path = destinationDir + "\\";
    for (std::size_t i = 0; i + 1 < components.size(); ++i) {
        path += components[i];
        createDirectoryIfMissing(path);
        path += "\\";
    }
    toBackslashes(entryName);
    fullPathOut = destinationDir + "\\" + entryName;

    if (UniqueFile file = openFile(fullPathOut, "w+b"))
        return file;
    writeTraceLog(kUnableToOpenFormat, fullPathOut.c_str());
    setFileAttributesToNormal(fullPathOut);
    if (UniqueFile file = openFile(fullPathOut, "w+b"))
        return file;
    writeTraceLog(kCreateFailedFormat, fullPathOut.c_str());
    return {};
}

void toBackslashes(std::string& name)
{
    for (char& c : name)
        if (c == '/')
            c = '\\';
}

void setFileAttributesToNormal(const std::string& path)
{
    if (pathExists(path))
        SetFileAttributesA(path.c_str(), 0);
}

int setFileTimeFromEntry(const unz_file_info& entryInfo, const std::string& fullPath)
{
    const unsigned date = static_cast<unsigned>(entryInfo.dosDate >> 16) & 0xFFFF;
    const unsigned time = static_cast<unsigned>(entryInfo.dosDate) & 0xFFFF;
    SYSTEMTIME fields{};
    fields.wDay = static_cast<WORD>(date & 0x1F);
    fields.wMonth = static_cast<WORD>((date >> 5) & 0x0F);
    fields.wYear = static_cast<WORD>(1980 + (date >> 9));
    fields.wHour = static_cast<WORD>(time >> 11);
    fields.wMinute = static_cast<WORD>((time >> 5) & 0x3F);
    fields.wSecond = static_cast<WORD>(2 * (time & 0x1F));

    // A time that cannot be converted is never written: the file keeps the time it has.
    FILETIME local;
    if (!SystemTimeToFileTime(&fields, &local)) {
        writeTraceLog(kTimeConversionFormat, static_cast<int>(GetLastError()));
        flushTraceLog();
        return 0;
    }
    FILETIME utc;
    if (!LocalFileTimeToFileTime(&local, &utc)) {
        writeTraceLog(kLocalTimeConversionFormat, static_cast<int>(GetLastError()));
        flushTraceLog();
        return 0;
    }
    const UniqueFileHandle file(CreateFileA(fullPath.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file)
        return 0;
    if (!SetFileTime(file.get(), &utc, nullptr, &utc)) {
        writeTraceLog(kSetTimeFormat, static_cast<int>(GetLastError()));
        flushTraceLog();
        return 0;
    }
    return 1;
}
