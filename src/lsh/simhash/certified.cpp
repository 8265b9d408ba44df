// Certified signature bits: quantisation, error bounds and verdicts.
//
// Why an accepted bit is the bit of the ordered sum
// -------------------------------------------------
// Fix a hyperplane (f, b) and write sigma_j = +-1 for its signs, t_j for the
// elements widened to binary64, S = sum_j sigma_j t_j for the exact (real)
// sum and acc for the ordered binary64 sum that defines the bit
// (bit = acc > +0.0). With e_j = +-1 the sign bit of t_j, sigma_j t_j =
// sigma_j e_j |t_j|. A stage works in units of a power of two s = 2^k and
// holds nonnegative integers q_j with
//     |t_j| * s = q_j + r_j,        R = sum_j |r_j|,
// and computes E = sum_j sigma_j e_j q_j exactly in integers (popcounts of
// the sign row XOR the negative mask, kernels/kernels.hpp). Then
//   (1) |S*s - E| = |sum_j sigma_j e_j r_j| <= R            (quantisation)
//   (2) |acc - S| <= gamma_{n-1} * A,  A = sum_j |t_j|,
//       gamma_m = m*u / (1 - m*u), u = 2^-53                  (rounding)
// (2) is the classical bound for recursive summation. It needs only the
// model fl(a + b) = (a + b)(1 + d), |d| <= u, which binary64 addition obeys
// whenever it does not overflow: a sum that lands in the subnormal range is
// exact. Overflow cannot happen: every partial sum is at most A <= n * 2^128
// < 2^1024. The start value -0.0 changes nothing: -0.0 + x is x exactly, so
// acc is the recursive sum of the n terms.
// A bit is accepted when |E| > bound with bound >= R + gamma_{n-1} * A * s.
// Then |S*s| >= |E| - R > gamma_{n-1} * A * s >= |acc - S| * s, so
//   - S != 0, and S has the sign of E (by (1), since R < |E|);
//   - acc != 0, and acc has the sign of S (since |acc - S| < |S|);
// hence acc > +0.0 exactly when E > 0, and the bit is (E > 0). When S = 0
// exactly, or whenever the estimate is not clear of the bound, the bit is
// doubtful and the caller computes the ordered sum itself.
//
// Zeros, signed zeros, subnormals. An element +-0.0 has q = r = 0 and adds
// nothing to E, R or A; in the ordered sum it leaves a nonzero acc unchanged.
// The sign of a zero acc never matters: an accepted bit has acc != 0, and a
// doubtful one is recomputed exactly. A subnormal binary32 element widens to
// a normal binary64 value, and multiplying by s stays in the normal range
// (next paragraph), so |t_j| * s is exact and so is r_j.
//
// The stages. Let M = max |t_j| > 0 (all-zero vectors are settled apart:
// every term is +-0.0, so every partial sum is +-0.0 and every bit 0) and
// emax = ilogb(M), so M < 2^(emax+1).
//   - Stages 1 and 2 use P planes (P = 8..12 for stage 1 by n, 24 for stage
//     2) and s = 2^(P-1-emax), so |t_j| s < 2^P. q_j is |t_j| s + 0.5
//     truncated and clamped to 2^P - 1; whichever integer that is, |x - q| <= 1
//     for x = |t_j| s, and x - q is computed exactly (q = 0, or q >= 1 and
//     q/2 <= x <= 2q: Sterbenz), so the computed |r_j| are the true ones.
//     x is never subnormal: |t_j| >= 2^-149 and s >= 2^(8-1-127), giving
//     x >= 2^-269; x < 2^P so it never overflows.
//   - Stage 3 is exact: g = the smallest exponent of a lowest set bit among
//     the elements; if every |t_j| < 2^(g+64), q_j = |t_j| 2^-g is an integer
//     below 2^64 computed from the binary32 fields by shifts, R = 0, and only
//     the rounding term remains. Otherwise there is no stage 3.
//     If moreover sum_j q_j < 2^53, the ordered sum has no rounding at all:
//     every partial sum is 2^g times an integer of magnitude below 2^53,
//     which binary64 represents exactly (2^g >= 2^-149 lies far above the
//     subnormal step 2^-1074, and 2^(g+53) far below the overflow
//     threshold), so every addition returns its exact result and acc = S.
//     Then the bit is (E > 0) for every hyperplane, E = 0 included: an
//     exactly zero sum makes acc +0.0 or -0.0, and either gives bit 0. This
//     settles constant vectors, exactly cancelling pairs and the like.
//
// The bound in floating point. R and A are summed in binary64 by the
// quantising and scanning kernels (kernels/kernels.hpp), each in an order
// of its own: a few interleaved partial sums in the generic kernels, 16 or
// 32 vector lanes combined by a tree in the AVX-512 ones, where lanes past n
// add +0.0, which is exact. The bound below holds for any summation tree of
// the n terms, giving R^ and A^ with R <= R^ / (1 - gamma_{n-1}) and likewise A. For
// n <= 2^24, gamma_{n-1} < n u (1 + 2^-28), and
//     rho = fl(n * A^) * 2^(k-52)      (the power of two is exact)
// satisfies gamma_{n-1} A s <= 0.51 rho: rho is about twice the rounding term,
// which absorbs A^'s own error and the rounding of n * A^. So
//     R + gamma_{n-1} A s <= (R^ + rho)(1 + 2^-28),
// and the stored bound fl(fl(R^ + rho) * (1 + 2^-20)), whose two roundings
// lose at most a factor (1 - u)^2, is at least that. rho never underflows
// (A^ >= M >= 2^-149 and the exponents k - 52 involved keep it far above
// 2^-1022) nor overflows (it is below n^2 * 2^P).
// Comparing: stage 1 and 2 values |E| <= n 2^24 <= 2^48 convert to binary64
// exactly. The exact stage's |E| may reach 2^89; it is converted and stepped
// one binary64 down (nextafter towards 0), which is at most |E| under any
// faithful rounding, so "stepped value > bound" still implies |E| > bound.
//
// The lookup stage (lookup_stage.hpp) takes stage 1's place where the CPU
// has byte lookups. Its scale s > 0 is any binary64 (not a power of two),
// x_j = fl(s * t_j) carries its own rounding, |x_j - s t_j| <= u s |t_j|,
// and q_j is x_j rounded to the nearest integer (ties to even), so that
// |x_j - q_j| <= 1/2 and x_j - q_j is computed exactly (q_j = 0, or
// q_j/2 <= x_j <= 2 q_j: Sterbenz). The tables hold exact integer sums of
// the q_j and E = sum_j sigma_j q_j exactly (|E| <= n/4 * 32767 < 2^37,
// exact in binary64). Then
//   (1') |S*s - E| <= sum_j |s t_j - q_j| <= R + u s A,  R = sum_j |x_j - q_j|,
// and with (2), E decides when |E| > R + (u + gamma_{n-1}) s A; since
// u + gamma_{n-1} <= gamma_n, the same bound as above with n + 1 in place
// of n (rho = fl(fl((n+1) A^) * s) * 2^-52 satisfies gamma_n A s <= 0.51 rho:
// the extra rounding of the product by s costs one more factor (1 - u)).
// x_j is never subnormal and never overflows: s = 32764 / gmax with
// 2^-149 <= gmax < 2^131 and |t_j| <= gmax, so 2^-278 < |x_j| <= 2^15.
//
// The refinement. A lane the first stage leaves doubtful is summed again in
// binary64, the same n terms sigma_j t_j in another order (eight
// interleaved partial sums, SignedSums in kernels/kernels.hpp). Any order
// of summation obeys the bound (2): the computed D has
// |D - S| <= gamma_{n-1} A (terms past n are not added at all). So if |D| > 2 gamma_{n-1} A, then S has the sign
// of D and |S| > gamma_{n-1} A >= |acc - S|, and the bit is (D > 0).
// The stored bound is fl(1.25 * rho), rho = fl(n * A^) * 2^-52 (unit s = 1):
// 2 gamma_{n-1} A <= 1.02 rho <= (1 - u) 1.25 rho. It decides every bit but
// those of sums within about n * 2^-51 * A of zero, which go on to the
// exact stage and the ordered sum.
//
// Integer ranges. n <= 2^24 (kCertifiedMaxElements). Stages 1, 2: q_j < 2^24,
// so sum q_j < 2^48, and the plane sums, E = 2P - total, all fit int64.
// Lookup stage: each table entry fits 16 bits (lookup_scale), its byte
// slices' lane sums stay below 2^30 (kernels/x86/lookup_avx512.cpp), E < 2^37.
// Stage 3: q_j < 2^64 is split into 32-bit halves; each half's plane sum is
// below n 2^32 <= 2^56 in int64; P = P_hi 2^32 + P_lo < 2^89 and
// E = 2P - total are formed in 128-bit integers.
#include "lsh/simhash/certified.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

