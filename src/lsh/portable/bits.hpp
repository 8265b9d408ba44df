// Bit counts for the generic code: the standard library's, or, in a build
// with ZLN_PORTABLE_FALLBACKS (for testing what a compiler without the
// builtins behind them would get), plain arithmetic with the same results.
#pragma once

#include <bit>
#include <cstdint>

namespace zln::lsh::bits {

#if defined(ZLN_PORTABLE_FALLBACKS)

constexpr int popcount64(std::uint64_t x) noexcept {
    // Counts by halves: pairs, nibbles, bytes, then all bytes summed by one multiply.
    x = x - ((x >> 1) & 0x5555555555555555ULL);
    x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
    return static_cast<int>((x * 0x0101010101010101ULL) >> 56);
}

constexpr int countl_zero64(std::uint64_t x) noexcept {
    if (x == 0) return 64;
    int n = 0;
    for (int step = 32; step != 0; step >>= 1) {
        if ((x >> (64 - step)) == 0) {  // the top `step` bits are all zero
            n += step;
            x <<= step;
        }
    }
    return n;
}

#else

constexpr int popcount64(std::uint64_t x) noexcept { return std::popcount(x); }
constexpr int countl_zero64(std::uint64_t x) noexcept { return std::countl_zero(x); }

#endif

}  // namespace zln::lsh::bits
