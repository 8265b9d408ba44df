// The plane sums (kernels.hpp, PlaneSums) as one body for the variants that
// differ only in how the bits of a word are counted: the generic twin
// (bits::popcount64, plain arithmetic in a build with the portable
// fallbacks) and the POPCNT variant (std::popcount inside a function
// compiled for POPCNT: one instruction per word). Each includes this file
// and instantiates the body inside its own function.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lsh/kernels/arch.hpp"

namespace zln::lsh::detail {

// Horner over the planes from the most significant down, so the weights 2^p
// cost one doubling per plane.
template <class CountBits>
ZLN_ALWAYS_INLINE void plane_sums_body(const std::uint64_t* rows, std::size_t row_stride, std::size_t nrows,
                                       const std::uint64_t* neg, const std::uint64_t* planes, std::size_t pstride,
                                       unsigned nplanes, std::size_t words, std::int64_t* out,
                                       CountBits count_bits) noexcept {
    for (std::size_t r = 0; r < nrows; ++r) {
        const std::uint64_t* row = rows + r * row_stride;
        std::int64_t acc = 0;
        for (unsigned p = nplanes; p-- > 0;) {
            const std::uint64_t* plane = planes + p * pstride;
            std::int64_t count = 0;
            for (std::size_t w = 0; w < words; ++w) count += count_bits((row[w] ^ neg[w]) & plane[w]);
            acc = 2 * acc + count;
        }
        out[r] = acc;
    }
}

}  // namespace zln::lsh::detail
