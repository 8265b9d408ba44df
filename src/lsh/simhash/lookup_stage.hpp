// The certified path's first stage by table lookup: layouts, scale and the
// index cache (its kernels are in kernels/kernels.hpp).
//
// The magnitudes are quantised once per call to signed integers
// q_j = round(s * t_j) (t_j the element widened to binary64, s > 0 a scale
// chosen so that every group of four has sum |q| <= kLookupMax). For each
// group g of four elements 4g .. 4g+3 a 16-entry table holds the sixteen
// signed sums
//     T_g[m] = sum_i (bit i of m ? +q_{4g+i} : -q_{4g+i}),   |T_g[m]| <= kLookupMax,
// and a hyperplane whose signs over that group form the nibble m (bit i =
// 1 for sign +1, as in the sign rows) picks T_g[m]. Summing the picks over
// the groups gives E = sum_j sigma_j q_j exactly, in integers. The bound
// that makes a verdict from E sound is argued in certified.cpp.
//
// Tables: T is kept as a 16-bit two's complement value in two byte slices,
// low byte (unsigned) and high byte (signed), so T = lo + 256 * hi. Group
// block gb (groups 4gb .. 4gb+3, elements 16gb .. 16gb+15) has 128 bytes at
// tables + 128 gb: 64 low bytes, then 64 high bytes; byte 16k + m of each is
// that slice of T_{4gb+k}[m]. Elements past n count as 0.
//
// Index: the hyperplanes' nibbles, derived from the sign rows alone (so a
// cache of them changes no result). A block of 64 hyperplanes has 4 chunks
// of 16; chunk c has, for each group block gb, 64 bytes at
// index + (c * index_stride + gb) * 64, byte 4i + k holding
// nibble(hyperplane 16c + i, group 4gb + k) + 16k: the position of its
// entry in the 64-byte slice table of that group block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "lsh/kernels/lookup_layout.hpp"
#include "lsh/simhash/cache_region.hpp"
#include "lsh/simhash/sign_rows.hpp"
#include "lsh/work_meter.hpp"

namespace zln::lsh::detail {

// The scale for a group maximum gmax > 0 (see the comment in the definition).
double lookup_scale(double gmax) noexcept;

// Writes the index of one block of 64 hyperplanes from their sign rows
// (row r at rows + r * row_stride), for `gblocks` group blocks.
void lookup_index_from_rows(const std::uint64_t* rows, std::size_t row_stride, std::size_t gblocks,
                            std::uint8_t* index) noexcept;

// A process-wide cache of the index, covering exactly the region of a sign
// row cache snapshot it was built from. Same threading rules as the sign
// caches: a ProcessCache, computations hold their own snapshot.
struct LookupIndexCache {
    CacheRegion region;        // that of the sign rows it mirrors
    std::uint64_t stride = 0;  // group blocks per chunk: elements / 16
    std::vector<std::uint8_t> data;

    const std::uint8_t* block(std::uint64_t f, std::uint64_t w) const noexcept {
        return data.data() + (f * region.blocks + w) * 4 * 64 * stride;
    }
};

// Size bound: 16 MiB of index bytes (twice the bytes of the sign rows it
// mirrors, so rows beyond 8 MiB get no index and the popcount stage runs).
inline constexpr std::uint64_t kLookupIndexMaxBytes = std::uint64_t{1} << 24;

// A snapshot of the index mirroring `rows`, rebuilt when the current one
// mirrors another region; null when `rows` is too large for the bound.
std::shared_ptr<const LookupIndexCache> lookup_index_for(const SignRowCache& rows, WorkMeter& meter);
std::shared_ptr<const LookupIndexCache> lookup_index_current() noexcept;
void lookup_index_reset() noexcept;

}  // namespace zln::lsh::detail
