// AVX-512 (F, BW, VL, VPOPCNTDQ) variants of the certified kernels.
// GCC 12 reports the undefined start values inside its AVX-512 intrinsics as
// "used uninitialized" where they are inlined; those are false positives.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

#include <cstdint>

#include "certified_kernels.hpp"

#define ZLN_TARGET_AVX512_POPCNT __attribute__((target("avx512f,avx512bw,avx512vl,avx512vpopcntdq")))

namespace zln::lsh::detail {

namespace {

// R rows at once: they share every plane load, and their R Horner chains
// (acc = 2 acc + count, one per row) are independent, so the adds of one
// row overlap the popcounts of the others.
template <int R>
ZLN_TARGET_AVX512_POPCNT inline void plane_sums_rows(const std::uint64_t* rows, std::size_t row_stride,
                                                     const std::uint64_t* neg, const std::uint64_t* planes,
                                                     std::size_t pstride, unsigned nplanes, std::size_t words,
                                                     std::int64_t* out) noexcept {
    const std::size_t full = words / 8;
    const unsigned tail = static_cast<unsigned>(words % 8);
    __m512i total[R];
    for (int i = 0; i < R; ++i) total[i] = _mm512_setzero_si512();
    for (std::size_t c = 0; c < full; ++c) {
        const __m512i nv = _mm512_loadu_si512(neg + 8 * c);
        __m512i x[R], acc[R];
        for (int i = 0; i < R; ++i) {
            x[i] = _mm512_xor_si512(_mm512_loadu_si512(rows + i * row_stride + 8 * c), nv);
            acc[i] = _mm512_setzero_si512();
        }
        const std::uint64_t* plane = planes + 8 * c;
        for (unsigned p = nplanes; p-- > 0;) {
            const __m512i pv = _mm512_loadu_si512(plane + p * pstride);
            for (int i = 0; i < R; ++i) {
                acc[i] = _mm512_add_epi64(_mm512_add_epi64(acc[i], acc[i]),
                                          _mm512_popcnt_epi64(_mm512_and_si512(x[i], pv)));
            }
        }
        for (int i = 0; i < R; ++i) total[i] = _mm512_add_epi64(total[i], acc[i]);
    }
    if (tail != 0) {
        // Row words past `words` are never read (masked loads); the negative
        // mask and the planes are readable up to pstride, the planes zero there.
        const std::size_t c = full;
        const std::uint64_t* plane = planes + 8 * c;
        if (tail <= 4) {
            // Half width is enough, and costs half on CPUs that split 512-bit work.
            const __mmask8 m = static_cast<__mmask8>((1U << tail) - 1U);
            const __m256i nv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(neg + 8 * c));
            __m256i x[R], acc[R];
            for (int i = 0; i < R; ++i) {
                x[i] = _mm256_xor_si256(_mm256_maskz_loadu_epi64(m, rows + i * row_stride + 8 * c), nv);
                acc[i] = _mm256_setzero_si256();
            }
            for (unsigned p = nplanes; p-- > 0;) {
                const __m256i pv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(plane + p * pstride));
                for (int i = 0; i < R; ++i) {
                    acc[i] = _mm256_add_epi64(_mm256_add_epi64(acc[i], acc[i]),
                                              _mm256_popcnt_epi64(_mm256_and_si256(x[i], pv)));
                }
            }
            for (int i = 0; i < R; ++i) {
                total[i] = _mm512_add_epi64(total[i], _mm512_zextsi256_si512(acc[i]));
            }
        } else {
            const __mmask8 m = static_cast<__mmask8>((1U << tail) - 1U);
            const __m512i nv = _mm512_loadu_si512(neg + 8 * c);
            __m512i x[R], acc[R];
            for (int i = 0; i < R; ++i) {
                x[i] = _mm512_xor_si512(_mm512_maskz_loadu_epi64(m, rows + i * row_stride + 8 * c), nv);
                acc[i] = _mm512_setzero_si512();
            }
            for (unsigned p = nplanes; p-- > 0;) {
                const __m512i pv = _mm512_loadu_si512(plane + p * pstride);
                for (int i = 0; i < R; ++i) {
                    acc[i] = _mm512_add_epi64(_mm512_add_epi64(acc[i], acc[i]),
                                              _mm512_popcnt_epi64(_mm512_and_si512(x[i], pv)));
                }
            }
            for (int i = 0; i < R; ++i) total[i] = _mm512_add_epi64(total[i], acc[i]);
        }
    }
    for (int i = 0; i < R; ++i) out[i] = _mm512_reduce_add_epi64(total[i]);
}

}  // namespace

ZLN_TARGET_AVX512_POPCNT void plane_sums_avx512(const std::uint64_t* rows, std::size_t row_stride,
                                                std::size_t nrows, const std::uint64_t* neg,
                                                const std::uint64_t* planes, std::size_t pstride,
                                                unsigned nplanes, std::size_t words,
                                                std::int64_t* out) noexcept {
    std::size_t r = 0;
    for (; r + 4 <= nrows; r += 4) {
        plane_sums_rows<4>(rows + r * row_stride, row_stride, neg, planes, pstride, nplanes, words, out + r);
    }
    for (; r < nrows; ++r) {
        plane_sums_rows<1>(rows + r * row_stride, row_stride, neg, planes, pstride, nplanes, words, out + r);
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
