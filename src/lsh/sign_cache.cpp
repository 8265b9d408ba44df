#include "sign_cache.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace zln::lsh::detail {

namespace {

// The one global snapshot. Constant-initialised (no dynamic initialiser that
// a re-entrant call could race with); see the threading note in the header.
std::shared_ptr<const SignCache> g_cache;

// Filling costs several times more per sign than one addition; weigh it so
// that cancellation polls stay a few milliseconds apart either way.
constexpr std::uint64_t kFillWeight = 4;
constexpr std::size_t kFillChunk = 1024;

struct Dims {
    std::uint64_t families, words, elements;
};

// Largest element count the bound allows for this many rows, a multiple of 64.
std::uint64_t element_cap(std::uint64_t families, std::uint64_t words) noexcept {
    return (kSignCacheMaxWords / (families * words)) & ~std::uint64_t{63};
}

// The region we would like cached for a request: clamped to the bound, with
// the element count rounded up to a power of two so that slowly growing
// vectors do not rebuild the cache on every call.
Dims wanted(std::uint64_t families, std::uint64_t words, std::uint64_t elements) noexcept {
    Dims d{};
    d.families = std::clamp<std::uint64_t>(families, 1, kSignCacheMaxFamilies);
    d.words = std::clamp<std::uint64_t>(words, 1, kSignCacheMaxBlocks);
    const std::uint64_t cap = element_cap(d.families, d.words);
    std::uint64_t n = 256;
    while (n < elements && n < cap) n <<= 1;
    d.elements = std::min(n, cap);
    return d;
}

bool covers(const SignCache& c, const Dims& d, std::uint64_t elements) noexcept {
    return c.families >= d.families && c.words >= d.words && c.elements >= std::min(elements, d.elements);
}

}  // namespace

bool sign_cache_can_cover(std::uint64_t families, std::uint64_t words, std::uint64_t elements) noexcept {
    if (families > kSignCacheMaxFamilies || words > kSignCacheMaxBlocks || families == 0 || words == 0) {
        return false;
    }
    return elements <= element_cap(families, words);
}

std::shared_ptr<const SignCache> sign_cache_for(std::uint64_t families, std::uint64_t words,
                                                std::uint64_t elements, SignWordFiller fill,
                                                WorkMeter& meter) {
    // Our own reference: even if the meter's cancellation check re-enters and
    // replaces g_cache, `old` stays alive while we copy from it.
    std::shared_ptr<const SignCache> old = g_cache;
    const Dims want = wanted(families, words, elements);
    if (old && covers(*old, want, elements)) return old;

    Dims d = want;
    if (old) {
        const Dims merged{std::max(old->families, want.families), std::max(old->words, want.words),
                          std::max(old->elements, want.elements)};
        if (merged.families * merged.words <= kSignCacheMaxWords / merged.elements) d = merged;
    }

    auto fresh = std::make_shared<SignCache>();
    fresh->families = d.families;
    fresh->words = d.words;
    fresh->elements = d.elements;
    fresh->data.resize(d.families * d.words * d.elements);
    for (std::uint64_t f = 0; f < d.families; ++f) {
        for (std::uint64_t w = 0; w < d.words; ++w) {
            std::uint64_t* row = fresh->data.data() + (f * d.words + w) * d.elements;
            std::uint64_t done = 0;
            if (old && old->has_row(f, w)) {
                done = std::min(old->elements, d.elements);
                std::memcpy(row, old->row(f, w), done * sizeof(std::uint64_t));
            }
            while (done < d.elements) {
                const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(kFillChunk, d.elements - done));
                fill(f, 64 * w, done, count, row + done);
                done += count;
                meter.add(count * 64 * kFillWeight);
            }
        }
    }
    std::shared_ptr<const SignCache> result = std::move(fresh);
    g_cache = result;
    return result;
}

std::shared_ptr<const SignCache> sign_cache_current() noexcept { return g_cache; }

void sign_cache_reset() noexcept { g_cache.reset(); }

}  // namespace zln::lsh::detail
