// Tests of the simhash core: fixed examples, agreement of every kernel with
// the plain scalar loop, key-overlap behaviour, size limits, cancellation.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "kernel_levels.hpp"
#include "lsh/kernels/kernel_table.hpp"
#include "lsh/kernels/sign_mix.hpp"
#include "lsh/simhash.hpp"
#include "lsh/simhash/sign_cache.hpp"
#include "simhash_reference.hpp"

using zln::lsh::FamilyRecord;
using zln::lsh::SimhashPath;

namespace {

using zln_test::PathRun;

std::vector<FamilyRecord> run(const std::vector<float>& v, std::uint64_t families, std::uint64_t bits,
                              std::uint64_t bands, SimhashPath path = SimhashPath::Auto, zln::CancelCheck cancel = {}) {
    return zln::lsh::simhash_lsh_multi(v.data(), v.size(), families, bits, bands, path, cancel,
                                       zln_test::harness_table());
}

std::vector<FamilyRecord> run(const std::vector<float>& v, std::uint64_t families, std::uint64_t bits,
                              std::uint64_t bands, const PathRun& p, zln::CancelCheck cancel = {}) {
    return zln::lsh::simhash_lsh_multi(v.data(), v.size(), families, bits, bands, p.path, cancel, p.table);
}

bool same_records(const std::vector<FamilyRecord>& a, const std::vector<FamilyRecord>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].family != b[i].family || a[i].bits != b[i].bits || a[i].signature != b[i].signature ||
            a[i].bands != b[i].bands) {
            return false;
        }
    }
    return true;
}

using zln_test::reference_signature;

std::vector<PathRun> available_paths() { return zln_test::path_runs(); }

std::vector<float> random_vector(std::mt19937_64& rng, std::size_t n, bool specials) {
    std::uniform_real_distribution<float> uni(-1.0f, 1.0f);
    std::uniform_int_distribution<int> pick(0, 199);
    std::vector<float> v(n);
    for (float& x : v) {
        x = uni(rng);
        if (!specials) continue;
        switch (pick(rng)) {
            case 0: x = 0.0f; break;
            case 1: x = -0.0f; break;
            case 2: x = std::numeric_limits<float>::denorm_min(); break;
            case 3: x = -1e-40f; break;
            case 4: x = 3.0e38f; break;
            case 5: x = -1e-30f; break;
            case 6: x = 1e30f; break;
            case 7:
                if (pick(rng) < 20) x = std::numeric_limits<float>::infinity();
                break;
            case 8:
                if (pick(rng) < 20) x = -std::numeric_limits<float>::infinity();
                break;
            case 9:
                if (pick(rng) < 10) x = std::numeric_limits<float>::quiet_NaN();
                break;
            default: break;
        }
    }
    return v;
}

std::string signs_of(std::uint64_t f, std::uint64_t b) {
    std::string s;
    for (std::uint64_t j = 0; j < 16; ++j) {
        if (j != 0) s += ' ';
        s += zln::lsh::hyperplane_sign(f, b, j) > 0 ? '+' : '-';
    }
    return s;
}

struct CountingCancel {
    int calls = 0;
    int stop_at = 0;  // 0: never stop
    static bool check(void* ctx) {
        auto* self = static_cast<CountingCancel*>(ctx);
        ++self->calls;
        return self->stop_at != 0 && self->calls >= self->stop_at;
    }
    zln::CancelCheck as_check() { return {&CountingCancel::check, this}; }
};

}  // namespace

TEST_CASE("simhash: sign generator check values") {
    CHECK_EQ(signs_of(0, 0), std::string("+ + - + - - - + - - - + + + - +"));
    CHECK_EQ(signs_of(0, 1), std::string("- - - + + + - + + - - + - - - +"));
    CHECK_EQ(signs_of(1, 0), std::string("- + - - - + - - + + + + + + - -"));
    CHECK_EQ(zln::lsh::hyperplane_sign(0, 0, 0), 1);
}

