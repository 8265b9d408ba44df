// Every kernel of the simhash drivers, on raw pointers only, and the
// function-pointer types the kernel table (kernel_table.hpp) holds them in.
// Each type has a generic scalar twin that every build compiles; the vector
// and instruction-set variants compute exactly the same outputs.
//
// A "sign word" holds the signs of 64 consecutive bit positions b0 .. b0+63
// of one family for one element j: bit i set means hyperplane (f, b0+i) has
// sign +1 at element j.
//
// A "plane" set describes nonnegative integers q_0 .. q_{n-1} (the quantised
// magnitudes |t_j|) bit by bit: word w of plane p holds bit p of
// q_{64w} .. q_{64w+63} (element 64w + k in bit k). A sign row
// (simhash/sign_rows.hpp) holds, in the same layout, the elements whose
// hyperplane sign is +1, and the negative mask the elements whose own sign
// bit is set. The term sigma_j t_j is positive exactly where row XOR neg
// has a 1, so with x = row XOR neg, popcount(x AND plane p) counts the
// positive terms that have bit p set, and
//     P = sum_p 2^p * popcount(x AND plane_p) = sum of q_j over positive terms,
// from which the signed sum is 2P - sum_j q_j. All of it is integer
// arithmetic and exact.
//
// Files: one stage per file, kernels/<arch>/<stage>_<isa>.cpp, with the
// plain C++ twin of every stage in generic/<stage>_generic.cpp and a body
// that several variants compile in generic/<stage>_body.hpp. The stages and
// their slots:
//     exact_blocks  SignWordFiller, Accumulator
//     bit_planes    MagnitudeScan, Quantiser, PlaneBuilder, PlaneSums
//     lookup        LookupGroupMax, LookupTableBuilder, LookupSums, LookupVerdicts
//     signed_sums   SignedSums
// Nothing in kernels/ includes a file outside kernels/ and portable/; the
// layouts the kernels share with their callers are here (sign_mix.hpp,
// bit_transpose.hpp, lookup_layout.hpp).
//
// Variants for an architecture are declared only where they are compiled
// (arch.hpp); call them only through the table, which checks the CPU.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lsh/kernels/arch.hpp"

