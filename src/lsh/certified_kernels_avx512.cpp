// AVX-512 (F, BW, VL, VPOPCNTDQ) variants of the certified kernels.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <immintrin.h>

#include <cstdint>

#include "certified_kernels.hpp"

#define ZLN_TARGET_AVX512_POPCNT __attribute__((target("avx512f,avx512bw,avx512vl,avx512vpopcntdq")))

namespace zln::lsh::detail {

ZLN_TARGET_AVX512_POPCNT void plane_sums_avx512(const std::uint64_t* rows, std::size_t row_stride,
                                                std::size_t nrows, const std::uint64_t* neg,
                                                const std::uint64_t* planes,
                                                std::size_t pstride, unsigned nplanes, std::size_t words,
                                                std::int64_t* out) noexcept {
    const std::size_t full = words / 8;
    const unsigned tail = static_cast<unsigned>(words % 8);
    const __mmask8 tail_mask = static_cast<__mmask8>((1U << tail) - 1U);
    for (std::size_t r = 0; r < nrows; ++r) {
        const std::uint64_t* row = rows + r * row_stride;
        __m512i total = _mm512_setzero_si512();
        for (std::size_t c = 0; c <= full; ++c) {
            // Row words past `words` are never read (masked load); negative
            // mask and plane words up to pstride are there, the planes zero.
            if (c == full && tail == 0) break;
            const __m512i rv = _mm512_xor_si512(c < full ? _mm512_loadu_si512(row + 8 * c)
                                                         : _mm512_maskz_loadu_epi64(tail_mask, row + 8 * c),
                                                _mm512_loadu_si512(neg + 8 * c));
            __m512i acc = _mm512_setzero_si512();
            const std::uint64_t* plane = planes + 8 * c;
            for (unsigned p = nplanes; p-- > 0;) {
                const __m512i pv = _mm512_loadu_si512(plane + p * pstride);
                acc = _mm512_add_epi64(_mm512_add_epi64(acc, acc),
                                       _mm512_popcnt_epi64(_mm512_and_si512(rv, pv)));
            }
            total = _mm512_add_epi64(total, acc);
        }
        out[r] = _mm512_reduce_add_epi64(total);
    }
}

ZLN_TARGET_AVX512_POPCNT void build_planes_avx512(const std::uint32_t* q, std::size_t words, unsigned nplanes,
                                                  std::uint64_t* planes, std::size_t pstride) noexcept {
    for (std::size_t w = 0; w < words; ++w) {
        const __m512i v0 = _mm512_loadu_si512(q + 64 * w);
        const __m512i v1 = _mm512_loadu_si512(q + 64 * w + 16);
        const __m512i v2 = _mm512_loadu_si512(q + 64 * w + 32);
        const __m512i v3 = _mm512_loadu_si512(q + 64 * w + 48);
        for (unsigned p = 0; p < nplanes; ++p) {
            const __m512i bit = _mm512_set1_epi32(static_cast<int>(1U << p));
            const std::uint64_t m0 = _mm512_test_epi32_mask(v0, bit);
            const std::uint64_t m1 = _mm512_test_epi32_mask(v1, bit);
            const std::uint64_t m2 = _mm512_test_epi32_mask(v2, bit);
            const std::uint64_t m3 = _mm512_test_epi32_mask(v3, bit);
            planes[p * pstride + w] = m0 | (m1 << 16) | (m2 << 32) | (m3 << 48);
        }
    }
}

}  // namespace zln::lsh::detail
