// The exact-blocks stage with AVX-512 (F, BW, VL; DQ for one sign-word
// variant): one double lane per bit position.
// GCC 12's AVX-512 intrinsics start from _mm512_undefined_epi32(), which it
// then reports as "used uninitialized" wherever they are inlined; the value
// is fully masked off, so the warnings are false positives.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "lsh/kernels/arch.hpp"

#if defined(ZLN_ARCH_X86_64)

#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "lsh/kernels/kernels.hpp"
#include "lsh/kernels/sign_mix.hpp"

#define ZLN_TARGET_AVX512 ZLN_TARGET("avx512f,avx512bw,avx512vl")

namespace zln::lsh::detail {

namespace {

// Low 64 bits of a * c per lane, without the AVX512DQ vpmullq: three 32x32
// products, of which only the low cross terms matter modulo 2^64.
ZLN_TARGET_AVX512 inline __m512i mul_lo64(__m512i a, __m512i c_lo, __m512i c_hi) noexcept {
    __m512i lo = _mm512_mul_epu32(a, c_lo);
    __m512i h1 = _mm512_mul_epu32(_mm512_srli_epi64(a, 32), c_lo);
    __m512i h2 = _mm512_mul_epu32(a, c_hi);
    return _mm512_add_epi64(lo, _mm512_slli_epi64(_mm512_add_epi64(h1, h2), 32));
}

#define ZLN_TARGET_AVX512DQ ZLN_TARGET("avx512f,avx512bw,avx512vl,avx512dq")

// Sign bits (1 = +1) of eight keys, as an 8-bit mask.
ZLN_TARGET_AVX512 inline __mmask8 sign_mask8(__m512i key, __m512i add, __m512i c_lo, __m512i c_hi, __m512i c2,
                                             __m512i one) noexcept {
    __m512i z = _mm512_add_epi64(key, add);
    z = _mm512_xor_si512(z, _mm512_srli_epi64(z, 30));
    z = mul_lo64(z, c_lo, c_hi);
    __m512i x = _mm512_xor_si512(z, _mm512_srli_epi64(z, 27));
    // 32-bit products: the low dword of each lane is (uint32)x * c2.
    __m512i e = _mm512_mullo_epi32(x, c2);
    e = _mm512_xor_si512(e, _mm512_srli_epi32(e, 31));
    return _mm512_test_epi64_mask(e, one);
}

// The same with the AVX512DQ 64-bit multiply.
ZLN_TARGET_AVX512DQ inline __mmask8 sign_mask8_dq(__m512i key, __m512i add, __m512i c1, __m512i c2,
                                                  __m512i one) noexcept {
    __m512i z = _mm512_add_epi64(key, add);
    z = _mm512_xor_si512(z, _mm512_srli_epi64(z, 30));
    z = _mm512_mullo_epi64(z, c1);
    __m512i x = _mm512_xor_si512(z, _mm512_srli_epi64(z, 27));
    // 32-bit products: the low dword of each lane is (uint32)x * c2.
    __m512i e = _mm512_mullo_epi32(x, c2);
    e = _mm512_xor_si512(e, _mm512_srli_epi32(e, 31));
    return _mm512_test_epi64_mask(e, one);
}

}  // namespace

ZLN_TARGET_AVX512DQ void fill_sign_words_avx512dq(std::uint64_t f, std::uint64_t b0, std::uint64_t j0,
                                                  std::size_t count, std::uint64_t* out) noexcept {
    const __m512i add = _mm512_set1_epi64(static_cast<long long>(kMixAdd));
    const __m512i c1 = _mm512_set1_epi64(static_cast<long long>(kMixMul1));
    const __m512i c2 = _mm512_set1_epi64(static_cast<long long>(kMixMul2));
    const __m512i one = _mm512_set1_epi64(1);
    const __m512i lane = _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0);
    __m512i part[8];
    const __m512i fpart = _mm512_set1_epi64(static_cast<long long>(f << 48));
    for (int k = 0; k < 8; ++k) {
        __m512i b = _mm512_add_epi64(_mm512_set1_epi64(static_cast<long long>(b0 + 8U * k)), lane);
        part[k] = _mm512_xor_si512(fpart, _mm512_slli_epi64(b, 24));
    }
    for (std::size_t i = 0; i < count; ++i) {
        const __m512i jv = _mm512_set1_epi64(static_cast<long long>(j0 + i));
        std::uint64_t w = 0;
        for (int k = 0; k < 8; ++k) {
            __mmask8 m = sign_mask8_dq(_mm512_xor_si512(part[k], jv), add, c1, c2, one);
            w |= static_cast<std::uint64_t>(static_cast<unsigned>(m)) << (8 * k);
        }
        out[i] = w;
    }
}