TEST_CASE("simhash: worked examples") {
    const std::vector<float> one{1.0f};
    auto r = run(one, 2, 64, 4);
    CHECK_EQ(r.size(), 2u);
    CHECK_EQ(r[0].family, 0u);
    CHECK_EQ(r[0].bits, 64u);
    CHECK_EQ(r[0].signature, std::string("9f171218fc975cb7"));
    CHECK(r[0].bands == (std::vector<std::string>{"9f17", "1218", "fc97", "5cb7"}));
    CHECK_EQ(r[1].family, 1u);
    CHECK_EQ(r[1].signature, std::string("1399e0dfab0234f2"));
    CHECK(r[1].bands == (std::vector<std::string>{"1399", "e0df", "ab02", "34f2"}));

    const std::vector<float> five{0.5f, -0.25f, 0.125f, 1.0f, -0.75f};
    for (const PathRun& p : available_paths()) {
        auto q = run(five, 2, 66, 3, p);
        CHECK_EQ(q[0].bits, 66u);
        CHECK_EQ(q[0].signature, std::string("ad960a0c7cbd4cac0"));
        CHECK(q[0].bands == (std::vector<std::string>{"ad960", "a0c7c", "bd4ca"}));
        CHECK_EQ(q[1].signature, std::string("53b052fbe9063166c"));
        CHECK(q[1].bands == (std::vector<std::string>{"53b05", "2fbe9", "06316"}));

        auto d = run(one, 3, 256, 16, p);
        CHECK_EQ(d.size(), 3u);
        CHECK_EQ(d[0].signature, std::string("9f171218fc975cb7934c4e828dc9c82657094590abf729c344b97538729bde28"));
        CHECK_EQ(d[0].bands.size(), 16u);
        CHECK_EQ(d[0].bands[0], std::string("9f17"));
        for (const auto& rec : d) {
            CHECK_EQ(rec.bits, 256u);
            CHECK_EQ(rec.signature.size(), 64u);
            for (const auto& band : rec.bands) CHECK_EQ(band.size(), 4u);
        }
    }
}

TEST_CASE("simhash: narrowing to 32 bits happens before summing") {
    const float narrowed = static_cast<float>(-0.9999999990686774);
    CHECK_EQ(narrowed, -1.0f);
    for (const PathRun& p : available_paths()) {
        auto a = run({1.0f, narrowed}, 1, 64, 16, p);
        auto b = run({1.0f, -1.0f}, 1, 64, 16, p);
        CHECK_EQ(a[0].signature, std::string("1016120878124811"));
        CHECK(same_records(a, b));
    }
}

TEST_CASE("simhash: floors and band shapes") {
    struct Row {
        std::uint64_t bits, bands, chars, chunk, count;
    };
    const Row rows[] = {{256, 16, 64, 4, 16},  {256, 3, 64, 21, 3}, {256, 1, 64, 64, 1}, {256, 0, 64, 64, 1},
                        {256, 100, 64, 1, 64}, {0, 16, 16, 1, 16},  {1, 16, 16, 1, 16},  {64, 16, 16, 1, 16},
                        {64, 0, 16, 16, 1},    {65, 16, 17, 1, 16}, {66, 3, 17, 5, 3},   {100, 16, 25, 1, 16},
                        {128, 5, 32, 6, 5}};
    const std::vector<float> v{0.3f, -0.7f, 0.25f};
    for (const Row& row : rows) {
        auto r = run(v, 1, row.bits, row.bands);
        CHECK_EQ(r[0].bits, std::max<std::uint64_t>(row.bits, 64));
        CHECK_EQ(r[0].signature.size(), row.chars);
        CHECK_EQ(r[0].bands.size(), row.count);
        for (std::size_t i = 0; i < r[0].bands.size(); ++i) {
            CHECK_EQ(r[0].bands[i], r[0].signature.substr(i * row.chunk, row.chunk));
        }
    }
    auto zero_fam = run(v, 0, 256, 16);
    CHECK_EQ(zero_fam.size(), 1u);
    CHECK_EQ(zero_fam[0].family, 0u);
    auto b65 = run(v, 1, 65, 16);
    CHECK(b65[0].signature.back() == '0' || b65[0].signature.back() == '8');
}

TEST_CASE("simhash: bits_to_hex and split_bands") {
    const std::uint8_t bits[] = {1, 0, 0, 1, 1, 1, 1, 1, 1, 0, 1};
    CHECK_EQ(zln::lsh::bits_to_hex(bits, 4), std::string("9"));
    CHECK_EQ(zln::lsh::bits_to_hex(bits, 8), std::string("9f"));
    CHECK_EQ(zln::lsh::bits_to_hex(bits, 9), std::string("9f8"));
    CHECK_EQ(zln::lsh::bits_to_hex(bits, 10), std::string("9f8"));
    CHECK_EQ(zln::lsh::bits_to_hex(bits, 11), std::string("9fa"));
    CHECK_EQ(zln::lsh::bits_to_hex(bits, 0), std::string(""));
    // Every digit, between two full groups.
    for (unsigned d = 0; d < 16; ++d) {
        std::uint8_t nib[12] = {};
        for (unsigned k = 0; k < 4; ++k) nib[4 + k] = static_cast<std::uint8_t>((d >> (3 - k)) & 1U);
        CHECK_EQ(zln::lsh::bits_to_hex(nib, 12), std::string("0") + "0123456789abcdef"[d] + "0");
    }
    CHECK(zln::lsh::split_bands("abcdefg", 3) == (std::vector<std::string>{"ab", "cd", "ef"}));
    CHECK(zln::lsh::split_bands("abc", 10) == (std::vector<std::string>{"a", "b", "c"}));
    CHECK(zln::lsh::split_bands("", 4).empty());
}

