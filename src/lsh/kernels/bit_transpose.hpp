// Turning 64 words of 64 bits into their transpose: the step between one
// word per element (bit i for position i) and one word per position (bit k
// for element k), which the sign rows and the bit planes both take.
#pragma once

#include <cstdint>

namespace zln::lsh::detail {

// In-place transpose of a 64 x 64 bit matrix: afterwards bit i of a[k] is
// what bit k of a[i] was.
inline void transpose_64x64(std::uint64_t* a) noexcept {
    // Swap the off-diagonal halves, then quarters, and so on: at step j the
    // j x j blocks above the diagonal trade places with those below.
    std::uint64_t m = 0x00000000FFFFFFFFULL;
    for (unsigned j = 32; j != 0; j >>= 1, m ^= m << j) {
        for (unsigned k = 0; k < 64; k = ((k | j) + 1) & ~j) {
            const std::uint64_t t = ((a[k] >> j) ^ a[k | j]) & m;
            a[k] ^= t << j;
            a[k | j] ^= t;
        }
    }
}

}  // namespace zln::lsh::detail
