// The exact-blocks stage with AVX2: one double lane per bit position, 32
// lanes per pass.
#include "lsh/kernels/arch.hpp"

#if defined(ZLN_ARCH_X86_64)

#include <immintrin.h>

#include <cstdint>

#include "lsh/kernels/kernels.hpp"
#include "lsh/kernels/sign_mix.hpp"

#define ZLN_TARGET_AVX2 ZLN_TARGET("avx2")

namespace zln::lsh::detail {

namespace {

// For every byte value, eight 64-bit lanes holding the sign bit where the
// byte's bit is set: XOR-ing -t with a row turns it into +t in those lanes.
struct FlipTable {
    alignas(64) std::uint64_t row[256][8];
};

constexpr FlipTable make_flip_table() {
    FlipTable t{};
    for (unsigned v = 0; v < 256; ++v) {
        for (unsigned i = 0; i < 8; ++i) {
            t.row[v][i] = ((v >> i) & 1U) != 0 ? 0x8000000000000000ULL : 0;
        }
    }
    return t;
}

constexpr FlipTable kFlip = make_flip_table();

ZLN_TARGET_AVX2 inline __m256i mul_lo64(__m256i a, __m256i c_lo, __m256i c_hi) noexcept {
    __m256i lo = _mm256_mul_epu32(a, c_lo);
    __m256i h1 = _mm256_mul_epu32(_mm256_srli_epi64(a, 32), c_lo);
    __m256i h2 = _mm256_mul_epu32(a, c_hi);
    return _mm256_add_epi64(lo, _mm256_slli_epi64(_mm256_add_epi64(h1, h2), 32));
}

// Sign bits (1 = +1) of four keys, as a 4-bit value.
ZLN_TARGET_AVX2 inline unsigned sign_mask4(__m256i key, __m256i add, __m256i c_lo, __m256i c_hi, __m256i c2) noexcept {
    __m256i z = _mm256_add_epi64(key, add);
    z = _mm256_xor_si256(z, _mm256_srli_epi64(z, 30));
    z = mul_lo64(z, c_lo, c_hi);
    __m256i x = _mm256_xor_si256(z, _mm256_srli_epi64(z, 27));
    __m256i e = _mm256_mullo_epi32(x, c2);
    e = _mm256_xor_si256(e, _mm256_srli_epi32(e, 31));
    // Move bit 0 of each lane to the lane's sign bit and collect the signs.
    return static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_slli_epi64(e, 63))));
}

}  // namespace

ZLN_TARGET_AVX2 void fill_sign_words_avx2(std::uint64_t f, std::uint64_t b0, std::uint64_t j0, std::size_t count,
                                          std::uint64_t* out) noexcept {
    const __m256i add = _mm256_set1_epi64x(static_cast<long long>(kMixAdd));
    const __m256i c_lo = _mm256_set1_epi64x(static_cast<long long>(kMixMul1 & 0xffffffffULL));
    const __m256i c_hi = _mm256_set1_epi64x(static_cast<long long>(kMixMul1 >> 32));
    const __m256i c2 = _mm256_set1_epi64x(static_cast<long long>(kMixMul2));
    const __m256i lane = _mm256_set_epi64x(3, 2, 1, 0);
    __m256i part[16];
    const __m256i fpart = _mm256_set1_epi64x(static_cast<long long>(f << 48));
    for (int k = 0; k < 16; ++k) {
        __m256i b = _mm256_add_epi64(_mm256_set1_epi64x(static_cast<long long>(b0 + 4U * k)), lane);
        part[k] = _mm256_xor_si256(fpart, _mm256_slli_epi64(b, 24));
    }
    for (std::size_t i = 0; i < count; ++i) {
        const __m256i jv = _mm256_set1_epi64x(static_cast<long long>(j0 + i));
        std::uint64_t w = 0;
        for (int k = 0; k < 16; ++k) {
            unsigned m = sign_mask4(_mm256_xor_si256(part[k], jv), add, c_lo, c_hi, c2);
            w |= static_cast<std::uint64_t>(m) << (4 * k);
        }
        out[i] = w;
    }
}

