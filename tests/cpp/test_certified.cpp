// Tests of the certified simhash path: every bit compared with the plain
// ordered loop, on vectors built to make the estimates doubtful or wrong if
// a bound were too small, plus the kernels, the sign row cache and the
// fallbacks.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "kernel_levels.hpp"
#include "lsh/kernels/bit_transpose.hpp"
#include "lsh/kernels/kernel_table.hpp"
#include "lsh/kernels/sign_mix.hpp"
#include "lsh/simhash.hpp"
#include "lsh/simhash/certified.hpp"
#include "lsh/simhash/lookup_stage.hpp"
#include "lsh/simhash/sign_rows.hpp"
#include "simhash_reference.hpp"

using zln::lsh::FamilyRecord;
using zln::lsh::SimhashPath;
namespace detail = zln::lsh::detail;

namespace {

std::vector<FamilyRecord> run(const std::vector<float>& v, std::uint64_t families, std::uint64_t bits, SimhashPath path,
                              zln::CancelCheck cancel = {}) {
    return zln::lsh::simhash_lsh_multi(v.data(), v.size(), families, bits, 16, path, cancel, zln_test::harness_table());
}

using zln_test::reference_signature;

int g_compared = 0;

// The certified path with every level of the kernel table against the exact
// scalar loop (and, for small requests, against the independent reference),
// bit by bit.
void compare_all(const std::vector<float>& v, std::uint64_t families = 2, std::uint64_t bits = 256,
                 const char* what = "") {
    const auto exact = run(v, families, bits, SimhashPath::ScalarUncached);
    for (const auto& level : zln_test::kernel_levels()) {
        const auto got = zln::lsh::simhash_lsh_multi(v.data(), v.size(), families, bits, 16, SimhashPath::Certified, {},
                                                     level.table);
        bool same = got.size() == exact.size();
        for (std::size_t f = 0; same && f < got.size(); ++f) same = got[f].signature == exact[f].signature;
        if (!same) {
            std::fprintf(stderr, "  certified differs (kernels %s, n=%zu, %s)\n", level.name.c_str(), v.size(), what);
            for (std::size_t f = 0; f < got.size() && f < exact.size(); ++f) {
                if (got[f].signature != exact[f].signature) {
                    std::fprintf(stderr, "    family %zu\n      certified %s\n      exact     %s\n", f,
                                 got[f].signature.c_str(), exact[f].signature.c_str());
                }
            }
        }
        CHECK(same);
    }
    const auto autop = run(v, families, bits, SimhashPath::Auto);
    for (std::size_t f = 0; f < autop.size(); ++f) CHECK_EQ(autop[f].signature, exact[f].signature);
    if (v.size() * families * bits <= 4000000) {
        for (std::uint64_t f = 0; f < families; ++f) CHECK_EQ(exact[f].signature, reference_signature(v, f, bits));
    }
    ++g_compared;
}

float next_up(float x) { return std::nextafter(x, std::numeric_limits<float>::infinity()); }

}  // namespace

TEST_CASE("certified: sign rows are the transposed signs") {
    detail::sign_rows_reset();
    std::vector<float> v(300, 0.5f);
    run(v, 3, 200, SimhashPath::Certified);
    const auto rows = detail::sign_rows_current();
    CHECK(rows != nullptr);
    if (!rows) return;
    CHECK(rows->families >= 3 && rows->blocks >= 4 && rows->elements >= 300);
    int bad = 0;
    for (std::uint64_t f = 0; f < 3; ++f) {
        for (std::uint64_t b = 0; b < 256; ++b) {
            const std::uint64_t* row = rows->block_rows(f, b / 64) + (b % 64) * rows->stride;
            for (std::uint64_t j = 0; j < rows->elements; ++j) {
                bad += ((row[j / 64] >> (j % 64)) & 1U) != detail::sign_bit(f, b, j);
            }
        }
    }
    CHECK_EQ(bad, 0);
    std::uint64_t a[64], orig[64];
    std::mt19937_64 rng(5);
    for (auto& x : a) x = rng();
    std::memcpy(orig, a, sizeof a);
    detail::transpose_64x64(a);
    int wrong = 0;
    for (unsigned i = 0; i < 64; ++i)
        for (unsigned k = 0; k < 64; ++k) wrong += ((a[i] >> k) & 1U) != ((orig[k] >> i) & 1U);
    CHECK_EQ(wrong, 0);
}

