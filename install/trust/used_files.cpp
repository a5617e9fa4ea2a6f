#include "used_files.h"

#include <set>
#include <string_view>
#include <vector>

#include "../globals.h"
#include "../platform.h"
#include "../tracelog.h"
#include "media_manifest.h"

namespace {

constexpr char kOutsideFormat[] = "%s lies outside the signed media";
constexpr char kAbsentFormat[] = "%s is used but the signed media do not hold it";

// The options the launcher takes with their value as the next argument: that value is no main
// class, and no argument file.
const std::set<std::string_view> kSeparateValueOptions = {
    "-cp", "-classpath", "--class-path", "-p", "--module-path", "--upgrade-module-path", "--add-modules",
    "--enable-native-access", "--limit-modules", "--add-exports", "--add-opens", "--add-reads", "--patch-module",
};

std::vector<std::string> splitAt(std::string_view text, std::string_view separators)
{
    std::vector<std::string> pieces;
    while (!text.empty()) {
        const std::size_t end = text.find_first_of(separators);
        if (end != 0)
            pieces.emplace_back(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return pieces;
}

bool isTrusted(const std::string& path, const TrustedPlaces& trusted)
{
    return liesBelow(path, trusted.commonDir) || liesBelow(path, trusted.javaHome);
}

// One entry of the class path or the search path, or an argument file: it must be the media's
// as signed, or lie in a trusted place. folderFiles says what of a folder is used.
enum class FolderUse { none, itsFiles, everythingBelow };

bool requireUsedEntry(const std::string& entry, FolderUse folderUse, const TrustedPlaces& trusted)
{
    if (isTrusted(entry, trusted))
        return true;
    if (!liesInSignedFolder(entry)) {
        refuseMedia(formatText(kOutsideFormat, entry.c_str()));
        return false;
    }
    if (!pathExists(entry)) {
        refuseMedia(formatText(kAbsentFormat, entry.c_str()));
        return false;
    }
    if (!isDirectory(entry))
        return requireMediaFile(entry);
    return folderUse == FolderUse::none || requireFolderFiles(entry, folderUse == FolderUse::everythingBelow);
}

// The argument files of a [CLASS] line: its "@" words before the main class.
std::vector<std::string> argumentFiles(const std::string& classLine)
{
    std::vector<std::string> files;
    bool value = false;
    for (const std::string& word : splitAt(classLine, " \t")) {
        const bool option = word.front() == '-';
        if (!value && !option && word.front() != '@')
            break;
        if (!value && word.size() > 1 && word[0] == '@' && word[1] != '@')
            files.push_back(word.substr(1));
        value = option && kSeparateValueOptions.count(word) != 0;
    }
    return files;
}

} // namespace

bool checkWhatJavaUses(const std::string& searchPath, const std::string& runtimeDir, const TrustedPlaces& trusted)
{
    if (!mediaAreChecked())
        return true;
    for (std::size_t slot = 0; slot < kClassSlots && !classTable[slot].empty(); ++slot)
        for (const std::string& file : argumentFiles(classTable[slot]))
            if (!requireUsedEntry(joinPath(runtimeDir, file), FolderUse::none, trusted))
                return false;
    const std::string_view classPath = std::string_view(classPathBuf).substr(classPathBuf.find('=') + 1);
    for (const std::string& entry : splitAt(classPath, ";"))
        if (!requireUsedEntry(entry, FolderUse::everythingBelow, trusted))
            return false;
    // The folder the processes start in, then each folder searched before the machine's own. An
    // empty element of the class path (one ";" after another, or one at its end) is the folder
    // the Java process starts in, with everything below it.
    const bool emptyElement = classPath.empty() || classPath.back() == ';' || classPath.front() == ';' ||
                              classPath.find(";;") != std::string_view::npos;
    if (!requireUsedEntry(runtimeDir, emptyElement ? FolderUse::everythingBelow : FolderUse::itsFiles, trusted))
        return false;
    const std::size_t searchValue = searchPath.find('=');
    for (const std::string& entry : splitAt(std::string_view(searchPath).substr(searchValue + 1), ";"))
        if (entry != "." && !requireUsedEntry(entry, FolderUse::itsFiles, trusted))
            return false;
    return true;
}
