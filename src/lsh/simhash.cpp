#include "simhash.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <memory>
#include <new>
#include <stdexcept>

#include "certified.hpp"
#include "certified_kernels.hpp"
#include "cpu_features.hpp"
#include "sign_cache.hpp"
#include "sign_rows.hpp"
#include "sign_mix.hpp"
#include "simhash_kernels.hpp"
#include "work_meter.hpp"

namespace zln::lsh {

namespace detail {

void fill_sign_words_scalar(std::uint64_t f, std::uint64_t b0, std::uint64_t j0, std::size_t count,
                            std::uint64_t* out) noexcept {
    for (std::size_t i = 0; i < count; ++i) out[i] = sign_word_scalar(f, b0, j0 + i);
}

// Which certified kernels run: 0 the best the CPU has, 1 at most the POPCNT
// instruction, 2 the generic ones. Only tests change it.
int g_certified_kernel_cap = 0;

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

std::uint64_t read_physical_memory() noexcept {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return UINT64_MAX;  // unknown: let allocation decide
    return sat_mul(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page));
}

// Read once: asking costs a system call, and every call needs the figure.
// The initialisation runs no code of the caller's, so it cannot re-enter.
std::uint64_t physical_memory() noexcept {
    static const std::uint64_t bytes = read_physical_memory();
    return bytes;
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
    total = sat_add(total, sat_mul(n, 40));   // certified stages: integers and bit planes
    total = sat_add(total, 64 * sizeof(double) * 2);
    return total;
}

SimhashPath best_exact_path(std::uint64_t families, std::uint64_t blocks, std::size_t n) {
    if (detail::cpu_has_avx512()) return SimhashPath::Avx512;
    if (detail::cpu_has_avx2()) return SimhashPath::Avx2;
    if (detail::sign_cache_can_cover(families, blocks, n)) return SimhashPath::ScalarCached;
    return SimhashPath::ScalarUncached;
}

SimhashPath resolve_path(SimhashPath path, std::uint64_t families, std::uint64_t blocks, std::size_t n) {
    // The certified path beats the exact kernels only with a vector
    // population count; without one the cached exact kernels are faster.
    if (path == SimhashPath::Auto) {
        return detail::cpu_has_avx512_popcount() ? SimhashPath::Certified : best_exact_path(families, blocks, n);
    }
    if (path == SimhashPath::ExactAuto) return best_exact_path(families, blocks, n);
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
// One block of 64 bit positions (the first `lanes` of them written to out).
void block_bits_simd(std::uint64_t f, std::uint64_t w, unsigned lanes, const double* t, std::size_t n,
                     const detail::SignCache* cache, Accumulator accumulate, detail::SignWordFiller fill,
                     std::uint8_t* out, WorkMeter& meter) {
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

unsigned block_lanes(std::uint64_t bits, std::uint64_t w) noexcept {
    return static_cast<unsigned>(std::min<std::uint64_t>(64, bits - 64 * w));
}

void family_bits_simd(std::uint64_t f, std::uint64_t bits, const double* t, std::size_t n,
                      const detail::SignCache* cache, Accumulator accumulate,
                      detail::SignWordFiller fill, std::uint8_t* out, WorkMeter& meter) {
    const std::uint64_t blocks = bits / 64 + (bits % 64 != 0 ? 1 : 0);
    for (std::uint64_t w = 0; w < blocks; ++w) {
        block_bits_simd(f, w, block_lanes(bits, w), t, n, cache, accumulate, fill, out + 64 * w, meter);
    }
}

// ---------------------------------------------------------------------------
// The certified path (the argument for its bounds is in certified.cpp).

struct CertKernels {
    detail::PlaneSums sums;
    detail::CertPrepKernels prep;
    Accumulator accumulate;  // null: no vector unit for exact blocks
    detail::SignWordFiller fill;
};

CertKernels certified_kernels() noexcept {
    CertKernels k{&detail::plane_sums_generic,
                  {&detail::build_planes_generic, &detail::quantise_planes_generic, &detail::magnitude_scan_generic},
                  nullptr,
                  &detail::fill_sign_words_scalar};
    const int cap = detail::g_certified_kernel_cap;
    if (cap <= 1 && detail::cpu_has_popcnt()) k.sums = &detail::plane_sums_popcnt;
    if (cap <= 0 && detail::cpu_has_avx512_popcount()) {
        k.sums = &detail::plane_sums_avx512;
        k.prep.build = &detail::build_planes_avx512;
    }
    if (cap <= 0 && detail::cpu_has_avx512()) {
        k.prep.quantise = &detail::quantise_planes_avx512;
        k.prep.scan = &detail::magnitude_scan_avx512;
    }
    if (cap <= 0) {
        if (detail::cpu_has_avx512()) {
            k.accumulate = &detail::accumulate_block_avx512;
            k.fill = avx512_filler();
        } else if (detail::cpu_has_avx2()) {
            k.accumulate = &detail::accumulate_block_avx2;
            k.fill = &detail::fill_sign_words_avx2;
        }
    }
    return k;
}

inline unsigned row_bit(const std::uint64_t* row, std::size_t j) noexcept {
    return static_cast<unsigned>(row[j >> 6] >> (j & 63)) & 1U;
}

// Ordered sums of eight hyperplanes at once, signs read from their sign rows:
// eight independent chains, each the plain loop of one bit.
[[gnu::noinline]] void ordered_sums8(const double* t, std::size_t begin, std::size_t end,
                                     const std::uint64_t* const* rows, double* acc) noexcept {
    double a0 = acc[0], a1 = acc[1], a2 = acc[2], a3 = acc[3];
    double a4 = acc[4], a5 = acc[5], a6 = acc[6], a7 = acc[7];
    const std::uint64_t *r0 = rows[0], *r1 = rows[1], *r2 = rows[2], *r3 = rows[3];
    const std::uint64_t *r4 = rows[4], *r5 = rows[5], *r6 = rows[6], *r7 = rows[7];
    for (std::size_t j = begin; j < end; ++j) {
        const double x = t[j];
        a0 = a0 + signed_term(x, row_bit(r0, j));
        a1 = a1 + signed_term(x, row_bit(r1, j));
        a2 = a2 + signed_term(x, row_bit(r2, j));
        a3 = a3 + signed_term(x, row_bit(r3, j));
        a4 = a4 + signed_term(x, row_bit(r4, j));
        a5 = a5 + signed_term(x, row_bit(r5, j));
        a6 = a6 + signed_term(x, row_bit(r6, j));
        a7 = a7 + signed_term(x, row_bit(r7, j));
    }
    acc[0] = a0; acc[1] = a1; acc[2] = a2; acc[3] = a3;
    acc[4] = a4; acc[5] = a5; acc[6] = a6; acc[7] = a7;
}

// Exact bits for the lanes listed in `lanes` of one block, eight at a time.
void ordered_bits_from_rows(const double* t, std::size_t n, const std::uint64_t* base, std::size_t stride,
                            const unsigned* lanes, unsigned count, std::uint8_t* out, WorkMeter& meter) {
    for (unsigned g = 0; g < count; g += 8) {
        const unsigned m = std::min(8U, count - g);
        const std::uint64_t* rows[8];
        for (unsigned i = 0; i < 8; ++i) rows[i] = base + lanes[g + std::min(i, m - 1)] * stride;
        double acc[8];
        std::fill(acc, acc + 8, -0.0);
        for (std::size_t j = 0; j < n;) {
            const std::size_t end = std::min(n, j + kScalarRun);
            ordered_sums8(t, j, end, rows, acc);
            meter.add((end - j) * 8 * 8);  // eight chains, counted like vector lanes
            j = end;
        }
        for (unsigned i = 0; i < m; ++i) out[lanes[g + i]] = acc[i] > 0.0 ? 1 : 0;
    }
}

// The per-element sign word cache, fetched (and grown) only when a block
// needs the exact vectorised kernel: hard vectors pay for it once, ordinary
// ones never.
struct ExactFallback {
    std::uint64_t families, blocks;
    std::size_t n;
    std::shared_ptr<const detail::SignCache> cache;  // our own snapshot

    const detail::SignCache* get(WorkMeter& meter) {
        if (!cache) cache = detail::sign_cache_for(families, blocks, n, best_filler(), meter);
        return cache.get();
    }
};

// A block the sign rows do not cover: the exact kernels, signs mixed on the fly.
void block_bits_uncovered(std::uint64_t f, std::uint64_t w, unsigned lanes, const double* t, std::size_t n,
                          const CertKernels& k, std::uint8_t* out, WorkMeter& meter) {
    if (k.accumulate != nullptr) {
        block_bits_simd(f, w, lanes, t, n, nullptr, k.accumulate, k.fill, out, meter);
        return;
    }
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

// Doubtful lanes after the first stage beyond which the block goes straight
// to the exact kernel (refining most of a block costs more than summing it),
// and after refinement beyond which the vectorised exact block beats the
// eight-at-a-time ordered sums.
constexpr unsigned kRefineLimit = 24;
constexpr unsigned kOrderedLimit = 8;
// Doubtful lanes whose stage-2 plane sums one kernel call takes.
constexpr unsigned kStage2Batch = 4;
// Consecutive blocks that needed the exact kernel after which the rest of the
// call goes to it directly.
constexpr unsigned kExactStreak = 2;

void family_bits_certified(std::uint64_t f, std::uint64_t bits, const float* v, const double* t,
                           std::size_t n, detail::CertifiedInput& in, const detail::SignRowCache& rows,
                           const CertKernels& k, ExactFallback& exact, std::uint8_t* out, WorkMeter& meter) {
    const std::uint64_t blocks = bits / 64 + (bits % 64 != 0 ? 1 : 0);
    alignas(64) std::int64_t sums[64];
    unsigned doubtful[64];
    for (std::uint64_t w = 0; w < blocks; ++w) {
        if (in.exact_streak >= kExactStreak && k.accumulate != nullptr) {
            // The estimates have settled nothing in the last blocks of this
            // call (a vector full of cancellation): stop paying for them.
            block_bits_simd(f, w, block_lanes(bits, w), t, n, exact.get(meter), k.accumulate, k.fill,
                            out + 64 * w, meter);
            continue;
        }
        const unsigned lanes = block_lanes(bits, w);
        std::uint8_t* bout = out + 64 * w;
        if (in.all_zero) {
            // Every term is +-0.0, so is every partial sum: every bit is 0.
            std::fill(bout, bout + lanes, std::uint8_t{0});
            continue;
        }
        if (!rows.has_block(f, w) || rows.elements < n) {
            block_bits_uncovered(f, w, lanes, t, n, k, bout, meter);
            continue;
        }
        const std::uint64_t* base = rows.block_rows(f, w);
        const std::size_t stride = rows.stride;

        // Stage 1: every lane of the block at once.
        k.sums(base, stride, lanes, in.neg.data(), in.s1.bits.data(), in.pstride, in.s1.planes, in.words, sums);
        meter.add(static_cast<std::uint64_t>(lanes) * in.words * in.s1.planes);
        unsigned nd = 0;
        for (unsigned i = 0; i < lanes; ++i) {
            const int verdict = detail::certified_verdict(in.s1, sums[i]);
            if (verdict == detail::kDoubtful) {
                doubtful[nd++] = i;
            } else {
                bout[i] = static_cast<std::uint8_t>(verdict);
            }
        }
        if (nd == 0) {
            in.exact_streak = 0;
            continue;
        }

        if (nd <= kRefineLimit) {
            // Stages 2 and 3 for the doubtful lanes, one lane at a time. Once
            // more lanes stay doubtful than the ordered sums take, the block
            // goes to the exact kernel, so refining further would be wasted.
            detail::certified_prepare_stage2(in, v, k.prep);
            // The plane sums of stage 2 are taken kStage2Batch lanes at a
            // time (their rows gathered side by side, so the kernel shares
            // each plane load among them); the verdicts still go lane by lane
            // in order, so a batch may run past the early exit by a few lanes.
            const std::size_t gstride = in.pstride;
            if (in.gather.size() < kStage2Batch * gstride) in.gather.assign(kStage2Batch * gstride, 0);
            std::int64_t plus2[kStage2Batch];
            unsigned kept = 0, d = 0, batch_start = 0, batch_end = 0;
            for (; d < nd && !(k.accumulate != nullptr && kept > kOrderedLimit); ++d) {
                const unsigned i = doubtful[d];
                const std::uint64_t* row = base + i * stride;
                if (d == batch_end) {
                    const unsigned m = std::min(kStage2Batch, nd - d);
                    for (unsigned g = 0; g < m; ++g) {
                        const std::uint64_t* src = base + doubtful[d + g] * stride;
                        std::copy(src, src + in.words, in.gather.data() + g * gstride);
                    }
                    k.sums(in.gather.data(), gstride, m, in.neg.data(), in.s2.bits.data(), in.pstride,
                           in.s2.planes, in.words, plus2);
                    batch_start = d;
                    batch_end = d + m;
                }
                const std::int64_t plus = plus2[d - batch_start];
                int verdict = detail::certified_verdict(in.s2, plus);
                meter.add(static_cast<std::uint64_t>(in.words) * in.s2.planes);
                // The exact stage only when it can possibly clear its bound:
                // |S| * 2^-g is below (|E2| + bound2) scaled to its grid.
                if (verdict == detail::kDoubtful && detail::certified_stage3_worth(in, v, plus) &&
                    detail::certified_prepare_stage3(in, v, k.prep.build)) {
                    const std::uint64_t* lo = in.bits3.data();
                    const std::uint64_t* hi = lo + 32 * in.pstride;
                    std::int64_t plus_lo = 0, plus_hi = 0;
                    k.sums(row, stride, 1, in.neg.data(), lo, in.pstride, 32, in.words, &plus_lo);
                    k.sums(row, stride, 1, in.neg.data(), hi, in.pstride, 32, in.words, &plus_hi);
                    verdict = detail::certified_verdict3(in, plus_lo, plus_hi);
                    meter.add(static_cast<std::uint64_t>(in.words) * 64);
                }
                if (verdict == detail::kDoubtful) {
                    doubtful[kept++] = i;
                } else {
                    bout[i] = static_cast<std::uint8_t>(verdict);
                }
            }
            for (; d < nd; ++d) doubtful[kept++] = doubtful[d];  // not refined
            nd = kept;
            if (nd == 0) {
                in.exact_streak = 0;
                continue;
            }
        }

        // What is left is summed exactly, in the defining order.
        if (k.accumulate != nullptr && nd > kOrderedLimit) {
            ++in.exact_streak;
            block_bits_simd(f, w, lanes, t, n, exact.get(meter), k.accumulate, k.fill, bout, meter);
        } else {
            in.exact_streak = 0;
            ordered_bits_from_rows(t, n, base, stride, doubtful, nd, bout, meter);
        }
    }
}

std::vector<FamilyRecord> compute(const float* v, std::size_t n, std::uint64_t families,
                                  std::uint64_t bits, std::uint64_t bands, SimhashPath path,
                                  CancelCheck cancel) {
    const std::uint64_t blocks = bits / 64 + (bits % 64 != 0 ? 1 : 0);
    path = resolve_path(path, families, blocks, n);

    // Elements widened exactly to binary64 once, shared by every family.
    std::vector<double> t(v, v + n);

    // The certified path, unless the vector or the request rules it out, in
    // which case the fastest exact path takes the whole call.
    detail::CertifiedInput cert;
    CertKernels kernels{};
    if (path == SimhashPath::Certified) {
        kernels = certified_kernels();
        if (n == 0 || !detail::sign_rows_can_cover(families, blocks, n) ||
            !detail::certified_prepare(cert, v, n, kernels.prep)) {
            path = best_exact_path(families, blocks, n);
        }
    }
    const bool certified = path == SimhashPath::Certified;
    const bool simd = path == SimhashPath::Avx2 || path == SimhashPath::Avx512;
    WorkMeter meter(cancel, simd || certified ? kSimdCheckInterval : kScalarCheckInterval);

    std::shared_ptr<const detail::SignRowCache> rows;  // our own snapshot
    if (certified) {
        meter.add(static_cast<std::uint64_t>(n) * 8);  // the quantisation passes
        rows = detail::sign_rows_for(families, blocks, n, best_filler(), meter);
    }
    ExactFallback fallback{families, blocks, n, nullptr};

    std::shared_ptr<const detail::SignCache> cache;  // our own snapshot
    if (n != 0 && !certified && path != SimhashPath::ScalarUncached) {
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
            if (certified) {
                family_bits_certified(f, bits, v, t.data(), n, cert, *rows, kernels, fallback, buffer.data(), meter);
            } else if (simd) {
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
        case SimhashPath::Certified:  // generic kernels on any CPU
        case SimhashPath::ExactAuto:
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
