// The plane sums with the POPCNT instruction (the generic body, compiled for
// it: std::popcount becomes one instruction per word).
#include "lsh/kernels/arch.hpp"

#if defined(ZLN_ARCH_X86_64)

#include <bit>

#include "lsh/kernels/kernels.hpp"

namespace zln::lsh::detail {

ZLN_TARGET("popcnt")
void plane_sums_popcnt(const std::uint64_t* rows, std::size_t row_stride, std::size_t nrows,
                       const std::uint64_t* neg, const std::uint64_t* planes, std::size_t pstride,
                       unsigned nplanes, std::size_t words, std::int64_t* out) noexcept {
    for (std::size_t r = 0; r < nrows; ++r) {
        const std::uint64_t* row = rows + r * row_stride;
        std::int64_t acc = 0;
        for (unsigned p = nplanes; p-- > 0;) {
            const std::uint64_t* plane = planes + p * pstride;
            std::int64_t count = 0;
            for (std::size_t w = 0; w < words; ++w) count += std::popcount((row[w] ^ neg[w]) & plane[w]);
            acc = 2 * acc + count;
        }
        out[r] = acc;
    }
}

}  // namespace zln::lsh::detail

#endif
