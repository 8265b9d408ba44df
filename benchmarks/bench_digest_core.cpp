// Timing of the digest and comparison cores (no interpreter).
//
// Build and run from the repository root:
//   g++ -std=c++20 -O3 -ffp-contract=off -Isrc benchmarks/bench_digest_core.cpp
//       src/lsh/digest.cpp src/lsh/compare.cpp -lcrypto -o build/bench_digest_core
//   build/bench_digest_core
// Times are per call, from the thread's CPU clock (so that time spent
// descheduled on a busy machine is not counted): median over batches, and
// in brackets the fastest batch.
#include <openssl/evp.h>

#include <algorithm>
#include <ctime>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "lsh/compare.hpp"
#include "lsh/digest.hpp"

namespace {

std::uint64_t g_sink = 0;  // printed at the end so the work is kept

double thread_ns() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

struct Timing {
    double median, min;
};

// Time of one call over `samples` batches of `batch` calls, in nanoseconds.
template <class F>
Timing time_ns(F&& f, int batch, int samples = 101) {
    std::vector<double> t;
    t.reserve(static_cast<std::size_t>(samples));
    for (int i = 0; i < batch; ++i) f();  // warm up
    for (int s = 0; s < samples; ++s) {
        const double start = thread_ns();
        for (int i = 0; i < batch; ++i) f();
        t.push_back((thread_ns() - start) / batch);
    }
    std::sort(t.begin(), t.end());
    return {t[t.size() / 2], t.front()};
}

std::vector<float> unit_vector(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> g;
    std::vector<double> v(n);
    double ss = 0;
    for (double& x : v) {
        x = g(rng);
        ss += x * x;
    }
    std::vector<float> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(v[i] / std::sqrt(ss));
    return out;
}

}  // namespace

int main() {
    EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    std::printf("%-6s %7s  %-18s %-18s %-18s %s\n", "n", "bytes", "text build us", "SHA-256 alone us",
                "whole digest us", "digest/SHA (median)");
    for (std::size_t n : {384, 768, 1536}) {
        const std::vector<float> v = unit_vector(n, n);
        const std::string text = zln::lsh::canonical_embedding_text(v.data(), n);
        const int batch = static_cast<int>(400000 / n);
        const Timing t_text = time_ns([&] { g_sink += zln::lsh::canonical_embedding_text(v.data(), n).size(); }, batch);
        const Timing t_sha = time_ns(
            [&] {
                unsigned char d[32];
                unsigned int len = 0;
                EVP_Digest(text.data(), text.size(), d, &len, md, nullptr);
                g_sink += d[0];
            },
            batch);
        const Timing t_all = time_ns([&] { g_sink += zln::lsh::compute_embedding_sha256(v.data(), n)[0]; }, batch);
        std::printf("%-6zu %7zu  %6.2f [%6.2f]    %6.2f [%6.2f]    %6.2f [%6.2f]    %.2f\n", n, text.size(),
                    t_text.median / 1e3, t_text.min / 1e3, t_sha.median / 1e3, t_sha.min / 1e3, t_all.median / 1e3,
                    t_all.min / 1e3, t_all.median / t_sha.median);
    }
    EVP_MD_free(md);

    std::mt19937_64 rng(1);
    std::string a(64, '0'), b(64, '0');
    const char hex[] = "0123456789abcdef";
    for (char& c : a) c = hex[rng() % 16];
    for (char& c : b) c = hex[rng() % 16];
    std::string au = a;
    for (char& c : au) c = static_cast<char>(c >= 'a' ? c - 32 : c);
    const Timing t_ham = time_ns([&] { g_sink += zln::lsh::hamming_distance_hex(a, b); }, 100000);
    const Timing t_ham_upper = time_ns([&] { g_sink += zln::lsh::hamming_distance_hex(au, b); }, 100000);
    const Timing t_cos = time_ns(
        [&] { g_sink += static_cast<std::uint64_t>(zln::lsh::cosine_from_hamming(g_sink % 257, 256) > 0); }, 100000);
    std::printf("hamming_distance_hex, 64-char signatures: %.1f ns [%.1f]; one uppercase: %.1f ns [%.1f]\n",
                t_ham.median, t_ham.min, t_ham_upper.median, t_ham_upper.min);
    std::printf("cosine_from_hamming: %.1f ns [%.1f]\n", t_cos.median, t_cos.min);
    std::printf("(checksum %llu)\n", static_cast<unsigned long long>(g_sink));
    return 0;
}
