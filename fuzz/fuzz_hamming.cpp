// hamming_distance_hex (a 16-byte SSE2 walk plus a scalar tail) against a
// naive oracle written here: one character at a time over the common byte
// length, a-f / A-F / 0-9 only, the character of a examined before that of
// b, 4 bits per byte of the lowercase form of the longer text's remainder.
// The remainder's length is checked separately against a direct decoding
// for ASCII. cosine_from_hamming against cos((d / t) * pi).
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_input.hpp"
#include "lsh/compare.hpp"
#include "lsh/failure.hpp"

using namespace zln;
using zln_fuzz::Input;

namespace {

int digit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// -1 for the failure (a character without a digit value is compared).
long long oracle_distance(const std::string& a, const std::string& b) {
    const std::size_t common = std::min(a.size(), b.size());
    long long d = 0;
    for (std::size_t i = 0; i < common; ++i) {
        const int va = digit(static_cast<unsigned char>(a[i]));
        if (va < 0) return -1;
        const int vb = digit(static_cast<unsigned char>(b[i]));
        if (vb < 0) return -1;
        d += __builtin_popcount(static_cast<unsigned>(va ^ vb));
    }
    const std::string rest = a.size() > common ? a.substr(common) : b.substr(common);
    bool ascii = true;
    for (unsigned char c : rest) ascii = ascii && c < 0x80;
    const std::uint64_t lower = lsh::lowercase_utf8_length(rest);
    if (ascii && lower != rest.size()) zln_fuzz::mismatch("lowercase length of ASCII", rest);
    return d + 4 * static_cast<long long>(lower);
}

// Texts mostly of hex digits, with a few stray bytes (including UTF-8 of
// non-ASCII characters) where the input asks for them.
std::string make_text(Input& in, std::size_t len, std::uint8_t noise) {
    static const char alphabet[] = "0123456789abcdefABCDEF";
    static const char* extras[] = {"g", " ", "x", "\xc3\xa9", "\xc4\xb0", "\xe2\x84\xaa", "\xf0\x9f\x98\x80", "\x7f",
                                   "/", ":", "@", "`",        "G"};
    std::string s;
    while (s.size() < len && in.remaining() > 0) {
        const std::uint8_t c = in.byte();
        if (noise != 0 && c % 251 < noise % 8 && c >= 128)
            s += extras[c % 13];
        else
            s.push_back(alphabet[c % 22]);
    }
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::uint8_t mode = in.byte();
    std::string a, b;
    if (mode < 32) {
        // Raw bytes, split at a chosen point.
        const std::size_t cut = in.u16();
        std::string all = in.rest();
        const std::size_t at = all.empty() ? 0 : cut % (all.size() + 1);
        a = all.substr(0, at);
        b = all.substr(at);
    } else {
        const std::size_t la = in.byte() + (mode & 0x40 ? 64 : 0);
        const std::size_t lb = (mode & 0x20) ? la : in.byte();
        a = make_text(in, la, mode);
        if (mode & 0x10) {
            // b: a copy of a with a few digits changed, same length.
            b = a;
            for (std::size_t i = 0; i < b.size() && in.remaining() > 0; i += 1 + in.byte() % 7)
                b[i] = "0123456789abcdef"[in.byte() % 16];
        } else {
            b = make_text(in, lb, mode >> 1);
        }
        if (mode & 0x08) std::swap(a, b);
    }

    const long long want = oracle_distance(a, b);
    long long got;
    try {
        got = static_cast<long long>(lsh::hamming_distance_hex(a, b));
    } catch (const InternalFailure& e) {
        if (std::strcmp(e.what(), "called `Option::unwrap()` on a `None` value") != 0)
            zln_fuzz::mismatch("hamming failure message", e.what());
        got = -1;
    }
    if (got != want)
        zln_fuzz::mismatch("hamming_distance_hex",
                           "a=[" + a + "] b=[" + b + "] got " + std::to_string(got) + " want " + std::to_string(want));

    const std::uint64_t d = static_cast<std::uint64_t>(want < 0 ? a.size() : want);
    const std::uint64_t t = b.size() * 4;
    const double c = lsh::cosine_from_hamming(d, t);
    volatile double r = static_cast<double>(d) / static_cast<double>(t);
    volatile double angle = r * 3.141592653589793;
    const double w = t == 0 ? 0.0 : std::cos(angle);
    if (std::memcmp(&c, &w, sizeof c) != 0)
        zln_fuzz::mismatch("cosine_from_hamming", std::to_string(d) + "/" + std::to_string(t));
    return 0;
}
