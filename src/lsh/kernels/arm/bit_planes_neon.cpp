// The bit-planes stage's plane sums with NEON: CNT counts the bits of sixteen
// bytes at once, and UADALP folds those byte counts into 16-bit lanes.
#include "lsh/kernels/arch.hpp"

#if defined(ZLN_ARCH_ARM64)

#include <arm_neon.h>

#include <algorithm>
#include <bit>

#include "lsh/kernels/kernels.hpp"

namespace zln::lsh::detail {

namespace {

// Words of row XOR neg computed once per chunk and reused by every plane.
// 256 words keep the buffer in L1 and every 16-bit lane below 128 * 16.
constexpr std::size_t kChunk = 256;

}  // namespace

void plane_sums_neon(const std::uint64_t* rows, std::size_t row_stride, std::size_t nrows, const std::uint64_t* neg,
                     const std::uint64_t* planes, std::size_t pstride, unsigned nplanes, std::size_t words,
                     std::int64_t* out) noexcept {
    alignas(16) std::uint64_t x[kChunk];
    for (std::size_t r = 0; r < nrows; ++r) {
        const std::uint64_t* row = rows + r * row_stride;
        // counts[p] = popcount over all words of (row ^ neg) & plane p; the
        // weighted sum of the counts is the same integer as Horner's.
        std::int64_t counts[32] = {};
        for (std::size_t c0 = 0; c0 < words; c0 += kChunk) {
            const std::size_t m = std::min(kChunk, words - c0);
            for (std::size_t w = 0; w < m; ++w) x[w] = row[c0 + w] ^ neg[c0 + w];
            const std::size_t pairs = m / 2;
            for (unsigned p = 0; p < nplanes; ++p) {
                const std::uint64_t* plane = planes + p * pstride + c0;
                uint16x8_t c16 = vdupq_n_u16(0);
                for (std::size_t i = 0; i < pairs; ++i) {
                    const uint64x2_t bits = vandq_u64(vld1q_u64(x + 2 * i), vld1q_u64(plane + 2 * i));
                    c16 = vpadalq_u8(c16, vcntq_u8(vreinterpretq_u8_u64(bits)));
                }
                std::int64_t count = vaddlvq_u16(c16);
                if (m % 2 != 0) count += std::popcount(x[m - 1] & plane[m - 1]);
                counts[p] += count;
            }
        }
        std::int64_t acc = 0;
        for (unsigned p = nplanes; p-- > 0;) acc = 2 * acc + counts[p];
        out[r] = acc;
    }
}

}  // namespace zln::lsh::detail

#endif  // ZLN_ARCH_ARM64
