#include "config.h"

#include <cctype>
#include <cstdio>
#include <span>

#include "globals.h"
#include "paths.h"
#include "platform.h"
#include "tracelog.h"
#include "trust/update_trust.h"


namespace {

constexpr char kDefaultConfigName[] = "install.cfg";

// Line reads are fgets-sized: a longer line arrives in pieces, each taken as a line.
constexpr int kLineBuffer = 80;
constexpr int kLongLineBuffer = 128;

constexpr char kIndexIgnoredFormat[] = "Configuration line ignored, no slot for its index: %s\n";
constexpr char kTableFullFormat[] = "Configuration line ignored, its table is full: %s\n";

enum class ListKind { indexed, sequential };

// One fgets-sized piece of a line, line end included; false at the end of the file.
bool readLine(FILE* file, int bufferSize, std::string& line)
{
    char buffer[kLongLineBuffer];
    if (!std::fgets(buffer, bufferSize, file))
        return false;
    line.assign(buffer);
    return true;
}

void removeLineEnd(std::string& line)
{
    if (!line.empty() && line.back() == '\n')
        line.pop_back();
}

// A section's entries end at an empty line or one that begins with a blank; that line is
// consumed with the section.
bool endsSection(const std::string& line)
{
    return line.empty() || line.front() == '\n' || line.front() == ' ';
}

// Reads the entries of a [CLASSPATH] or [PATH] section into target, each made absolute
// against the current directory.
int readPathBlock(FILE* file, std::string& target)
{
    const std::string cwd = currentDirectory();
    std::string line;
    while (readLine(file, kLineBuffer, line) && !endsSection(line)) {
        removeLineEnd(line);
        appendWithinLimit(target, contains(line, ":") ? line : joinPath(cwd, line));
    }
    return 1;
}

void readListSection(FILE* file, std::span<std::string> table, ListKind kind)
{
    std::size_t next = 0;
    std::string line;
    while (readLine(file, kLineBuffer, line) && !endsSection(line)) {
        removeLineEnd(line);
        if (kind == ListKind::sequential) {
            if (next < table.size())
                table[next++] = line;
            else
                writeTraceLog(kTableFullFormat, line.c_str());
            continue;
        }
        const unsigned char first = static_cast<unsigned char>(line.front());
        const std::size_t slot = std::isdigit(first) ? first - '0' : table.size();
        if (slot >= table.size()) {
            writeTraceLog(kIndexIgnoredFormat, line.c_str());
            continue;
        }
        const std::size_t value = line.find_first_not_of("0123456789 ");
        table[slot] = value == std::string::npos ? std::string() : line.substr(value);
    }
}

// The long-line sections stop after their last slot; lines left over are read as ordinary
// lines by the caller.
template <typename Store>
void readLongListSection(FILE* file, std::size_t limit, Store store)
{
    std::string line;
    for (std::size_t next = 0; next < limit; ++next) {
        if (!readLine(file, kLongLineBuffer, line) || endsSection(line))
            return;
        removeLineEnd(line);
        store(next, line);
    }
}

void readZipFiles(FILE* file)
{
    readLongListSection(file, kZipSlots, [](std::size_t slot, const std::string& line) {
        // A line without a backslash names an archive in the current directory.
        const std::size_t split = line.rfind('\\');
        zipDirTable[slot] = split == std::string::npos ? std::string() : line.substr(0, split);
        zipNameTable[slot] = split == std::string::npos ? line : line.substr(split + 1);
    });
}

void readDeleteCommonFiles(FILE* file)
{
    readLongListSection(file, kDeleteSlots,
                        [](std::size_t slot, const std::string& line) { deleteCommonFilesTable[slot] = line; });
}

void readPostDeleteCommonFiles(FILE* file)
{
    readLongListSection(file, kPostDeleteSlots,
                        [](std::size_t slot, const std::string& line) { postDeleteCommonFilesTable[slot] = line; });
}

} // namespace

