// The manifest reader and SHA-256, the system's and the processor's, each against data whose
// answer comes from elsewhere: digests from sha256sum.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "install/trust/media_manifest.h"
#include "install/trust/sha256_instructions.h"
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

// The processor's SHA instructions give sha256sum's digests at every length around a block's
// end and its length field, however the bytes come in: whole, a byte at a time, or in pieces
// that cross the blocks.
TEST(MediaDigest, ShaInstructionsGiveWhatSha256sumGivesAtEveryBlockBoundary)
{
    if (!processorHasShaInstructions())
        GTEST_SKIP() << "this processor has no SHA instructions";
    std::string pattern(1000, '\0');
    for (std::size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<char>((i * 7 + 3) % 256);
    const std::pair<std::size_t, const char*> cases[] = {
        {0, kEmptyDigest},
        {1, "084fed08b978af4d7d196a7446a86b58009e636b611db16211b65a9aadff29c5"},
        {55, "e7313d333c272e639f790978283f9eb392e843d0f29b7016828bb1daa4aac70b"},
        {56, "4324d65f3c103567f5589c710bc08f8523f929a9272e3af36fc968e52abc6c27"},
        {63, "81c80242132f230c3bd41b3e63bbcff16107339549214a99614ff26664625055"},
        {64, "39e3d7b6b5d075d37d053ad89b24b41bef4f3c29760c84447cab3f3be1882241"},
        {65, "aacca6ff74fdbb296d165a45cecfa04e5127bc008770fbbdd48006f2d2fae95e"},
        {119, "9ce7368e4daf32341631b492e80359dc9f594b48453cd0dd5bf0b19279cc177e"},
        {120, "7836b787757e95e58b3ca5aec90b1b004e8deba1e50e9675af9cabf1a13a04b5"},
        {127, "a8d23e75d936f303d248888d9b165ee543f4cbafcad3c9dd2a79bd84faa11d07"},
        {128, "d2742f1f4ac6bb7ca2b239ee18402ba8b3f9f8e652d2a72973c2b9ba11c08cf6"},
        {1000, "1e9bc38cbf860b9ec31918b065f9b52476c549a782e0e7990bed8ce3868d2371"},
    };
    for (const auto& [length, expected] : cases)
        for (const std::size_t piece : {std::size_t{1000}, std::size_t{1}, std::size_t{7}, std::size_t{63}, std::size_t{100}}) {
            InstructionSha256 hash;
            for (std::size_t at = 0; at < length; at += piece)
                hash.add(reinterpret_cast<const unsigned char*>(pattern.data()) + at, std::min(piece, length - at));
            EXPECT_EQ(hexOf(hash.finish()), expected) << length << " bytes in pieces of " << piece;
        }
    const std::string million(1000000, 'a');
    EXPECT_EQ(hexOf(*sha256OfBytes(million)), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
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
