#include "version_records.h"

#include <cstdio>
#include <cstdlib>

#include "entry_names.h"
#include "../platform.h"
#include "../tracelog.h"

namespace {

constexpr char kWritingRecordFormat[] = "Writing %s to file \n";
constexpr char kRecordFormat[] = "date=%ld";
constexpr std::size_t kRecordChunk = 128;

} // namespace

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

long parseVersionStamp(std::string_view text)
{
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos)
        return 0;
    // strtol reads like atol but is defined for numbers out of range.
    const std::string number(text.substr(equals + 1));
    return std::strtol(number.c_str(), nullptr, 10);
}
