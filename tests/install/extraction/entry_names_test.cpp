// How an entry's name is read (its bytes, or UTF-8 where its maker says so) and the rules its
// decoded form must meet, on both families of Windows.
#include <windows.h>

#include <zlib.h>

#include "install/extraction/entry_names.h"
#include "install/platform.h"
#include "../trace_log_fixture.h"

namespace {

using Form = EntryName::Form;

// An Info-ZIP Unicode Path extra field for a stored name, its CRC-32 taken from crcOf.
std::string unicodePathField(const std::string& utf8, const std::string& crcOf)
{
    const uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(crcOf.data()), static_cast<uInt>(crcOf.size()));
    std::string data = "\x01";
    for (int i = 0; i < 4; ++i)
        data += static_cast<char>((crc >> (8 * i)) & 0xFF);
    data += utf8;
    std::string field = "\x75\x70";
    field += static_cast<char>(data.size() & 0xFF);
    field += static_cast<char>(data.size() >> 8);
    // Another field in front, which the reader passes over.
    return std::string("\x55\x54\x01\x00\x07", 5) + field + data;
}

struct Case {
    const char* what;
    std::string stored;
    unsigned long flags;
    std::string extra;
    // On the NT family (the file functions take UTF-16) and on the 95 family (they take ANSI).
    Form ntForm;
    std::wstring ntWide;
    Form nineFiveForm;
    std::string nineFiveText;
    // Whether the name as Windows stores it may be unpacked below a destination, and whether it
    // is a version entry, on the NT family.
    bool safe;
    bool version;
};

TEST(EntryNamesTest, DecodedNamesMeetEveryRuleInTheFormWindowsStores)
{
    // Every expectation below is for the ANSI code page 1252, which Wine gives the test prefix.
    ASSERT_EQ(GetACP(), 1252u);
    const std::string resume = "r\xC3\xA9sum\xC3\xA9.txt";
    const std::string cjk = "\xE6\x97\xA5\xE6\x9C\xAC/\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF.txt";
    const std::string fullwidth = "\xEF\xBC\x8E\xEF\xBC\x8E\xEF\xBC\xBCx";
    const std::vector<Case> cases = {
        {"flagged UTF-8", resume, kUtf8NameFlag, "", Form::unicode, L"r\u00E9sum\u00E9.txt", Form::ansi,
         "r\xE9sum\xE9.txt", true, false},
        {"flagged but plain ASCII, as jar writes every name", "lib/rt.jar", kUtf8NameFlag, "", Form::ansi, L"",
         Form::ansi, "lib/rt.jar", true, false},
        {"the same bytes unflagged are ANSI", resume, 0, "", Form::ansi, L"", Form::ansi, resume, true, false},
        {"a Unicode Path field for this name", "r?sum?.txt", 0, unicodePathField(resume, "r?sum?.txt"), Form::unicode,
         L"r\u00E9sum\u00E9.txt", Form::ansi, "r\xE9sum\xE9.txt", true, false},
        {"a stale Unicode Path field", "r?sum?.txt", 0, unicodePathField(resume, "renamed.txt"), Form::ansi, L"",
         Form::ansi, "r?sum?.txt", true, false},
        {"a CJK folder", cjk, kUtf8NameFlag, "", Form::unicode, L"\u65E5\u672C/\u30C7\u30FC\u30BF.txt",
         Form::noAnsiForm, "?\?/???.txt", true, false},
        {"malformed UTF-8", "a\xC3(b", kUtf8NameFlag, "", Form::malformed, L"", Form::malformed, "a\xC3(b", false,
         false},
        {"an overlong slash", "a\xC0\xAF..\xC0\xAFx", kUtf8NameFlag, "", Form::malformed, L"", Form::malformed,
         "a\xC0\xAF..\xC0\xAFx", false, false},
        {"an encoded surrogate", "\xED\xA0\x80x", kUtf8NameFlag, "", Form::malformed, L"", Form::malformed,
         "\xED\xA0\x80x", false, false},
        // Best fit would make "..\x" of them; they are a name of their own on NT, none on 95.
        {"fullwidth dots and reverse solidus", fullwidth, kUtf8NameFlag, "", Form::unicode, L"\uFF0E\uFF0E\uFF3Cx",
         Form::noAnsiForm, "???x", true, false},
        {"a device with a superscript digit", "COM\xC2\xB9.txt", kUtf8NameFlag, "", Form::unicode, L"COM\u00B9.txt",
         Form::ansi, "COM\xB9.txt", false, false},
        {"a device with a dotless i", "con\xC4\xB1n$", kUtf8NameFlag, "", Form::unicode, L"con\u0131n$",
         Form::noAnsiForm, "con?n$", false, false},
        {"trailing dots and blanks", "d\xC3\xA9j\xC3\xA0/caf\xC3\xA9.ver. .", kUtf8NameFlag, "", Form::unicode,
         L"d\u00E9j\u00E0/caf\u00E9.ver. .", Form::ansi, "d\xE9j\xE0/caf\xE9.ver. .", true, true},
        {"a version record's place", "caf\xC3\xA9.VER./x", kUtf8NameFlag, "", Form::unicode, L"caf\u00E9.VER./x",
         Form::ansi, "caf\xE9.VER./x", true, false},
    };
    for (const Case& c : cases) {
        const EntryName nt = decodeEntryName(c.stored, c.flags, c.extra, true);
        EXPECT_EQ(nt.form, c.ntForm) << c.what;
        EXPECT_EQ(nt.wide, c.ntWide) << c.what;
        const EntryName nineFive = decodeEntryName(c.stored, c.flags, c.extra, false);
        EXPECT_EQ(nineFive.form, c.nineFiveForm) << c.what;
        EXPECT_EQ(nineFive.text, c.nineFiveText) << c.what;
        if (nt.form == Form::unicode) {
            EXPECT_EQ(hasSafeEntryName(nt.wide), c.safe) << c.what;
            EXPECT_EQ(isVersionEntry(nt.wide), c.version ? 1 : 0) << c.what;
            EXPECT_EQ(isInsideDestination("C:\\dest", nt.wide), c.safe) << c.what;
        } else if (nt.form == Form::ansi) {
            EXPECT_EQ(hasSafeEntryName(nt.text), c.safe) << c.what;
        }
    }
    EXPECT_TRUE(claimsVersionRecord(std::wstring(L"caf\u00E9.VER./x")));
    EXPECT_EQ(storedEntryName(std::wstring_view(L"d\u00E9j\u00E0. /caf\u00E9. .")), L"d\u00E9j\u00E0/caf\u00E9");
    EXPECT_EQ(ansiTextForTrace(L"\u65E5 r\u00E9"), "? r\xE9");
}

