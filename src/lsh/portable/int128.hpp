// A signed 128-bit integer for the exact stage of the certified path: the
// compiler's own where it has one, else two 64-bit halves in two's
// complement. Only what that stage needs: sums, differences and shifts of
// values far inside the range, signs, and conversion to binary64.
// A build with ZLN_PORTABLE_FALLBACKS uses the halves even where the native
// type exists, so the fallback is tested.
#pragma once

#include <cmath>
#include <cstdint>

#include "lsh/portable/bits.hpp"

namespace zln::lsh {

// Two 64-bit halves; always compiled, so the tests can hold it against the
// native type.
class Int128Halves {
public:
    constexpr Int128Halves() noexcept = default;
    static constexpr Int128Halves from_i64(std::int64_t x) noexcept {
        return {x < 0 ? ~std::uint64_t{0} : 0, static_cast<std::uint64_t>(x)};
    }
    static constexpr Int128Halves from_u64(std::uint64_t x) noexcept { return {0, x}; }

    constexpr Int128Halves operator+(Int128Halves o) const noexcept {
        const std::uint64_t lo = lo_ + o.lo_;
        return {hi_ + o.hi_ + (lo < lo_ ? 1 : 0), lo};
    }
    constexpr Int128Halves operator-() const noexcept { return Int128Halves{~hi_, ~lo_} + from_u64(1); }
    constexpr Int128Halves operator-(Int128Halves o) const noexcept { return *this + -o; }
    constexpr Int128Halves& operator+=(Int128Halves o) noexcept { return *this = *this + o; }
    // Left shift by s < 128 (the value must stay in range).
    constexpr Int128Halves shl(unsigned s) const noexcept {
        if (s == 0) return *this;
        if (s >= 64) return {lo_ << (s - 64), 0};
        return {(hi_ << s) | (lo_ >> (64 - s)), lo_ << s};
    }
    constexpr int sign() const noexcept {
        if ((hi_ >> 63) != 0) return -1;
        return (hi_ | lo_) != 0 ? 1 : 0;
    }
    constexpr Int128Halves abs() const noexcept { return sign() < 0 ? -*this : *this; }
    // 0 <= value < 2^k, for a nonnegative value and k < 127.
    constexpr bool below_pow2(unsigned k) const noexcept {
        if (k >= 64) return (hi_ >> (k - 64)) == 0;
        return hi_ == 0 && (lo_ >> k) == 0;
    }
    // A nonnegative value rounded to the nearest binary64 (ties to even),
    // as the native conversion does.
    double to_double() const noexcept {
        if (hi_ == 0) return static_cast<double>(lo_);
        const int lz = bits::countl_zero64(hi_);
        // The top 64 significant bits, the last of them made sticky for any
        // bit shifted out: with 53 bits kept, the sticky bit lies far below
        // the rounding position, so one conversion rounds correctly.
        const std::uint64_t top = lz == 0 ? hi_ : (hi_ << lz) | (lo_ >> (64 - lz));
        const std::uint64_t dropped = lz == 0 ? lo_ : lo_ << lz;
        return std::ldexp(static_cast<double>(top | (dropped != 0 ? 1U : 0U)), 64 - lz);
    }
    constexpr std::uint64_t high() const noexcept { return hi_; }
    constexpr std::uint64_t low() const noexcept { return lo_; }

private:
    constexpr Int128Halves(std::uint64_t hi, std::uint64_t lo) noexcept : hi_(hi), lo_(lo) {}
    std::uint64_t hi_ = 0, lo_ = 0;
};

#if defined(__SIZEOF_INT128__) && !defined(ZLN_PORTABLE_FALLBACKS)
#define ZLN_HAVE_NATIVE_INT128 1

// The same interface over the compiler's type.
class Int128Native {
public:
    constexpr Int128Native() noexcept = default;
    static constexpr Int128Native from_i64(std::int64_t x) noexcept { return Int128Native(x); }
    static constexpr Int128Native from_u64(std::uint64_t x) noexcept { return Int128Native(x); }
    constexpr Int128Native operator+(Int128Native o) const noexcept { return Int128Native(v_ + o.v_); }
    constexpr Int128Native operator-() const noexcept { return Int128Native(-v_); }
    constexpr Int128Native operator-(Int128Native o) const noexcept { return Int128Native(v_ - o.v_); }
    constexpr Int128Native& operator+=(Int128Native o) noexcept { return *this = *this + o; }
    constexpr Int128Native shl(unsigned s) const noexcept {
        return Int128Native(static_cast<__int128>(static_cast<unsigned __int128>(v_) << s));
    }
    constexpr int sign() const noexcept { return v_ < 0 ? -1 : v_ > 0 ? 1 : 0; }
    constexpr Int128Native abs() const noexcept { return Int128Native(v_ < 0 ? -v_ : v_); }
    constexpr bool below_pow2(unsigned k) const noexcept {
        return static_cast<unsigned __int128>(v_) < (static_cast<unsigned __int128>(1) << k);
    }
    double to_double() const noexcept { return static_cast<double>(static_cast<unsigned __int128>(v_)); }
    constexpr std::uint64_t high() const noexcept {
        return static_cast<std::uint64_t>(static_cast<unsigned __int128>(v_) >> 64);
    }
    constexpr std::uint64_t low() const noexcept { return static_cast<std::uint64_t>(v_); }

private:
    constexpr explicit Int128Native(__int128 v) noexcept : v_(v) {}
    __int128 v_ = 0;
};

using Int128 = Int128Native;
#else
using Int128 = Int128Halves;
#endif

}  // namespace zln::lsh