TEST_CASE("certified: kernels agree with a naive count") {
    const auto sums = zln_test::entries_to_test(detail::plane_sums_entries());
    const auto builders = zln_test::entries_to_test(detail::plane_builder_entries());
    std::mt19937_64 rng(11);
    for (std::size_t words : {1u, 2u, 3u, 8u, 12u, 13u, 40u}) {
        const std::size_t pstride = (words + 7) & ~std::size_t{7};
        for (unsigned nplanes : {1u, 8u, 24u, 32u}) {
            std::vector<std::uint32_t> q(64 * words);
            for (auto& x : q) x = static_cast<std::uint32_t>(rng()) & static_cast<std::uint32_t>((1ULL << nplanes) - 1);
            std::vector<std::uint64_t> pg(nplanes * pstride, 0);
            detail::build_planes_generic(q.data(), words, nplanes, pg.data(), pstride);
            for (const auto* e : builders) {
                std::vector<std::uint64_t> pa(nplanes * pstride, 0);
                e->fn(q.data(), words, nplanes, pa.data(), pstride);
                CHECK(pa == pg);
            }
            const std::size_t stride = words + 5, nrows = 7;
            std::vector<std::uint64_t> rows(stride * nrows), neg(pstride, 0);
            for (auto& x : rows) x = rng();
            for (std::size_t w = 0; w < words; ++w) neg[w] = rng();
            std::int64_t want[7];
            for (std::size_t r = 0; r < nrows; ++r) {
                std::int64_t s = 0;
                for (std::size_t j = 0; j < 64 * words; ++j) {
                    const bool plus = (((rows[r * stride + j / 64] ^ neg[j / 64]) >> (j % 64)) & 1U) != 0;
                    if (plus) s += q[j];
                }
                want[r] = s;
            }
            for (const auto* e : sums) {
                // Every row count from one up, so each grouping of rows a kernel has is used.
                for (std::size_t m = 1; m <= nrows; ++m) {
                    std::int64_t got[7] = {-1, -1, -1, -1, -1, -1, -1};
                    e->fn(rows.data(), stride, m, neg.data(), pg.data(), pstride, nplanes, words, got);
                    bool same = true;
                    for (std::size_t r = 0; r < m; ++r) same = same && got[r] == want[r];
                    if (!same) {
                        std::fprintf(stderr, "  plane sums %s: words=%zu planes=%u rows=%zu\n", e->name, words, nplanes,
                                     m);
                    }
                    CHECK(same);
                }
            }
        }
    }
}

