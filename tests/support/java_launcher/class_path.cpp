#include "class_path.h"

#include <windows.h>

#include "../../../common/unzip_owners.h"

namespace java_launcher {

namespace {

// com.example.Setup is com/example/Setup.class in a jar and com\example\Setup.class in a folder.
std::string entryName(const std::string& className, char separator)
{
    std::string name = className;
    for (char& c : name)
        if (c == '.')
            c = separator;
    return name + ".class";
}

bool jarHolds(const std::string& jar, const std::string& entry)
{
    const UniqueZipArchive archive(unzOpen64(jar.c_str()));
    // Names in a jar are compared exactly, as the class loader compares them.
    return archive && unzLocateFile(archive.get(), entry.c_str(), 1) == UNZ_OK;
}

bool folderHolds(const std::string& folder, const std::string& file)
{
    const std::string path = (folder.empty() ? std::string(".") : folder) + "\\" + file;
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace

std::optional<std::string> findClass(const std::string& classPath, const std::string& className)
{
    // A name with a path separator is no binary name; the loader never finds it.
    if (className.empty() || className.find_first_of("\\;") != std::string::npos)
        return std::nullopt;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = classPath.find(';', start);
        const std::string element = classPath.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const DWORD attributes = GetFileAttributesA(element.empty() ? "." : element.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            const bool found = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? folderHolds(element, entryName(className, '\\'))
                                                                       : jarHolds(element, entryName(className, '/'));
            if (found)
                return element;
        }
        if (end == std::string::npos)
            return std::nullopt;
        start = end + 1;
    }
}

} // namespace java_launcher
