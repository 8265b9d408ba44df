// Signatures held as 64-bit words (16 hex digits each, the last word
// possibly fewer) rather than text: their bands as integers, their texts,
// and the Hamming distance of two of them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zln::lsh {

// A read-only view of an (n, families, words) array of unsigned 64-bit
// values, any strides, either byte order.
struct SignatureView {
    const unsigned char* base = nullptr;
    std::size_t rows = 0, families = 0, words = 0;
    std::ptrdiff_t stride[3] = {0, 0, 0};  // bytes
    bool swapped = false;

    // Row i's families x words values, family by family.
    void row(std::size_t i, std::uint64_t* out) const noexcept;
};

// Hex digits of a signature of `bits` bits (the floor of 64 applied) and the
// words that hold them.
std::uint64_t signature_digits(std::uint64_t bits) noexcept;
inline std::uint64_t signature_words(std::uint64_t digits) noexcept { return (digits + 15) / 16; }

// How simhash_lsh_multi cuts a signature of `digits` hex digits into bands:
// `count` bands of `chunk` digits from the start.
struct BandLayout {
    std::uint64_t chunk = 0;
    std::uint64_t count = 0;
};
BandLayout band_layout(std::uint64_t digits, std::uint64_t bands) noexcept;

// Hex digit c (0-based) of a signature held in words.
std::uint32_t signature_digit(const std::uint64_t* words, std::uint64_t digits, std::uint64_t c) noexcept;

// The bands of one family's signature as integers (chunk at most 16 digits).
void band_values(const std::uint64_t* words, std::uint64_t digits, const BandLayout& layout,
                 std::uint64_t* out) noexcept;

// The signature text of one family, as `digits` characters (lowercase).
template <class Char>
void signature_text(const std::uint64_t* words, std::uint64_t digits, Char* out) noexcept {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (std::uint64_t c = 0; c < digits; ++c) out[c] = static_cast<Char>(kDigits[signature_digit(words, digits, c)]);
}

// Differing bits of two signatures of the same shape.
std::uint64_t words_hamming(const std::uint64_t* a, const std::uint64_t* b, std::size_t count) noexcept;

}  // namespace zln::lsh
