// The certified path's first stage alone, and how many bits each stage
// leaves doubtful, at 3 families x 256 bits (768 hyperplanes).
//
// First stage: the bit-plane popcount stage (AVX-512 VPOPCNTQ, the planes
// count of the shipped path) against the lookup stage (VPERMB + VPDPBUSD),
// median microseconds for all 768 hyperplanes of one vector, tables and
// planes prepared beforehand. Doubtful bits: per stage, over 200 vectors,
// for Gaussian vectors and for embedding-like ones (a shared mean direction,
// a few dominant dimensions, the rest Gaussian; synthetic, not real data).
//
// Built by scripts/bench.sh (ZLN_BUILD_BENCHMARKS).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "lsh/kernels/kernel_table.hpp"
#include "lsh/simhash.hpp"
#include "lsh/simhash/certified.hpp"
#include "lsh/simhash/lookup_stage.hpp"
#include "lsh/simhash/sign_rows.hpp"

namespace d = zln::lsh::detail;

namespace {

constexpr std::uint64_t kFamilies = 3, kBlocks = 4;
volatile std::int64_t g_sink = 0;

template <class Fn>
double median_us(Fn&& fn) {
    std::vector<double> t;
    for (int s = 0; s < 301; ++s) {
        const auto a = std::chrono::steady_clock::now();
        fn();
        t.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - a).count());
    }
    std::nth_element(t.begin(), t.begin() + 150, t.end());
    return t[150];
}

std::vector<float> make_vector(std::size_t n, int kind, std::mt19937_64& rng, const std::vector<float>& mean) {
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<float> v(n);
    for (std::size_t j = 0; j < n; ++j) {
        v[j] = normal(rng);
        if (kind == 1) v[j] = 0.6f * v[j] + mean[j] + (j % 97 == 5 ? 8.0f * normal(rng) : 0.0f);
    }
    double norm = 0;
    for (float x : v) norm += static_cast<double>(x) * x;
    for (float& x : v) x = static_cast<float>(x / std::sqrt(norm));
    return v;
}

struct Counts {
    double vectors = 0, planes1 = 0, planes2 = 0, lookup = 0, refined = 0;
};

}  // namespace

int main() {
    // The process's table: the best kernels of each slot on this CPU.
    const d::KernelTable& k = d::kernel_table();
    const d::PlaneSums sums = k.plane_sums->fn;
    const d::LookupSums lsums = k.lookup_sums->fn;
    const d::SignedSums refine = k.signed_sums->fn;
    std::printf("first stage alone, 768 hyperplanes, median us (plane sums %s / lookup sums %s)\n", k.plane_sums->name,
                k.lookup_sums->name);
    std::printf("%-8s%14s%14s\n", "n", "bit planes", "lookup");
    for (std::size_t n : {128u, 384u, 768u, 1536u, 3072u}) {
        std::mt19937_64 rng(n);
        const auto v = make_vector(n, 0, rng, {});
        d::WorkMeter meter(zln::CancelCheck{}, UINT64_MAX);
        const auto rows = d::sign_rows_for(kFamilies, kBlocks, n, k.fill->fn, meter);
        const auto index = d::lookup_index_for(*rows, meter);
        d::CertifiedInput in;
        d::certified_prepare(in, v.data(), n, k);
        d::certified_prepare_lookup(in, v.data(), k);
        alignas(64) std::int64_t out[64];
        const double planes_us = median_us([&] {
            for (std::uint64_t f = 0; f < kFamilies; ++f)
                for (std::uint64_t w = 0; w < kBlocks; ++w) {
                    sums(rows->block_rows(f, w), rows->stride, 64, in.neg.data(), in.s1.bits.data(), in.pstride,
                         in.s1.planes, in.words, out);
                    g_sink = g_sink + out[0];
                }
        });
        const double lookup_us = median_us([&] {
            for (std::uint64_t f = 0; f < kFamilies; ++f)
                for (std::uint64_t w = 0; w < kBlocks; ++w) {
                    lsums(index->block(f, w), index->stride, in.gblocks, in.tables.data(), out);
                    g_sink = g_sink + out[0];
                }
        });
        std::printf("%-8zu%14.2f%14.2f\n", n, planes_us, lookup_us);
    }

    std::printf("\ndoubtful bits per stage, %% of 768 per vector, 200 vectors each\n");
    std::printf("%-6s%-12s%14s%14s%14s%14s\n", "n", "vectors", "planes (P)", "+24 planes", "lookup", "+refined");
    for (std::size_t n : {384u, 768u}) {
        for (int kind = 0; kind < 2; ++kind) {
            std::mt19937_64 rng(7 * n + kind);
            std::vector<float> mean(n);
            std::normal_distribution<float> normal(0.0f, 1.0f);
            for (float& m : mean) m = 0.5f * normal(rng);
            d::WorkMeter meter(zln::CancelCheck{}, UINT64_MAX);
            const auto rows = d::sign_rows_for(kFamilies, kBlocks, n, k.fill->fn, meter);
            const auto index = d::lookup_index_for(*rows, meter);
            Counts c;
            unsigned planes = 0;
            for (int i = 0; i < 200; ++i) {
                const auto v = make_vector(n, kind, rng, mean);
                d::CertifiedInput in;
                d::certified_prepare(in, v.data(), n, k);
                d::certified_prepare_stage2(in, v.data(), k);
                d::certified_prepare_lookup(in, v.data(), k);
                planes = in.s1.planes;
                c.vectors += 1;
                for (std::uint64_t f = 0; f < kFamilies; ++f) {
                    for (std::uint64_t w = 0; w < kBlocks; ++w) {
                        std::int64_t p1[64], e[64];
                        const std::uint64_t* base = rows->block_rows(f, w);
                        sums(base, rows->stride, 64, in.neg.data(), in.s1.bits.data(), in.pstride, in.s1.planes,
                             in.words, p1);
                        lsums(index->block(f, w), index->stride, in.gblocks, in.tables.data(), e);
                        for (unsigned r = 0; r < 64; ++r) {
                            const std::uint64_t* row = base + r * rows->stride;
                            if (d::certified_verdict(in.s1, p1[r]) == d::kDoubtful) {
                                c.planes1 += 1;
                                std::int64_t p2;
                                sums(row, rows->stride, 1, in.neg.data(), in.s2.bits.data(), in.pstride, in.s2.planes,
                                     in.words, &p2);
                                if (d::certified_verdict(in.s2, p2) == d::kDoubtful) c.planes2 += 1;
                            }
                            if (d::certified_verdict_lookup(in, e[r]) == d::kDoubtful) {
                                c.lookup += 1;
                                double sum;
                                refine(v.data(), n, &row, 1, &sum);
                                if (d::certified_verdict_refined(in, sum) == d::kDoubtful) c.refined += 1;
                            }
                        }
                    }
                }
            }
            const double all = c.vectors * 768 / 100.0;
            char label[32];
            std::snprintf(label, sizeof label, "(P = %u)", planes);
            std::printf("%-6zu%-12s%13.3f%%%13.4f%%%13.3f%%%13.4f%%   %s\n", n, kind == 0 ? "gaussian" : "embed-like",
                        c.planes1 / all, c.planes2 / all, c.lookup / all, c.refined / all, label);
        }
    }
    return 0;
}
