// The portable constructs: the two-halves 128-bit integer against the
// compiler's (where there is one), the builtin-free bit counts against the
// standard library, and the CPUID/XGETBV detection against the compiler's runtime.
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>

#include "check.hpp"
#include "lsh/kernels/capabilities.hpp"
#include "lsh/portable/bits.hpp"
#include "lsh/portable/int128.hpp"
#include "lsh/portable/overflow.hpp"

using zln::lsh::Int128Halves;

TEST_CASE("portable: bit counts") {
    std::mt19937_64 rng(1);
    CHECK_EQ(zln::lsh::bits::countl_zero64(0), 64);
    CHECK_EQ(zln::lsh::bits::popcount64(~0ULL), 64);
    for (int i = 0; i < 10000; ++i) {
        const std::uint64_t x = rng() >> (rng() % 64);
        CHECK_EQ(zln::lsh::bits::popcount64(x), std::popcount(x));
        CHECK_EQ(zln::lsh::bits::countl_zero64(x), std::countl_zero(x));
    }
}

TEST_CASE("portable: saturating size arithmetic") {
    CHECK_EQ(zln::lsh::sat_add(UINT64_MAX - 1, 1), UINT64_MAX);
    CHECK_EQ(zln::lsh::sat_add(UINT64_MAX, 1), UINT64_MAX);
    CHECK_EQ(zln::lsh::sat_add(5, 7), 12u);
    CHECK_EQ(zln::lsh::sat_mul(1ULL << 32, 1ULL << 32), UINT64_MAX);
    CHECK_EQ(zln::lsh::sat_mul((1ULL << 32) - 1, (1ULL << 32) + 1), UINT64_MAX);  // exactly 2^64 - 1
    CHECK_EQ(zln::lsh::sat_mul(0, UINT64_MAX), 0u);
    CHECK_EQ(zln::lsh::sat_mul(3, 5), 15u);
}

TEST_CASE("portable: 128-bit integers in two halves") {
    // What the exact certified stage does: sums of u64 terms, 2P - total with
    // P = hi * 2^32 + lo, sign, magnitude, the 2^53 test and conversion.
    std::mt19937_64 rng(2);
    for (int i = 0; i < 20000; ++i) {
        const std::int64_t hi = static_cast<std::int64_t>(rng() >> (8 + rng() % 56));
        const std::int64_t lo = static_cast<std::int64_t>(rng() >> (8 + rng() % 56));
        std::uint64_t terms[5];
        const int count = 1 + static_cast<int>(rng() % 5);
        for (int k = 0; k < count; ++k) terms[k] = rng() >> (rng() % 64);
        Int128Halves total;
        for (int k = 0; k < count; ++k) total += Int128Halves::from_u64(terms[k]);
        const Int128Halves plus = Int128Halves::from_i64(hi).shl(32) + Int128Halves::from_i64(lo);
        const Int128Halves e = plus + plus - total;
        const Int128Halves mag = e.abs();
#if defined(ZLN_HAVE_NATIVE_INT128)
        __int128 ntotal = 0;
        for (int k = 0; k < count; ++k) ntotal += terms[k];
        const __int128 nplus = (static_cast<__int128>(hi) << 32) + lo;
        const __int128 ne = 2 * nplus - ntotal;
        const unsigned __int128 nmag = static_cast<unsigned __int128>(ne < 0 ? -ne : ne);
        CHECK_EQ(e.sign(), ne < 0 ? -1 : ne > 0 ? 1 : 0);
        CHECK_EQ(mag.low(), static_cast<std::uint64_t>(nmag));
        CHECK_EQ(mag.high(), static_cast<std::uint64_t>(nmag >> 64));
        CHECK_EQ(mag.below_pow2(53), nmag < (static_cast<unsigned __int128>(1) << 53));
        CHECK_EQ(mag.to_double(), static_cast<double>(nmag));
#else
        CHECK(e.sign() != 0 || (mag.high() | mag.low()) == 0);
#endif
    }
    // Conversion: exact below 2^53, ties to even above, sticky low bits.
    const Int128Halves big = Int128Halves::from_u64(1).shl(100) + Int128Halves::from_u64(1);
    CHECK_EQ(big.to_double(), std::ldexp(1.0, 100));
    const Int128Halves tie = Int128Halves::from_u64((1ULL << 53) + 1).shl(20);  // halfway: to even
    CHECK_EQ(tie.to_double(), std::ldexp(static_cast<double>(1ULL << 53), 20));
    const Int128Halves above = tie + Int128Halves::from_u64(1);  // just above halfway: up
    CHECK_EQ(above.to_double(), std::ldexp(static_cast<double>((1ULL << 53) + 2), 20));
    CHECK_EQ((-Int128Halves::from_u64(5)).sign(), -1);
    CHECK_EQ((-Int128Halves::from_u64(5)).abs().low(), 5u);
    CHECK(Int128Halves::from_u64((1ULL << 53) - 1).below_pow2(53));
    CHECK(!Int128Halves::from_u64(1ULL << 53).below_pow2(53));
    CHECK(!Int128Halves::from_u64(1).shl(70).below_pow2(53));
}

#if defined(__x86_64__) || defined(_M_X64)
TEST_CASE("portable: CPUID detection, and the compiler's runtime reports nothing more") {
    namespace d = zln::lsh::detail;
    CHECK_EQ(d::x86_capabilities_from_cpuid(), d::cpu_capabilities());
#if defined(__GNUC__)
    // A runtime may leave its tables empty (zig's musl build does), so the
    // builtin's answers may be fewer, never more.
    __builtin_cpu_init();
    d::Capabilities builtin = d::kCapNone;
    if (__builtin_cpu_supports("popcnt")) builtin |= d::kCapPopcnt;
    if (__builtin_cpu_supports("avx2")) builtin |= d::kCapAvx2;
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl")) {
        builtin |= d::kCapAvx512;
        if (__builtin_cpu_supports("avx512dq")) builtin |= d::kCapAvx512Dq;
        if (__builtin_cpu_supports("avx512vpopcntdq")) builtin |= d::kCapAvx512Vpopcntdq;
        if (__builtin_cpu_supports("avx512vbmi")) builtin |= d::kCapAvx512Vbmi;
        if (__builtin_cpu_supports("avx512vnni")) builtin |= d::kCapAvx512Vnni;
    }
    CHECK_EQ(builtin & ~d::cpu_capabilities(), d::kCapNone);
#if defined(__GLIBC__)
    // glibc's start-up runs the initialiser, so there the two agree.
    CHECK_EQ(builtin, d::cpu_capabilities());
#endif
#endif
}
#endif
