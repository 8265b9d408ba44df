#include "lsh/simhash/certified_driver.hpp"

#include <algorithm>
#include <bit>

#include "lsh/simhash/exact_drivers.hpp"

namespace zln::lsh::detail {

const SignCache* ExactFallback::get(WorkMeter& meter) {
    if (!cache) cache = sign_cache_for(families, blocks, n, kernels->fill->fn, meter);
    return cache.get();
}

namespace {

// t for a + sign, -t for a - sign, by flipping the sign bit only (see
// exact_drivers.cpp).
inline double signed_term(double t, unsigned plus) noexcept {
    const std::uint64_t flip = static_cast<std::uint64_t>(plus ^ 1U) << 63;
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(t) ^ flip);
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
    acc[0] = a0;
    acc[1] = a1;
    acc[2] = a2;
    acc[3] = a3;
    acc[4] = a4;
    acc[5] = a5;
    acc[6] = a6;
    acc[7] = a7;
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

// A block the sign rows do not cover: the exact kernels, signs mixed on the fly.
void block_bits_uncovered(std::uint64_t f, std::uint64_t w, unsigned lanes, const double* t, std::size_t n,
                          const KernelTable& k, std::uint8_t* out, WorkMeter& meter) {
    if (k.vector_exact()) {
        block_bits_exact(f, w, lanes, t, n, nullptr, k, out, meter);
    } else {
        block_bits_mixed(f, w, lanes, t, n, out, meter);
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

// The exact stage for one row, its planes already prepared: the sums over
// the two 32-plane halves of the exact grid, judged together.
int exact_stage_verdict(const CertifiedInput& in, const std::uint64_t* row, std::size_t stride, PlaneSums sums_fn,
                        WorkMeter& meter) {
    const std::uint64_t* lo = in.bits3.data();
    const std::uint64_t* hi = lo + 32 * in.pstride;
    std::int64_t plus_lo = 0, plus_hi = 0;
    sums_fn(row, stride, 1, in.neg.data(), lo, in.pstride, 32, in.words, &plus_lo);
    sums_fn(row, stride, 1, in.neg.data(), hi, in.pstride, 32, in.words, &plus_hi);
    meter.add(static_cast<std::uint64_t>(in.words) * 64);
    return certified_verdict3(in, plus_lo, plus_hi);
}

// One block of 64 bit positions of family f on its way through the stages:
// its sign rows, where its bits go, and the lanes still doubtful (in lane
// order, the first nd of `doubtful`).
struct Block {
    Block(std::uint64_t f_, std::uint64_t w_, unsigned lanes_, std::uint8_t* out_, const std::uint64_t* base_,
          std::size_t stride_) noexcept
        : f(f_), w(w_), lanes(lanes_), out(out_), base(base_), stride(stride_) {}
    std::uint64_t f, w;
    unsigned lanes;
    std::uint8_t* out;
    const std::uint64_t* base;  // its 64 sign rows, `stride` words apart
    std::size_t stride;
    // Only the first nd are ever read, each written first: left
    // uninitialised, since clearing them costs a block about as much as its
    // verdicts do.
    unsigned doubtful[64];
    unsigned nd = 0;
};

// Stage 1, every lane of the block at once: the lookup stage where the call
// has its index, else the bit planes of stage 1.
void first_stage(const CertifiedCall& c, Block& b) {
    const KernelTable& k = c.k;
    CertifiedInput& in = c.in;
    alignas(64) std::int64_t sums[64];
    if (c.index != nullptr) {
        k.lookup_sums->fn(c.index->block(b.f, b.w), c.index->stride, in.gblocks, in.tables.data(), sums);
        c.meter.add(static_cast<std::uint64_t>(b.lanes) * in.gblocks * 2);
        for (std::uint64_t m = k.lookup_verdicts->fn(sums, b.lanes, in.lookup_threshold, b.out); m != 0; m &= m - 1) {
            b.doubtful[b.nd++] = static_cast<unsigned>(std::countr_zero(m));
        }
    } else {
        k.plane_sums->fn(b.base, b.stride, b.lanes, in.neg.data(), in.s1.bits.data(), in.pstride, in.s1.planes,
                         in.words, sums);
        c.meter.add(static_cast<std::uint64_t>(b.lanes) * in.words * in.s1.planes);
        for (unsigned i = 0; i < b.lanes; ++i) {
            const int verdict = certified_verdict(in.s1, sums[i]);
            if (verdict == kDoubtful) {
                b.doubtful[b.nd++] = i;
            } else {
                b.out[i] = static_cast<std::uint8_t>(verdict);
            }
        }
    }
}

// After the lookup stage: the few doubtful lanes of a block are summed again
// in another order (the refinement), then tried on the exact stage; those
// still doubtful stay at the front of b.doubtful.
void refine_after_lookup(const CertifiedCall& c, Block& b) {
    const KernelTable& k = c.k;
    CertifiedInput& in = c.in;
    const std::uint64_t* rowp[64];
    double sums[64];
    for (unsigned d = 0; d < b.nd; ++d) rowp[d] = b.base + b.doubtful[d] * b.stride;
    k.signed_sums->fn(c.v, c.n, rowp, b.nd, sums);
    c.meter.add(static_cast<std::uint64_t>(b.nd) * c.n);
    unsigned kept = 0;
    for (unsigned d = 0; d < b.nd; ++d) {
        const unsigned i = b.doubtful[d];
        int verdict = certified_verdict_refined(in, sums[d]);
        if (verdict == kDoubtful && certified_stage3_worth_refined(in, c.v, sums[d]) &&
            certified_prepare_stage3(in, c.v, k.build_planes->fn)) {
            verdict = exact_stage_verdict(in, rowp[d], b.stride, k.plane_sums->fn, c.meter);
        }
        if (verdict == kDoubtful) {
            b.doubtful[kept++] = i;
        } else {
            b.out[i] = static_cast<std::uint8_t>(verdict);
        }
    }
    b.nd = kept;
}

// After the bit planes of stage 1: stages 2 and 3 for the doubtful lanes, one
// lane at a time. Once more lanes stay doubtful than the ordered sums take,
// the block goes to the exact kernel, so refining further would be wasted;
// the lanes not refined stay doubtful.
void refine_stages_2_3(const CertifiedCall& c, Block& b) {
    const KernelTable& k = c.k;
    CertifiedInput& in = c.in;
    certified_prepare_stage2(in, c.v, k);
    // The plane sums of stage 2 are taken kStage2Batch lanes at a time
    // (their rows gathered side by side, so the kernel shares each plane
    // load among them); the verdicts still go lane by lane in order, so a
    // batch may run past the early exit by a few lanes.
    const std::size_t gstride = in.pstride;
    if (in.gather.size() < kStage2Batch * gstride) in.gather.assign(kStage2Batch * gstride, 0);
    std::int64_t plus2[kStage2Batch];
    unsigned kept = 0, d = 0, batch_start = 0, batch_end = 0;
    for (; d < b.nd && !(k.vector_exact() && kept > kOrderedLimit); ++d) {
        const unsigned i = b.doubtful[d];
        const std::uint64_t* row = b.base + i * b.stride;
        if (d == batch_end) {
            const unsigned m = std::min(kStage2Batch, b.nd - d);
            for (unsigned g = 0; g < m; ++g) {
                const std::uint64_t* src = b.base + b.doubtful[d + g] * b.stride;
                std::copy(src, src + in.words, in.gather.data() + g * gstride);
            }
            k.plane_sums->fn(in.gather.data(), gstride, m, in.neg.data(), in.s2.bits.data(), in.pstride, in.s2.planes,
                             in.words, plus2);
            batch_start = d;
            batch_end = d + m;
        }
        const std::int64_t plus = plus2[d - batch_start];
        int verdict = certified_verdict(in.s2, plus);
        c.meter.add(static_cast<std::uint64_t>(in.words) * in.s2.planes);
        // The exact stage only when it can possibly clear its bound:
        // |S| * 2^-g is below (|E2| + bound2) scaled to its grid.
        if (verdict == kDoubtful && certified_stage3_worth(in, c.v, plus) &&
            certified_prepare_stage3(in, c.v, k.build_planes->fn)) {
            verdict = exact_stage_verdict(in, row, b.stride, k.plane_sums->fn, c.meter);
        }
        if (verdict == kDoubtful) {
            b.doubtful[kept++] = i;
        } else {
            b.out[i] = static_cast<std::uint8_t>(verdict);
        }
    }
    for (; d < b.nd; ++d) b.doubtful[kept++] = b.doubtful[d];  // not refined
    b.nd = kept;
}

// What the stages left doubtful, summed exactly in the defining order: the
// whole block through the exact kernel when it runs on a vector unit and
// many lanes are left, else the doubtful lanes eight at a time.
void sum_doubtful_exactly(const CertifiedCall& c, Block& b) {
    if (c.k.vector_exact() && b.nd > kOrderedLimit) {
        ++c.in.exact_streak;
        block_bits_exact(b.f, b.w, b.lanes, c.wide.get(), c.n, c.exact.get(c.meter), c.k, b.out, c.meter);
    } else {
        c.in.exact_streak = 0;
        ordered_bits_from_rows(c.wide.get(), c.n, b.base, b.stride, b.doubtful, b.nd, b.out, c.meter);
    }
}

// Block w of family f: the stages in order, each only for what the one
// before left doubtful.
void block_bits_certified(const CertifiedCall& c, std::uint64_t f, std::uint64_t w, std::uint64_t bits,
                          std::uint8_t* out) {
    CertifiedInput& in = c.in;
    if (in.exact_streak >= kExactStreak && c.k.vector_exact()) {
        // The estimates have settled nothing in the last blocks of this
        // call (a vector full of cancellation): stop paying for them.
        block_bits_exact(f, w, block_lanes(bits, w), c.wide.get(), c.n, c.exact.get(c.meter), c.k, out + 64 * w,
                         c.meter);
        return;
    }
    const unsigned lanes = block_lanes(bits, w);
    std::uint8_t* bout = out + 64 * w;
    if (in.all_zero) {
        // Every term is +-0.0, so is every partial sum: every bit is 0.
        std::fill(bout, bout + lanes, std::uint8_t{0});
        return;
    }
    if (!c.rows->has_block(f, w) || c.rows->elements < c.n) {
        block_bits_uncovered(f, w, lanes, c.wide.get(), c.n, c.k, bout, c.meter);
        return;
    }
    Block b(f, w, lanes, bout, c.rows->block_rows(f, w), c.rows->stride);
    first_stage(c, b);
    if (b.nd != 0 && b.nd <= kRefineLimit) {
        // The refinement settles nearly every lane the lookup stage leaves,
        // stages 2 and 3 those the bit planes leave; the rest go to the
        // exact sums below.
        if (c.index != nullptr) {
            refine_after_lookup(c, b);
        } else {
            refine_stages_2_3(c, b);
        }
    }
    if (b.nd == 0) {
        in.exact_streak = 0;
        return;
    }
    sum_doubtful_exactly(c, b);
}

}  // namespace

void family_bits_certified(const CertifiedCall& call, std::uint64_t f, std::uint64_t bits, std::uint8_t* out) {
    const std::uint64_t blocks = bits / 64 + (bits % 64 != 0 ? 1 : 0);
    for (std::uint64_t w = 0; w < blocks; ++w) block_bits_certified(call, f, w, bits, out);
}

}  // namespace zln::lsh::detail