TEST_CASE("simhash: special vectors") {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (const PathRun& p : available_paths()) {
        for (const auto& v :
             {std::vector<float>{}, std::vector<float>{0.0f, -0.0f, 0.0f}, std::vector<float>{0.5f, nan, 1.0f}}) {
            auto r = run(v, 2, 100, 7, p);
            for (const auto& rec : r) CHECK_EQ(rec.signature, std::string(25, '0'));
        }
        // One +inf among finite elements: bit b is 1 exactly where its sign is +.
        auto r = run({0.5f, inf, -3.0f}, 2, 64, 16, p);
        for (std::uint64_t f = 0; f < 2; ++f) {
            std::vector<std::uint8_t> expect(64);
            for (std::uint64_t b = 0; b < 64; ++b) expect[b] = zln::lsh::hyperplane_sign(f, b, 1) > 0;
            CHECK_EQ(r[f].signature, zln::lsh::bits_to_hex(expect.data(), 64));
        }
        auto big = run({static_cast<float>(1e39)}, 1, 256, 16, p);
        CHECK(same_records(big, run({inf}, 1, 256, 16, p)));
    }
}

TEST_CASE("simhash: every path matches the scalar loop") {
    std::mt19937_64 rng(12345);
    const std::uint64_t bit_choices[] = {0, 63, 64, 65, 66, 100, 127, 128, 129, 255, 256, 257};
    const std::size_t len_choices[] = {0,  1,  2,  3,   7,   8,   9,   15,  16,   17,   31,  33,
                                       63, 64, 65, 127, 511, 512, 513, 768, 1000, 1999, 2000};
    const auto paths = available_paths();
    int cases = 0;
    for (std::size_t n : len_choices) {
        for (int rep = 0; rep < 3; ++rep) {
            const std::uint64_t bits = bit_choices[rng() % std::size(bit_choices)];
            const std::uint64_t families = 1 + rng() % 5;
            const std::uint64_t bands = rng() % 80;
            const auto v = random_vector(rng, n, rep != 0);
            const auto ref = run(v, families, bits, bands, SimhashPath::ScalarUncached);
            CHECK_EQ(ref[0].signature, reference_signature(v, 0, std::max<std::uint64_t>(bits, 64)));
            for (const PathRun& p : paths) {
                const bool ok = same_records(ref, run(v, families, bits, bands, p));
                if (!ok)
                    std::fprintf(stderr, "  path %s n=%zu F=%llu B=%llu K=%llu\n", p.name.c_str(), n,
                                 static_cast<unsigned long long>(families), static_cast<unsigned long long>(bits),
                                 static_cast<unsigned long long>(bands));
                CHECK(ok);
            }
            ++cases;
        }
    }
    CHECK(cases > 0);
}