TEST_CASE("certified: quantising and scanning kernels agree with a naive loop") {
    std::mt19937_64 rng(23);
    std::uniform_real_distribution<float> uni(-1.0f, 1.0f);
    for (std::size_t n : {1u, 5u, 16u, 63u, 64u, 65u, 100u, 384u, 777u, 1536u}) {
        for (int kind = 0; kind < 3; ++kind) {
            std::vector<float> v(n);
            for (std::size_t j = 0; j < n; ++j) {
                const float x = uni(rng);
                if (kind == 0) v[j] = x;
                if (kind == 1)
                    v[j] = (rng() % 5 == 0) ? (rng() % 2 ? 0.0f : -0.0f) : x * 0x1p-130f;  // subnormals, zeros
                if (kind == 2) v[j] = (rng() % 7 == 0) ? x * 0x1p40f : x * 0x1p-30f;       // wide range
            }
            const std::size_t words = (n + 63) / 64, pstride = (words + 7) & ~std::size_t{7};
            std::uint32_t want_max = 0;
            std::vector<std::uint64_t> want_neg(pstride, 0);
            double want_abs = 0;
            for (std::size_t j = 0; j < n; ++j) {
                std::uint32_t b;
                std::memcpy(&b, &v[j], 4);
                want_max = std::max(want_max, b & 0x7fffffffU);
                want_neg[j / 64] |= static_cast<std::uint64_t>(b >> 31) << (j % 64);
                want_abs += std::fabs(static_cast<double>(v[j]));
            }
            std::vector<std::vector<std::uint64_t>> negs;
            for (const auto* e : zln_test::entries_to_test(detail::magnitude_scan_entries())) {
                const auto scan = e->fn;
                std::vector<std::uint64_t> neg(pstride, 0);
                double abs_sum = -1;
                CHECK_EQ(scan(v.data(), n, neg.data(), &abs_sum), want_max);
                CHECK(neg == want_neg);
                CHECK(std::fabs(abs_sum - want_abs) <= want_abs * 1e-12);
            }
            if (want_max == 0) continue;
            float vmax;
            std::memcpy(&vmax, &want_max, 4);
            const int emax = std::ilogb(static_cast<double>(vmax));
            for (unsigned planes : {8u, 10u, 12u, 24u}) {
                const int k = static_cast<int>(planes) - 1 - emax;
                std::vector<std::uint32_t> q(64 * words, 0);
                std::int64_t want_total = 0;
                double want_r = 0;
                for (std::size_t j = 0; j < n; ++j) {
                    const double x = std::fabs(static_cast<double>(v[j])) * std::ldexp(1.0, k);
                    const auto qi = std::min<std::int64_t>(static_cast<std::int64_t>(x + 0.5), (1LL << planes) - 1);
                    q[j] = static_cast<std::uint32_t>(qi);
                    want_total += qi;
                    want_r += std::fabs(x - static_cast<double>(qi));
                }
                std::vector<std::uint64_t> want_planes(planes * pstride, 0);
                detail::build_planes_generic(q.data(), words, planes, want_planes.data(), pstride);
                for (const auto* e : zln_test::entries_to_test(detail::quantiser_entries())) {
                    const auto quantise = e->fn;
                    std::vector<std::uint64_t> got(planes * pstride, 0);
                    std::int64_t total = -1;
                    const double r = quantise(v.data(), n, k, planes, got.data(), pstride, &total);
                    CHECK(got == want_planes);
                    CHECK_EQ(total, want_total);
                    CHECK(std::fabs(r - want_r) <= want_r * 1e-12);
                }
            }
        }
    }
}

