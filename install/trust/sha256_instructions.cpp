#include "sha256_instructions.h"

#include <cpuid.h>
#include <immintrin.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// Compresses whole 64-byte blocks into state: each group of four rounds takes four words of the
// message schedule, which the SHA instructions extend from the sixteen words of the block.
__attribute__((target("sha,sse4.1,ssse3"))) void compressBlocks(std::uint32_t* state, const unsigned char* data,
                                                                 std::size_t blocks)
{
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    // The instructions keep the state as ABEF and CDGH.
    __m128i cdab = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
    __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
    for (; blocks > 0; --blocks, data += 64) {
        const __m128i savedAbef = abef;
        const __m128i savedCdgh = cdgh;
        __m128i words[16];
        for (int i = 0; i < 16; ++i) {
            if (i < 4)
                words[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byteSwap);
            else
                words[i] = _mm_sha256msg2_epu32(
                    _mm_add_epi32(_mm_sha256msg1_epu32(words[i - 4], words[i - 3]),
                                  _mm_alignr_epi8(words[i - 1], words[i - 2], 4)),
                    words[i - 1]);
            __m128i message = _mm_add_epi32(
                words[i], _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRoundConstants + 4 * i)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
            message = _mm_shuffle_epi32(message, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
        }
        abef = _mm_add_epi32(abef, savedAbef);
        cdgh = _mm_add_epi32(cdgh, savedCdgh);
    }
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

} // namespace

bool processorHasShaInstructions()
{
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        return false;
    const bool sse = (ecx & bit_SSSE3) && (ecx & bit_SSE4_1);
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx))
        return false;
    return sse && (ebx & bit_SHA);
}

void InstructionSha256::add(const unsigned char* data, std::size_t size)
{
    total_ += size;
    if (pendingSize_ > 0) {
        const std::size_t taken = std::min(size, pending_.size() - pendingSize_);
        std::memcpy(pending_.data() + pendingSize_, data, taken);
        pendingSize_ += taken;
        data += taken;
        size -= taken;
        if (pendingSize_ < pending_.size())
            return;
        compressBlocks(state_.data(), pending_.data(), 1);
        pendingSize_ = 0;
    }
    compressBlocks(state_.data(), data, size / 64);
    pendingSize_ = size % 64;
    std::memcpy(pending_.data(), data + size - pendingSize_, pendingSize_);
}

std::array<unsigned char, 32> InstructionSha256::finish()
{
    // The message, then a 1 bit, zeros, and its length in bits, big-endian, to a whole block.
    const std::uint64_t bits = total_ * 8;
    unsigned char tail[128] = {0x80};
    const std::size_t padding = (pendingSize_ < 56 ? 56 : 120) - pendingSize_;
    for (int i = 0; i < 8; ++i)
        tail[padding + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    add(tail, padding + 8);
    std::array<unsigned char, 32> digest{};
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 4; ++j)
            digest[4 * i + j] = static_cast<unsigned char>(state_[i] >> (24 - 8 * j));
    return digest;
}
