// Writes zip archives for the tests with minizip's own writer, including the broken ones.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace testing_support {

// An MS-DOS date and time as a zip entry stores it: date in the high 16 bits.
unsigned long dosDateTime(int year, int month, int day, int hour, int minute, int second);

struct ZipEntry {
    std::string name;
    std::string content;
    unsigned long dosDate = dosDateTime(2001, 2, 3, 4, 5, 6);
    bool deflate = true;
    // Stored with this checksum in place of the right one.
    std::optional<unsigned long> wrongCrc;
    // Written as it is under this method number, content being the packed bytes and its
    // length the unpacked size.
    std::optional<int> rawMethod;
    // The name is UTF-8, as general-purpose bit 11 says.
    bool utf8Name = false;
};

void writeZip(const std::string& path, const std::vector<ZipEntry>& entries);

} // namespace testing_support
