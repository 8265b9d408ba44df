// AVX-512 kernels of the lookup stage: the per-call tables (F + BW + VL)
// and the per-hyperplane sums (VBMI byte lookups, VNNI byte dot products).
// Each computes exactly what its generic twin in generic/lookup_generic.cpp
// computes.
#include "lsh/kernels/arch.hpp"

#if defined(ZLN_ARCH_X86_64)

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

#include <cstdint>

#include "lsh/kernels/kernels.hpp"
#include "lsh/kernels/lookup_layout.hpp"

#define ZLN_TARGET_AVX512 ZLN_TARGET("avx512f,avx512bw,avx512vl")
#define ZLN_TARGET_VBMI_VNNI ZLN_TARGET("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vnni")

namespace zln::lsh::detail {

namespace {

inline __mmask16 lanes_below(std::size_t base, std::size_t n) noexcept {
    if (base + 16 <= n) return static_cast<__mmask16>(0xffffU);
    if (base >= n) return 0;
    return static_cast<__mmask16>((1U << (n - base)) - 1U);
}

// |v| of sixteen elements from base (zero past n), as two vectors of eight binary64.
ZLN_TARGET_AVX512 inline void load_abs16(const float* v, std::size_t base, std::size_t n, __m512d& a, __m512d& b) {
    const __m512i raw = _mm512_maskz_loadu_epi32(lanes_below(base, n), v + base);
    const __m512i mag = _mm512_and_si512(raw, _mm512_set1_epi32(0x7fffffff));
    a = _mm512_cvtps_pd(_mm256_castsi256_ps(_mm512_castsi512_si256(mag)));
    b = _mm512_cvtps_pd(_mm256_castsi256_ps(_mm512_extracti64x4_epi64(mag, 1)));
}

// Lane 4g of the result holds (a0 + a1) + (a2 + a3) of the group in lanes
// 4g .. 4g+3, the generic order (the other lanes hold the same sums with
// the operands of each addition swapped, which is the same value).
ZLN_TARGET_AVX512 inline __m512d group_sums(__m512d a) {
    const __m512d pairs = _mm512_add_pd(a, _mm512_permute_pd(a, 0x55));
    return _mm512_add_pd(pairs, _mm512_permutex_pd(pairs, 0x4e));
}

// Index vectors of the table kernel (16-bit lanes). Pair sums first: lane
// p = 8g + 4c + v of P holds +-q_a +- q_{a+1}, a = 4g + 2c, the first sign +
// where bit 0 of v is set, the second where bit 1 is. Then entry e of half h
// (group 2h + e / 16, m = e % 16) is P[8g + (m & 3)] + P[8g + 4 + (m >> 2)]:
// bits 0, 1 of m are the signs of elements 0, 1 of the group, bits 2, 3
// those of elements 2, 3.
struct PickTable {
    alignas(64) std::uint16_t first[32], second[32];
    alignas(64) std::uint16_t low[2][32], high[2][32];
};

constexpr PickTable make_pick() {
    PickTable p{};
    for (int lane = 0; lane < 32; ++lane) {
        const int g = lane / 8, c = (lane / 4) % 2;
        p.first[lane] = static_cast<std::uint16_t>(4 * g + 2 * c);
        p.second[lane] = static_cast<std::uint16_t>(4 * g + 2 * c + 1);
    }
    for (int h = 0; h < 2; ++h) {
        for (int e = 0; e < 32; ++e) {
            const int g = 2 * h + e / 16, m = e % 16;
            p.low[h][e] = static_cast<std::uint16_t>(8 * g + (m & 3));
            p.high[h][e] = static_cast<std::uint16_t>(8 * g + 4 + (m >> 2));
        }
    }
    return p;
}

constexpr PickTable kPick = make_pick();

}  // namespace

ZLN_TARGET_AVX512 double lookup_group_max_avx512(const float* v, std::size_t n) noexcept {
    __m512d best = _mm512_setzero_pd();
    for (std::size_t base = 0; base < n; base += 16) {
        __m512d a, b;
        load_abs16(v, base, n, a, b);
        best = _mm512_max_pd(best, _mm512_max_pd(group_sums(a), group_sums(b)));
    }
    return _mm512_reduce_max_pd(best);
}

ZLN_TARGET_AVX512 double lookup_tables_avx512(const float* v, std::size_t n, double s, std::uint8_t* tables) noexcept {
    const __m512d scale = _mm512_set1_pd(s);
    const __m512d magic = _mm512_set1_pd(0x1.8p52);  // rounds to integers as in the generic kernel
    const __m512i first = _mm512_load_si512(kPick.first), second = _mm512_load_si512(kPick.second);
    const __m512i low[2] = {_mm512_load_si512(kPick.low[0]), _mm512_load_si512(kPick.low[1])};
    const __m512i high[2] = {_mm512_load_si512(kPick.high[0]), _mm512_load_si512(kPick.high[1])};
    const __mmask32 minus_first = 0xaaaaaaaaU ^ 0xffffffffU;   // lanes with bit 0 of v clear
    const __mmask32 minus_second = 0xccccccccU ^ 0xffffffffU;  // lanes with bit 1 of v clear
    const __m512i zero = _mm512_setzero_si512();
    __m512d r = _mm512_setzero_pd();
    const std::size_t gblocks = lookup_group_blocks(n);
    for (std::size_t gb = 0; gb < gblocks; ++gb) {
        const std::size_t base = 16 * gb;
        const __m512i raw = _mm512_maskz_loadu_epi32(lanes_below(base, n), v + base);
        const __m512d t0 = _mm512_cvtps_pd(_mm256_castsi256_ps(_mm512_castsi512_si256(raw)));
        const __m512d t1 = _mm512_cvtps_pd(_mm256_castsi256_ps(_mm512_extracti64x4_epi64(raw, 1)));
        const __m512d x0 = _mm512_mul_pd(t0, scale), x1 = _mm512_mul_pd(t1, scale);
        const __m512d q0 = _mm512_sub_pd(_mm512_add_pd(x0, magic), magic);
        const __m512d q1 = _mm512_sub_pd(_mm512_add_pd(x1, magic), magic);
        r = _mm512_add_pd(r, _mm512_abs_pd(_mm512_sub_pd(x0, q0)));
        r = _mm512_add_pd(r, _mm512_abs_pd(_mm512_sub_pd(x1, q1)));
        // Sixteen q as 16-bit integers (|q| <= 32767) in the low half.
        const __m256i q16 = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm256_cvtepi32_epi16(_mm512_cvtpd_epi32(q0))),
            _mm256_cvtepi32_epi16(_mm512_cvtpd_epi32(q1)), 1);
        const __m512i qv = _mm512_castsi256_si512(q16);
        std::uint8_t* lo = tables + kLookupTableBytes * gb;
        const __m512i fa = _mm512_permutexvar_epi16(first, qv), fb = _mm512_permutexvar_epi16(second, qv);
        const __m512i pairs = _mm512_add_epi16(_mm512_mask_sub_epi16(fa, minus_first, zero, fa),
                                               _mm512_mask_sub_epi16(fb, minus_second, zero, fb));
        for (int h = 0; h < 2; ++h) {
            const __m512i t = _mm512_add_epi16(_mm512_permutexvar_epi16(low[h], pairs),
                                               _mm512_permutexvar_epi16(high[h], pairs));
            // Every partial sum is bounded by the group's sum |q|: no wrap.
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(lo + 32 * h), _mm512_cvtepi16_epi8(t));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(lo + 64 + 32 * h),
                                _mm512_cvtepi16_epi8(_mm512_srai_epi16(t, 8)));
        }
    }
    return _mm512_reduce_add_pd(r);
}