TEST_CASE("certified: lookup stage kernels agree with a naive sum") {
    std::mt19937_64 rng(41);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    const auto gmaxes = zln_test::entries_to_test(detail::lookup_group_max_entries());
    const auto builders = zln_test::entries_to_test(detail::lookup_tables_entries());
    const auto sums = zln_test::entries_to_test(detail::lookup_sums_entries());
    const auto refines = zln_test::entries_to_test(detail::signed_sums_entries());
    for (std::size_t n : {1u, 3u, 15u, 16u, 17u, 100u, 384u, 777u, 1536u}) {
        for (int kind = 0; kind < 4; ++kind) {
            std::vector<float> v(n);
            for (std::size_t j = 0; j < n; ++j) {
                const float x = normal(rng);
                if (kind == 0) v[j] = x;
                if (kind == 1) v[j] = (j % 5 == 0) ? x * 0x1p60f : x * 0x1p-100f;  // wide range, subnormal products
                if (kind == 2) v[j] = std::ldexp(1.0f, static_cast<int>(rng() % 40) - 20) * (rng() % 2 ? 1.0f : -1.0f);
                if (kind == 3) v[j] = (j % 4 == 0) ? 3.0e38f : -1.0e-45f;  // group sums at the largest magnitudes
            }
            const double gmax = detail::lookup_group_max_generic(v.data(), n);
            for (const auto* e : gmaxes) CHECK_EQ(e->fn(v.data(), n), gmax);
            const double s = detail::lookup_scale(gmax);
            // The naive q_j, their group bound, residuals and tables.
            std::vector<std::int64_t> q(n);
            double want_r = 0;
            for (std::size_t j = 0; j < n; ++j) {
                const double x = s * static_cast<double>(v[j]);
                q[j] = static_cast<std::int64_t>(std::nearbyint(x));
                want_r += std::fabs(x - static_cast<double>(q[j]));
            }
            for (std::size_t g = 0; 4 * g < n; ++g) {
                std::int64_t a = 0;
                for (std::size_t j = 4 * g; j < std::min(n, 4 * g + 4); ++j) a += q[j] < 0 ? -q[j] : q[j];
                CHECK(a <= detail::kLookupMax);
            }
            const std::size_t gblocks = detail::lookup_group_blocks(n);
            std::vector<std::uint8_t> tg(gblocks * detail::kLookupTableBytes, 0xee);
            detail::lookup_tables_generic(v.data(), n, s, tg.data());
            for (const auto* e : builders) {
                std::vector<std::uint8_t> t(gblocks * detail::kLookupTableBytes, 0xee);
                const double r = e->fn(v.data(), n, s, t.data());
                CHECK(t == tg);
                CHECK(std::fabs(r - want_r) <= want_r * 1e-12);
            }
            // 64 hyperplanes of random signs, their index, and E every way.
            const std::size_t stride = (n + 63) / 64 + 1;
            std::vector<std::uint64_t> rows(64 * stride);
            for (auto& x : rows) x = rng();
            const std::size_t istride = gblocks + 2;
            std::vector<std::uint8_t> index(4 * 64 * istride, 0);
            std::vector<std::uint8_t> packed(4 * 64 * gblocks);
            detail::lookup_index_from_rows(rows.data(), stride, gblocks, packed.data());
            for (std::size_t c = 0; c < 4; ++c)
                std::copy_n(packed.data() + c * 64 * gblocks, 64 * gblocks, index.data() + c * 64 * istride);
            std::vector<const std::uint64_t*> rowp(64);
            for (int r = 0; r < 64; ++r) rowp[r] = rows.data() + r * stride;
            double dg[64], da[64];
            detail::signed_sums_generic(v.data(), n, rowp.data(), 64, dg);
            for (const auto* e : refines) {
                for (std::size_t m : {64u, 7u, 1u}) {
                    e->fn(v.data(), n, rowp.data(), m, da);
                    for (std::size_t r = 0; r < m; ++r) CHECK_EQ(std::memcmp(&da[r], &dg[r], sizeof(double)), 0);
                }
            }
            std::int64_t want_e[64];
            for (int r = 0; r < 64; ++r) {
                std::int64_t e = 0;
                long double d = 0, a = 0;
                for (std::size_t j = 0; j < n; ++j) {
                    const bool plus = ((rows[r * stride + j / 64] >> (j % 64)) & 1U) != 0;
                    const long double t = static_cast<long double>(v[j]);
                    e += plus ? q[j] : -q[j];
                    d += plus ? t : -t;
                    a += std::fabs(t);
                }
                want_e[r] = e;
                CHECK(std::fabs(static_cast<long double>(dg[r]) - d) <= a * 1e-13L);
            }
            for (const auto* e : sums) {
                std::int64_t got[64];
                e->fn(index.data(), istride, gblocks, tg.data(), got);
                for (int r = 0; r < 64; ++r) CHECK_EQ(got[r], want_e[r]);
            }
        }
    }
}