namespace zln::lsh::detail {

namespace {

constexpr double kBoundSlack = 1.0 + 0x1p-20;

std::uint32_t abs_bits(float x) noexcept { return std::bit_cast<std::uint32_t>(x) & 0x7fffffffU; }

// A nonzero binary32 magnitude (the bits of |x|) as m * 2^lsb with a 24-bit
// (or, subnormal, shorter) integer m.
struct Magnitude {
    std::uint32_t m;
    int lsb;
};

Magnitude decode_magnitude(std::uint32_t bits) noexcept {
    const std::uint32_t field = bits >> 23;
    const std::uint32_t m = field == 0 ? (bits & 0x7fffffU) : ((bits & 0x7fffffU) | 0x800000U);
    const int lsb = field == 0 ? -149 : static_cast<int>(field) - 150;
    return {m, lsb};
}

// rho = fl(n * A^) * 2^(k - 52), the rounding term of a stage with unit 2^k.
double rounding_term(std::size_t n, double abs_sum, int k) noexcept {
    return std::ldexp(static_cast<double>(n) * abs_sum, k - 52);
}

double stage_bound(double residual_sum, double rho) noexcept { return (residual_sum + rho) * kBoundSlack; }

// Quantises the magnitudes for a stage of st.planes planes with unit 2^k
// and sets its planes, total and bound; returns the computed residual sum.
double quantise_stage(CertStage& st, const CertifiedInput& in, const float* v, int k, const KernelTable& kern) {
    st.bits.assign(static_cast<std::size_t>(st.planes) * in.pstride, 0);
    const double residual = kern.quantise->fn(v, in.n, k, st.planes, st.bits.data(), in.pstride, &st.total);
    st.bound = stage_bound(residual, rounding_term(in.n, in.abs_sum, k));
    st.ready = true;
    return residual;
}

}  // namespace

unsigned first_stage_planes(std::size_t n) noexcept {
    // The quantisation bound grows like n and a typical |sum| like sqrt(n)
    // times the magnitudes, so longer vectors need finer first stages to
    // leave only a few bits doubtful.
    if (n <= 256) return 8;
    if (n <= 1024) return 8;
    if (n <= 4096) return 10;
    if (n <= 16384) return 11;
    return 12;
}

void certified_reuse(CertifiedInput& in) noexcept {
    // Every buffer is filled whole before it is read (assign or a kernel that
    // writes all of it), so only their capacity carries over.
    std::vector<std::uint64_t> neg = std::move(in.neg), s1 = std::move(in.s1.bits), s2 = std::move(in.s2.bits);
    std::vector<std::uint64_t> bits3 = std::move(in.bits3), gather = std::move(in.gather);
    std::vector<std::uint8_t> tables = std::move(in.tables);
    in = CertifiedInput{};
    in.neg = std::move(neg);
    in.s1.bits = std::move(s1);
    in.s2.bits = std::move(s2);
    in.bits3 = std::move(bits3);
    in.gather = std::move(gather);
    in.tables = std::move(tables);
}

bool certified_prepare(CertifiedInput& in, const float* v, std::size_t n, const KernelTable& k, bool planes) {
    if (n == 0 || n > kCertifiedMaxElements) return false;
    in.n = n;
    in.words = (n + 63) / 64;
    in.pstride = (in.words + 7) & ~std::size_t{7};
    in.neg.assign(in.pstride, 0);
    const std::uint32_t maxbits = k.scan->fn(v, n, in.neg.data(), &in.abs_sum);
    if (maxbits >= 0x7f800000U) return false;  // an infinity or a NaN
    if (maxbits == 0) {
        in.all_zero = true;
        return true;
    }
    in.emax = std::ilogb(static_cast<double>(std::bit_cast<float>(maxbits)));
    // The refinement's bound: rho with unit 1, times 1.25 (see the top).
    in.refine_bound = rounding_term(n, in.abs_sum, 0) * 1.25;
    if (planes) certified_prepare_stage1_planes(in, v, k);
    return true;
}

void certified_prepare_stage1_planes(CertifiedInput& in, const float* v, const KernelTable& k) {
    if (in.s1.ready || in.all_zero) return;
    in.s1.planes = first_stage_planes(in.n);
    quantise_stage(in.s1, in, v, static_cast<int>(in.s1.planes) - 1 - in.emax, k);
}

void certified_prepare_lookup(CertifiedInput& in, const float* v, const KernelTable& k) {
    if (in.lookup_ready || in.all_zero) return;
    const double s = lookup_scale(k.group_max->fn(v, in.n));
    in.gblocks = lookup_group_blocks(in.n);
    in.tables.resize(in.gblocks * kLookupTableBytes);  // the kernel writes every byte
    const double residual = k.lookup_tables->fn(v, in.n, s, in.tables.data());
    // rho for n + 1 terms and the unit s (see the top); fl(n+1) is exact.
    const double rho = static_cast<double>(in.n + 1) * in.abs_sum * s * 0x1p-52;
    in.lookup_bound = stage_bound(residual, rho);
    // The bound is below 2^40 (R <= n/2, rho far smaller), so its floor is
    // an int64, and for an integer E, |E| > bound exactly when |E| > floor.
    in.lookup_threshold = static_cast<std::int64_t>(in.lookup_bound);
    in.lookup_ready = true;
}

bool certified_stage3_worth_refined(CertifiedInput& in, const float* v, double sum) noexcept {
    if (in.s3_planes == Once::Impossible || !certified_stage3_grid(in, v)) return false;
    if (in.s3_exact_sum) return true;
    // |S| <= |D| + gamma_{n-1} A <= |D| + 0.51 rho = |D| + 0.408 refine_bound,
    // and stage 3 needs |S| 2^-g > bound3 (about rho 2^-g): a D near zero
    // leaves no chance.
    return std::ldexp(std::fabs(sum) + 0.5 * in.refine_bound, -in.grid) * 1.01 > in.bound3;
}

void certified_prepare_stage2(CertifiedInput& in, const float* v, const KernelTable& k) {
    if (in.s2.ready) return;
    in.s2.planes = kSecondStagePlanes;
    const int k2 = static_cast<int>(in.s2.planes) - 1 - in.emax;
    in.s2_residual = quantise_stage(in.s2, in, v, k2, k);
}

bool certified_stage3_grid(CertifiedInput& in, const float* v) noexcept {
    if (in.s3_grid != Once::Unknown) return in.s3_grid == Once::Ready;
    in.s3_grid = Once::Impossible;
    // Each nonzero |v_j| = m * 2^lsb (decode_magnitude).
    int low = 1 << 20, high = -(1 << 20);
    for (std::size_t j = 0; j < in.n; ++j) {
        const std::uint32_t bits = abs_bits(v[j]);
        if (bits == 0) continue;
        const auto [m, lsb] = decode_magnitude(bits);
        low = std::min(low, lsb + std::countr_zero(m));
        high = std::max(high, lsb + static_cast<int>(std::bit_width(m)));  // |v_j| < 2^high
    }
    if (high - low > 64) return false;
    in.grid = low;
    // The exact total sum q_j decides whether the ordered sum is exact.
    Int128 total;
    for (std::size_t j = 0; j < in.n; ++j) {
        const std::uint32_t bits = abs_bits(v[j]);
        if (bits == 0) continue;
        const auto [m, lsb] = decode_magnitude(bits);
        const int tz = std::countr_zero(m);
        // Below 2^(high - low) <= 2^64, and the shift is >= 0 by the choice of low.
        total += Int128::from_u64(static_cast<std::uint64_t>(m >> tz) << (lsb + tz - low));
    }
    in.s3_exact_sum = total.below_pow2(53);
    in.bound3 = in.s3_exact_sum ? 0.0 : stage_bound(0.0, rounding_term(in.n, in.abs_sum, -low));
    in.s3_grid = Once::Ready;
    return true;
}

bool certified_stage3_worth(CertifiedInput& in, const float* v, std::int64_t plus2) noexcept {
    if (in.s3_planes == Once::Impossible || !certified_stage3_grid(in, v)) return false;
    if (in.s3_exact_sum) return true;  // settles every bit
    // |S| 2^(k2) <= |E2| + R2, and stage 3 needs |S| 2^-g > bound3.
    const std::int64_t e = 2 * plus2 - in.s2.total;
    const double e2 = static_cast<double>(e < 0 ? -e : e) + in.s2_residual * kBoundSlack;
    const int k2 = static_cast<int>(in.s2.planes) - 1 - in.emax;
    return std::ldexp(e2, -in.grid - k2) * 1.01 > in.bound3;
}

bool certified_prepare_stage3(CertifiedInput& in, const float* v, PlaneBuilder build) {
    if (in.s3_planes != Once::Unknown) return in.s3_planes == Once::Ready;
    in.s3_planes = Once::Impossible;
    if (in.all_zero) return false;
    if (!certified_stage3_grid(in, v)) return false;
    const int low = in.grid;
    std::vector<std::uint32_t> lo(64 * in.words, 0), hi(64 * in.words, 0);
    Int128 total;
    for (std::size_t j = 0; j < in.n; ++j) {
        const std::uint32_t bits = abs_bits(v[j]);
        if (bits == 0) continue;
        const auto [m, lsb] = decode_magnitude(bits);
        const int tz = std::countr_zero(m);
        // (m >> tz) * 2^(lsb + tz - g): a shift below 64 of a value whose
        // result stays below 2^64.
        const std::uint64_t q = static_cast<std::uint64_t>(m >> tz) << (lsb + tz - low);
        lo[j] = static_cast<std::uint32_t>(q);
        hi[j] = static_cast<std::uint32_t>(q >> 32);
        total += Int128::from_u64(q);
    }
    in.bits3.assign(64 * in.pstride, 0);
    build(lo.data(), in.words, 32, in.bits3.data(), in.pstride);
    build(hi.data(), in.words, 32, in.bits3.data() + 32 * in.pstride, in.pstride);
    in.total3 = total;
    in.s3_planes = Once::Ready;
    return true;
}

int certified_verdict3(const CertifiedInput& in, std::int64_t plus_lo, std::int64_t plus_hi) noexcept {
    const Int128 plus = Int128::from_i64(plus_hi).shl(32) + Int128::from_i64(plus_lo);
    const Int128 e = plus + plus - in.total3;
    const int positive = e.sign() > 0 ? 1 : 0;
    if (in.s3_exact_sum) return positive;  // acc = S exactly (see the comment at the top)
    const Int128 mag = e.abs();
    double m;
    if (mag.below_pow2(53)) {
        m = static_cast<double>(mag.low());
    } else {
        m = std::nextafter(mag.to_double(), 0.0);
    }
    if (m > in.bound3) return positive;
    return kDoubtful;
}

}  // namespace zln::lsh::detail