ZLN_TARGET_AVX512 void fill_sign_words_avx512(std::uint64_t f, std::uint64_t b0, std::uint64_t j0, std::size_t count,
                                              std::uint64_t* out) noexcept {
    const __m512i add = _mm512_set1_epi64(static_cast<long long>(kMixAdd));
    const __m512i c_lo = _mm512_set1_epi64(static_cast<long long>(kMixMul1 & 0xffffffffULL));
    const __m512i c_hi = _mm512_set1_epi64(static_cast<long long>(kMixMul1 >> 32));
    const __m512i c2 = _mm512_set1_epi64(static_cast<long long>(kMixMul2));
    const __m512i one = _mm512_set1_epi64(1);
    const __m512i lane = _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0);
    // The family and bit fields of the key are fixed for the whole block;
    // they are combined with the element index by XOR, exactly as the key is.
    __m512i part[8];
    const __m512i fpart = _mm512_set1_epi64(static_cast<long long>(f << 48));
    for (int k = 0; k < 8; ++k) {
        __m512i b = _mm512_add_epi64(_mm512_set1_epi64(static_cast<long long>(b0 + 8U * k)), lane);
        part[k] = _mm512_xor_si512(fpart, _mm512_slli_epi64(b, 24));
    }
    for (std::size_t i = 0; i < count; ++i) {
        const __m512i jv = _mm512_set1_epi64(static_cast<long long>(j0 + i));
        std::uint64_t w = 0;
        for (int k = 0; k < 8; ++k) {
            __mmask8 m = sign_mask8(_mm512_xor_si512(part[k], jv), add, c_lo, c_hi, c2, one);
            w |= static_cast<std::uint64_t>(static_cast<unsigned>(m)) << (8 * k);
        }
        out[i] = w;
    }
}

namespace {

// The eight lane-select bits of one accumulator, read from memory as 16 bits
// straight into a mask register (the accumulators look only at the low 8 mask
// bits). Written as asm because GCC otherwise routes the bytes through a
// general register, and the kmov from there competes with the blends and adds
// for the same execution port. The operand is a 2-byte array: no alignment.
ZLN_TARGET_AVX512 inline __mmask16 mask_at(const unsigned char* p) noexcept {
#if defined(__GNUC__)
    __mmask16 m;
    __asm__("kmovw %1, %0" : "=k"(m) : "m"(*reinterpret_cast<const unsigned char(*)[2]>(p)));
    return m;
#else
    std::uint16_t bits;
    std::memcpy(&bits, p, 2);
    return _cvtu32_mask16(bits);
#endif
}

}  // namespace

ZLN_TARGET_AVX512 void accumulate_block_avx512(const double* t, const std::uint64_t* words, std::size_t count,
                                               double* acc) noexcept {
    // Eight independent accumulator vectors, 64 lanes, kept in registers by
    // naming them one by one.
    __m512d a0 = _mm512_loadu_pd(acc + 0);
    __m512d a1 = _mm512_loadu_pd(acc + 8);
    __m512d a2 = _mm512_loadu_pd(acc + 16);
    __m512d a3 = _mm512_loadu_pd(acc + 24);
    __m512d a4 = _mm512_loadu_pd(acc + 32);
    __m512d a5 = _mm512_loadu_pd(acc + 40);
    __m512d a6 = _mm512_loadu_pd(acc + 48);
    __m512d a7 = _mm512_loadu_pd(acc + 56);
    const __m512d sign = _mm512_set1_pd(-0.0);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(words);
    for (std::size_t k = 0; k < count; ++k) {
        const __m512d p = _mm512_set1_pd(t[k]);
        // -t: only the sign bit flips, as the negation in the sum requires.
        const __m512d q = _mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(p), _mm512_castpd_si512(sign)));
        const unsigned char* wb = bytes + 8 * k;
        a0 = _mm512_add_pd(a0, _mm512_mask_blend_pd(static_cast<__mmask8>(mask_at(wb + 0)), q, p));
        a1 = _mm512_add_pd(a1, _mm512_mask_blend_pd(static_cast<__mmask8>(mask_at(wb + 1)), q, p));
        a2 = _mm512_add_pd(a2, _mm512_mask_blend_pd(static_cast<__mmask8>(mask_at(wb + 2)), q, p));
        a3 = _mm512_add_pd(a3, _mm512_mask_blend_pd(static_cast<__mmask8>(mask_at(wb + 3)), q, p));
        a4 = _mm512_add_pd(a4, _mm512_mask_blend_pd(static_cast<__mmask8>(mask_at(wb + 4)), q, p));
        a5 = _mm512_add_pd(a5, _mm512_mask_blend_pd(static_cast<__mmask8>(mask_at(wb + 5)), q, p));
        a6 = _mm512_add_pd(a6, _mm512_mask_blend_pd(static_cast<__mmask8>(mask_at(wb + 6)), q, p));
        // The last byte is read as the high half of bytes 6..7, never past the word.
        a7 = _mm512_add_pd(a7, _mm512_mask_blend_pd(static_cast<__mmask8>(_kshiftri_mask16(mask_at(wb + 6), 8)), q, p));
    }
    _mm512_storeu_pd(acc + 0, a0);
    _mm512_storeu_pd(acc + 8, a1);
    _mm512_storeu_pd(acc + 16, a2);
    _mm512_storeu_pd(acc + 24, a3);
    _mm512_storeu_pd(acc + 32, a4);
    _mm512_storeu_pd(acc + 40, a5);
    _mm512_storeu_pd(acc + 48, a6);
    _mm512_storeu_pd(acc + 56, a7);
}

}  // namespace zln::lsh::detail

#endif  // ZLN_ARCH_X86_64
