// A process-wide cache of hyperplane signs laid out per hyperplane.
//
// sign_cache.hpp keeps, per element, the signs of 64 bit positions in one
// word. The certified kernels need the transpose: for one hyperplane
// (family f, bit position b) a row of sign bits over the elements, bit k of
// word w standing for element 64*w + k (1 = sign +1). With the elements'
// magnitudes split into bit planes, the sum of the magnitudes under the +
// signs is then a population count of row AND plane per plane.
//
// The cache covers families 0 .. families-1, bit positions 0 .. 64*blocks-1
// and elements 0 .. elements-1 (elements a multiple of 64; the row words
// past the caller's n hold signs of elements the caller does not have, and
// the caller's planes are zero there). The signs are a pure function of the
// triple (kernels/sign_mix.hpp), so caching changes no result.
//
// Threading: as for the sign word cache (a ProcessCache; computations hold
// their own snapshots, published snapshots are never modified).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "lsh/kernels/kernels.hpp"
#include "lsh/simhash/cache_region.hpp"
#include "lsh/work_meter.hpp"

namespace zln::lsh::detail {

struct SignRowCache {
    std::uint64_t families = 0;
    std::uint64_t blocks = 0;    // 64-bit blocks of bit positions
    std::uint64_t elements = 0;  // a multiple of 64
    std::uint64_t stride = 0;    // words per row, elements / 64
    std::vector<std::uint64_t> data;

    // The 64 rows of block w of family f follow each other, `stride` words apart.
    const std::uint64_t* block_rows(std::uint64_t f, std::uint64_t w) const noexcept {
        return data.data() + (f * blocks + w) * 64 * stride;
    }
    bool has_block(std::uint64_t f, std::uint64_t w) const noexcept { return f < families && w < blocks; }
    CacheRegion region() const noexcept { return {families, blocks, elements}; }
};

// Total size bound: 16 MiB of row words, at most 16 families x 1024 bit positions.
inline constexpr std::uint64_t kSignRowsMaxWords = std::uint64_t{1} << 21;
inline constexpr std::uint64_t kSignRowsMaxFamilies = 16;
inline constexpr std::uint64_t kSignRowsMaxBlocks = 16;
inline constexpr CacheBounds kSignRowsBounds{kSignRowsMaxWords, kSignRowsMaxFamilies, kSignRowsMaxBlocks};

// True when families x blocks x elements can be fully held by the cache.
bool sign_rows_can_cover(std::uint64_t families, std::uint64_t blocks, std::uint64_t elements) noexcept;

// A snapshot of the cache, grown first (by `fill`, progress reported to
// `meter`) when it covers less of the request than it could. The snapshot
// may still cover only part of the request. Never null.
std::shared_ptr<const SignRowCache> sign_rows_for(std::uint64_t families, std::uint64_t blocks, std::uint64_t elements,
                                                  SignWordFiller fill, WorkMeter& meter);

std::shared_ptr<const SignRowCache> sign_rows_current() noexcept;
void sign_rows_reset() noexcept;

}  // namespace zln::lsh::detail
