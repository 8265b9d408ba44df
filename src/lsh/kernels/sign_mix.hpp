// The hyperplane sign generator shared by every simhash kernel.
//
// A sign is one bit drawn from a SplitMix64-style mix of the key
//   (f << 48) ^ (b << 24) ^ j   (mod 2^64, fields deliberately not masked).
// Only bit 0 of the final output is used, and that bit depends only on the
// low 32 bits of the second product, so the last multiply is done in 32 bits.
#pragma once

#include <cstdint>

namespace zln::lsh::detail {

inline constexpr std::uint64_t kMixAdd = 0x9e3779b97f4a7c15ULL;
inline constexpr std::uint64_t kMixMul1 = 0xbf58476d1ce4e5b9ULL;
inline constexpr std::uint32_t kMixMul2 = 0x133111ebU;

// The full key; shifts drop high bits, XOR (not OR) combines overlapping fields.
constexpr std::uint64_t sign_key(std::uint64_t f, std::uint64_t b, std::uint64_t j) noexcept {
    return (f << 48) ^ (b << 24) ^ j;
}

// 1 when the sign for this key is +1, 0 when it is -1.
constexpr unsigned sign_bit_of_key(std::uint64_t key) noexcept {
    std::uint64_t z = key + kMixAdd;
    z = (z ^ (z >> 30)) * kMixMul1;
    std::uint32_t e = static_cast<std::uint32_t>(z ^ (z >> 27));
    e = e * kMixMul2;
    e = e ^ (e >> 31);
    return e & 1U;
}

constexpr unsigned sign_bit(std::uint64_t f, std::uint64_t b, std::uint64_t j) noexcept {
    return sign_bit_of_key(sign_key(f, b, j));
}

// Sign bits of bits b0 .. b0+63 of family f for element j, bit i of the
// result standing for bit position b0 + i.
inline std::uint64_t sign_word_scalar(std::uint64_t f, std::uint64_t b0, std::uint64_t j) noexcept {
    std::uint64_t w = 0;
    for (unsigned i = 0; i < 64; ++i) {
        w |= static_cast<std::uint64_t>(sign_bit(f, b0 + i, j)) << i;
    }
    return w;
}

}  // namespace zln::lsh::detail
