// Canonical embedding text and digest.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <openssl/crypto.h>
#include <openssl/opensslv.h>

#include "check.hpp"
#include "lsh/digest.hpp"

using namespace zln::lsh;

namespace {

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

std::string text_of(std::vector<float> v, bool fast = true) {
    return canonical_embedding_text(v.data(), v.size(), fast);
}

// Both element paths of the embedding text must agree with the expectation.
void check_text(std::vector<float> v, const char* expected) {
    const std::string fast = text_of(v, true);
    const std::string general = text_of(v, false);
    if (fast != expected || general != expected) {
        std::fprintf(stderr, "  expected %s\n  fast     %s\n  general  %s\n", expected, fast.c_str(), general.c_str());
    }
    CHECK_EQ(fast, std::string(expected));
    CHECK_EQ(general, std::string(expected));
}

std::string general_text(double q) {
    std::string s;
    canonical_float_text_general(q, s);
    return s;
}

// Shared failure counter for the bulk comparisons, reported a few times only.
int report_mismatch(const char* what, double q, const std::string& a, const std::string& b, int& shown) {
    if (shown < 5) {
        std::fprintf(stderr, "  %s mismatch for %.17g (bits %016llx): %s vs %s\n", what, q,
                     static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(q)), a.c_str(), b.c_str());
        ++shown;
    }
    return 1;
}

// Fast element path equals the general one (or declines) for q.
int compare_paths(double q, bool must_take_fast, int& shown) {
    std::string fast, general;
    const bool took = canonical_float_text_fast(q, fast);
    canonical_float_text_general(q, general);
    if (must_take_fast && !took) return report_mismatch("fast declined", q, fast, general, shown);
    if (took && fast != general) return report_mismatch("element text", q, fast, general, shown);
    return 0;
}

}  // namespace

TEST_CASE("digest: canonical texts of known inputs") {
    check_text({1.0f, 0.5f, -0.25f}, "[1.0, 0.5, -0.25]");
    check_text({2.0f, -3.0f}, "[2.0, -3.0]");
    check_text({static_cast<float>(1), static_cast<float>(2)}, "[1.0, 2.0]");
    check_text({static_cast<float>(0.6), static_cast<float>(0.8)}, "[0.6, 0.8]");
    check_text({static_cast<float>(0.1234567)}, "[0.123457]");
    check_text({static_cast<float>(0.12345649)}, "[0.123456]");
    check_text({0.0078125f}, "[0.007813]");
    check_text({-0.0078125f}, "[-0.007813]");
    check_text({static_cast<float>(0.9999995)}, "[1.0]");
    check_text({0.0f}, "[0.0]");
    check_text({-0.0f}, "[-0.0]");
    check_text({static_cast<float>(1e-7)}, "[0.0]");
    check_text({static_cast<float>(-1e-7)}, "[-0.0]");
    check_text({static_cast<float>(5e-7)}, "[0.0]");
    check_text({static_cast<float>(1.5e-6)}, "[0.000002]");
    check_text({static_cast<float>(1e-6)}, "[0.000001]");
    check_text({static_cast<float>(0.00005)}, "[0.00005]");
    check_text({static_cast<float>(123.4567891)}, "[123.456787]");
    check_text({static_cast<float>(1e10)}, "[10000000000.0]");
    check_text({std::numeric_limits<float>::max()}, "[340282346638528860000000000000000000000.0]");
    check_text({-std::numeric_limits<float>::max()}, "[-340282346638528860000000000000000000000.0]");
    check_text({kInf}, "[inf]");  // what 1e39 narrows to
    check_text({kNaN, kInf, -kInf}, "[NaN, inf, -inf]");
    check_text({-kNaN}, "[NaN]");
    check_text({}, "[]");
    // Outputs of normalisation for [3, 4] and [1, 1].
    check_text({0.6f, 0.8f}, "[0.6, 0.8]");
    check_text({0.70710677f, 0.70710677f}, "[0.707107, 0.707107]");
}

