// Timing of the simhash core (no interpreter): median microseconds per call
// of simhash_lsh_multi with 3 families, 256 bits, 16 bands, for each driver
// and each level of the kernel table this CPU has (the benchmark narrows its
// own copies of the table; the module always runs the full one).
//
// Built by scripts/bench.sh (CMake option ZLN_BUILD_BENCHMARKS), or by hand
// from the repository root:
//   cmake -S . -B build/bench -DZLN_BUILD_MODULE=OFF -DZLN_BUILD_BENCHMARKS=ON
//   cmake --build build/bench && build/bench/bench_simhash_core
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "lsh/kernels/kernel_table.hpp"
#include "lsh/simhash.hpp"

namespace {

using zln::lsh::SimhashPath;

constexpr std::uint64_t kFamilies = 3;
constexpr std::uint64_t kBits = 256;
constexpr std::uint64_t kBands = 16;

volatile double g_sink = 0;

namespace kt = zln::lsh::detail;

// The table of the named level, or nullptr when this CPU does not reach it
// (it would only repeat a narrower level).
const kt::KernelTable* level_table(const char* name) {
    static std::vector<std::pair<std::string, kt::KernelTable>> tables;
    if (tables.empty()) {
        for (const auto& l : kt::kernel_levels()) {
            const kt::KernelTable t = kt::make_kernel_table(l.mask);
            if (!tables.empty() && tables.back().second.allowed == t.allowed) continue;
            tables.emplace_back(l.name, t);
        }
    }
    for (const auto& [n, t] : tables) {
        if (n == name) return &t;
    }
    return nullptr;
}

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
void blocks_uncached(const std::vector<double>& t, const kt::KernelTable& k) {
    const auto fill = k.fill->fn;
    const auto accumulate = k.accumulate->fn;
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
        const char* level;  // the kernel table's level; "all" for the full table
        int mode;           // 0: simhash_lsh_multi, 1: the block kernels with every sign mixed on the fly,
                            // 2: simhash_lsh_multi on a hard vector
    };
    const Row rows[] = {
        {"scalar, uncached", SimhashPath::ScalarUncached, "all", 0},
        {"scalar, sign cache", SimhashPath::ScalarCached, "all", 0},
        {"blocks, generic, cached", SimhashPath::Blocks, "generic", 0},
        {"avx2 kernels, uncached", SimhashPath::Blocks, "avx2", 1},
        {"avx2, sign cache", SimhashPath::Blocks, "avx2", 0},
        {"avx512 kernels, uncached", SimhashPath::Blocks, "avx512", 1},
        {"avx512dq mixer, uncached", SimhashPath::Blocks, "avx512dq", 1},
        {"avx512, sign cache", SimhashPath::Blocks, "avx512", 0},
        {"neon, uncached", SimhashPath::Blocks, "neon", 1},
        {"neon, sign cache", SimhashPath::Blocks, "neon", 0},
        {"exact auto", SimhashPath::ExactAuto, "all", 0},
        {"certified", SimhashPath::Certified, "all", 0},
        {"certified, VPOPCNTQ planes", SimhashPath::Certified, "avx512vpopcntdq", 0},
        {"certified, popcnt kernels", SimhashPath::Certified, "popcnt", 0},
        {"certified, avx2 level", SimhashPath::Certified, "avx2", 0},
        {"certified, generic kernels", SimhashPath::Certified, "generic", 0},
        {"certified, [a, tiny.., -a]", SimhashPath::Certified, "all", 2},
        {"exact auto, [a, tiny.., -a]", SimhashPath::ExactAuto, "all", 2},
        {"auto", SimhashPath::Auto, "all", 0},
        {"auto, generic kernels", SimhashPath::Auto, "generic", 0},
    };

    std::printf("simhash_lsh_multi, F=%llu B=%llu K=%llu: median us per call\n",
                static_cast<unsigned long long>(kFamilies), static_cast<unsigned long long>(kBits),
                static_cast<unsigned long long>(kBands));
    std::printf("%-28s", "path \\ n");
    for (std::size_t n : sizes) std::printf("%10zu", n);
    std::printf("\n");
    const kt::KernelTable full = kt::kernel_table();
    for (const Row& row : rows) {
        const kt::KernelTable* table = std::strcmp(row.level, "all") == 0 ? &full : level_table(row.level);
        if (table == nullptr) continue;  // a level this CPU does not have
        std::printf("%-28s", row.name);
        for (std::size_t n : sizes) {
            std::vector<float> v(n);
            for (float& x : v) x = uni(rng);
            std::vector<double> t(v.begin(), v.end());
            if (row.mode == 2) {
                // Every bit doubtful: a, terms lost against it, -a.
                for (float& x : v) x = 0x1p-60f;
                v.front() = 1.0f;
                v.back() = -1.0f;
            }
            double us = 0;
            if (row.mode == 1) {
                us = median_us([&] { blocks_uncached(t, *table); });
            } else {
                us = median_us([&] {
                    auto r = zln::lsh::simhash_lsh_multi(v.data(), n, kFamilies, kBits, kBands, row.path, {}, *table);
                    g_sink = g_sink + static_cast<double>(r[0].signature[0]);
                });
            }
            std::printf("%10.1f", us);
        }
        std::printf("\n");
    }

    // Floor: the same number of binary64 additions as one call, as a single
    // dependent chain (what the plain ordered loop is bound by).
    std::printf("%-28s", "F*B*n dependent adds");
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
