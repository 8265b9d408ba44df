// The bit-planes stage with AVX-512 (F, BW, VL, VPOPCNTDQ).
// GCC 12 reports the undefined start values inside its AVX-512 intrinsics as
// "used uninitialized" where they are inlined; those are false positives.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "lsh/kernels/arch.hpp"

#if defined(ZLN_ARCH_X86_64)

#include <immintrin.h>

#include <cmath>
#include <cstdint>

#include "lsh/kernels/kernels.hpp"

#define ZLN_TARGET_AVX512_POPCNT ZLN_TARGET("avx512f,avx512bw,avx512vl,avx512vpopcntdq")
#define ZLN_TARGET_AVX512 ZLN_TARGET("avx512f,avx512bw,avx512vl")

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

ZLN_TARGET_AVX512_POPCNT void plane_sums_avx512(const std::uint64_t* rows, std::size_t row_stride, std::size_t nrows,
                                                const std::uint64_t* neg, const std::uint64_t* planes,
                                                std::size_t pstride, unsigned nplanes, std::size_t words,
                                                std::int64_t* out) noexcept {
    std::size_t r = 0;
    for (; r + 4 <= nrows; r += 4) {
        plane_sums_rows<4>(rows + r * row_stride, row_stride, neg, planes, pstride, nplanes, words, out + r);
    }
    // The last one to three rows together as well: a lone row's Horner
    // chain is latency bound.
    const std::uint64_t* rest = rows + r * row_stride;
    switch (nrows - r) {
        case 3: plane_sums_rows<3>(rest, row_stride, neg, planes, pstride, nplanes, words, out + r); break;
        case 2: plane_sums_rows<2>(rest, row_stride, neg, planes, pstride, nplanes, words, out + r); break;
        case 1: plane_sums_rows<1>(rest, row_stride, neg, planes, pstride, nplanes, words, out + r); break;
        default: break;
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

namespace {

// Lanes of the sixteen elements from `base` that lie below n.
inline __mmask16 lanes_below(std::size_t base, std::size_t n) noexcept {
    if (base + 16 <= n) return static_cast<__mmask16>(0xffffU);
    if (base >= n) return 0;
    return static_cast<__mmask16>((1U << (n - base)) - 1U);
}

}  // namespace

ZLN_TARGET_AVX512 double quantise_planes_avx512(const float* v, std::size_t n, int k, unsigned nplanes,
                                                std::uint64_t* planes, std::size_t pstride,
                                                std::int64_t* total) noexcept {
    const __m512d s = _mm512_set1_pd(std::ldexp(1.0, k));
    const __m512d half = _mm512_set1_pd(0.5);
    const __m256i cap = _mm256_set1_epi32(static_cast<int>((1U << nplanes) - 1U));
    const __m512i magnitude = _mm512_set1_epi32(0x7fffffff);
    const std::size_t words = (n + 63) / 64;
    __m512d r0 = _mm512_setzero_pd(), r1 = _mm512_setzero_pd();
    __m512i sum = _mm512_setzero_si512();
    for (std::size_t w = 0; w < words; ++w) {
        __m512i qv[4];
        __m512i wsum = _mm512_setzero_si512();  // per lane below 4 * 2^24
        for (int c = 0; c < 4; ++c) {
            const std::size_t base = 64 * w + 16 * static_cast<std::size_t>(c);
            const __mmask16 m = lanes_below(base, n);
            // Lanes past n load as +0.0: q = 0 there, and their |x - q| is
            // left out of the residual sums.
            const __m512i bits = _mm512_and_si512(_mm512_maskz_loadu_epi32(m, v + base), magnitude);
            const __m256 lo = _mm256_castsi256_ps(_mm512_castsi512_si256(bits));
            const __m256 hi = _mm256_castsi256_ps(_mm512_extracti64x4_epi64(bits, 1));
            // The scalar steps lane by lane: widen (exact), times 2^k, + 0.5,
            // truncate, clamp; then |x - q|, exact.
            const __m512d xlo = _mm512_mul_pd(_mm512_cvtps_pd(lo), s);
            const __m512d xhi = _mm512_mul_pd(_mm512_cvtps_pd(hi), s);
            const __m256i qlo = _mm256_min_epi32(_mm512_cvttpd_epi32(_mm512_add_pd(xlo, half)), cap);
            const __m256i qhi = _mm256_min_epi32(_mm512_cvttpd_epi32(_mm512_add_pd(xhi, half)), cap);
            r0 = _mm512_mask_add_pd(r0, static_cast<__mmask8>(m), r0,
                                    _mm512_abs_pd(_mm512_sub_pd(xlo, _mm512_cvtepi32_pd(qlo))));
            r1 = _mm512_mask_add_pd(r1, static_cast<__mmask8>(m >> 8), r1,
                                    _mm512_abs_pd(_mm512_sub_pd(xhi, _mm512_cvtepi32_pd(qhi))));
            qv[c] = _mm512_inserti64x4(_mm512_castsi256_si512(qlo), qhi, 1);
            wsum = _mm512_add_epi32(wsum, qv[c]);
        }
        sum = _mm512_add_epi64(sum, _mm512_cvtepu32_epi64(_mm512_castsi512_si256(wsum)));
        sum = _mm512_add_epi64(sum, _mm512_cvtepu32_epi64(_mm512_extracti64x4_epi64(wsum, 1)));
        for (unsigned p = 0; p < nplanes; ++p) {
            const __m512i bit = _mm512_set1_epi32(static_cast<int>(1U << p));
            const std::uint64_t m0 = _mm512_test_epi32_mask(qv[0], bit);
            const std::uint64_t m1 = _mm512_test_epi32_mask(qv[1], bit);
            const std::uint64_t m2 = _mm512_test_epi32_mask(qv[2], bit);
            const std::uint64_t m3 = _mm512_test_epi32_mask(qv[3], bit);
            planes[p * pstride + w] = m0 | (m1 << 16) | (m2 << 32) | (m3 << 48);
        }
    }
    *total = _mm512_reduce_add_epi64(sum);
    return _mm512_reduce_add_pd(_mm512_add_pd(r0, r1));
}

ZLN_TARGET_AVX512 std::uint32_t magnitude_scan_avx512(const float* v, std::size_t n, std::uint64_t* neg,
                                                      double* abs_sum) noexcept {
    const __m512i magnitude = _mm512_set1_epi32(0x7fffffff);
    const __m512i sign = _mm512_set1_epi32(static_cast<int>(0x80000000U));
    const std::size_t words = (n + 63) / 64;
    __m512i mx = _mm512_setzero_si512();
    __m512d a0 = _mm512_setzero_pd(), a1 = _mm512_setzero_pd(), a2 = _mm512_setzero_pd(), a3 = _mm512_setzero_pd();
    for (std::size_t w = 0; w < words; ++w) {
        std::uint64_t word = 0;
        for (int c = 0; c < 4; ++c) {
            const std::size_t base = 64 * w + 16 * static_cast<std::size_t>(c);
            // Lanes past n load as +0.0: no sign, no magnitude, and adding
            // +0.0 to a partial sum is exact.
            const __m512i raw = _mm512_maskz_loadu_epi32(lanes_below(base, n), v + base);
            word |= static_cast<std::uint64_t>(_mm512_test_epi32_mask(raw, sign)) << (16 * c);
            const __m512i bits = _mm512_and_si512(raw, magnitude);
            mx = _mm512_max_epu32(mx, bits);
            const __m512d lo = _mm512_cvtps_pd(_mm256_castsi256_ps(_mm512_castsi512_si256(bits)));
            const __m512d hi = _mm512_cvtps_pd(_mm256_castsi256_ps(_mm512_extracti64x4_epi64(bits, 1)));
            if ((c & 1) == 0) {
                a0 = _mm512_add_pd(a0, lo);
                a1 = _mm512_add_pd(a1, hi);
            } else {
                a2 = _mm512_add_pd(a2, lo);
                a3 = _mm512_add_pd(a3, hi);
            }
        }
        neg[w] = word;
    }
    *abs_sum = _mm512_reduce_add_pd(_mm512_add_pd(_mm512_add_pd(a0, a1), _mm512_add_pd(a2, a3)));
    return _mm512_reduce_max_epu32(mx);
}

}  // namespace zln::lsh::detail

#endif  // ZLN_ARCH_X86_64
