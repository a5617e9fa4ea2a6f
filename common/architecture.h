// What differs between the 32-bit and the 64-bit build, stated once: the sizes of the platform
// records whose layout the programs rely on.
#pragma once

#include <cstddef>

#ifdef _WIN64
inline constexpr std::size_t kStartupInfoBytes = 104;
inline constexpr std::size_t kProcessEntryBytes = 304;
#else
inline constexpr std::size_t kStartupInfoBytes = 68;
inline constexpr std::size_t kProcessEntryBytes = 296;
#endif
