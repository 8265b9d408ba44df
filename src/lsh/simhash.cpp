#include "simhash.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <memory>
#include <new>
#include <stdexcept>

#include "cpu_features.hpp"
#include "sign_cache.hpp"
#include "sign_mix.hpp"
#include "simhash_kernels.hpp"
#include "work_meter.hpp"

namespace zln::lsh {

namespace detail {

void fill_sign_words_scalar(std::uint64_t f, std::uint64_t b0, std::uint64_t j0, std::size_t count,
                            std::uint64_t* out) noexcept {
    for (std::size_t i = 0; i < count; ++i) out[i] = sign_word_scalar(f, b0, j0 + i);
}

}  // namespace detail

namespace {

using detail::WorkMeter;

constexpr std::uint64_t kFamilyLimit = std::uint64_t{1} << 57;
constexpr std::uint64_t kBitsLimit = std::uint64_t{1} << 63;

// Poll the cancellation check about every 2^20 scalar additions, or 2^23
// vector-lane additions (the SIMD kernels do those roughly eight times
// faster); both come to a few milliseconds at most.
constexpr std::uint64_t kScalarCheckInterval = std::uint64_t{1} << 20;
constexpr std::uint64_t kSimdCheckInterval = std::uint64_t{1} << 23;
// Elements per scalar inner run between meter updates.
constexpr std::size_t kScalarRun = 1 << 14;
// Elements per kernel call when signs are taken from the cache, and when
// they are computed into the stack buffer.
constexpr std::size_t kCachedRun = 1 << 14;
constexpr std::size_t kFillRun = 512;

std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t r;
    return __builtin_add_overflow(a, b, &r) ? UINT64_MAX : r;
}

std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t r;
    return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}

std::uint64_t physical_memory() noexcept {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return UINT64_MAX;  // unknown: let allocation decide
    return sat_mul(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page));
}

struct BandShape {
    std::uint64_t chars;  // signature length H
    std::uint64_t chunk;  // characters per band
    std::uint64_t count;  // number of bands
};

BandShape band_shape(std::uint64_t hex_chars, std::uint64_t bands) noexcept {
    if (bands == 0) bands = 1;
    std::uint64_t chunk = hex_chars / bands;
    if (chunk == 0) chunk = 1;
    return {hex_chars, chunk, std::min(bands, hex_chars)};
}

std::uint64_t hex_length(std::uint64_t bits) noexcept { return bits / 4 + (bits % 4 != 0 ? 1 : 0); }

// Everything the call and the caller's result objects will hold at once:
// the records (signature plus band strings), the widened vector, one bit
// buffer and the interpreter's objects built from the records (record
// instance, signature text, band list and band texts). Deliberately rough;
// it only has to turn hopeless requests into a prompt bad_alloc.
std::uint64_t estimated_bytes(std::uint64_t families, std::uint64_t bits, std::uint64_t n,
                              const BandShape& s) noexcept {
    const std::uint64_t band_native = sat_mul(s.count, sat_add(sizeof(std::string), sat_add(s.chunk, 1)));
    const std::uint64_t record_native = sat_add(sat_add(sizeof(FamilyRecord), s.chars), band_native);
    const std::uint64_t band_python = sat_add(sat_mul(8, s.count), sat_mul(s.count, sat_add(s.chunk, 49)));
    const std::uint64_t record_python = sat_add(sat_add(64 + 49 + 56, s.chars), band_python);
    std::uint64_t total = sat_mul(families, sat_add(record_native, record_python));
    total = sat_add(total, bits);             // one family's bit buffer
    total = sat_add(total, sat_mul(n, 8));    // widened elements
    total = sat_add(total, 64 * sizeof(double) * 2);
    return total;
}