TEST_CASE("certified: the lookup bound covers a quantisation error made as large as it can be") {
    // Every residual s t_j - q_j is given the sign of hyperplane (0, 0) at
    // j, so for that hyperplane the error |s S - E| is the whole residual
    // sum: the bound must still exceed it (and the bit stay doubtful).
    const detail::KernelTable generic = detail::make_kernel_table(detail::kCapNone);
    for (std::size_t n : {5u, 64u, 383u, 768u, 3000u}) {
        for (double frac : {0.49, 0.3, 0.01}) {
            std::vector<float> v(n, 0.0f);
            v[0] = 1.0f;  // the group maximum: with v[1..3] small, s is close to 32764
            const double s0 = detail::lookup_scale(1.0);
            for (std::size_t j = 4; j < n; ++j) {
                const double sigma = detail::sign_bit(0, 0, j) != 0 ? 1.0 : -1.0;
                const double k = static_cast<double>(1 + j % 7);
                v[j] = static_cast<float>((k + sigma * frac) / s0);
            }
            const double s = detail::lookup_scale(detail::lookup_group_max_generic(v.data(), n));
            CHECK_EQ(s, s0);
            detail::CertifiedInput in;
            CHECK(detail::certified_prepare(in, v.data(), n, generic, false));
            detail::certified_prepare_lookup(in, v.data(), generic);
            // E of hyperplane (0, 0) through the generic kernels.
            std::vector<std::uint64_t> rows(64 * ((n + 63) / 64), 0);
            const std::size_t stride = (n + 63) / 64;
            for (std::size_t r = 0; r < 64; ++r)
                for (std::size_t j = 0; j < n; ++j)
                    rows[r * stride + j / 64] |= static_cast<std::uint64_t>(detail::sign_bit(0, r, j)) << (j % 64);
            std::vector<std::uint8_t> index(4 * 64 * in.gblocks);
            detail::lookup_index_from_rows(rows.data(), stride, in.gblocks, index.data());
            std::int64_t e[64];
            detail::lookup_sums_generic(index.data(), in.gblocks, in.gblocks, in.tables.data(), e);
            long double scaled = 0;
            for (std::size_t j = 0; j < n; ++j) {
                const long double t = static_cast<long double>(v[j]) * static_cast<long double>(s);
                scaled += detail::sign_bit(0, 0, j) != 0 ? t : -t;
            }
            const long double error = std::fabs(scaled - static_cast<long double>(e[0]));
            CHECK(error <= static_cast<long double>(in.lookup_bound));
            CHECK(static_cast<long double>(in.lookup_bound) <= error * 1.001L + 1.0L);  // and not far above it
            CHECK_EQ(detail::certified_verdict_lookup(in, e[0]) == detail::kDoubtful,
                     std::fabs(static_cast<double>(e[0])) <= in.lookup_bound);
        }
    }
}

TEST_CASE("certified: lookup verdicts") {
    std::mt19937_64 rng(43);
    const auto verdicts = zln_test::entries_to_test(detail::lookup_verdicts_entries());
    for (unsigned lanes : {1u, 7u, 8u, 9u, 63u, 64u}) {
        for (std::int64_t threshold : {std::int64_t{0}, std::int64_t{5}, std::int64_t{1} << 39}) {
            std::int64_t e[64];
            for (auto& x : e) {
                const std::int64_t near = threshold + static_cast<std::int64_t>(rng() % 5) - 2;  // around the threshold
                x = (rng() % 2 ? near : -near);
            }
            std::uint8_t want[64];
            std::fill(want, want + 64, 0xee);
            std::uint64_t want_mask = 0;
            for (unsigned i = 0; i < lanes; ++i) {
                const std::int64_t mag = e[i] < 0 ? -e[i] : e[i];
                want[i] = mag > threshold && e[i] > 0 ? 1 : 0;  // doubtful lanes: 0, settled later
                if (mag <= threshold) want_mask |= std::uint64_t{1} << i;
            }
            for (const auto* k : verdicts) {
                std::uint8_t got[64];
                std::fill(got, got + 64, 0xee);
                CHECK_EQ(k->fn(e, lanes, threshold, got), want_mask);
                CHECK(std::equal(got, got + 64, want));
            }
        }
    }
}

