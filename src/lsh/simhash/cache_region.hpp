// Sizing of the process-wide sign caches.
//
// Both caches hold sign bits for a region of families x 64-bit blocks of bit
// positions x elements, under a fixed bound in 64-bit words; they differ only
// in layout. This is the region arithmetic they share.
#pragma once

#include <algorithm>
#include <cstdint>

namespace zln::lsh::detail {

struct CacheBounds {
    std::uint64_t max_words;  // total size bound, in 64-bit words
    std::uint64_t max_families;
    std::uint64_t max_blocks;  // 64 bit positions each
};

struct CacheRegion {
    std::uint64_t families = 0;
    std::uint64_t blocks = 0;
    std::uint64_t elements = 0;  // a multiple of 64
};

// Largest element count the bound allows for this many rows, a multiple of 64.
constexpr std::uint64_t region_element_cap(const CacheBounds& b, std::uint64_t families,
                                           std::uint64_t blocks) noexcept {
    return (b.max_words / (families * blocks)) & ~std::uint64_t{63};
}

constexpr bool region_can_cover(const CacheBounds& b, std::uint64_t families, std::uint64_t blocks,
                                std::uint64_t elements) noexcept {
    if (families == 0 || blocks == 0 || families > b.max_families || blocks > b.max_blocks) return false;
    return elements <= region_element_cap(b, families, blocks);
}

// The region we would like cached for a request: clamped to the bound, with
// the element count rounded up to a power of two so that slowly growing
// vectors do not rebuild the cache on every call.
constexpr CacheRegion wanted_region(const CacheBounds& b, std::uint64_t families, std::uint64_t blocks,
                                    std::uint64_t elements) noexcept {
    CacheRegion d;
    d.families = std::clamp<std::uint64_t>(families, 1, b.max_families);
    d.blocks = std::clamp<std::uint64_t>(blocks, 1, b.max_blocks);
    const std::uint64_t cap = region_element_cap(b, d.families, d.blocks);
    std::uint64_t n = 256;
    while (n < elements && n < cap) n <<= 1;
    d.elements = std::min(n, cap);
    return d;
}

constexpr bool region_covers(const CacheRegion& have, const CacheRegion& want, std::uint64_t elements) noexcept {
    return have.families >= want.families && have.blocks >= want.blocks &&
           have.elements >= std::min(elements, want.elements);
}

// What to build when `old` (if any) does not cover `want`: the union of both
// when it fits the bound, so alternating requests do not evict each other.
constexpr CacheRegion grown_region(const CacheBounds& b, const CacheRegion* old, const CacheRegion& want) noexcept {
    if (old == nullptr) return want;
    const CacheRegion merged{std::max(old->families, want.families), std::max(old->blocks, want.blocks),
                             std::max(old->elements, want.elements)};
    return merged.families * merged.blocks <= b.max_words / merged.elements ? merged : want;
}

}  // namespace zln::lsh::detail
