#include "lsh/bulk/signature_words.hpp"

#include <algorithm>
#include <cstring>

#include "lsh/portable/bits.hpp"

namespace zln::lsh {

void SignatureView::row(std::size_t i, std::uint64_t* out) const noexcept {
    const unsigned char* r = base + static_cast<std::ptrdiff_t>(i) * stride[0];
    for (std::size_t f = 0; f < families; ++f) {
        const unsigned char* p = r + static_cast<std::ptrdiff_t>(f) * stride[1];
        for (std::size_t w = 0; w < words; ++w, p += stride[2]) {
            std::uint64_t v;
            std::memcpy(&v, p, 8);
            if (swapped) {
                std::uint64_t s = 0;
                for (unsigned k = 0; k < 8; ++k) s = (s << 8) | ((v >> (8 * k)) & 0xff);
                v = s;
            }
            *out++ = v;
        }
    }
}

std::uint64_t signature_digits(std::uint64_t bits) noexcept {
    bits = std::max<std::uint64_t>(bits, 64);
    return bits / 4 + (bits % 4 != 0 ? 1 : 0);
}

BandLayout band_layout(std::uint64_t digits, std::uint64_t bands) noexcept {
    if (bands == 0) bands = 1;
    BandLayout b;
    b.chunk = std::max<std::uint64_t>(digits / bands, 1);
    b.count = std::min(bands, digits);
    return b;
}

std::uint32_t signature_digit(const std::uint64_t* words, std::uint64_t digits, std::uint64_t c) noexcept {
    const std::uint64_t w = c / 16;
    // Digits held by word w; the first is its most significant.
    const std::uint64_t held = std::min<std::uint64_t>(16, digits - 16 * w);
    const std::uint64_t shift = 4 * (held - 1 - (c % 16));
    return static_cast<std::uint32_t>((words[w] >> shift) & 15U);
}

void band_values(const std::uint64_t* words, std::uint64_t digits, const BandLayout& layout,
                 std::uint64_t* out) noexcept {
    for (std::uint64_t b = 0; b < layout.count; ++b) {
        std::uint64_t value = 0;
        const std::uint64_t first = b * layout.chunk;
        for (std::uint64_t c = first; c < first + layout.chunk; ++c)
            value = (value << 4) | signature_digit(words, digits, c);
        out[b] = value;
    }
}

std::uint64_t words_hamming(const std::uint64_t* a, const std::uint64_t* b, std::size_t count) noexcept {
    std::uint64_t d = 0;
    for (std::size_t i = 0; i < count; ++i) d += static_cast<std::uint64_t>(bits::popcount64(a[i] ^ b[i]));
    return d;
}

}  // namespace zln::lsh