namespace {

int readConfigStream(const UniqueFile& file, ParameterTable& parameters, ClassTable& classes);

} // namespace

int readConfigFile(const std::string& path, ParameterTable& parameters, ClassTable& classes)
{
    return readConfigStream(openFile(path, "r"), parameters, classes);
}

int readConfigFile(UniqueFileHandle file, ParameterTable& parameters, ClassTable& classes)
{
    return readConfigStream(readingStreamOf(std::move(file)), parameters, classes);
}

namespace {

int readConfigStream(const UniqueFile& file, ParameterTable& parameters, ClassTable& classes)
{
    if (!file)
        return 0;
    std::string line;
    while (readLine(file.get(), kLineBuffer, line)) {
        if (line == "\n")
            continue;
        removeLineEnd(line);
        if (equalsIgnoreCase(line, "[CLASSPATH]")) {
            std::string scratchBuf;
            readPathBlock(file.get(), scratchBuf);
            expandClassPathEntries(scratchBuf, classPathBuf);
        } else if (equalsIgnoreCase(line, "[PATH]")) {
            readPathBlock(file.get(), pathBuf);
        } else if (equalsIgnoreCase(line, "[PARAMETERS]")) {
            readListSection(file.get(), parameters, ListKind::indexed);
        } else if (equalsIgnoreCase(line, "[CLASS]")) {
            readListSection(file.get(), classes, ListKind::sequential);
        } else if (equalsIgnoreCase(line, "[SPLASH_BITMAP]")) {
            readListSection(file.get(), splashBitmapTable, ListKind::indexed);
        } else if (equalsIgnoreCase(line, "[REMOVE_FILES]")) {
            readListSection(file.get(), removeFilesFlag, ListKind::indexed);
        } else if (equalsIgnoreCase(line, "[ZIP_FILES]")) {
            readZipFiles(file.get());
        } else if (equalsIgnoreCase(line, "[DELETE_COMMON_FILES]")) {
            readDeleteCommonFiles(file.get());
        } else if (equalsIgnoreCase(line, "[POST_DELETE_COMMON_FILES]")) {
            readPostDeleteCommonFiles(file.get());
        } else if (equalsIgnoreCase(line, "[NO_VERSION_FILES]")) {
            writeVersionFiles = false;
        }
    }
    return 1;
}

} // namespace

std::string appendConfigName(const std::string& prefix, bool haveToken, const std::string& derivedConfigName)
{
    if (haveToken && pathExists(prefix + derivedConfigName))
        return prefix + derivedConfigName;
    return prefix + kDefaultConfigName;
}

UniqueFileHandle findUpdateConfig(std::string& updateConfigPath, const std::string& derivedConfigName)
{
    const std::string updateDir = windowsDrive() + "\\vtupdate";
    if (!isTrustedUpdateFolder(updateDir))
        return {};
    for (const std::string& location : {updateDir + "\\kp\\windows", updateDir}) {
        if (!isDirectory(location))
            continue;
        for (const std::string& name : {derivedConfigName, std::string(kDefaultConfigName)}) {
            const std::string candidate = joinPath(location, name);
            if (!pathExists(candidate))
                continue;
            std::optional<UniqueFileHandle> held = holdUpdateFile(updateDir, candidate);
            if (!held)
                return {};
            updateConfigPath = candidate;
            return std::move(*held);
        }
    }
    return {};
}

std::string languageCode(const std::string& localeName)
{
    struct Prefix {
        const char* language;
        const char* code;
    };
    static constexpr Prefix kLanguages[] = {
        {"german", "de"},  {"russian", "ru"}, {"portuguese", "pt"},          {"italian", "it"},
        {"french", "en"},  {"spanish", "en"}, {"chinese-simplified", "cs"}, {"chinese-traditional", "ct"},
    };
    if (equalsIgnoreCase(localeName, "C"))
        return "en";
    for (const Prefix& language : kLanguages)
        if (startsWithIgnoreCase(localeName, language.language))
            return language.code;
    return "en";
}