// A name of length characters in folders of 200, as an entry many folders deep spells it.
std::wstring nameOfLength(std::size_t length)
{
    std::wstring name;
    while (name.size() + 201 < length)
        name += std::wstring(200, L'e') + L'/';
    return name + std::wstring(length - name.size(), L'x');
}

// The NT family takes a path of at most 32,767 characters in its "\\?\" form, its terminating
// null included, and no file system of Windows stores a name of more than 255; a path past
// either is one the system would cut short, so it is refused whole. The system resolves "." and
// doubled separators away before it counts.
TEST(EntryNamesTest, AnEntryFitsWithinTheLongestPathAndName)
{
    const std::size_t base = 44;
    // The entry adds its length and the separator before it.
    const std::size_t longest = kLongestExtendedPath - base - 1;
    ASSERT_EQ(kLongestExtendedPath + 1, 32767u);
    ASSERT_EQ(kLongestComponent, 255u);
    struct Case {
        const char* what;
        std::wstring name;
        bool fits;
    };
    const std::vector<Case> cases = {
        {"as long as a path goes", nameOfLength(longest), true},
        {"one character more", nameOfLength(longest + 1), false},
        {"longer only by \".\" names", L"./" + nameOfLength(longest), true},
        {"longer only by doubled separators", L"a//" + nameOfLength(longest - 2), true},
        {"a name of 255", L"d/" + std::wstring(255, L'n'), true},
        {"a name of 256", L"d/" + std::wstring(256, L'n'), false},
        {"a folder of 256 below short ones", L"d/" + std::wstring(256, L'n') + L"/x", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(fitsExtendedPath(base, c.name), c.fits) << c.what << " (" << c.name.size() << ")";
}

} // namespace