TEST_CASE("digest: 32-bit values the table names") {
    CHECK_EQ(static_cast<double>(static_cast<float>(0.1234567)), 0.12345670163631439);
    CHECK_EQ(static_cast<double>(static_cast<float>(0.12345649)), 0.12345649302005768);
    CHECK_EQ(static_cast<double>(static_cast<float>(0.9999995)), 0.9999995231628418);
    CHECK_EQ(static_cast<double>(static_cast<float>(1e-7)), 1.0000000116860974e-07);
    CHECK_EQ(static_cast<double>(static_cast<float>(5e-7)), 4.999999987376214e-07);
    CHECK_EQ(static_cast<double>(static_cast<float>(1.5e-6)), 1.500000053056283e-06);
    CHECK_EQ(static_cast<double>(static_cast<float>(1e-6)), 9.999999974752427e-07);
    CHECK_EQ(static_cast<double>(static_cast<float>(0.00005)), 4.999999873689376e-05);
    CHECK_EQ(static_cast<double>(static_cast<float>(123.4567891)), 123.456787109375);
    CHECK_EQ(static_cast<double>(std::numeric_limits<float>::max()), 3.4028234663852886e38);
}

TEST_CASE("digest: quantisation") {
    CHECK_EQ(quantize_to_6_places(0.0078125f), 0.007813);
    CHECK_EQ(quantize_to_6_places(-0.0078125f), -0.007813);
    CHECK_EQ(quantize_to_6_places(1.0f), 1.0);
    CHECK_EQ(quantize_to_6_places(static_cast<float>(0.9999995)), 1.0);
    CHECK_EQ(quantize_to_6_places(static_cast<float>(123.4567891)), 123.456787);
    CHECK(std::signbit(quantize_to_6_places(static_cast<float>(-1e-7))));
    CHECK_EQ(quantize_to_6_places(static_cast<float>(-1e-7)), 0.0);
    CHECK(!std::signbit(quantize_to_6_places(static_cast<float>(1e-7))));
    CHECK(std::signbit(quantize_to_6_places(-0.0f)));
    CHECK(std::isnan(quantize_to_6_places(kNaN)));
    CHECK_EQ(quantize_to_6_places(kInf), std::numeric_limits<double>::infinity());
    CHECK_EQ(quantize_to_6_places(-kInf), -std::numeric_limits<double>::infinity());
    CHECK_EQ(quantize_to_6_places(std::numeric_limits<float>::max()), 3.4028234663852886e38);
    // Halfway products go away from zero, never to even: 2.5 -> 3, 3.5 -> 4.
    for (int a = 1; a < 2000; a += 2) {
        const float x = static_cast<float>(a) / 128.0f;  // x * 1e6 = a * 7812.5
        const double expected_n = std::floor(static_cast<double>(a) * 7812.5) + 1.0;
        CHECK_EQ(quantize_to_6_places(x), expected_n / 1e6);
        CHECK_EQ(quantize_to_6_places(-x), -expected_n / 1e6);
    }
    // The add-and-truncate rounding agrees with round() on random 32-bit patterns.
    std::mt19937_64 rng(7);
    int bad = 0;
    for (int i = 0; i < 1000000; ++i) {
        const float x = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
        if (std::isnan(x)) continue;
        const double q = quantize_to_6_places(x);
        const double expected = std::round(static_cast<double>(x) * 1e6) / 1e6;
        if (std::bit_cast<std::uint64_t>(q) != std::bit_cast<std::uint64_t>(expected)) ++bad;
    }
    CHECK_EQ(bad, 0);
}

TEST_CASE("digest: general element text") {
    CHECK_EQ(general_text(0.0), "0.0");
    CHECK_EQ(general_text(-0.0), "-0.0");
    CHECK_EQ(general_text(2.0), "2.0");
    CHECK_EQ(general_text(-3.0), "-3.0");
    CHECK_EQ(general_text(0.000001), "0.000001");
    CHECK_EQ(general_text(0.00005), "0.00005");
    CHECK_EQ(general_text(123.456787), "123.456787");
    CHECK_EQ(general_text(1e10), "10000000000.0");
    CHECK_EQ(general_text(1e16), "10000000000000000.0");
    CHECK_EQ(general_text(1.5e-10), "0.00000000015");
    CHECK_EQ(general_text(0.1), "0.1");
    CHECK_EQ(general_text(1e21), "1000000000000000000000.0");
    CHECK_EQ(general_text(123456789012345680.0), "123456789012345680.0");
    CHECK_EQ(general_text(std::numeric_limits<double>::quiet_NaN()), "NaN");
    CHECK_EQ(general_text(-std::numeric_limits<double>::quiet_NaN()), "NaN");
    CHECK_EQ(general_text(std::numeric_limits<double>::infinity()), "inf");
    CHECK_EQ(general_text(-std::numeric_limits<double>::infinity()), "-inf");
    const std::string big = general_text(std::numeric_limits<double>::max());
    CHECK_EQ(big.size(), std::size_t{311});
    CHECK_EQ(big.substr(0, 17), "17976931348623157");
    const std::string tiny = general_text(-std::numeric_limits<double>::denorm_min());
    CHECK_EQ(tiny.size(), std::size_t{327});
    CHECK_EQ(tiny.substr(0, 4), "-0.0");
    CHECK_EQ(tiny.back(), '5');
    // Any double goes through canonical_float_text, even one that no
    // quantisation produces.
    std::string s;
    canonical_float_text(0.1234567, s);
    CHECK_EQ(s, "0.1234567");
    s.clear();
    canonical_float_text(1e-300, s);
    CHECK_EQ(s, "0." + std::string(299, '0') + "1");
}

