#include "lsh/simhash/sign_cache.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "lsh/simhash/process_cache.hpp"

namespace zln::lsh::detail {

namespace {

// The one global snapshot (process_cache.hpp).
constinit ProcessCache<SignCache> g_cache;

// Filling costs several times more per sign than one addition; weigh it so
// that cancellation polls stay a few milliseconds apart either way.
constexpr std::uint64_t kFillWeight = 4;
constexpr std::size_t kFillChunk = 1024;

}  // namespace

bool sign_cache_can_cover(std::uint64_t families, std::uint64_t words, std::uint64_t elements) noexcept {
    return region_can_cover(kSignCacheBounds, families, words, elements);
}

std::shared_ptr<const SignCache> sign_cache_for(std::uint64_t families, std::uint64_t words, std::uint64_t elements,
                                                SignWordFiller fill, WorkMeter& meter) {
    const CacheRegion want = wanted_region(kSignCacheBounds, families, words, elements);
    const auto covers = [&](const SignCache& have) { return region_covers(have.region(), want, elements); };
    return g_cache.obtain(covers, [&](const SignCache* old) -> std::shared_ptr<const SignCache> {
        const CacheRegion old_region = old ? old->region() : CacheRegion{};
        const CacheRegion d = grown_region(kSignCacheBounds, old ? &old_region : nullptr, want);

        auto fresh = std::make_shared<SignCache>();
        fresh->families = d.families;
        fresh->words = d.blocks;
        fresh->elements = d.elements;
        fresh->data.resize(d.families * d.blocks * d.elements);
        for (std::uint64_t f = 0; f < d.families; ++f) {
            for (std::uint64_t w = 0; w < d.blocks; ++w) {
                std::uint64_t* row = fresh->data.data() + (f * d.blocks + w) * d.elements;
                std::uint64_t done = 0;
                if (old && old->has_row(f, w)) {
                    done = std::min(old->elements, d.elements);
                    std::memcpy(row, old->row(f, w), done * sizeof(std::uint64_t));
                }
                while (done < d.elements) {
                    const std::size_t count = static_cast<std::size_t>(
                        std::min<std::uint64_t>(kFillChunk, d.elements - done));
                    fill(f, 64 * w, done, count, row + done);
                    done += count;
                    meter.add(count * 64 * kFillWeight);
                }
            }
        }
        return fresh;
    });
}

std::shared_ptr<const SignCache> sign_cache_current() noexcept { return g_cache.load(); }

void sign_cache_reset() noexcept { g_cache.reset(); }

}  // namespace zln::lsh::detail
