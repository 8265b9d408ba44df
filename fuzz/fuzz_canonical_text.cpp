// The digest's text routines: the fast element-text path against the
// general one, both against an oracle written here from the definition
// (shortest round-trip digits from std::to_chars, placed positionally,
// ".0" on whole numbers), the quantisation against round(x * 1e6) / 1e6,
// the whole canonical text on both paths, and the streamed SHA-256 against
// a one-shot digest of the oracle text. The float-vector input also feeds
// normalize_vector, checked against an ordered binary32 oracle.
#include <openssl/evp.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "lsh/digest.hpp"
#include "lsh/normalize.hpp"

using namespace zln;
using zln_fuzz::Input;

namespace {

std::string hexd(double q) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%a", q);
    return buf;
}

std::string oracle_text(double q) {
    if (std::isnan(q)) return "NaN";
    std::string s = std::signbit(q) ? "-" : "";
    const double a = std::fabs(q);
    if (std::isinf(a)) return s + "inf";
    if (a == 0.0) return s + "0.0";
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, a, std::chars_format::scientific);
    const std::string sci(buf, r.ptr);
    const std::size_t epos = sci.find('e');
    std::string digits;
    for (std::size_t i = 0; i < epos; ++i)
        if (sci[i] != '.') digits.push_back(sci[i]);
    const long e = std::stol(sci.substr(epos + 1)) + 1;  // value = 0.d1...dk * 10^e
    const long k = static_cast<long>(digits.size());
    std::string body;
    if (e <= 0) {
        body = "0." + std::string(static_cast<std::size_t>(-e), '0') + digits;
    } else if (e < k) {
        body = digits.substr(0, static_cast<std::size_t>(e)) + "." + digits.substr(static_cast<std::size_t>(e));
    } else {
        body = digits + std::string(static_cast<std::size_t>(e - k), '0');
    }
    if (q - std::trunc(q) == 0.0 && body.find('.') == std::string::npos) body += ".0";
    return s + body;
}

double oracle_quantize(float x) { return std::round(static_cast<double>(x) * 1e6) / 1e6; }

bool same_double(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::memcmp(&a, &b, sizeof a) == 0;
}

std::string sha256_hex(const std::string& text) {
    unsigned char md[32];
    unsigned int len = 0;
    EVP_Digest(text.data(), text.size(), md, &len, EVP_sha256(), nullptr);
    std::string out;
    for (unsigned i = 0; i < len; ++i) {
        out.push_back("0123456789abcdef"[md[i] >> 4]);
        out.push_back("0123456789abcdef"[md[i] & 15]);
    }
    return out;
}

float pick_float(Input& in) {
    // clang-format off
    static const float palette[] = {0.0f, -0.0f, 1.0f, -1.0f, 0.0078125f, -0.0078125f, 0.9999995f, 1e-7f,
                                    -1e-7f, 5e-7f, 3.4028234663852886e38f, INFINITY, -INFINITY, NAN, 1e-45f, 8589.934592f};
    // clang-format on
    const std::uint8_t mode = in.byte();
    if (mode < 64) return palette[mode % 16];
    if (mode < 128) return static_cast<float>(static_cast<std::int32_t>(in.u32()) % 20000000) / 1e6f;
    return zln_fuzz::bits_as<float>(in.u32());
}

double pick_double(Input& in) {
    const std::uint8_t mode = in.byte();
    if (mode < 80) {
        // A quantised value m / 1e6, m up to about 2^54 with either sign.
        const std::uint64_t m = in.u64() >> (mode % 40);
        const double q = static_cast<double>(m) / 1e6;
        return (mode & 1) ? -q : q;
    }
    if (mode < 120) return static_cast<double>(in.u64() % 17179869184ULL) - 8589934592.0;  // whole numbers near 2^33
    return zln_fuzz::bits_as<double>(in.u64());
}

void check_element_text(double q, const char* origin) {
    std::string general, fast;
    lsh::canonical_float_text_general(q, general);
    const std::string want = oracle_text(q);
    if (general != want)
        zln_fuzz::mismatch("general element text",
                           std::string(origin) + " q=" + hexd(q) + " got " + general + " want " + want);
    if (lsh::canonical_float_text_fast(q, fast) && fast != want)
        zln_fuzz::mismatch("fast element text",
                           std::string(origin) + " q=" + hexd(q) + " got " + fast + " want " + want);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::uint8_t split = in.byte();
    // Direct element texts of arbitrary doubles.
    for (unsigned i = 0; i < (split & 7) && in.remaining() > 0; ++i) check_element_text(pick_double(in), "double");

    std::vector<float> v;
    while (in.remaining() > 0 && v.size() < 512) v.push_back(pick_float(in));

    std::string want = "[";
    for (std::size_t i = 0; i < v.size(); ++i) {
        const double q = lsh::quantize_to_6_places(v[i]);
        if (!same_double(q, oracle_quantize(v[i])))
            zln_fuzz::mismatch("quantize",
                               "x=" + hexd(v[i]) + " got " + hexd(q) + " want " + hexd(oracle_quantize(v[i])));
        check_element_text(q, "quantised");
        // Every quantised value below 2^33 is written by the fast path.
        std::string fast;
        if (std::fabs(q) < 8589934592.0 && !lsh::canonical_float_text_fast(q, fast))
            zln_fuzz::mismatch("fast path declined a quantised value", "q=" + hexd(q));
        if (i) want += ", ";
        want += oracle_text(oracle_quantize(v[i]));
    }
    want += "]";
    const std::string fast_text = lsh::canonical_embedding_text(v.data(), v.size(), true);
    const std::string general_text = lsh::canonical_embedding_text(v.data(), v.size(), false);
    if (fast_text != want) zln_fuzz::mismatch("embedding text, fast", "got " + fast_text + "\nwant " + want);
    if (general_text != want) zln_fuzz::mismatch("embedding text, general", "got " + general_text + "\nwant " + want);
    if (lsh::compute_embedding_sha256(v.data(), v.size()) != sha256_hex(want))
        zln_fuzz::mismatch("digest", "text " + want);

    // normalize_vector: ordered binary32 sum of squares from -0.0, then
    // one binary32 division per element by the rounded square root.
    std::vector<float> got(v.size());
    lsh::normalize_vector(v.data(), v.size(), got.data());
    volatile float s = -0.0f;
    for (float x : v) {
        volatile float sq = x * x;
        s = s + sq;
    }
    const float m = std::sqrt(static_cast<float>(s));
    for (std::size_t i = 0; i < v.size(); ++i) {
        const float w = (s == 0.0f) ? v[i] : v[i] / m;
        if (!same_double(got[i], w))
            zln_fuzz::mismatch("normalize_vector",
                               "element " + std::to_string(i) + " got " + hexd(got[i]) + " want " + hexd(w));
    }
    return 0;
}