namespace {

// 32 lanes (bits 32*half .. 32*half+31 of each word) in eight accumulators.
ZLN_TARGET_AVX2 inline void accumulate_half_avx2(const double* t, const std::uint64_t* words, std::size_t count,
                                                 double* acc, unsigned half) noexcept {
    __m256d a0 = _mm256_loadu_pd(acc + 0);
    __m256d a1 = _mm256_loadu_pd(acc + 4);
    __m256d a2 = _mm256_loadu_pd(acc + 8);
    __m256d a3 = _mm256_loadu_pd(acc + 12);
    __m256d a4 = _mm256_loadu_pd(acc + 16);
    __m256d a5 = _mm256_loadu_pd(acc + 20);
    __m256d a6 = _mm256_loadu_pd(acc + 24);
    __m256d a7 = _mm256_loadu_pd(acc + 28);
    const __m256d sign = _mm256_set1_pd(-0.0);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(words) + 4 * half;
    const __m256i* flip = reinterpret_cast<const __m256i*>(&kFlip.row[0][0]);
    for (std::size_t k = 0; k < count; ++k) {
        // -t, turned back into +t in the lanes whose sign is +1.
        const __m256d q = _mm256_xor_pd(_mm256_broadcast_sd(t + k), sign);
        const unsigned char* wb = bytes + 8 * k;
        const __m256i* r0 = flip + 2 * static_cast<std::size_t>(wb[0]);
        const __m256i* r1 = flip + 2 * static_cast<std::size_t>(wb[1]);
        const __m256i* r2 = flip + 2 * static_cast<std::size_t>(wb[2]);
        const __m256i* r3 = flip + 2 * static_cast<std::size_t>(wb[3]);
        a0 = _mm256_add_pd(a0, _mm256_xor_pd(q, _mm256_castsi256_pd(_mm256_load_si256(r0))));
        a1 = _mm256_add_pd(a1, _mm256_xor_pd(q, _mm256_castsi256_pd(_mm256_load_si256(r0 + 1))));
        a2 = _mm256_add_pd(a2, _mm256_xor_pd(q, _mm256_castsi256_pd(_mm256_load_si256(r1))));
        a3 = _mm256_add_pd(a3, _mm256_xor_pd(q, _mm256_castsi256_pd(_mm256_load_si256(r1 + 1))));
        a4 = _mm256_add_pd(a4, _mm256_xor_pd(q, _mm256_castsi256_pd(_mm256_load_si256(r2))));
        a5 = _mm256_add_pd(a5, _mm256_xor_pd(q, _mm256_castsi256_pd(_mm256_load_si256(r2 + 1))));
        a6 = _mm256_add_pd(a6, _mm256_xor_pd(q, _mm256_castsi256_pd(_mm256_load_si256(r3))));
        a7 = _mm256_add_pd(a7, _mm256_xor_pd(q, _mm256_castsi256_pd(_mm256_load_si256(r3 + 1))));
    }
    _mm256_storeu_pd(acc + 0, a0);
    _mm256_storeu_pd(acc + 4, a1);
    _mm256_storeu_pd(acc + 8, a2);
    _mm256_storeu_pd(acc + 12, a3);
    _mm256_storeu_pd(acc + 16, a4);
    _mm256_storeu_pd(acc + 20, a5);
    _mm256_storeu_pd(acc + 24, a6);
    _mm256_storeu_pd(acc + 28, a7);
}

}  // namespace

ZLN_TARGET_AVX2 void accumulate_block_avx2(const double* t, const std::uint64_t* words, std::size_t count,
                                           double* acc) noexcept {
    accumulate_half_avx2(t, words, count, acc, 0);
    accumulate_half_avx2(t, words, count, acc + 32, 1);
}

}  // namespace zln::lsh::detail

#endif  // ZLN_ARCH_X86_64
