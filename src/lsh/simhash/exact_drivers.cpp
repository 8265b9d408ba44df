#include "lsh/simhash/exact_drivers.hpp"

#include <algorithm>
#include <bit>

#include "lsh/kernels/sign_mix.hpp"

namespace zln::lsh::detail {

namespace {

// Elements per kernel call when signs are taken from the cache, and when
// they are computed into the stack buffer.
constexpr std::size_t kCachedRun = 1 << 14;
constexpr std::size_t kFillRun = 512;

// t for a + sign, -t for a - sign, by flipping the sign bit only: acc + (-t)
// is exactly acc - t, and doing it without a branch keeps the unpredictable
// signs from costing a misprediction per element.
inline double signed_term(double t, unsigned plus) noexcept {
    const std::uint64_t flip = static_cast<std::uint64_t>(plus ^ 1U) << 63;
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(t) ^ flip);
}

// One run of the ordered sum, in small out-of-line functions so that acc
// stays in a register (inlined into the driver it was spilled to the stack,
// adding a store-to-load delay to every addition).
[[gnu::noinline]] double sum_run_cached(double acc, const double* t, const std::uint64_t* row, unsigned shift,
                                        std::size_t begin, std::size_t end) noexcept {
    for (std::size_t j = begin; j < end; ++j) {
        acc = acc + signed_term(t[j], static_cast<unsigned>(row[j] >> shift) & 1U);
    }
    return acc;
}

[[gnu::noinline]] double sum_run_mixed(double acc, const double* t, std::uint64_t f, std::uint64_t b, std::size_t begin,
                                       std::size_t end) noexcept {
    for (std::size_t j = begin; j < end; ++j) acc = acc + signed_term(t[j], sign_bit(f, b, j));
    return acc;
}

}  // namespace

void family_bits_scalar(std::uint64_t f, std::uint64_t bits, const double* t, std::size_t n, const SignCache* cache,
                        std::uint8_t* out, WorkMeter& meter) {
    for (std::uint64_t b = 0; b < bits; ++b) {
        const std::uint64_t w = b / 64;
        const unsigned shift = static_cast<unsigned>(b % 64);
        const std::uint64_t* row = nullptr;
        std::size_t cached = 0;
        if (cache != nullptr && cache->has_row(f, w)) {
            row = cache->row(f, w);
            cached = static_cast<std::size_t>(std::min<std::uint64_t>(cache->elements, n));
        }
        double acc = -0.0;
        std::size_t j = 0;
        while (j < n) {
            const std::size_t run = std::min(kScalarRun, n - j);
            const std::size_t end = j + run;
            const std::size_t cached_end = std::min(end, cached);
            if (j < cached_end) {
                acc = sum_run_cached(acc, t, row, shift, j, cached_end);
                j = cached_end;
            }
            if (j < end) {
                acc = sum_run_mixed(acc, t, f, b, j, end);
                j = end;
            }
            meter.add(run);
        }
        out[b] = acc > 0.0 ? 1 : 0;
    }
}

void block_bits_mixed(std::uint64_t f, std::uint64_t w, unsigned lanes, const double* t, std::size_t n,
                      std::uint8_t* out, WorkMeter& meter) {
    for (unsigned i = 0; i < lanes; ++i) {
        const std::uint64_t b = 64 * w + i;
        double acc = -0.0;
        for (std::size_t j = 0; j < n;) {
            const std::size_t end = std::min(n, j + kScalarRun);
            acc = sum_run_mixed(acc, t, f, b, j, end);
            meter.add((end - j) * 8);
            j = end;
        }
        out[i] = acc > 0.0 ? 1 : 0;
    }
}

// Vectorised across bits: 64 bit positions at a time, every lane walking the
// elements in the same order, so each lane's sum is the scalar sum exactly.
void block_bits_exact(std::uint64_t f, std::uint64_t w, unsigned lanes, const double* t, std::size_t n,
                      const SignCache* cache, const KernelTable& k, std::uint8_t* out, WorkMeter& meter) {
    const Accumulator accumulate = k.accumulate->fn;
    const SignWordFiller fill = k.fill->fn;
    alignas(64) std::uint64_t words[kFillRun];
    alignas(64) double acc[64];
    std::fill(acc, acc + 64, -0.0);
    const std::uint64_t* row = nullptr;
    std::size_t cached = 0;
    if (cache != nullptr && cache->has_row(f, w)) {
        row = cache->row(f, w);
        cached = static_cast<std::size_t>(std::min<std::uint64_t>(cache->elements, n));
    }
    std::size_t j = 0;
    while (j < n) {
        std::size_t count;
        if (j < cached) {
            count = std::min(kCachedRun, cached - j);
            accumulate(t + j, row + j, count, acc);
        } else {
            count = std::min(kFillRun, n - j);
            fill(f, 64 * w, j, count, words);
            accumulate(t + j, words, count, acc);
        }
        j += count;
        meter.add(static_cast<std::uint64_t>(count) * 64);
    }
    for (unsigned i = 0; i < lanes; ++i) out[i] = acc[i] > 0.0 ? 1 : 0;
}

void family_bits_blocks(std::uint64_t f, std::uint64_t bits, const double* t, std::size_t n, const SignCache* cache,
                        const KernelTable& k, std::uint8_t* out, WorkMeter& meter) {
    const std::uint64_t blocks = bits / 64 + (bits % 64 != 0 ? 1 : 0);
    for (std::uint64_t w = 0; w < blocks; ++w) {
        block_bits_exact(f, w, block_lanes(bits, w), t, n, cache, k, out + 64 * w, meter);
    }
}

}  // namespace zln::lsh::detail
