// Signature comparison.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <string_view>

#include "check.hpp"
#include "cosine_policy.hpp"
#include "lsh/compare.hpp"
#include "lsh/failure.hpp"

using namespace zln::lsh;

namespace {

constexpr const char* kNoneMessage = "called `Option::unwrap()` on a `None` value";

bool fails_with_none(std::string_view a, std::string_view b) {
    try {
        (void)hamming_distance_hex(a, b);
    } catch (const zln::InternalFailure& f) {
        return std::strcmp(f.what(), kNoneMessage) == 0;
    }
    return false;
}

// Straightforward per-character model for ASCII texts.
std::uint64_t model_ascii(std::string_view a, std::string_view b, bool& failed) {
    failed = false;
    std::uint64_t d = 0;
    const std::size_t m = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < m; ++i) {
        const int va = hex_digit_value(static_cast<unsigned char>(a[i]));
        const int vb = hex_digit_value(static_cast<unsigned char>(b[i]));
        if (va < 0 || vb < 0) {
            failed = true;
            return 0;
        }
        d += static_cast<std::uint64_t>(std::popcount(static_cast<unsigned>(va ^ vb)));
    }
    const std::size_t diff = a.size() > b.size() ? a.size() - b.size() : b.size() - a.size();
    return d + 4 * diff;
}

}  // namespace

TEST_CASE("compare: digit values") {
    CHECK_EQ(hex_digit_value(U'0'), 0);
    CHECK_EQ(hex_digit_value(U'9'), 9);
    CHECK_EQ(hex_digit_value(U'a'), 10);
    CHECK_EQ(hex_digit_value(U'f'), 15);
    CHECK_EQ(hex_digit_value(U'A'), 10);
    CHECK_EQ(hex_digit_value(U'F'), 15);
    for (char32_t c :
         {U'g', U'G', U'x', U' ', U'-', U'+', U'/', U':', U'@', U'`', U'\0', U'\u00e9', U'\uff10', U'\uff41'}) {
        CHECK_EQ(hex_digit_value(c), -1);
    }
}

TEST_CASE("compare: hamming distances") {
    CHECK_EQ(hamming_distance_hex("ff", "0f"), 4u);
    CHECK_EQ(hamming_distance_hex("8", "1"), 2u);
    CHECK_EQ(hamming_distance_hex("ABC", "abc"), 0u);
    CHECK_EQ(hamming_distance_hex("", ""), 0u);
    CHECK_EQ(hamming_distance_hex("ff", "ffff"), 8u);
    CHECK_EQ(hamming_distance_hex("ffff", "ff"), 8u);
    CHECK_EQ(hamming_distance_hex("", "zz"), 8u);
    CHECK_EQ(hamming_distance_hex("g", ""), 4u);
    CHECK_EQ(hamming_distance_hex("0123456789abcdefABCDEF", "0123456789ABCDEFabcdef"), 0u);
    const std::string zeros(64, '0'), fs(64, 'f');
    CHECK_EQ(hamming_distance_hex(zeros, fs), 256u);
    CHECK_EQ(hamming_distance_hex(fs, zeros), 256u);
    CHECK_EQ(hamming_distance_hex(zeros, zeros), 0u);
}

TEST_CASE("compare: invalid digits at compared positions") {
    CHECK(fails_with_none("0g", "00"));
    CHECK(fails_with_none("0", "x"));
    CHECK(fails_with_none("0x1f", "0x1f"));
    CHECK(fails_with_none(" f", "ff"));
    CHECK(fails_with_none("ff", "f "));
    CHECK(fails_with_none("-1", "01"));
    CHECK(fails_with_none("\xc3\xa9", "0"));  // é
    CHECK(fails_with_none("0", "\xc3\xa9"));
    // U+0130 lowercases to "i" + U+0307: the "i" already has no value.
    CHECK(fails_with_none("\xc4\xb0", "00"));
    // Kelvin sign lowercases to ASCII "k", still no digit.
    CHECK(fails_with_none("\xe2\x84\xaa", "0"));
    // Fullwidth digits are not ASCII digits.
    CHECK(fails_with_none("\xef\xbc\x90", "0"));
    // Inside a 16-byte block, and in the tail after blocks.
    std::string a(40, 'a'), b(40, 'a');
    a[5] = 'g';
    CHECK(fails_with_none(a, b));
    CHECK(fails_with_none(b, a));
    a[5] = 'a';
    a[37] = 'z';
    CHECK(fails_with_none(a, b));
    a[37] = 'a';
    b[20] = '\x80';
    CHECK(fails_with_none(a, b));
}

