// Certified signature bits: a cheap exact integer estimate of each
// hyperplane sum, with guaranteed error bounds, decides every bit whose sign
// is beyond doubt; the others go to the ordered binary64 sum. The argument
// that an accepted bit equals the ordered sum's bit is written out in
// certified.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lsh/kernels/kernel_table.hpp"
#include "lsh/portable/int128.hpp"
#include "lsh/simhash/lookup_stage.hpp"

namespace zln::lsh::detail {

// Longest vector the certified path takes (the integer bounds below rely on it).
inline constexpr std::size_t kCertifiedMaxElements = std::size_t{1} << 24;
// Planes of the refining stage.
inline constexpr unsigned kSecondStagePlanes = 24;

// Verdict on one bit: 1 or 0 when certified, -1 when doubtful.
inline constexpr int kDoubtful = -1;

// What is known of a part of the exact stage, worked out once per vector.
enum class Once : signed char {
    Unknown,     // not worked out yet
    Ready,       // worked out and usable
    Impossible,  // worked out: not possible for this vector
};

// One quantisation of the magnitudes: integers q_j in bit planes, their sum,
// and the bound that |E| must exceed for a bit to be accepted, E being the
// signed integer sum (2P - total, see kernels/kernels.hpp).
struct CertStage {
    unsigned planes = 0;
    std::vector<std::uint64_t> bits;  // planes x pstride words
    std::int64_t total = 0;
    double bound = 0;
    bool ready = false;
};

struct CertifiedInput {
    std::size_t n = 0;
    std::size_t words = 0;           // ceil(n / 64)
    std::size_t pstride = 0;         // words rounded up to a multiple of 8
    bool all_zero = false;           // every element is +0.0 or -0.0
    int emax = 0;                    // ilogb of the largest magnitude
    int grid = 0;                    // stage 3: exponent of the common grid 2^grid (once known)
    double abs_sum = 0;              // computed sum of |t_j| (the bound accounts for its error)
    std::vector<std::uint64_t> neg;  // pstride words: bit j set when v[j]'s sign bit is set
    CertStage s1, s2;
    double s2_residual = 0;     // computed sum of stage 2's |r_j|
    unsigned exact_streak = 0;  // blocks in a row that went to the exact kernel (a cost heuristic)
    // The exact stage: q_j = |t_j| * 2^-g exactly, 64 planes (low 32 bits,
    // then high 32), total as a 128-bit integer.
    Once s3_grid = Once::Unknown;    // its common grid 2^grid and bound3
    bool s3_exact_sum = false;       // sum q_j < 2^53: the ordered sum is exact, bound3 = 0
    Once s3_planes = Once::Unknown;  // its planes bits3 and total3
    std::vector<std::uint64_t> bits3;
    Int128 total3;
    double bound3 = 0;
    // Scratch for the caller: doubtful rows gathered side by side.
    std::vector<std::uint64_t> gather;
    // The lookup stage (lookup_stage.hpp), when it replaces stage 1.
    bool lookup_ready = false;
    std::size_t gblocks = 0;
    std::vector<std::uint8_t> tables;  // gblocks * kLookupTableBytes
    double lookup_bound = 0;
    std::int64_t lookup_threshold = 0;  // floor(lookup_bound): for integers, |E| > bound iff |E| > this
    // The refinement by a binary64 sum in another order (SignedSums).
    double refine_bound = 0;
};

// Makes `in` what a fresh CertifiedInput is, keeping its buffers' memory, so
// that a caller signing many vectors allocates them once.
void certified_reuse(CertifiedInput& in) noexcept;

// Planes of the first stage for a vector of n elements.
unsigned first_stage_planes(std::size_t n) noexcept;

// Prepares the first stage (its bit planes only when `planes` is set).
// Returns false (and the caller takes an exact path) when an element is
// infinite or NaN or n exceeds kCertifiedMaxElements.
bool certified_prepare(CertifiedInput& in, const float* v, std::size_t n, const KernelTable& k, bool planes = true);
// The bit planes of stage 1, when certified_prepare left them out.
void certified_prepare_stage1_planes(CertifiedInput& in, const float* v, const KernelTable& k);
// The tables and bound of the lookup stage, after certified_prepare
// (nothing to do for an all-zero vector).
void certified_prepare_lookup(CertifiedInput& in, const float* v, const KernelTable& k);

// Verdict from the lookup stage's E (sum of sigma_j q_j, |E| < 2^37).
inline int certified_verdict_lookup(const CertifiedInput& in, std::int64_t e) noexcept {
    const std::int64_t mag = e < 0 ? -e : e;
    if (mag > in.lookup_threshold) return e > 0 ? 1 : 0;
    return kDoubtful;
}
// Verdict from a refinement sum (any order of the n terms).
inline int certified_verdict_refined(const CertifiedInput& in, double sum) noexcept {
    if (sum > in.refine_bound) return 1;
    if (sum < -in.refine_bound) return 0;
    return kDoubtful;
}
// Whether the exact stage could possibly accept a lane that the refinement
// left doubtful with sum `sum` (a cost decision only, like
// certified_stage3_worth).
bool certified_stage3_worth_refined(CertifiedInput& in, const float* v, double sum) noexcept;

// Quantises for the second stage and builds its planes, once and only when
// some bit needs it (v as for certified_prepare).
void certified_prepare_stage2(CertifiedInput& in, const float* v, const KernelTable& k);
// Builds the exact stage (once); false when the vector's magnitudes do not
// fit a common 64-bit grid.
bool certified_prepare_stage3(CertifiedInput& in, const float* v, PlaneBuilder build);

// Verdict from a stage's plus-sum P (sum of q_j over the +1 elements).
inline int certified_verdict(const CertStage& s, std::int64_t plus) noexcept {
    const std::int64_t e = 2 * plus - s.total;  // |e| < 2^49: exact in binary64
    const double mag = static_cast<double>(e < 0 ? -e : e);
    if (mag > s.bound) return e > 0 ? 1 : 0;
    return kDoubtful;
}
// Whether the exact stage could possibly accept a lane that stage 2 left
// doubtful with plus-sum `plus2` (a cost decision only: skipping a lane
// sends it to the ordered sum). Always false once stage 3 is known impossible.
bool certified_stage3_worth(CertifiedInput& in, const float* v, std::int64_t plus2) noexcept;
// Finds stage 3's common grid and bound (once); false when there is none.
bool certified_stage3_grid(CertifiedInput& in, const float* v) noexcept;
// The same for the exact stage, from the plus-sums of its low and high halves.
int certified_verdict3(const CertifiedInput& in, std::int64_t plus_lo, std::int64_t plus_hi) noexcept;

}  // namespace zln::lsh::detail