TEST_CASE("certified: the lookup index mirrors the sign rows") {
    detail::sign_rows_reset();
    detail::lookup_index_reset();
    std::vector<float> v(300, 0.5f);
    v[7] = -1.0f;
    zln::lsh::simhash_lsh_multi(v.data(), v.size(), 3, 200, 16, SimhashPath::Certified, {},
                                zln_test::forced_generic_lookup_table());
    const auto rows = detail::sign_rows_current();
    const auto index = detail::lookup_index_current();
    CHECK(rows != nullptr && index != nullptr);
    if (!rows || !index) return;
    CHECK(index->region.families == rows->families && index->region.blocks == rows->blocks &&
          index->region.elements == rows->elements);
    int bad = 0;
    for (std::uint64_t f = 0; f < rows->families; ++f) {
        for (std::uint64_t b = 0; b < 64 * rows->blocks; ++b) {
            const std::uint8_t* blk = index->block(f, b / 64);
            const std::size_t c = (b % 64) / 16, i = b % 16;
            for (std::uint64_t j = 0; j < rows->elements; ++j) {
                const std::size_t g = j / 4, gb = g / 4, k = g % 4;
                const unsigned byte = blk[(c * index->stride + gb) * 64 + 4 * i + k];
                bad += byte / 16 != k || ((byte >> (j % 4)) & 1U) != detail::sign_bit(f, b, j);
            }
        }
    }
    CHECK_EQ(bad, 0);
    // A larger request regrows the rows; the index follows them.
    std::vector<float> w(3000, 0.25f);
    zln::lsh::simhash_lsh_multi(w.data(), w.size(), 2, 64, 16, SimhashPath::Certified, {},
                                zln_test::forced_generic_lookup_table());
    CHECK(detail::lookup_index_current()->region.elements == detail::sign_rows_current()->elements);
}

TEST_CASE("certified: terms lost to rounding against a large element") {
    // [a, many small terms, -a]: each small term is at most half an ulp of a
    // and vanishes when added to it, so wherever a and -a cancel the ordered
    // sum is exactly 0 (bit 0) although the exact sum is not.
    for (float a : {1.0f, 3.0f, 1e30f, 1e-30f, 0.7f}) {
        for (int shift : {54, 60, 70}) {
            for (std::size_t m : {10u, 100u, 1000u, 5000u}) {
                std::vector<float> v;
                v.push_back(a);
                const float tiny = static_cast<float>(std::ldexp(static_cast<double>(a), -shift));
                for (std::size_t i = 0; i < m; ++i) v.push_back(tiny);
                v.push_back(-a);
                compare_all(v, 2, 256, "a, tiny..., -a");
                // Small terms with mixed magnitudes and signs.
                for (std::size_t i = 1; i <= m; ++i) v[i] = (i % 3 == 0 ? -tiny : tiny * static_cast<float>(1 + i % 5));
                compare_all(v, 1, 128, "a, mixed tiny..., -a");
            }
        }
    }
}

