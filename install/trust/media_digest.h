// SHA-256 with the processor's SHA instructions where it has them (sha256_instructions.h), else
// as the system computes it: CNG's (bcrypt.dll), or else the AES provider of CryptoAPI (XP SP3
// on). Both are looked up at run time, so that install starts where neither exists.
#pragma once

#include <windows.h>

#include <array>
#include <optional>
#include <string_view>

using Sha256Digest = std::array<unsigned char, 32>;

// True when this system can compute SHA-256.
bool systemSha256Available();

// The digest of bytes; nothing when the system cannot compute it.
std::optional<Sha256Digest> sha256OfBytes(std::string_view bytes);

// The digest of the whole file behind handle, read from its start, and its size; nothing when it
// cannot be read whole or the system cannot compute the digest.
struct FileDigest {
    Sha256Digest digest{};
    unsigned long long size = 0;
};
std::optional<FileDigest> sha256OfFile(HANDLE file);