TEST_CASE("simhash: sign word fillers agree, including overlapping key fields") {
    struct Probe {
        std::uint64_t f, b0, j0;
    };
    const Probe probes[] = {{0, 0, 0},
                            {3, 64, 100},
                            {0, (1ULL << 24) - 32, 5},
                            {1, 0, (1ULL << 24) - 3},
                            {65536 + 7, 128, 9},
                            {(1ULL << 40) + 1, (1ULL << 40), (1ULL << 50) + 11},
                            {~0ULL >> 8, ~0ULL - 200, ~0ULL - 40}};
    std::uint64_t scalar[40], vec[40];
    const auto fillers = zln_test::entries_to_test(zln::lsh::detail::sign_word_filler_entries());
    for (const Probe& p : probes) {
        zln::lsh::detail::fill_sign_words_scalar(p.f, p.b0, p.j0, 40, scalar);
        for (std::size_t k = 0; k < 40; ++k) {
            for (unsigned i = 0; i < 64; i += 7) {
                const bool plus = zln::lsh::hyperplane_sign(p.f, p.b0 + i, p.j0 + k) > 0;
                CHECK_EQ(((scalar[k] >> i) & 1U) != 0, plus);
            }
        }
        for (const auto* e : fillers) {
            e->fn(p.f, p.b0, p.j0, 40, vec);
            const bool same = std::memcmp(scalar, vec, sizeof vec) == 0;
            if (!same) std::fprintf(stderr, "  filler %s differs\n", e->name);
            CHECK(same);
        }
    }
    // The fields overlap by XOR: these triples share a key.
    using zln::lsh::hyperplane_sign;
    for (std::uint64_t j = 0; j < 64; ++j) {
        CHECK_EQ(hyperplane_sign(0, 1, j), hyperplane_sign(0, 0, (1ULL << 24) ^ j));
        CHECK_EQ(hyperplane_sign(0, 1ULL << 24, j), hyperplane_sign(1, 0, j));
        CHECK_EQ(hyperplane_sign(5, 3, j), hyperplane_sign(5 + 65536, 3, j));
        CHECK_EQ(hyperplane_sign(2, 7, (1ULL << 24) + j), hyperplane_sign(2, 6, j));
    }
}

TEST_CASE("simhash: accumulate kernels agree with the scalar twin bit for bit") {
    // Random terms of every magnitude (so roundings differ by order), zeros
    // of both signs and random sign words; start values not all -0.0.
    std::mt19937_64 rng(4242);
    const auto accumulators = zln_test::entries_to_test(zln::lsh::detail::accumulator_entries());
    for (std::size_t count : {0u, 1u, 2u, 7u, 64u, 333u}) {
        std::vector<double> t(count);
        std::vector<std::uint64_t> words(count);
        for (std::size_t k = 0; k < count; ++k) {
            t[k] = std::ldexp(static_cast<double>(static_cast<float>(static_cast<std::int64_t>(rng() % 2001) - 1000)),
                              static_cast<int>(rng() % 80) - 40);
            if (k % 11 == 3) t[k] = (k % 2) ? 0.0 : -0.0;
            words[k] = rng();
        }
        alignas(64) double start[64], want[64], got[64];
        for (unsigned i = 0; i < 64; ++i)
            start[i] = (i % 3 == 0) ? -0.0 : std::ldexp(static_cast<double>(rng() % 7), -3);
        std::copy(start, start + 64, want);
        zln::lsh::detail::accumulate_block_scalar(t.data(), words.data(), count, want);
        // The twin itself against the defining order, lane by lane.
        for (unsigned i = 0; i < 64; ++i) {
            double acc = start[i];
            for (std::size_t k = 0; k < count; ++k) acc = ((words[k] >> i) & 1U) ? acc + t[k] : acc - t[k];
            CHECK(std::memcmp(&acc, &want[i], sizeof acc) == 0);
        }
        for (const auto* e : accumulators) {
            std::copy(start, start + 64, got);
            e->fn(t.data(), words.data(), count, got);
            const bool same = std::memcmp(got, want, sizeof got) == 0;
            if (!same) std::fprintf(stderr, "  accumulate %s differs (count %zu)\n", e->name, count);
            CHECK(same);
        }
    }
}

TEST_CASE("simhash: families f and f + 65536 share signatures") {
    const std::vector<float> v{0.5f, -0.125f, 0.75f};
    const auto r = run(v, 65537 + 2, 64, 4);
    CHECK_EQ(r.size(), 65539u);
    for (std::uint64_t f = 0; f < 3; ++f) {
        CHECK_EQ(r[f + 65536].family, f + 65536);
        CHECK_EQ(r[f + 65536].signature, r[f].signature);
        CHECK(r[f + 65536].bands == r[f].bands);
    }
    CHECK(r[0].signature != r[1].signature);
}

TEST_CASE("simhash: regions beyond the sign cache") {
    // 17 families, 17 blocks of 64 bits and more elements than the cache can
    // hold for that many rows: every path has to mix signs on the fly there.
    std::mt19937_64 rng(777);
    const auto v = random_vector(rng, 8300, false);
    for (const PathRun& p : available_paths()) {
        if (p.path == SimhashPath::ScalarUncached) continue;
        const auto r = run(v, 17, 1088, 16, p);
        for (std::uint64_t f : {0ULL, 16ULL}) CHECK_EQ(r[f].signature, reference_signature(v, f, 1088));
    }
}

