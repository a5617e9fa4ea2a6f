// The manifest reader, the system's SHA-256 and the certificate table, each against data whose
// answer comes from elsewhere: digests from sha256sum, tables from the PE format.
#include <gtest/gtest.h>

#include <string>

#include "common/program_path.h"
#include "install/trust/media_manifest.h"
#include "install/trust/signature.h"

namespace {

// sha256sum of "abc" and of nothing.
constexpr char kAbcDigest[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr char kEmptyDigest[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string hexOf(const Sha256Digest& digest)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char byte : digest)
        text.append({kDigits[byte >> 4], kDigits[byte & 15]});
    return text;
}

TEST(MediaDigest, SystemSha256GivesWhatSha256sumGives)
{
    ASSERT_TRUE(systemSha256Available());
    EXPECT_EQ(hexOf(*sha256OfBytes("abc")), kAbcDigest);
    EXPECT_EQ(hexOf(*sha256OfBytes("")), kEmptyDigest);
}

struct ManifestCase {
    const char* what;
    std::string text;
    bool accepted;
    const char* listedPath;  // upper case, as looked up; checked when accepted
    unsigned long long size;
};

TEST(MediaManifest, LinesAreEntriesOrTheManifestIsRefused)
{
    const std::string digest = kAbcDigest;
    const ManifestCase cases[] = {
        {"CR LF lines and a comment", "# header\r\n" + digest + " 3 kp\\windows\\jre.zip\r\n", true,
         "KP\\WINDOWS\\JRE.ZIP", 3},
        {"LF lines, a blank in the name", digest + " 12 kp\\lib\\a b.jar\n\n", true, "KP\\LIB\\A B.JAR", 12},
        {"upper-case hex", std::string(kAbcDigest).replace(0, 2, "BA") + " 0 x\n", true, "X", 0},
        {"a digest one digit short", digest.substr(1) + " 3 x\n", false, nullptr, 0},
        {"no size", digest + "  x\n", false, nullptr, 0},
        {"no path", digest + " 3 \n", false, nullptr, 0},
        {"a size that is no number", digest + " 3k x\n", false, nullptr, 0},
        {"not hex", std::string(kAbcDigest).replace(0, 1, "g") + " 3 x\n", false, nullptr, 0},
        {"an absolute path", digest + " 3 c:\\x\n", false, nullptr, 0},
        {"a path from the root", digest + " 3 \\x\n", false, nullptr, 0},
        {"a path that climbs out", digest + " 3 kp\\..\\..\\x\n", false, nullptr, 0},
        {"one path twice, in two cases", digest + " 3 kp\\x\n" + digest + " 3 KP\\X\n", false, nullptr, 0},
    };
    for (const ManifestCase& c : cases) {
        std::string reason;
        const auto files = parseMediaManifest(c.text, "m", reason);
        EXPECT_EQ(files.has_value(), c.accepted) << c.what << ": " << reason;
        if (!files || !c.accepted)
            continue;
        ASSERT_EQ(files->size(), 1u) << c.what;
        const auto listed = files->find(c.listedPath);
        ASSERT_NE(listed, files->end()) << c.what;
        EXPECT_EQ(listed->second.size, c.size) << c.what;
        EXPECT_EQ(hexOf(listed->second.digest), kAbcDigest) << c.what;
    }
}

} // namespace
