// The lookup stage's scale and index cache.
#include "lsh/simhash/lookup_stage.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>

#include "lsh/simhash/process_cache.hpp"

namespace zln::lsh::detail {

namespace {

// The one global snapshot (process_cache.hpp).
constinit ProcessCache<LookupIndexCache> g_index;

}  // namespace

double lookup_scale(double gmax) noexcept {
    // With s = fl(32764 / gmax): |q_j| <= |x_j| + 1/2 <= s |t_j| (1 + u) + 1/2,
    // so a group's sum |q| <= s A_g (1 + u) + 2, and A_g <= gmax / (1 - u)^3
    // (gmax is a computed group sum, three roundings). Hence
    // sum |q| <= 32764 (1 + u)^2 / (1 - u)^3 + 2 < 32767 = kLookupMax.
    // s is finite and positive: 2^-149 <= gmax < 2^131.
    return 32764.0 / gmax;
}

void lookup_index_from_rows(const std::uint64_t* rows, std::size_t row_stride, std::size_t gblocks,
                            std::uint8_t* index) noexcept {
    for (std::size_t c = 0; c < 4; ++c) {
        for (std::size_t i = 0; i < 16; ++i) {
            const std::uint64_t* row = rows + (16 * c + i) * row_stride;
            for (std::size_t gb = 0; gb < gblocks; ++gb) {
                // Group block gb is bits 16*(gb%4) .. +15 of row word gb/4.
                const unsigned bits16 = static_cast<unsigned>(row[gb / 4] >> (16 * (gb % 4))) & 0xffffU;
                std::uint8_t* out = index + (c * gblocks + gb) * 64 + 4 * i;
                for (unsigned k = 0; k < 4; ++k)
                    out[k] = static_cast<std::uint8_t>(((bits16 >> (4 * k)) & 15U) + 16 * k);
            }
        }
    }
}

std::shared_ptr<const LookupIndexCache> lookup_index_for(const SignRowCache& rows, WorkMeter& meter) {
    const CacheRegion want = rows.region();
    const auto mirrors = [&](const LookupIndexCache& have) {
        return have.region.families == want.families && have.region.blocks == want.blocks &&
               have.region.elements == want.elements;
    };
    return g_index.obtain(mirrors, [&](const LookupIndexCache*) -> std::shared_ptr<const LookupIndexCache> {
        const std::uint64_t bytes = want.families * want.blocks * 64 * (want.elements / 4);
        if (bytes > kLookupIndexMaxBytes) return nullptr;
        auto fresh = std::make_shared<LookupIndexCache>();
        fresh->region = want;
        fresh->stride = want.elements / 16;
        fresh->data.resize(bytes);
        for (std::uint64_t f = 0; f < want.families; ++f) {
            for (std::uint64_t w = 0; w < want.blocks; ++w) {
                lookup_index_from_rows(rows.block_rows(f, w), rows.stride, fresh->stride,
                                       fresh->data.data() + (f * want.blocks + w) * 4 * 64 * fresh->stride);
                meter.add(64 * want.elements / 4);
            }
        }
        return fresh;
    });
}

std::shared_ptr<const LookupIndexCache> lookup_index_current() noexcept { return g_index.load(); }

void lookup_index_reset() noexcept { g_index.reset(); }

}  // namespace zln::lsh::detail