SimhashPath resolve_path(SimhashPath path, std::uint64_t families, std::uint64_t blocks, std::size_t n) {
    if (path == SimhashPath::Auto) {
        if (detail::cpu_has_avx512()) return SimhashPath::Avx512;
        if (detail::cpu_has_avx2()) return SimhashPath::Avx2;
        if (detail::sign_cache_can_cover(families, blocks, n)) return SimhashPath::ScalarCached;
        return SimhashPath::ScalarUncached;
    }
    if (!simhash_path_available(path)) {
        ZLN_INTERNAL_FAILURE("requested simhash path is not available on this CPU");
    }
    return path;
}

detail::SignWordFiller avx512_filler() noexcept {
    return detail::cpu_has_avx512dq() ? &detail::fill_sign_words_avx512dq : &detail::fill_sign_words_avx512;
}

detail::SignWordFiller best_filler() noexcept {
    if (detail::cpu_has_avx512()) return avx512_filler();
    if (detail::cpu_has_avx2()) return &detail::fill_sign_words_avx2;
    return &detail::fill_sign_words_scalar;
}

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
[[gnu::noinline]] double sum_run_cached(double acc, const double* t, const std::uint64_t* row,
                                        unsigned shift, std::size_t begin, std::size_t end) noexcept {
    for (std::size_t j = begin; j < end; ++j) {
        acc = acc + signed_term(t[j], static_cast<unsigned>(row[j] >> shift) & 1U);
    }
    return acc;
}

[[gnu::noinline]] double sum_run_mixed(double acc, const double* t, std::uint64_t f, std::uint64_t b,
                                       std::size_t begin, std::size_t end) noexcept {
    for (std::size_t j = begin; j < end; ++j) acc = acc + signed_term(t[j], detail::sign_bit(f, b, j));
    return acc;
}

// The plain ordered loop: for each bit, acc starts at -0.0 and takes
// acc + t or acc - t for every element in index order.
void family_bits_scalar(std::uint64_t f, std::uint64_t bits, const double* t, std::size_t n,
                        const detail::SignCache* cache, std::uint8_t* out, WorkMeter& meter) {
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

using Accumulator = void (*)(const double*, const std::uint64_t*, std::size_t, double*) noexcept;

// Vectorised across bits: 64 bit positions at a time, every lane walking the
// elements in the same order, so each lane's sum is the scalar sum exactly.
void family_bits_simd(std::uint64_t f, std::uint64_t bits, const double* t, std::size_t n,
                      const detail::SignCache* cache, Accumulator accumulate,
                      detail::SignWordFiller fill, std::uint8_t* out, WorkMeter& meter) {
    alignas(64) std::uint64_t words[kFillRun];
    alignas(64) double acc[64];
    const std::uint64_t blocks = bits / 64 + (bits % 64 != 0 ? 1 : 0);
    for (std::uint64_t w = 0; w < blocks; ++w) {
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
        const std::uint64_t b0 = 64 * w;
        const unsigned lanes = static_cast<unsigned>(std::min<std::uint64_t>(64, bits - b0));
        for (unsigned i = 0; i < lanes; ++i) out[b0 + i] = acc[i] > 0.0 ? 1 : 0;
    }
}

std::vector<FamilyRecord> compute(const float* v, std::size_t n, std::uint64_t families,
                                  std::uint64_t bits, std::uint64_t bands, SimhashPath path,
                                  CancelCheck cancel) {
    const std::uint64_t blocks = bits / 64 + (bits % 64 != 0 ? 1 : 0);
    path = resolve_path(path, families, blocks, n);
    const bool simd = path == SimhashPath::Avx2 || path == SimhashPath::Avx512;
    WorkMeter meter(cancel, simd ? kSimdCheckInterval : kScalarCheckInterval);

    // Elements widened exactly to binary64 once, shared by every family.
    std::vector<double> t(v, v + n);

    std::shared_ptr<const detail::SignCache> cache;  // our own snapshot
    if (n != 0 && path != SimhashPath::ScalarUncached) {
        cache = detail::sign_cache_for(families, blocks, n, best_filler(), meter);
    }
    Accumulator accumulate = path == SimhashPath::Avx512 ? &detail::accumulate_block_avx512
                                                         : &detail::accumulate_block_avx2;
    detail::SignWordFiller fill = path == SimhashPath::Avx512 ? avx512_filler() : &detail::fill_sign_words_avx2;

    std::vector<FamilyRecord> records;
    records.reserve(families);
    for (std::uint64_t f = 0; f < families; ++f) {
        std::vector<std::uint8_t> buffer(bits, 0);
        if (n != 0) {
            if (simd) {
                family_bits_simd(f, bits, t.data(), n, cache.get(), accumulate, fill, buffer.data(), meter);
            } else {
                family_bits_scalar(f, bits, t.data(), n, cache.get(), buffer.data(), meter);
            }
        }
        FamilyRecord record;
        record.family = f;
        record.bits = bits;
        record.signature = bits_to_hex(buffer.data(), bits);
        std::vector<std::uint8_t>().swap(buffer);  // the bit buffer goes once the record is complete
        record.bands = split_bands(record.signature, bands);
        records.push_back(std::move(record));
        // Building the texts is work too: with an empty vector and many
        // families it is all the work there is.
        meter.add(bits + 64);
    }
    return records;
}

}  // namespace