TEST_CASE("certified: x and -x, near-cancelling sets one ulp apart") {
    std::mt19937_64 rng(2024);
    std::uniform_real_distribution<float> uni(-1.0f, 1.0f);
    for (std::size_t n : {2u, 16u, 100u, 768u, 3000u}) {
        std::vector<float> v(n);
        for (std::size_t i = 0; i < n; ++i) v[i] = uni(rng);
        std::vector<float> w(v);
        for (float x : v) w.push_back(-x);
        compare_all(w, 2, 256, "x, -x");
        std::vector<float> pairs;
        for (float x : v) {
            pairs.push_back(x);
            pairs.push_back(-x);
        }
        compare_all(pairs, 2, 256, "pairs x, -x");
        // Each pair cancels up to one ulp.
        std::vector<float> near;
        for (float x : v) {
            near.push_back(x);
            near.push_back(-next_up(x));
        }
        compare_all(near, 2, 256, "x, -(x + ulp)");
        // A set and its negation, the latter shuffled and nudged by one ulp
        // in a few places.
        std::vector<float> shuffled(v);
        std::shuffle(shuffled.begin(), shuffled.end(), rng);
        std::vector<float> set(v);
        for (std::size_t i = 0; i < shuffled.size(); ++i)
            set.push_back(-(i % 7 == 0 ? next_up(shuffled[i]) : shuffled[i]));
        compare_all(set, 2, 256, "set, -set nudged");
    }
}

TEST_CASE("certified: constant vectors and exact zeros") {
    for (std::size_t n : {1u, 2u, 64u, 65u, 128u, 768u, 1000u, 3072u}) {
        for (float c : {0.25f, -1.0f, 3.0e38f, 1e-45f, 0.1f}) {
            compare_all(std::vector<float>(n, c), 2, 256, "constant");
        }
        compare_all(std::vector<float>(n, 0.0f), 2, 256, "zeros");
        compare_all(std::vector<float>(n, -0.0f), 1, 64, "negative zeros");
        std::vector<float> mixed(n, 0.0f);
        for (std::size_t i = 0; i < n; i += 3) mixed[i] = (i % 2 ? -0.0f : 0.5f);
        compare_all(mixed, 2, 256, "mostly zeros");
    }
    // Integer-valued elements whose sums are exactly zero for many bits.
    std::vector<float> ints;
    for (int i = 0; i < 600; ++i) ints.push_back(static_cast<float>((i % 4) + 1));
    compare_all(ints, 3, 256, "small integers");
}

TEST_CASE("certified: the whole binary32 range and the largest magnitudes") {
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<std::uint32_t> bits(0, 0x7f7fffffU);
    for (std::size_t n : {3u, 50u, 768u, 2000u}) {
        std::vector<float> v(n);
        for (auto& x : v) {
            std::uint32_t b = bits(rng) | (static_cast<std::uint32_t>(rng() & 1U) << 31);
            std::memcpy(&x, &b, 4);
        }
        compare_all(v, 2, 256, "all exponents");
        // Largest finite magnitudes, both signs: sums far beyond binary32 range.
        for (auto& x : v) x = (rng() & 1U) ? std::numeric_limits<float>::max() : -std::numeric_limits<float>::max();
        compare_all(v, 2, 256, "max magnitudes");
        for (std::size_t i = 0; i < n; i += 2)
            v[i] = std::numeric_limits<float>::denorm_min() * static_cast<float>(i % 9);
        compare_all(v, 2, 256, "max and subnormal");
        for (auto& x : v)
            x = std::numeric_limits<float>::denorm_min() * static_cast<float>(static_cast<int>(rng() % 17) - 8);
        compare_all(v, 2, 256, "subnormals only");
    }
}

TEST_CASE("certified: infinities and NaNs take the exact path") {
    std::vector<float> v(500, 0.5f);
    v[17] = std::numeric_limits<float>::infinity();
    compare_all(v, 2, 128, "inf");
    v[400] = -std::numeric_limits<float>::infinity();
    compare_all(v, 2, 128, "inf, -inf");
    v[17] = std::numeric_limits<float>::quiet_NaN();
    compare_all(v, 2, 128, "nan");
}