ZLN_TARGET_AVX512 std::uint64_t lookup_verdicts_avx512(const std::int64_t* e, unsigned lanes, std::int64_t threshold,
                                                       std::uint8_t* out) noexcept {
    const __m512i thr = _mm512_set1_epi64(threshold);
    const __m512i zero = _mm512_setzero_si512();
    std::uint64_t certain = 0, positive = 0;
    if (lanes >= 64) {
        // A whole block, the usual case: plain loads and one plain store,
        // which later loads of these bytes can take straight from the store
        // (a masked store makes them wait for it to reach the cache).
        for (unsigned c = 0; c < 8; ++c) {
            const __m512i x = _mm512_loadu_si512(e + 8 * c);
            certain |= static_cast<std::uint64_t>(_mm512_cmpgt_epi64_mask(_mm512_abs_epi64(x), thr)) << (8 * c);
            positive |= static_cast<std::uint64_t>(_mm512_cmpgt_epi64_mask(x, zero)) << (8 * c);
        }
        _mm512_storeu_si512(out, _mm512_maskz_set1_epi8(certain & positive, 1));
        return ~certain;
    }
    for (unsigned c = 0; c < 8; ++c) {
        // Lanes past `lanes` are not read.
        const __mmask8 valid = lanes >= 8 * (c + 1) ? static_cast<__mmask8>(0xff)
                               : lanes <= 8 * c     ? static_cast<__mmask8>(0)
                                                    : static_cast<__mmask8>((1U << (lanes - 8 * c)) - 1U);
        const __m512i x = _mm512_maskz_loadu_epi64(valid, e + 8 * c);
        certain |= static_cast<std::uint64_t>(_mm512_mask_cmpgt_epi64_mask(valid, _mm512_abs_epi64(x), thr)) << (8 * c);
        positive |= static_cast<std::uint64_t>(_mm512_cmpgt_epi64_mask(x, zero)) << (8 * c);
    }
    const std::uint64_t all = (std::uint64_t{1} << lanes) - 1;  // lanes < 64 here
    _mm512_mask_storeu_epi8(out, all, _mm512_maskz_set1_epi8(certain & positive, 1));
    return all & ~certain;
}

