#include "zip_writer.h"

#include <stdexcept>

#include <zip.h>
#include <zlib.h>

#include "testing.h"

namespace testing_support {

namespace {

// Writes the method of every entry written raw under a method minizip does not know into its
// local and central headers, found by the entry's name.
void setOtherMethods(const std::string& path, const std::vector<ZipEntry>& entries)
{
    std::string bytes;
    for (const ZipEntry& entry : entries) {
        if (!entry.rawMethod || *entry.rawMethod == 0 || *entry.rawMethod == Z_DEFLATED)
            continue;
        if (bytes.empty())
            bytes = readFile(path);
        const auto setAt = [&](const char* signature, std::size_t nameOffset, std::size_t methodOffset) {
            for (std::size_t at = bytes.find(signature); at != std::string::npos; at = bytes.find(signature, at + 1)) {
                if (bytes.compare(at + nameOffset, entry.name.size(), entry.name) == 0) {
                    bytes[at + methodOffset] = static_cast<char>(*entry.rawMethod & 0xFF);
                    bytes[at + methodOffset + 1] = static_cast<char>(*entry.rawMethod >> 8);
                    return;
                }
            }
            throw std::runtime_error("no header of " + entry.name + " in " + path);
        };
        setAt("PK\x03\x04", 30, 8);
        setAt("PK\x01\x02", 46, 10);
    }
    if (!bytes.empty())
        writeFile(path, bytes);
}

} // namespace

unsigned long dosDateTime(int year, int month, int day, int hour, int minute, int second)
{
    const unsigned long date = ((year - 1980) << 9) | (month << 5) | day;
    const unsigned long time = (hour << 11) | (minute << 5) | (second / 2);
    return (date << 16) | time;
}

void writeZip(const std::string& path, const std::vector<ZipEntry>& entries)
{
    makeDirectories(path.substr(0, path.find_last_of('\\')));
    zipFile zip = zipOpen(path.c_str(), APPEND_STATUS_CREATE);
    if (!zip)
        throw std::runtime_error("cannot create " + path);
    for (const ZipEntry& entry : entries) {
        zip_fileinfo info{};
        info.dosDate = entry.dosDate;
        const bool raw = entry.wrongCrc.has_value() || entry.rawMethod.has_value();
        // minizip writes only the methods it knows; any other is put in once the archive is written.
        const int method = entry.rawMethod == Z_DEFLATED ? Z_DEFLATED : entry.deflate && !raw ? Z_DEFLATED : 0;
        constexpr unsigned long kUtf8NameFlag = 0x800;
        int status = zipOpenNewFileInZip4(zip, entry.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, method,
                                          method ? Z_DEFAULT_COMPRESSION : 0, raw ? 1 : 0, -MAX_WBITS, DEF_MEM_LEVEL,
                                          Z_DEFAULT_STRATEGY, nullptr, 0, 0, entry.utf8Name ? kUtf8NameFlag : 0);
        if (status == ZIP_OK && !entry.content.empty())
            status = zipWriteInFileInZip(zip, entry.content.data(), static_cast<unsigned>(entry.content.size()));
        if (status == ZIP_OK)
            status = raw ? zipCloseFileInZipRaw(zip, static_cast<uLong>(entry.content.size()),
                                                entry.wrongCrc ? *entry.wrongCrc
                                                               : crc32(0L, reinterpret_cast<const Bytef*>(entry.content.data()),
                                                                       static_cast<uInt>(entry.content.size())))
                         : zipCloseFileInZip(zip);
        if (status != ZIP_OK) {
            zipClose(zip, nullptr);
            throw std::runtime_error("cannot write " + entry.name + " into " + path);
        }
    }
    if (zipClose(zip, nullptr) != ZIP_OK)
        throw std::runtime_error("cannot finish " + path);
    setOtherMethods(path, entries);
}

} // namespace testing_support