TEST_CASE("compare: non-ASCII text beyond the shorter text") {
    CHECK_EQ(hamming_distance_hex("00", "00\xc3\xa9"), 8u);   // é: two bytes
    CHECK_EQ(hamming_distance_hex("00", "00\xc4\xb0"), 12u);  // İ -> i + U+0307: three bytes
    CHECK_EQ(hamming_distance_hex("00\xc4\xb0", "00"), 12u);
    CHECK_EQ(hamming_distance_hex("0", "0\xc3\x89"), 8u);         // É -> é, two bytes
    CHECK_EQ(hamming_distance_hex("", "\xe2\x84\xaa"), 4u);       // Kelvin sign -> k, one byte
    CHECK_EQ(hamming_distance_hex("", "\xe2\x84\xa6"), 8u);       // Ohm sign -> ω, two bytes
    CHECK_EQ(hamming_distance_hex("", "\xc8\xba"), 12u);          // U+023A -> U+2C65, three bytes
    CHECK_EQ(hamming_distance_hex("", "\xe1\xba\x9e"), 8u);       // U+1E9E -> ß, two bytes
    CHECK_EQ(hamming_distance_hex("", "A\xce\xa3"), 12u);         // final sigma: still two bytes
    CHECK_EQ(hamming_distance_hex("", "\xf0\x9f\x98\x80"), 16u);  // emoji: unchanged, four bytes
    CHECK_EQ(hamming_distance_hex("ab", "AB g\xc4\xb0\xc4\xb0xyz"), 4u * (2 + 3 + 3 + 3));
    CHECK_EQ(lowercase_utf8_length("abc\xc4\xb0\xe2\x84\xaa"), 3u + 3u + 1u);
    CHECK_EQ(lowercase_utf8_length(""), 0u);
    CHECK_EQ(lowercase_utf8_length("ABCDEFGHIJKLMNOP"), 16u);
    // A truncated sequence at the end is counted byte by byte, never overread.
    CHECK_EQ(lowercase_utf8_length(std::string_view("\xe2\x84", 2)), 2u);
}

TEST_CASE("compare: random ASCII texts against a per-character model") {
    std::mt19937_64 rng(5);
    const char alphabet[] = "0123456789abcdefABCDEF";
    int bad = 0;
    for (int i = 0; i < 200000; ++i) {
        std::string a(rng() % 80, '0'), b(rng() % 80, '0');
        for (char& c : a) c = alphabet[rng() % 22];
        for (char& c : b) c = alphabet[rng() % 22];
        if (rng() % 8 == 0 && !a.empty()) a[rng() % a.size()] = static_cast<char>(rng() % 256);
        if (rng() % 8 == 0 && !b.empty()) b[rng() % b.size()] = static_cast<char>(rng() % 128);
        bool model_failed = false;
        const std::uint64_t expected = model_ascii(a, b, model_failed);
        bool non_ascii_tail = false;
        const std::string& longer = a.size() > b.size() ? a : b;
        for (std::size_t k = std::min(a.size(), b.size()); k < longer.size(); ++k) {
            if (static_cast<unsigned char>(longer[k]) >= 0x80) non_ascii_tail = true;
        }
        if (non_ascii_tail) continue;  // lone bytes above 0x7F are not text
        if (model_failed) {
            if (!fails_with_none(a, b)) ++bad;
        } else if (hamming_distance_hex(a, b) != expected) {
            ++bad;
        }
    }
    CHECK_EQ(bad, 0);
}

TEST_CASE("compare: cosine estimates") {
    // Exact everywhere: the ends, the empty total, the clamp, the quotient.
    CHECK_EQ(cosine_from_hamming(0, 256), 1.0);
    CHECK_EQ(cosine_from_hamming(256, 256), -1.0);
    CHECK_EQ(cosine_from_hamming(7, 0), 0.0);
    CHECK(!std::signbit(cosine_from_hamming(7, 0)));
    CHECK_EQ(cosine_from_hamming(0, 0), 0.0);
    CHECK(!std::signbit(cosine_from_hamming(0, 0)));
    CHECK_EQ(cosine_from_hamming(512, 256), 1.0);
    // The quotient is formed before the scaling by pi.
    const volatile double five = 5.0, eleven = 11.0, pi = 3.141592653589793;
    CHECK_EQ((five / eleven) * pi, 1.427996660722633);
    CHECK_EQ((pi * five) / eleven, 1.4279966607226333);
    // Totals above 2^53 round to nearest before dividing.
    const std::uint64_t big = (std::uint64_t{1} << 62) + 1;
    CHECK_EQ(cosine_from_hamming(big, big), -1.0);
    CHECK(std::isfinite(cosine_from_hamming(UINT64_MAX, 1)));
    // Values of the C library's cos: glibc's bits, elsewhere within a unit.
    if (zln_test::skip_cosines("compare: cosine values")) return;
    const struct {
        double got, want;
    } rows[] = {
        {cosine_from_hamming(128, 256), 6.123233995736766e-17}, {cosine_from_hamming(64, 256), 0.7071067811865476},
        {cosine_from_hamming(300, 256), -0.8577286100002721},   {cosine_from_hamming(1, 3), 0.5000000000000001},
        {cosine_from_hamming(5, 11), 0.14231483827328534},      {std::cos((pi * five) / eleven), 0.14231483827328512},
    };
    for (const auto& r : rows) {
        if (!zln_test::cosine_agrees(r.got, r.want)) {
            std::fprintf(stderr, "  cosine %.17g, recorded %.17g\n", r.got, r.want);
        }
        CHECK(zln_test::cosine_agrees(r.got, r.want));
    }
}