ZLN_TARGET_VBMI_VNNI void lookup_sums_vbmi(const std::uint8_t* index, std::size_t index_stride, std::size_t gblocks,
                                           const std::uint8_t* tables, std::int64_t* out) noexcept {
    // Each 32-bit lane is one hyperplane; its four bytes are its lookups in
    // the four groups of a group block, which VPDPBUSD adds into the lane.
    // The low slice is unsigned (first operand), the high one signed
    // (second operand). Lane sums stay below 2^30 (gblocks * 4 * 255).
    const __m512i ones = _mm512_set1_epi8(1);
    const std::size_t cs = index_stride * 64;
    __m512i lo0 = _mm512_setzero_si512(), lo1 = lo0, lo2 = lo0, lo3 = lo0;
    __m512i hi0 = lo0, hi1 = lo0, hi2 = lo0, hi3 = lo0;
    for (std::size_t gb = 0; gb < gblocks; ++gb) {
        const __m512i tl = _mm512_loadu_si512(tables + kLookupTableBytes * gb);
        const __m512i th = _mm512_loadu_si512(tables + kLookupTableBytes * gb + 64);
        const std::uint8_t* ix = index + 64 * gb;
        const __m512i x0 = _mm512_loadu_si512(ix);
        const __m512i x1 = _mm512_loadu_si512(ix + cs);
        const __m512i x2 = _mm512_loadu_si512(ix + 2 * cs);
        const __m512i x3 = _mm512_loadu_si512(ix + 3 * cs);
        lo0 = _mm512_dpbusd_epi32(lo0, _mm512_permutexvar_epi8(x0, tl), ones);
        hi0 = _mm512_dpbusd_epi32(hi0, ones, _mm512_permutexvar_epi8(x0, th));
        lo1 = _mm512_dpbusd_epi32(lo1, _mm512_permutexvar_epi8(x1, tl), ones);
        hi1 = _mm512_dpbusd_epi32(hi1, ones, _mm512_permutexvar_epi8(x1, th));
        lo2 = _mm512_dpbusd_epi32(lo2, _mm512_permutexvar_epi8(x2, tl), ones);
        hi2 = _mm512_dpbusd_epi32(hi2, ones, _mm512_permutexvar_epi8(x2, th));
        lo3 = _mm512_dpbusd_epi32(lo3, _mm512_permutexvar_epi8(x3, tl), ones);
        hi3 = _mm512_dpbusd_epi32(hi3, ones, _mm512_permutexvar_epi8(x3, th));
    }
    const __m512i los[4] = {lo0, lo1, lo2, lo3};
    const __m512i his[4] = {hi0, hi1, hi2, hi3};
    for (int c = 0; c < 4; ++c) {
        // E = lo + 256 * hi, in 64-bit lanes.
        const __m512i la = _mm512_cvtepi32_epi64(_mm512_castsi512_si256(los[c]));
        const __m512i lb = _mm512_cvtepi32_epi64(_mm512_extracti64x4_epi64(los[c], 1));
        const __m512i ha = _mm512_cvtepi32_epi64(_mm512_castsi512_si256(his[c]));
        const __m512i hb = _mm512_cvtepi32_epi64(_mm512_extracti64x4_epi64(his[c], 1));
        _mm512_storeu_si512(out + 16 * c, _mm512_add_epi64(la, _mm512_slli_epi64(ha, 8)));
        _mm512_storeu_si512(out + 16 * c + 8, _mm512_add_epi64(lb, _mm512_slli_epi64(hb, 8)));
    }
}

}  // namespace zln::lsh::detail

#endif
