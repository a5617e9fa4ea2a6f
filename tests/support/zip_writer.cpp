#include "zip_writer.h"

#include <stdexcept>

#include <zip.h>
#include <zlib.h>

#include "testing.h"

namespace testing_support {

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
        const bool raw = entry.wrongCrc.has_value();
        const int method = entry.deflate && !raw ? Z_DEFLATED : 0;
        int status = zipOpenNewFileInZip2(zip, entry.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, method,
                                          method ? Z_DEFAULT_COMPRESSION : 0, raw ? 1 : 0);
        if (status == ZIP_OK && !entry.content.empty())
            status = zipWriteInFileInZip(zip, entry.content.data(), static_cast<unsigned>(entry.content.size()));
        if (status == ZIP_OK)
            status = raw ? zipCloseFileInZipRaw(zip, static_cast<uLong>(entry.content.size()), *entry.wrongCrc)
                         : zipCloseFileInZip(zip);
        if (status != ZIP_OK) {
            zipClose(zip, nullptr);
            throw std::runtime_error("cannot write " + entry.name + " into " + path);
        }
    }
    if (zipClose(zip, nullptr) != ZIP_OK)
        throw std::runtime_error("cannot finish " + path);
}

} // namespace testing_support
