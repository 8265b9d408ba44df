// The bit-planes stage's plane sums with the POPCNT instruction: the
// generic body (generic/bit_planes_body.hpp) compiled for it, so
// std::popcount becomes one instruction per word.
#include "lsh/kernels/arch.hpp"

#if defined(ZLN_ARCH_X86_64)

#include <bit>

#include "lsh/kernels/generic/bit_planes_body.hpp"
#include "lsh/kernels/kernels.hpp"

namespace zln::lsh::detail {

ZLN_TARGET("popcnt")
void plane_sums_popcnt(const std::uint64_t* rows, std::size_t row_stride, std::size_t nrows, const std::uint64_t* neg,
                       const std::uint64_t* planes, std::size_t pstride, unsigned nplanes, std::size_t words,
                       std::int64_t* out) noexcept {
    plane_sums_body(rows, row_stride, nrows, neg, planes, pstride, nplanes, words, out,
                    [](std::uint64_t x) noexcept { return std::popcount(x); });
}

}  // namespace zln::lsh::detail

#endif
