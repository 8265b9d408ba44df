// Saturating size arithmetic in plain C++: the same on every compiler.
#pragma once

#include <cstdint>

namespace zln::lsh {

constexpr std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) noexcept {
    return b > UINT64_MAX - a ? UINT64_MAX : a + b;
}

constexpr std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) noexcept {
    return a != 0 && b > UINT64_MAX / a ? UINT64_MAX : a * b;
}

}  // namespace zln::lsh