namespace zln::lsh::detail {

// out[k] = sign word of (f, b0 .. b0+63) for element j0 + k, k < count.
using SignWordFiller = void (*)(std::uint64_t f, std::uint64_t b0, std::uint64_t j0, std::size_t count,
                                std::uint64_t* out) noexcept;

// Adds the elements t[0 .. count-1], in that order, into the 64 running sums
// acc[0 .. 63]: acc[i] = acc[i] + t[k] when bit i of words[k] is set, else
// acc[i] - t[k] (the same value as adding -t[k]). Every lane sees exactly the
// same sequence of binary64 additions as the plain loop.
using Accumulator = void (*)(const double* t, const std::uint64_t* words, std::size_t count, double* acc) noexcept;

// out[r] = sum over p < nplanes of 2^p * popcount((row_r[w] ^ neg[w]) & planes[p*pstride + w]), w < words,
// for r < nrows, row r starting at rows + r*row_stride.
// Requirements: pstride a multiple of 8 and >= words, plane words from
// `words` to pstride zero; nplanes <= 32; 64 * words * 2^nplanes < 2^62 so
// that no partial sum overflows. Row words are read only below `words`.
using PlaneSums = void (*)(const std::uint64_t* rows, std::size_t row_stride, std::size_t nrows,
                           const std::uint64_t* neg, const std::uint64_t* planes, std::size_t pstride, unsigned nplanes,
                           std::size_t words, std::int64_t* out) noexcept;

// planes[p*pstride + w] = bits p of q[64w .. 64w+63], for p < nplanes <= 32
// and w < words; q holds 64*words values. Words from `words` to pstride are
// left alone (the caller zeroes them once).
using PlaneBuilder = void (*)(const std::uint32_t* q, std::size_t words, unsigned nplanes, std::uint64_t* planes,
                              std::size_t pstride) noexcept;

// Quantisation of the magnitudes straight into bit planes: with
// x_j = |v_j| * 2^k (v_j widened to binary64, the product rounded once),
// q_j = min(trunc(x_j + 0.5), 2^nplanes - 1) for j < n and q_j = 0 from n up
// to 64 * ceil(n / 64). Writes planes[p*pstride + w] = bits p of
// q[64w .. 64w+63] for p < nplanes <= 24 and w < ceil(n / 64) (the words from
// there to pstride are left alone), sets *total = sum_j q_j and returns a
// computed binary64 sum of the |x_j - q_j|, j < n (the order of the
// additions is the kernel's own). Requires x_j < 2^nplanes.
using Quantiser = double (*)(const float* v, std::size_t n, int k, unsigned nplanes, std::uint64_t* planes,
                             std::size_t pstride, std::int64_t* total) noexcept;

// One pass over v: neg[w] = the sign bits of v[64w .. 64w+63] (element
// 64w + i in bit i, zero past n) for w < ceil(n / 64), *abs_sum = a computed
// binary64 sum of the |v_j| (any order of the additions), and the result is
// the largest |v_j| as binary32 bits (sign cleared). An infinity or a NaN
// shows as a result >= 0x7f800000; abs_sum means nothing then.
using MagnitudeScan = std::uint32_t (*)(const float* v, std::size_t n, std::uint64_t* neg, double* abs_sum) noexcept;

// The lookup stage (lookup_layout.hpp has the layout of its tables,
// simhash/lookup_stage.hpp the whole scheme and the layout of its index).
// The largest sum of |v_j| over one group of four (any order of its three
// additions, in binary64), n > 0; from it the caller picks the scale.
using LookupGroupMax = double (*)(const float* v, std::size_t n) noexcept;
// With x_j = fl(s * t_j) and q_j = x_j rounded to the nearest integer (ties
// to even), writes the tables of lookup_group_blocks(n) group blocks and
// returns a computed binary64 sum of the |x_j - q_j| (each term exact).
// Requires every group's sum |q| <= kLookupMax (lookup_scale makes it so).
using LookupTableBuilder = double (*)(const float* v, std::size_t n, double s, std::uint8_t* tables) noexcept;
// out[r] = E of hyperplane r of a block of 64, r < 64, summed over `gblocks`
// group blocks (gblocks <= index_stride, gblocks <= 2^20 so that no 32-bit
// lane sum can overflow).
using LookupSums = void (*)(const std::uint8_t* index, std::size_t index_stride, std::size_t gblocks,
                            const std::uint8_t* tables, std::int64_t* out) noexcept;
// Verdicts of a block from its E values: for lane i < lanes with
// |e[i]| > threshold, out[i] = (e[i] > 0); the other lanes below `lanes`
// get 0 and their bits set in the returned mask (the doubtful lanes, which
// the caller settles); bytes from `lanes` on are left alone.
using LookupVerdicts = std::uint64_t (*)(const std::int64_t* e, unsigned lanes, std::int64_t threshold,
                                         std::uint8_t* out) noexcept;

// The refinement: out[r] = a binary64 sum of sigma_j t_j over j < n (t_j =
// v_j widened), sigma_j = +1 where bit j of rows[r] is set (bit j % 64 of
// word j / 64) and -1 elsewhere, r < nrows. Not the defining order: eight
// lanes, lane l adding the terms j = l mod 8 in increasing j from +0.0, then
// ((l0 + l4) + (l2 + l6)) + ((l1 + l5) + (l3 + l7)).
using SignedSums = void (*)(const float* v, std::size_t n, const std::uint64_t* const* rows, std::size_t nrows,
                            double* out) noexcept;

// ---- generic: every architecture (kernels/generic) ----
void fill_sign_words_scalar(std::uint64_t f, std::uint64_t b0, std::uint64_t j0, std::size_t count,
                            std::uint64_t* out) noexcept;
void accumulate_block_scalar(const double* t, const std::uint64_t* words, std::size_t count, double* acc) noexcept;
void plane_sums_generic(const std::uint64_t* rows, std::size_t row_stride, std::size_t nrows, const std::uint64_t* neg,
                        const std::uint64_t* planes, std::size_t pstride, unsigned nplanes, std::size_t words,
                        std::int64_t* out) noexcept;
void build_planes_generic(const std::uint32_t* q, std::size_t words, unsigned nplanes, std::uint64_t* planes,
                          std::size_t pstride) noexcept;
double quantise_planes_generic(const float* v, std::size_t n, int k, unsigned nplanes, std::uint64_t* planes,
                               std::size_t pstride, std::int64_t* total) noexcept;
std::uint32_t magnitude_scan_generic(const float* v, std::size_t n, std::uint64_t* neg, double* abs_sum) noexcept;
double lookup_group_max_generic(const float* v, std::size_t n) noexcept;
double lookup_tables_generic(const float* v, std::size_t n, double s, std::uint8_t* tables) noexcept;
void lookup_sums_generic(const std::uint8_t* index, std::size_t index_stride, std::size_t gblocks,
                         const std::uint8_t* tables, std::int64_t* out) noexcept;
std::uint64_t lookup_verdicts_generic(const std::int64_t* e, unsigned lanes, std::int64_t threshold,
                                      std::uint8_t* out) noexcept;
void signed_sums_generic(const float* v, std::size_t n, const std::uint64_t* const* rows, std::size_t nrows,
                         double* out) noexcept;

#if defined(ZLN_ARCH_X86_64)
// ---- x86-64 (kernels/x86) ----
// The plane sums with the POPCNT instruction.
void plane_sums_popcnt(const std::uint64_t* rows, std::size_t row_stride, std::size_t nrows, const std::uint64_t* neg,
                       const std::uint64_t* planes, std::size_t pstride, unsigned nplanes, std::size_t words,
                       std::int64_t* out) noexcept;
void fill_sign_words_avx2(std::uint64_t f, std::uint64_t b0, std::uint64_t j0, std::size_t count,
                          std::uint64_t* out) noexcept;
void accumulate_block_avx2(const double* t, const std::uint64_t* words, std::size_t count, double* acc) noexcept;
void fill_sign_words_avx512(std::uint64_t f, std::uint64_t b0, std::uint64_t j0, std::size_t count,
                            std::uint64_t* out) noexcept;
// Same, with AVX512DQ's 64-bit vector multiply.
void fill_sign_words_avx512dq(std::uint64_t f, std::uint64_t b0, std::uint64_t j0, std::size_t count,
                              std::uint64_t* out) noexcept;
void accumulate_block_avx512(const double* t, const std::uint64_t* words, std::size_t count, double* acc) noexcept;
// AVX-512 F + VPOPCNTDQ: VPOPCNTQ on eight words at a time.
void plane_sums_avx512(const std::uint64_t* rows, std::size_t row_stride, std::size_t nrows, const std::uint64_t* neg,
                       const std::uint64_t* planes, std::size_t pstride, unsigned nplanes, std::size_t words,
                       std::int64_t* out) noexcept;
// AVX-512 F + BW: one VPTESTMD per 16 elements and plane.
void build_planes_avx512(const std::uint32_t* q, std::size_t words, unsigned nplanes, std::uint64_t* planes,
                         std::size_t pstride) noexcept;
// AVX-512 F + BW + VL: sixteen elements per step, VPTESTMD per plane.
double quantise_planes_avx512(const float* v, std::size_t n, int k, unsigned nplanes, std::uint64_t* planes,
                              std::size_t pstride, std::int64_t* total) noexcept;
std::uint32_t magnitude_scan_avx512(const float* v, std::size_t n, std::uint64_t* neg, double* abs_sum) noexcept;
// The lookup stage's per-call kernels, AVX-512 F + BW + VL.
double lookup_group_max_avx512(const float* v, std::size_t n) noexcept;
double lookup_tables_avx512(const float* v, std::size_t n, double s, std::uint8_t* tables) noexcept;
std::uint64_t lookup_verdicts_avx512(const std::int64_t* e, unsigned lanes, std::int64_t threshold,
                                     std::uint8_t* out) noexcept;
// AVX-512 F + BW + VBMI (VPERMB lookups) + VNNI (VPDPBUSD adding four bytes per lane).
void lookup_sums_vbmi(const std::uint8_t* index, std::size_t index_stride, std::size_t gblocks,
                      const std::uint8_t* tables, std::int64_t* out) noexcept;
// AVX-512 F + VL: one vector of eight lanes per row, four rows side by side.
void signed_sums_avx512(const float* v, std::size_t n, const std::uint64_t* const* rows, std::size_t nrows,
                        double* out) noexcept;
#endif

#if defined(ZLN_ARCH_ARM64)
// ---- arm64 (kernels/arm) ----
// NEON: CNT on sixteen bytes, counts widened pairwise.
void plane_sums_neon(const std::uint64_t* rows, std::size_t row_stride, std::size_t nrows, const std::uint64_t* neg,
                     const std::uint64_t* planes, std::size_t pstride, unsigned nplanes, std::size_t words,
                     std::int64_t* out) noexcept;
// NEON: two double lanes per register, sixteen lanes per pass.
void accumulate_block_neon(const double* t, const std::uint64_t* words, std::size_t count, double* acc) noexcept;
#endif

}  // namespace zln::lsh::detail