bool simhash_path_available(SimhashPath path) noexcept {
    switch (path) {
        case SimhashPath::Auto:
        case SimhashPath::ScalarUncached:
        case SimhashPath::ScalarCached:
            return true;
        case SimhashPath::Avx2:
            return detail::cpu_has_avx2();
        case SimhashPath::Avx512:
            return detail::cpu_has_avx512();
    }
    return false;
}

int hyperplane_sign(std::uint64_t f, std::uint64_t b, std::uint64_t j) noexcept {
    return detail::sign_bit(f, b, j) != 0 ? 1 : -1;
}

std::string bits_to_hex(const std::uint8_t* bits, std::size_t count) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.resize(count / 4 + (count % 4 != 0 ? 1 : 0));
    std::size_t i = 0;
    for (char& c : out) {
        unsigned value = 0;
        for (unsigned k = 0; k < 4; ++k, ++i) {
            value = (value << 1) | (i < count ? (bits[i] & 1U) : 0U);  // missing low bits are 0
        }
        c = kDigits[value];
    }
    return out;
}

std::vector<std::string> split_bands(std::string_view signature, std::uint64_t bands) {
    const BandShape s = band_shape(signature.size(), bands);
    std::vector<std::string> out;
    out.reserve(s.count);
    for (std::uint64_t i = 0; i < s.count; ++i) {
        out.emplace_back(signature.substr(i * s.chunk, s.chunk));
    }
    return out;
}

std::vector<FamilyRecord> simhash_lsh_multi(const float* v, std::size_t n, std::uint64_t families,
                                            std::uint64_t bits, std::uint64_t bands, SimhashPath path,
                                            CancelCheck cancel) {
    // Sizes that cannot even be represented for the record list and the bit
    // buffers, judged on the values as passed.
    if (families >= kFamilyLimit || bits >= kBitsLimit) ZLN_INTERNAL_FAILURE("capacity overflow");

    const std::uint64_t F = std::max<std::uint64_t>(families, 1);
    const std::uint64_t B = std::max<std::uint64_t>(bits, 64);
    const std::uint64_t K = std::max<std::uint64_t>(bands, 1);

    // Requests that could never fit fail now, before any hashing, instead of
    // after minutes of work or in the middle of building the results.
    const BandShape shape = band_shape(hex_length(B), K);
    if (estimated_bytes(F, B, n, shape) > physical_memory()) throw std::bad_alloc();
    if (B > SIZE_MAX || F > SIZE_MAX) throw std::bad_alloc();

    try {
        return compute(v, n, F, B, K, path, cancel);
    } catch (const std::length_error&) {
        throw std::bad_alloc();
    }
}

}  // namespace zln::lsh