TEST_CASE("certified: random vectors, odd shapes, long vectors") {
    std::mt19937_64 rng(31337);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    for (std::size_t n : {1u, 7u, 63u, 64u, 65u, 127u, 128u, 257u, 768u, 1536u, 3072u, 4097u, 10000u}) {
        std::vector<float> v(n);
        for (auto& x : v) x = normal(rng) / std::sqrt(static_cast<float>(n));
        compare_all(v, n >= 4000 ? 2 : 3, n >= 4000 ? 128 : 256, "normal");
    }
    std::vector<float> v(1000);
    for (auto& x : v) x = normal(rng);
    compare_all(v, 1, 65, "65 bits");
    compare_all(v, 2, 100, "100 bits");
    compare_all(v, 17, 64, "17 families (beyond the row cache)");
    compare_all(v, 1, 1088, "1088 bits (beyond the row cache)");
}

TEST_CASE("certified: long vectors beyond the row cache use the exact path") {
    std::vector<float> v(200000, 0.0f);
    std::mt19937_64 rng(3);
    for (std::size_t i = 0; i < v.size(); i += 97) v[i] = static_cast<float>(rng() % 1000) - 500.0f;
    const auto exact = run(v, 1, 64, SimhashPath::ExactAuto);
    const auto cert = run(v, 1, 64, SimhashPath::Certified);
    CHECK_EQ(cert[0].signature, exact[0].signature);
}

namespace {

struct CountingCancel {
    int calls = 0;
    int stop_at = -1;
    static bool check(void* ctx) {
        auto* self = static_cast<CountingCancel*>(ctx);
        ++self->calls;
        return self->calls == self->stop_at;
    }
    zln::CancelCheck as_check() { return {&CountingCancel::check, this}; }
};

struct RegrowingCancel {
    int calls = 0;
    static bool check(void* ctx) {
        auto* self = static_cast<RegrowingCancel*>(ctx);
        ++self->calls;
        // Code run by the check calls back in and regrows the row cache.
        std::vector<float> w(3000 + 1000 * self->calls, 0.125f);
        zln::lsh::simhash_lsh_multi(w.data(), w.size(), 6 + self->calls % 4, 512, 8);
        return false;
    }
};

}  // namespace

TEST_CASE("certified: cancellation and cache regrowth during a call") {
    detail::sign_rows_reset();
    std::mt19937_64 rng(8);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<float> v(60000);
    for (auto& x : v) x = normal(rng);
    // Stops while the row cache is being built.
    {
        CountingCancel stop;
        stop.stop_at = 1;
        bool interrupted = false;
        try {
            run(v, 16, 1024, SimhashPath::Certified, stop.as_check());
        } catch (const zln::Interrupted&) {
            interrupted = true;
        }
        CHECK(interrupted);
        CHECK(detail::sign_rows_current() == nullptr);
    }
    // Hard vectors send everything to the exact sums, which poll too.
    std::vector<float> hard(60000, 1.0f);
    {
        run(hard, 8, 1024, SimhashPath::Certified);  // cache warm
        CountingCancel stop;
        stop.stop_at = 2;
        bool interrupted = false;
        try {
            run(hard, 8, 1024, SimhashPath::Certified, stop.as_check());
        } catch (const zln::Interrupted&) {
            interrupted = true;
        }
        CHECK(interrupted);
        CHECK_EQ(stop.calls, 2);
    }
    {
        std::vector<float> w(20000);
        for (auto& x : w) x = normal(rng);
        w[5] = 1e30f;
        w[19000] = -1e30f;
        const auto ref = run(w, 2, 256, SimhashPath::ExactAuto);
        detail::sign_rows_reset();
        RegrowingCancel re;
        const auto got = run(w, 2, 256, SimhashPath::Certified, {&RegrowingCancel::check, &re});
        CHECK(re.calls >= 1);
        for (std::size_t f = 0; f < 2; ++f) CHECK_EQ(got[f].signature, ref[f].signature);
    }
}

TEST_CASE("certified: summary") {
    std::printf("     (%d vectors compared bit for bit)\n", g_compared);
    CHECK(g_compared > 100);
}