TEST_CASE("digest: known digests") {
    // The long texts (15000 and 11000 bytes) reach the hash in several pieces.
    const struct {
        std::vector<float> v;
        const char* digest;
    } rows[] = {
        {{1.0f, 0.5f}, "1bbf1969e7ff438f3c0c0faa563dc4c360d83b5026c93d429fbdeba7a097c5ff"},
        {{}, "4f53cda18c2baa0c0354bb5f9a3ecbe5ed12ab4d8e11ba873c2f11161202b945"},
        {std::vector<float>(3000, 0.5f), "cf3936230208c72b58b5c54c82f5a58fff998e41030e83aa6968e0858a62b441"},
        {std::vector<float>(1000, -0.0078125f), "e9e61cab1439fbd72374e9ecc7e09fabbe3359c2f527e04698fd25ec724bcf87"},
    };
    for (const auto& row : rows)
        CHECK_EQ(compute_embedding_sha256(row.v.data(), row.v.size()), std::string(row.digest));
    // -0.0 and 0.0 give different digests; all results are 64 lowercase digits.
    const float pz[] = {static_cast<float>(1e-7)};
    const float nz[] = {static_cast<float>(-1e-7)};
    const std::string a = compute_embedding_sha256(pz, 1);
    const std::string b = compute_embedding_sha256(nz, 1);
    CHECK(a != b);
    for (const std::string& d : {a, b}) {
        CHECK_EQ(d.size(), std::size_t{64});
        for (char c : d) CHECK((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
    }
}

TEST_CASE("digest: libcrypto in use") {
    // Names the branch and library this harness runs against, and catches a
    // build whose headers and loaded library differ in major version.
    std::printf("     SHA-256 via %s, %s (headers %s)\n", sha256_source(), OpenSSL_version(OPENSSL_VERSION),
                OPENSSL_VERSION_TEXT);
    CHECK_EQ(OpenSSL_version_num() >> 28, static_cast<unsigned long>(OPENSSL_VERSION_NUMBER) >> 28);
    const bool fetch_possible = OPENSSL_VERSION_NUMBER >= 0x30000000L;
    CHECK(std::string(sha256_source()) == "EVP_sha256" || fetch_possible);
}

TEST_CASE("digest: fast element path equals the general path") {
    std::mt19937_64 rng(12345);
    int mismatches = 0, shown = 0;
    long count = 0;
    const double limit_n = 8589934592e6;  // 2^33 * 1e6
    // Quantised values n / 1e6 with n spread over every magnitude up to 2^33.
    for (int i = 0; i < 1000000; ++i) {
        const int digits = static_cast<int>(rng() % 17);  // up to 16 digits
        double scale = 1.0;
        for (int d = 0; d < digits; ++d) scale *= 10.0;
        auto n = static_cast<std::uint64_t>(static_cast<double>(rng() >> 11) / 9007199254740992.0 * scale);
        if (static_cast<double>(n) >= limit_n) n %= static_cast<std::uint64_t>(limit_n);
        // Every fourth value has trailing zeros in its fraction.
        if (i % 4 == 1) n -= n % 1000;
        const double q = static_cast<double>(n) / 1e6;
        const bool neg = (rng() & 1) != 0;
        mismatches += compare_paths(neg ? -q : q, true, shown);
        ++count;
    }
    // Both sides of 2^33: the last quantised values below it, and 2^33 up.
    for (std::uint64_t n = 8589934592000000 - 200000; n < 8589934592000000 + 200000; ++n) {
        const double q = static_cast<double>(n) / 1e6;
        mismatches += compare_paths(q, q < 8589934592.0, shown);
        mismatches += compare_paths(-q, q < 8589934592.0, shown);
        count += 2;
    }
    for (std::uint64_t n = (std::uint64_t{1} << 52) - 100000; n < (std::uint64_t{1} << 52) + 100000; ++n) {
        mismatches += compare_paths(static_cast<double>(n) / 1e6, true, shown);
        ++count;
    }
    // Above 2^32, q * 1e6 rounded to nearest is not always n (here it is
    // n + 1): the text must still be that of n / 10^6.
    {
        std::string s;
        CHECK(canonical_float_text_fast(4294967296000011.0 / 1e6, s));
        CHECK_EQ(s, "4294967296.000011");
        CHECK(std::llround(4294967296000011.0 / 1e6 * 1e6) != 4294967296000011);
    }
    // Small magnitudes: every n below 200000.
    for (std::uint64_t n = 0; n < 200000; ++n) {
        mismatches += compare_paths(static_cast<double>(n) / 1e6, true, shown);
        mismatches += compare_paths(-static_cast<double>(n) / 1e6, true, shown);
        count += 2;
    }
    // Doubles that are not quantised values: the fast path must decline.
    for (int i = 0; i < 100000; ++i) {
        const double q = std::bit_cast<double>(rng());
        mismatches += compare_paths(q, false, shown);
        ++count;
    }
    CHECK_EQ(mismatches, 0);
    CHECK(count >= 1000000);
}

TEST_CASE("digest: embedding fast path equals general on 32-bit inputs") {
    std::mt19937_64 rng(99);
    int mismatches = 0, shown = 0;
    std::vector<float> v(1000);
    auto compare = [&](const char* what) {
        const std::string fast = text_of(v, true);
        const std::string general = text_of(v, false);
        if (fast != general) {
            ++mismatches;
            for (float x : v) {
                std::string a = text_of({x}, true), b = text_of({x}, false);
                if (a != b) report_mismatch(what, static_cast<double>(x), a, b, shown);
            }
        }
    };
    // Magnitudes from 1e-7 to beyond 2^33, both signs.
    for (int round = 0; round < 1000; ++round) {
        for (float& x : v) {
            const double e = -7.0 + 17.5 * (static_cast<double>(rng() >> 11) / 9007199254740992.0);
            double m = std::pow(10.0, e);
            if (rng() & 1) m = -m;
            x = static_cast<float>(m);
        }
        compare("log-spread");
    }
    // Halfway products (x = a / 128 with a odd), and values that quantise to -0.0.
    for (int round = 0; round < 200; ++round) {
        for (float& x : v) {
            const auto a = static_cast<std::uint32_t>(rng() % (1u << 24)) | 1u;
            x = static_cast<float>(a) / 128.0f;
            if (rng() & 1) x = -x;
        }
        compare("halfway");
        for (float& x : v) x = -static_cast<float>(static_cast<double>(rng() >> 11) / 9007199254740992.0 * 5e-7);
        compare("negative zero");
    }
    // The 32-bit values around 2^33.
    {
        float x = 8589934592.0f;
        for (int i = 0; i < 500; ++i) x = std::nextafter(x, 0.0f);
        for (float& y : v) {
            y = x;
            x = std::nextafter(x, kInf);
        }
        compare("around 2^33");
        for (float& y : v) y = -y;
        compare("around -2^33");
    }
    // Random 32-bit patterns: every exponent, subnormals, NaNs, infinities.
    for (int round = 0; round < 2000; ++round) {
        for (float& x : v) x = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
        if (round % 10 == 0) {
            v[0] = kNaN;
            v[1] = kInf;
            v[2] = -kInf;
            v[3] = std::numeric_limits<float>::denorm_min();
            v[4] = -std::numeric_limits<float>::denorm_min();
        }
        compare("bit pattern");
    }
    CHECK_EQ(mismatches, 0);
}

TEST_CASE("digest: every 32-bit value in [0.5, 1) and [1, 2)") {
    int mismatches = 0, shown = 0;
    std::string fast, general;
    for (std::uint32_t bits = 0x3F000000u; bits < 0x40000000u; ++bits) {
        const float x = std::bit_cast<float>(bits);
        const double q = quantize_to_6_places(x);
        fast.clear();
        general.clear();
        canonical_float_text_fast(q, fast);
        canonical_float_text_general(q, general);
        if (fast != general) mismatches += report_mismatch("exhaustive", q, fast, general, shown);
    }
    CHECK_EQ(mismatches, 0);
}
