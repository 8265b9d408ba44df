// Every simhash driver with every level of the kernel table, and every
// kernel entry the CPU runs, against a naive oracle written here from the
// definition: full SplitMix64 bit 0 for the sign, an ordered binary64 sum
// from -0.0, strict "> 0" for the bit, nibble packing and band cutting.
// The input also chooses how the process-wide sign cache is warmed first,
// so that partial cache coverage (rows or elements beyond the cache) is
// exercised deterministically.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "lsh/kernels/kernel_table.hpp"
#include "lsh/simhash.hpp"
#include "lsh/simhash/sign_cache.hpp"

using namespace zln;
using zln_fuzz::Input;

namespace {

// Bit 0 of the standard SplitMix64 output for the given state.
unsigned oracle_sign(std::uint64_t f, std::uint64_t b, std::uint64_t j) {
    std::uint64_t z = ((f << 48) ^ (b << 24) ^ j) + 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z = z ^ (z >> 31);
    return static_cast<unsigned>(z & 1U);
}

std::string oracle_signature(const std::vector<float>& v, std::uint64_t f, std::uint64_t B) {
    std::vector<int> bits(B, 0);
    for (std::uint64_t b = 0; b < B; ++b) {
        if (v.empty()) continue;
        volatile double acc = -0.0;  // one rounded addition at a time
        for (std::size_t j = 0; j < v.size(); ++j) {
            const double t = static_cast<double>(v[j]);
            acc = acc + (oracle_sign(f, b, j) ? t : -t);
        }
        bits[b] = acc > 0.0 ? 1 : 0;
    }
    std::string hex;
    for (std::uint64_t i = 0; i < B; i += 4) {
        int d = 0;
        for (std::uint64_t k = 0; k < 4; ++k) d = d * 2 + (i + k < B ? bits[i + k] : 0);
        hex.push_back("0123456789abcdef"[d]);
    }
    return hex;
}

std::vector<std::string> oracle_bands(const std::string& sig, std::uint64_t K) {
    const std::uint64_t H = sig.size();
    std::uint64_t chunk = H / K;
    if (chunk == 0) chunk = 1;
    std::vector<std::string> out;
    for (std::uint64_t i = 0; i < std::min(K, H); ++i) out.push_back(sig.substr(i * chunk, chunk));
    return out;
}

float pick_float(Input& in) {
    static const float palette[] = {0.0f,    -0.0f,    1.0f,     -1.0f,     0.5f, -0.25f, 1e-30f, -1e-30f,
                                    3.0e38f, -3.0e38f, INFINITY, -INFINITY, NAN,  1e-45f, 0.1f,   16777216.0f};
    const std::uint8_t mode = in.byte();
    if (mode < 96) return palette[mode % 16];
    if (mode < 160) return static_cast<float>(static_cast<std::int8_t>(in.byte())) / 8.0f;
    return zln_fuzz::bits_as<float>(in.u32());
}

std::string describe(const std::vector<float>& v, std::uint64_t F, std::uint64_t B, std::uint64_t K) {
    std::string s = "families=" + std::to_string(F) + " bits=" + std::to_string(B) + " bands=" + std::to_string(K) +
                    " n=" + std::to_string(v.size()) + " v=[";
    for (float x : v) {
        char buf[48];
        std::snprintf(buf, sizeof buf, "%a, ", static_cast<double>(x));
        s += buf;
    }
    return s + "]";
}

// The kernels on their own, at any (family, bit, element) including values
// whose key fields overlap: each sign-word filler against the oracle's
// signs, each accumulator against the ordered scalar sum.
void check_kernels(Input& in) {
    const std::uint8_t shape = in.byte();
    std::uint64_t f = in.u64(), b0 = in.u64(), j0 = in.u64();
    if (shape & 1) f &= 0xFFFF;
    if (shape & 2) b0 &= 0xFFFFC0;
    if (shape & 4) j0 &= 0xFFFFFF;
    const std::size_t count = in.byte() % 70;
    // One spare slot each: the kernels never see a null pointer, as in use.
    std::vector<std::uint64_t> want(count + 1), got(count + 1);
    for (std::size_t k = 0; k < count; ++k) {
        std::uint64_t w = 0;
        for (unsigned i = 0; i < 64; ++i) w |= static_cast<std::uint64_t>(oracle_sign(f, b0 + i, j0 + k)) << i;
        want[k] = w;
    }
    const std::string where = "f=" + std::to_string(f) + " b0=" + std::to_string(b0) + " j0=" + std::to_string(j0) +
                              " count=" + std::to_string(count);
    for (const auto& fl : lsh::detail::sign_word_filler_entries()) {
        if (!lsh::detail::runnable(fl)) continue;
        std::fill(got.begin(), got.end(), 0);
        fl.fn(f, b0, j0, count, got.data());
        if (got != want) zln_fuzz::mismatch((std::string("fill ") + fl.name).c_str(), where);
    }
    // Accumulators: random terms and sign words.
    std::vector<double> t(count + 1);
    for (std::size_t k = 0; k < count; ++k) {
        t[k] = static_cast<double>(pick_float(in));
        if (in.byte() & 1) want[k] = in.u64();
    }
    double start[64], expect[64];
    for (unsigned i = 0; i < 64; ++i) {
        start[i] = (shape & 8) ? static_cast<double>(pick_float(in)) : -0.0;
        volatile double acc = start[i];
        for (std::size_t k = 0; k < count; ++k) acc = acc + (((want[k] >> i) & 1U) ? t[k] : -t[k]);
        expect[i] = acc;
    }
    for (const auto& a : lsh::detail::accumulator_entries()) {
        if (!lsh::detail::runnable(a)) continue;
        alignas(64) double acc[64];
        std::copy(start, start + 64, acc);
        a.fn(t.data(), want.data(), count, acc);
        for (unsigned i = 0; i < 64; ++i) {
            const bool same = (std::isnan(acc[i]) && std::isnan(expect[i])) ||
                              std::memcmp(&acc[i], &expect[i], sizeof(double)) == 0;
            if (!same)
                zln_fuzz::mismatch((std::string("accumulate ") + a.name).c_str(), where + " lane " + std::to_string(i));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    if (size > 0 && data[0] >= 0xF0) {  // kernels alone
        in.byte();
        check_kernels(in);
        return 0;
    }
    // Sizes: families 0..5, bits 0..330, bands 0..80; a rare large family
    // index repeats family 0's key space (shift by 48 drops high bits).
    const std::uint8_t fb = in.byte();
    const std::uint64_t families = fb % 6;
    const std::uint64_t bits = in.u16() % 331;
    const std::uint64_t bands = in.byte() % 81;
    const std::uint8_t warm = in.byte();
    std::size_t n = in.byte();
    if (n > 200) n = 200 + (n - 200) * 24;  // up to ~1500 elements, rarely
    std::vector<float> v;
    v.reserve(n);
    for (std::size_t i = 0; i < n && in.remaining() > 0; ++i) v.push_back(pick_float(in));
    // A long tail of copies when the input is short on bytes but asked for more.
    if (!v.empty() && v.size() < n && (fb & 0x80)) {
        const std::size_t have = v.size();
        while (v.size() < n) v.push_back(v[v.size() % have]);
    }

    // Warm the cache with a request of its own shape, or leave it empty.
    lsh::detail::sign_cache_reset();
    if (warm & 1) {
        std::vector<float> w(((warm >> 1) & 7) * 40 + 1, 1.0f);
        const std::uint64_t wf = ((warm >> 4) & 3) + 1, wb = ((warm >> 6) & 3) * 64 + 64;
        (void)lsh::simhash_lsh_multi(w.data(), w.size(), wf, wb, 4, lsh::SimhashPath::ScalarCached);
    }

    const std::uint64_t F = std::max<std::uint64_t>(families, 1);
    const std::uint64_t B = std::max<std::uint64_t>(bits, 64);
    const std::uint64_t K = std::max<std::uint64_t>(bands, 1);
    std::vector<std::string> want_sig(F);
    for (std::uint64_t f = 0; f < F; ++f) want_sig[f] = oracle_signature(v, f, B);

    static const lsh::SimhashPath paths[] = {lsh::SimhashPath::ScalarUncached, lsh::SimhashPath::ScalarCached,
                                             lsh::SimhashPath::Blocks,         lsh::SimhashPath::Auto,
                                             lsh::SimhashPath::Certified,      lsh::SimhashPath::ExactAuto};
    static const char* path_names[] = {"scalar_uncached", "scalar_cached", "blocks", "auto", "certified", "exact_auto"};
    // The input picks the level of the kernel table (any level; the CPU caps it).
    const auto levels = lsh::detail::kernel_levels();
    const auto& level = levels[(fb / 6) % levels.size()];
    const lsh::detail::KernelTable table = lsh::detail::make_kernel_table(level.mask);
    for (int p = 0; p < 6; ++p) {
        const std::string name = std::string(path_names[p]) + "@" + level.name;
        const auto records = lsh::simhash_lsh_multi(v.data(), v.size(), families, bits, bands, paths[p], {}, table);
        if (records.size() != F)
            zln_fuzz::mismatch(name.c_str(), "family count; " + describe(v, families, bits, bands));
        for (std::uint64_t f = 0; f < F; ++f) {
            const auto& r = records[f];
            if (r.family != f || r.bits != B)
                zln_fuzz::mismatch(name.c_str(), "record fields; " + describe(v, families, bits, bands));
            if (r.signature != want_sig[f])
                zln_fuzz::mismatch(name.c_str(), "signature of family " + std::to_string(f) + ": got " + r.signature +
                                                     " want " + want_sig[f] + "; " +
                                                     describe(v, families, bits, bands));
            if (r.bands != oracle_bands(want_sig[f], K))
                zln_fuzz::mismatch(name.c_str(), "bands; " + describe(v, families, bits, bands));
        }
    }
    return 0;
}
