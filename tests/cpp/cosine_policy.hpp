// How closely a cosine must match a recorded value. cosine_from_hamming
// calls the C library's cos, and C libraries differ in its last bit: the
// recorded values are glibc's, so with glibc they match bit for bit and
// elsewhere within one unit in the last place. Everything else the core
// computes is checked bit for bit on every platform.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace zln_test {

#if defined(__MINGW32__) && defined(__GNUC__) && !defined(__clang__)
// MinGW-w64's own cos (libmingwex) evaluates with the x87 fcos instruction,
// whose reduction by pi is too coarse: cos(pi/2) is off by about 2^-70,
// some 40,000 units. Such builds are not supported for cosines.
inline constexpr const char* kCosineSkipReason =
    "MinGW-w64 GCC build: its C runtime's cos (x87 fcos) is outside one unit in the last place near pi/2";
#else
inline constexpr const char* kCosineSkipReason = nullptr;
#endif

#if defined(__GLIBC__)
inline constexpr std::uint64_t kCosineUlps = 0;
#else
inline constexpr std::uint64_t kCosineUlps = 1;
#endif

// Binary64 values in order as integers, so that neighbours differ by one
// (and +0, -0 are one point).
inline std::int64_t ordered(double x) {
    std::int64_t i;
    std::memcpy(&i, &x, 8);
    return i < 0 ? -(i & INT64_MAX) : i;
}

inline bool cosine_agrees(double got, double want) {
    const std::int64_t a = ordered(got), b = ordered(want);
    const std::uint64_t distance = a > b ? static_cast<std::uint64_t>(a - b) : static_cast<std::uint64_t>(b - a);
    return distance <= kCosineUlps;
}

// True (after saying why, once per run) when cosines are not checked here.
inline bool skip_cosines(const char* what) {
    if (kCosineSkipReason == nullptr) return false;
    std::printf("skip %s: %s\n", what, kCosineSkipReason);
    return true;
}

}  // namespace zln_test