TEST_CASE("simhash: size limits fail fast") {
    const std::vector<float> v{1.0f};
    auto overflow = [&](std::uint64_t families, std::uint64_t bits) {
        try {
            run(v, families, bits, 16);
        } catch (const zln::InternalFailure& e) {
            return std::string(e.what()) == "capacity overflow";
        } catch (...) {
        }
        return false;
    };
    auto out_of_memory = [&](std::uint64_t families, std::uint64_t bits) {
        try {
            run(v, families, bits, 16);
        } catch (const std::bad_alloc&) {
            return true;
        } catch (...) {
        }
        return false;
    };
    CHECK(overflow(1ULL << 57, 256));
    CHECK(overflow(~0ULL, 256));
    CHECK(overflow(3, 1ULL << 63));
    CHECK(overflow(3, ~0ULL));
    CHECK(overflow(1ULL << 57, (1ULL << 63) - 1));
    CHECK(out_of_memory((1ULL << 57) - 1, 256));
    CHECK(out_of_memory(3, (1ULL << 63) - 1));
    CHECK(out_of_memory(1000000000000000ULL, 64));
    CHECK(out_of_memory(1, 1ULL << 50));
}

TEST_CASE("simhash: unknown path is refused") {
    bool refused = false;
    try {
        run({1.0f}, 1, 64, 1, static_cast<SimhashPath>(9));
    } catch (const zln::InternalFailure& e) {
        refused = std::string(e.what()) == "unknown simhash path";
    }
    CHECK(refused);
}

TEST_CASE("simhash: cancellation") {
    // Small calls never (or hardly ever) poll.
    for (const PathRun& p : available_paths()) {
        CountingCancel quiet;
        std::vector<float> v(768, 0.25f);
        run(v, 3, 256, 16, p, quiet.as_check());
        CHECK(quiet.calls <= 2);
    }
    // Long calls poll and stop when told to: first while the sign cache is
    // being built, then (cache warm) inside the summing loops.
    zln::lsh::detail::sign_cache_reset();
    {
        std::vector<float> v(4000000, 0.5f);
        CountingCancel stop;
        stop.stop_at = 2;
        bool interrupted = false;
        try {
            run(v, 3, 256, 16, SimhashPath::ScalarCached, stop.as_check());
        } catch (const zln::Interrupted&) {
            interrupted = true;
        }
        CHECK(interrupted);
        CHECK_EQ(stop.calls, 2);
        CHECK(zln::lsh::detail::sign_cache_current() == nullptr);
    }
    {
        std::vector<float> warm(200000, 0.5f);
        run(warm, 3, 256, 16);
    }
    for (const PathRun& p : available_paths()) {
        // Paths counting vector lanes poll less often per element.
        const bool lanes = p.path == SimhashPath::Auto || p.path == SimhashPath::Blocks ||
                           p.path == SimhashPath::Certified || p.path == SimhashPath::ExactAuto;
        std::vector<float> v(lanes ? 4000000 : 400000, 0.5f);
        CountingCancel stop;
        stop.stop_at = 3;
        bool interrupted = false;
        try {
            run(v, 3, 256, 16, p, stop.as_check());
        } catch (const zln::Interrupted&) {
            interrupted = true;
        }
        CHECK(interrupted);
        CHECK_EQ(stop.calls, 3);
    }
}

namespace {

struct Reentrant {
    int calls = 0;
    static bool check(void* ctx) {
        auto* self = static_cast<Reentrant*>(ctx);
        ++self->calls;
        // Code run by the check calls back in and regrows the shared cache.
        std::vector<float> w(20000 + 5000 * self->calls, 0.125f);
        zln::lsh::simhash_lsh_multi(w.data(), w.size(), 4, 512, 8);
        return false;
    }
};

}  // namespace

TEST_CASE("simhash: cache regrowth during a running call") {
    std::mt19937_64 rng(99);
    const auto v = random_vector(rng, 10000, false);
    const auto ref = run(v, 2, 128, 16, SimhashPath::ScalarUncached);
    for (const PathRun& p : available_paths()) {
        // Auto and Certified take the certified path, whose row cache and
        // polling have their own tests; here the exact kernels' sign cache regrows.
        if (p.path == SimhashPath::ScalarUncached || p.path == SimhashPath::Auto || p.path == SimhashPath::Certified) {
            continue;
        }
        zln::lsh::detail::sign_cache_reset();
        Reentrant re;
        const auto r = run(v, 2, 128, 16, p, {&Reentrant::check, &re});
        CHECK(same_records(ref, r));
        CHECK(re.calls >= 1);
    }
}
