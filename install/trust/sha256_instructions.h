// SHA-256 with the processor's SHA extensions, where it has them: several times faster than a
// system library that computes it in plain code (as Wine's bcrypt does), for the hundreds of
// megabytes of archives a checking run reads. The same digest, checked against the system's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// True when this processor runs the SHA extensions and the SSE4.1 and SSSE3 instructions the
// computation below needs.
bool processorHasShaInstructions();

// One SHA-256 computation, fed in pieces of any size. Only where processorHasShaInstructions.
class InstructionSha256 {
public:
    void add(const unsigned char* data, std::size_t size);
    std::array<unsigned char, 32> finish();

private:
    std::array<std::uint32_t, 8> state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::array<unsigned char, 64> pending_{};
    std::size_t pendingSize_ = 0;
    std::uint64_t total_ = 0;
};
