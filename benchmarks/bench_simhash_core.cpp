// Timing of the simhash core (no interpreter): median microseconds per call
// of simhash_lsh_multi with 3 families, 256 bits, 16 bands, for each kernel.
//
// Build and run from the repository root:
//   g++ -std=c++20 -O3 -ffp-contract=off -Isrc benchmarks/bench_simhash_core.cpp
//       src/lsh/simhash*.cpp src/lsh/sign_cache.cpp src/lsh/sign_rows.cpp src/lsh/certified*.cpp
//       src/lsh/cpu_features.cpp
//       -o build/bench_simhash_core
//   build/bench_simhash_core
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "lsh/certified.hpp"
#include "lsh/cpu_features.hpp"
#include "lsh/sign_cache.hpp"
#include "lsh/simhash.hpp"
#include "lsh/simhash_kernels.hpp"

namespace {

using zln::lsh::SimhashPath;

constexpr std::uint64_t kFamilies = 3;
constexpr std::uint64_t kBits = 256;
constexpr std::uint64_t kBands = 16;

volatile double g_sink = 0;

void detail_cap(int cap) { zln::lsh::detail::g_certified_kernel_cap = cap; }

// Median over samples of the time of one call, in microseconds; the number
// of samples shrinks for slow calls so the whole table stays quick.
template <class Fn>
double median_us(Fn&& fn) {
    fn();  // warm up (and build the sign cache where it is used)
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    const double once = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
    const int samples = std::clamp(static_cast<int>(200000.0 / (once + 1.0)), 7, 301);
    std::vector<double> t;
    t.reserve(static_cast<std::size_t>(samples));
    for (int s = 0; s < samples; ++s) {
        const auto start = std::chrono::steady_clock::now();
        fn();
        t.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    std::nth_element(t.begin(), t.begin() + samples / 2, t.end());
    return t[static_cast<std::size_t>(samples / 2)];
}

// The vectorised kernels with every sign mixed on the fly (no cache): the
// same kernel calls the driver makes outside the cached region.
template <class Fill, class Acc>
void simd_uncached(const std::vector<double>& t, Fill fill, Acc accumulate) {
    alignas(64) std::uint64_t words[512];
    alignas(64) double acc[64];
    for (std::uint64_t f = 0; f < kFamilies; ++f) {
        for (std::uint64_t w = 0; w < kBits / 64; ++w) {
            std::fill(acc, acc + 64, -0.0);
            for (std::size_t j = 0; j < t.size(); j += 512) {
                const std::size_t count = std::min<std::size_t>(512, t.size() - j);
                fill(f, 64 * w, j, count, words);
                accumulate(t.data() + j, words, count, acc);
            }
            g_sink = g_sink + acc[0];
        }
    }
}

}  // namespace

int main() {
    const std::size_t sizes[] = {128, 384, 768, 1536, 3072};
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<float> uni(-1.0f, 1.0f);

    struct Row {
        const char* name;
        SimhashPath path;
        int mode;  // 0: simhash_lsh_multi, 1/2/3: AVX2 / AVX-512 / AVX-512 with DQ kernels, uncached,
                   // 4/5: certified with the kernels capped, 6: simhash_lsh_multi on a hard vector
    };
    const Row rows[] = {
        {"scalar, uncached", SimhashPath::ScalarUncached, 0},
        {"scalar, sign cache", SimhashPath::ScalarCached, 0},
        {"avx2 kernels, uncached", SimhashPath::Avx2, 1},
        {"avx2, sign cache", SimhashPath::Avx2, 0},
        {"avx512 kernels, uncached", SimhashPath::Avx512, 2},
        {"avx512dq mixer, uncached", SimhashPath::Avx512, 3},
        {"avx512, sign cache", SimhashPath::Avx512, 0},
        {"exact auto", SimhashPath::ExactAuto, 0},
        {"certified", SimhashPath::Certified, 0},
        {"certified, popcnt kernels", SimhashPath::Certified, 4},
        {"certified, generic kernels", SimhashPath::Certified, 5},
        {"certified, [a, tiny.., -a]", SimhashPath::Certified, 6},
        {"exact auto, [a, tiny.., -a]", SimhashPath::ExactAuto, 6},
        {"auto", SimhashPath::Auto, 0},
    };

    std::printf("simhash_lsh_multi, F=%llu B=%llu K=%llu: median us per call\n",
                static_cast<unsigned long long>(kFamilies), static_cast<unsigned long long>(kBits),
                static_cast<unsigned long long>(kBands));
    std::printf("%-26s", "path \\ n");
    for (std::size_t n : sizes) std::printf("%10zu", n);
    std::printf("\n");
    for (const Row& row : rows) {
        if (!zln::lsh::simhash_path_available(row.path)) {
            std::printf("%-26s  (not available on this CPU)\n", row.name);
            continue;
        }
        std::printf("%-26s", row.name);
        for (std::size_t n : sizes) {
            std::vector<float> v(n);
            for (float& x : v) x = uni(rng);
            std::vector<double> t(v.begin(), v.end());
            double us = 0;
            if (row.mode == 6) {
                // Every bit doubtful: a, terms lost against it, -a.
                for (float& x : v) x = 0x1p-60f;
                v.front() = 1.0f;
                v.back() = -1.0f;
            }
            if (row.mode >= 4) detail_cap(row.mode == 4 ? 1 : row.mode == 5 ? 2 : 0);
            if (row.mode == 0 || row.mode >= 4) {
                us = median_us([&] {
                    auto r = zln::lsh::simhash_lsh_multi(v.data(), n, kFamilies, kBits, kBands, row.path);
                    g_sink = g_sink + static_cast<double>(r[0].signature[0]);
                });
            } else if (row.mode == 1) {
                us = median_us([&] {
                    simd_uncached(t, zln::lsh::detail::fill_sign_words_avx2, zln::lsh::detail::accumulate_block_avx2);
                });
            } else if (row.mode == 3) {
                if (!zln::lsh::detail::cpu_has_avx512dq()) {
                    std::printf("%10s", "n/a");
                    continue;
                }
                us = median_us([&] {
                    simd_uncached(t, zln::lsh::detail::fill_sign_words_avx512dq,
                                  zln::lsh::detail::accumulate_block_avx512);
                });
            } else {
                us = median_us([&] {
                    simd_uncached(t, zln::lsh::detail::fill_sign_words_avx512,
                                  zln::lsh::detail::accumulate_block_avx512);
                });
            }
            detail_cap(0);
            std::printf("%10.1f", us);
        }
        std::printf("\n");
    }

    // Floor: the same number of binary64 additions as one call, as a single
    // dependent chain (what the plain ordered loop is bound by).
    std::printf("%-26s", "F*B*n dependent adds");
    for (std::size_t n : sizes) {
        std::vector<double> t(n);
        for (double& x : t) x = uni(rng);
        const double us = median_us([&] {
            double acc = -0.0;
            for (std::uint64_t k = 0; k < kFamilies * kBits; ++k) {
                for (std::size_t j = 0; j < n; ++j) acc = acc + t[j];
            }
            g_sink = acc;
        });
        std::printf("%10.1f", us);
    }
    std::printf("\n");
    return 0;
}
