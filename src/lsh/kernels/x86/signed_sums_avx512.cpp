// The signed-sums stage (the refinement) with AVX-512, in the same order.
#include "lsh/kernels/arch.hpp"

#if defined(ZLN_ARCH_X86_64)

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

#include "lsh/kernels/kernels.hpp"

#define ZLN_TARGET_AVX512 ZLN_TARGET("avx512f,avx512bw,avx512vl")

namespace zln::lsh::detail {

namespace {

// The fixed combination of the eight lanes.
ZLN_TARGET_AVX512 inline double combine_lanes(__m512d a) {
    const __m256d h = _mm256_add_pd(_mm512_castpd512_pd256(a), _mm512_extractf64x4_pd(a, 1));  // l_i + l_{i+4}
    const __m128d q = _mm_add_pd(_mm256_castpd256_pd128(h),
                                 _mm256_extractf128_pd(h, 1));  // (l0+l4)+(l2+l6), (l1+l5)+(l3+l7)
    return _mm_cvtsd_f64(_mm_add_sd(q, _mm_unpackhi_pd(q, q)));
}

template <int R>
ZLN_TARGET_AVX512 inline void rows_sums(const float* v, std::size_t n, const std::uint64_t* const* rows,
                                        double* out) noexcept {
    const __m512i sign = _mm512_set1_epi64(static_cast<long long>(0x8000000000000000ULL));
    __m512d acc[R];
    for (int i = 0; i < R; ++i) acc[i] = _mm512_setzero_pd();
    for (std::size_t j = 0; j < n; j += 8) {
        const __mmask8 valid = n - j >= 8 ? static_cast<__mmask8>(0xff) : static_cast<__mmask8>((1U << (n - j)) - 1U);
        const __m512i x = _mm512_castpd_si512(_mm512_cvtps_pd(_mm256_maskz_loadu_ps(valid, v + j)));  // exact
        for (int i = 0; i < R; ++i) {
            const auto plus = static_cast<__mmask8>(rows[i][j / 64] >> (j % 64));
            // Lanes past n stay out of the sums (no term, as in the generic loop).
            const __m512i term = _mm512_mask_xor_epi64(x, static_cast<__mmask8>(~plus & valid), x, sign);
            acc[i] = _mm512_mask_add_pd(acc[i], valid, acc[i], _mm512_castsi512_pd(term));
        }
    }
    for (int i = 0; i < R; ++i) out[i] = combine_lanes(acc[i]);
}

}  // namespace

ZLN_TARGET_AVX512 void signed_sums_avx512(const float* v, std::size_t n, const std::uint64_t* const* rows,
                                          std::size_t nrows, double* out) noexcept {
    std::size_t r = 0;
    for (; r + 4 <= nrows; r += 4) rows_sums<4>(v, n, rows + r, out + r);
    switch (nrows - r) {
        case 3: rows_sums<3>(v, n, rows + r, out + r); break;
        case 2: rows_sums<2>(v, n, rows + r, out + r); break;
        case 1: rows_sums<1>(v, n, rows + r, out + r); break;
        default: break;
    }
}

}  // namespace zln::lsh::detail

#endif
