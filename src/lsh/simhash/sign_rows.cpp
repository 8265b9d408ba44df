#include "lsh/simhash/sign_rows.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "lsh/kernels/bit_transpose.hpp"
#include "lsh/simhash/process_cache.hpp"

namespace zln::lsh::detail {

namespace {

// The one global snapshot (process_cache.hpp).
constinit ProcessCache<SignRowCache> g_rows;

constexpr std::uint64_t kFillWeight = 5;  // mixing plus the transpose, per sign

}  // namespace

bool sign_rows_can_cover(std::uint64_t families, std::uint64_t blocks, std::uint64_t elements) noexcept {
    return region_can_cover(kSignRowsBounds, families, blocks, elements);
}

std::shared_ptr<const SignRowCache> sign_rows_for(std::uint64_t families, std::uint64_t blocks, std::uint64_t elements,
                                                  SignWordFiller fill, WorkMeter& meter) {
    const CacheRegion want = wanted_region(kSignRowsBounds, families, blocks, elements);
    const auto covers = [&](const SignRowCache& have) { return region_covers(have.region(), want, elements); };
    return g_rows.obtain(covers, [&](const SignRowCache* old) -> std::shared_ptr<const SignRowCache> {
        const CacheRegion old_region = old ? old->region() : CacheRegion{};
        const CacheRegion d = grown_region(kSignRowsBounds, old ? &old_region : nullptr, want);

        auto fresh = std::make_shared<SignRowCache>();
        fresh->families = d.families;
        fresh->blocks = d.blocks;
        fresh->elements = d.elements;
        fresh->stride = d.elements / 64;
        fresh->data.resize(d.families * d.blocks * 64 * fresh->stride);
        alignas(64) std::uint64_t tile[64];
        for (std::uint64_t f = 0; f < d.families; ++f) {
            for (std::uint64_t w = 0; w < d.blocks; ++w) {
                std::uint64_t* rows = fresh->data.data() + (f * d.blocks + w) * 64 * fresh->stride;
                std::uint64_t done = 0;  // row words already filled
                if (old && old->has_block(f, w)) {
                    done = std::min(old->stride, fresh->stride);
                    const std::uint64_t* src = old->block_rows(f, w);
                    for (unsigned i = 0; i < 64; ++i) {
                        std::memcpy(rows + i * fresh->stride, src + i * old->stride, done * sizeof(std::uint64_t));
                    }
                }
                for (std::uint64_t c = done; c < fresh->stride; ++c) {
                    // Sign words of elements 64c .. 64c+63 (one per element, one
                    // bit per bit position), turned into one word per bit position.
                    fill(f, 64 * w, 64 * c, 64, tile);
                    transpose_64x64(tile);
                    for (unsigned i = 0; i < 64; ++i) rows[i * fresh->stride + c] = tile[i];
                    meter.add(64 * 64 * kFillWeight);
                }
            }
        }
        return fresh;
    });
}

std::shared_ptr<const SignRowCache> sign_rows_current() noexcept { return g_rows.load(); }

void sign_rows_reset() noexcept { g_rows.reset(); }

}  // namespace zln::lsh::detail
