// A process-wide cache of packed hyperplane signs.
//
// The signs are a pure function of (family, bit, element) (kernels/sign_mix.hpp), so
// caching them changes no result; it only spares the mixing arithmetic on
// repeated calls. The cache covers families 0 .. families-1, bit positions
// 0 .. 64*words-1 and elements 0 .. elements-1, indexed by the true triple
// (never by the key, whose fields may overlap). Signs outside that region are
// computed on the fly by the callers.
//
// Layout: for family f and 64-bit block w, a row of `elements` sign words,
// word j holding the signs of bits 64*w .. 64*w+63 for element j. A kernel
// walking elements in order reads one row sequentially.
//
// Threading: the global pointer is a ProcessCache (process_cache.hpp). Each
// computation keeps its own shared_ptr snapshot, so a regrowth (by another
// thread, or by a re-entrant call from a computation's cancellation check,
// which may run Python code) only replaces the pointer, never frees memory
// still in use. A snapshot is never modified once published.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "lsh/kernels/kernels.hpp"
#include "lsh/simhash/cache_region.hpp"
#include "lsh/work_meter.hpp"

namespace zln::lsh::detail {

struct SignCache {
    std::uint64_t families = 0;
    std::uint64_t words = 0;  // 64-bit blocks of bit positions
    std::uint64_t elements = 0;
    std::vector<std::uint64_t> data;

    const std::uint64_t* row(std::uint64_t f, std::uint64_t w) const noexcept {
        return data.data() + (f * words + w) * elements;
    }
    bool has_row(std::uint64_t f, std::uint64_t w) const noexcept { return f < families && w < words; }
    CacheRegion region() const noexcept { return {families, words, elements}; }
};

// Total size bound: 16 MiB of sign words.
inline constexpr std::uint64_t kSignCacheMaxWords = std::uint64_t{1} << 21;
inline constexpr std::uint64_t kSignCacheMaxFamilies = 16;
inline constexpr std::uint64_t kSignCacheMaxBlocks = 16;  // 1024 bit positions
inline constexpr CacheBounds kSignCacheBounds{kSignCacheMaxWords, kSignCacheMaxFamilies, kSignCacheMaxBlocks};

// True when a request for `families` x `words` blocks x `elements` can be
// fully served from the cache (after growing it).
bool sign_cache_can_cover(std::uint64_t families, std::uint64_t words, std::uint64_t elements) noexcept;

// Returns a snapshot of the cache, grown first (using `fill`, with progress
// reported to `meter`) when it covers less of the request than it could.
// The snapshot may still cover only part of the request. Never null.
std::shared_ptr<const SignCache> sign_cache_for(std::uint64_t families, std::uint64_t words, std::uint64_t elements,
                                                SignWordFiller fill, WorkMeter& meter);

// The current cache (possibly null); for tests and benchmarks.
std::shared_ptr<const SignCache> sign_cache_current() noexcept;
// Drops the global cache; snapshots held elsewhere stay valid.
void sign_cache_reset() noexcept;

}  // namespace zln::lsh::detail
