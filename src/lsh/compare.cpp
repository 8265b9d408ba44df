// Comparison of stored hex signatures.
//
// hamming_distance_hex compares the lowercase forms of two texts character by
// character. Building those lowercase forms is never needed:
//   - ASCII lowercases one for one to ASCII, so over an ASCII prefix the
//     positions of the lowercase texts are the byte offsets of the originals,
//     and 'A'..'F' simply take the value of 'a'..'f';
//   - no non-ASCII character lowercases to anything with a hex digit value
//     (checked by scripts/gen_lowercase_table.py), so a compared position that
//     holds (a character coming from) a non-ASCII character always fails.
// Hence the compared part is a plain byte walk over the common byte length
// that accepts ASCII hex digits only, and the only Unicode work left is the
// UTF-8 length of the lowercase form of the longer text's remainder.
#include "lsh/compare.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lsh/failure.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zln::lsh {
namespace {

struct LowercaseEntry {
    std::uint32_t code_point;
    std::uint8_t lower_chars;
    std::uint8_t lower_bytes;
};

#include "lsh/lowercase_table.inc"

[[noreturn]] void fail_no_digit() { ZLN_INTERNAL_FAILURE("called `Option::unwrap()` on a `None` value"); }

// Digit value of every byte, 0xFF for bytes that are not ASCII hex digits.
struct DigitTable {
    std::uint8_t v[256];
    constexpr DigitTable() : v() {
        for (int i = 0; i < 256; ++i) v[i] = 0xFF;
        for (int i = 0; i < 10; ++i) v['0' + i] = static_cast<std::uint8_t>(i);
        for (int i = 0; i < 6; ++i) {
            v['a' + i] = static_cast<std::uint8_t>(10 + i);
            v['A' + i] = static_cast<std::uint8_t>(10 + i);
        }
    }
};
constexpr DigitTable kDigits{};

#if defined(__SSE2__)
// Bits set in the XOR of 16 nibble values packed one per byte.
inline std::uint64_t popcount_packed(std::uint64_t lo, std::uint64_t hi) noexcept {
    // Every byte holds a value below 16, so the high half of each byte is free.
    // Bit count by halves, so that no popcnt instruction or library call is
    // needed on the baseline instruction set.
    std::uint64_t x = lo | (hi << 4);
    x = x - ((x >> 1) & 0x5555555555555555ull);
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return (x * 0x0101010101010101ull) >> 56;
}

// Digit values of 16 bytes and a mask of the bytes that are ASCII hex digits.
inline __m128i digit_values(__m128i v, __m128i& valid) noexcept {
    const __m128i d = _mm_sub_epi8(v, _mm_set1_epi8('0'));
    // Signed byte compares: d in [0, 10) exactly for '0'..'9'; bytes from
    // 0x80 up and below '0' land outside the range after the subtraction.
    const __m128i is_digit = _mm_and_si128(_mm_cmpgt_epi8(d, _mm_set1_epi8(-1)), _mm_cmplt_epi8(d, _mm_set1_epi8(10)));
    const __m128i l = _mm_sub_epi8(_mm_or_si128(v, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
    const __m128i is_letter = _mm_and_si128(_mm_cmpgt_epi8(l, _mm_set1_epi8(-1)), _mm_cmplt_epi8(l, _mm_set1_epi8(6)));
    valid = _mm_or_si128(is_digit, is_letter);
    return _mm_or_si128(_mm_and_si128(is_digit, d), _mm_and_si128(is_letter, _mm_add_epi8(l, _mm_set1_epi8(10))));
}
#endif

inline std::uint32_t lowercase_bytes_of(std::uint32_t cp, std::uint32_t original_bytes) noexcept {
    const LowercaseEntry* first = kLowercaseEntries;
    const LowercaseEntry* last = kLowercaseEntries + kLowercaseEntryCount;
    const LowercaseEntry* it = std::lower_bound(
        first, last, cp, [](const LowercaseEntry& e, std::uint32_t c) { return e.code_point < c; });
    if (it != last && it->code_point == cp) return it->lower_bytes;
    return original_bytes;
}

}  // namespace

int hex_digit_value(char32_t c) noexcept {
    if (c >= U'0' && c <= U'9') return static_cast<int>(c - U'0');
    if (c >= U'a' && c <= U'f') return static_cast<int>(c - U'a') + 10;
    if (c >= U'A' && c <= U'F') return static_cast<int>(c - U'A') + 10;
    return -1;
}

std::uint64_t lowercase_utf8_length(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::uint64_t total = 0;
    std::size_t i = 0;
    while (i < n) {
        // Runs of ASCII keep their length.
        while (i + 8 <= n) {
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            if (w & 0x8080808080808080ull) break;
            i += 8;
            total += 8;
        }
        if (i >= n) break;
        const unsigned char b0 = p[i];
        if (b0 < 0x80) {
            ++i;
            ++total;
            continue;
        }
        // Texts come from the interpreter as valid UTF-8. Anything else is
        // still handled without reading past the end: a byte that does not
        // start a complete sequence counts as itself.
        std::uint32_t len = b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : b0 >= 0xC0 ? 2 : 1;
        if (len > n - i) len = 1;
        std::uint32_t cp = b0;
        if (len == 2) cp = ((b0 & 0x1Fu) << 6) | (p[i + 1] & 0x3Fu);
        if (len == 3) cp = ((b0 & 0x0Fu) << 12) | ((p[i + 1] & 0x3Fu) << 6) | (p[i + 2] & 0x3Fu);
        if (len == 4)
            cp = ((b0 & 0x07u) << 18) | ((p[i + 1] & 0x3Fu) << 12) | ((p[i + 2] & 0x3Fu) << 6) | (p[i + 3] & 0x3Fu);
        total += len == 1 ? 1 : lowercase_bytes_of(cp, len);
        i += len;
    }
    return total;
}

std::uint64_t hamming_distance_hex(std::string_view a, std::string_view b) {
    const auto* pa = reinterpret_cast<const unsigned char*>(a.data());
    const auto* pb = reinterpret_cast<const unsigned char*>(b.data());
    const std::size_t common = std::min(a.size(), b.size());
    std::uint64_t d = 0;
    std::size_t i = 0;

#if defined(__SSE2__)
    for (; i + 16 <= common; i += 16) {
        __m128i valid_a, valid_b;
        const __m128i va = digit_values(_mm_loadu_si128(reinterpret_cast<const __m128i*>(pa + i)), valid_a);
        const __m128i vb = digit_values(_mm_loadu_si128(reinterpret_cast<const __m128i*>(pb + i)), valid_b);
        if (_mm_movemask_epi8(_mm_and_si128(valid_a, valid_b)) != 0xFFFF) fail_no_digit();
        const __m128i x = _mm_xor_si128(va, vb);
        const auto lo = static_cast<std::uint64_t>(_mm_cvtsi128_si64(x));
        const auto hi = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(x, x)));
        d += popcount_packed(lo, hi);
    }
#endif
    for (; i < common; ++i) {
        // The character of a is examined before that of b; both failures
        // are the same failure.
        const std::uint8_t va = kDigits.v[pa[i]];
        if (va == 0xFF) fail_no_digit();
        const std::uint8_t vb = kDigits.v[pb[i]];
        if (vb == 0xFF) fail_no_digit();
        d += (0x4332322132212110ull >> (4 * (va ^ vb))) & 0xF;  // bits set in a nibble
    }

    // The compared prefix was ASCII, so both lowercase texts hold exactly
    // `common` bytes of it; only the longer text's remainder differs in
    // length, and it is never checked for digits.
    const std::string_view rest = a.size() > common ? a.substr(common) : b.substr(common);
    d += 4 * lowercase_utf8_length(rest);
    return d;
}

double cosine_from_hamming(std::uint64_t distance, std::uint64_t total) noexcept {
    if (total == 0) return 0.0;
    // The quotient first, then the scaling by pi: (pi * d) / t can differ in
    // the last bit.
    const double r = static_cast<double>(distance) / static_cast<double>(total);
    const double angle = r * 3.141592653589793;
    return std::cos(angle);
}

}  // namespace zln::lsh
