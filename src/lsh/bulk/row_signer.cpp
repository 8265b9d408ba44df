#include "lsh/bulk/row_signer.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "lsh/simhash/certified.hpp"
#include "lsh/simhash/paths.hpp"

namespace zln::lsh {

namespace {

constexpr std::uint64_t kFamilyLimit = std::uint64_t{1} << 57;
constexpr std::uint64_t kBitsLimit = std::uint64_t{1} << 63;
// The cancellation check of the plan's cache growth, as the per-call path polls.
constexpr std::uint64_t kPlanCheckInterval = std::uint64_t{1} << 23;

}  // namespace

RowSigningPlan plan_row_signing(std::size_t n, std::uint64_t families, std::uint64_t bits, SimhashPath path,
                                CancelCheck cancel, const detail::KernelTable& kernels) {
    if (families >= kFamilyLimit || bits >= kBitsLimit) ZLN_INTERNAL_FAILURE("capacity overflow");
    RowSigningPlan p;
    p.families = std::max<std::uint64_t>(families, 1);
    p.bits = std::max<std::uint64_t>(bits, 64);
    p.blocks = p.bits / 64 + (p.bits % 64 != 0 ? 1 : 0);
    p.n = n;
    p.kernels = &kernels;
    p.path = detail::concrete_path(path, kernels, p.families, p.blocks, n);
    p.exact_path = detail::best_exact_path(kernels, p.families, p.blocks, n);
    if (n == 0) return p;
    detail::WorkMeter meter(cancel, kPlanCheckInterval);
    // The same conditions as the per-call computation: the certified path
    // needs sign rows covering the whole request.
    if (p.path == SimhashPath::Certified && detail::sign_rows_can_cover(p.families, p.blocks, n)) {
        p.rows = detail::sign_rows_for(p.families, p.blocks, n, kernels.fill->fn, meter);
        if (kernels.lookup_stage()) p.index = detail::lookup_index_for(*p.rows, meter);
    }
    // Always fetched: the exact paths read it, and so do the certified
    // path's fallback blocks, which would otherwise fetch it from a worker.
    p.cache = detail::sign_cache_for(p.families, p.blocks, n, kernels.fill->fn, meter);
    return p;
}

void sign_row_bits(const RowSigningPlan& p, const float* v, std::uint8_t* out, detail::WorkMeter& meter,
                   detail::CertifiedInput& cert) {
    const std::size_t n = p.n;
    const detail::KernelTable& k = *p.kernels;
    std::fill(out, out + p.families * p.bits, std::uint8_t{0});
    if (n == 0) return;  // every sum is -0.0: every bit 0
    detail::Widened wide(v, n);

    // As in simhash_lsh_multi: the certified path unless the row rules it out.
    detail::certified_reuse(cert);
    const SimhashPath path = detail::vector_path(p.path, p.exact_path, p.rows != nullptr, cert, v, n, k);
    if (path == SimhashPath::Certified) detail::prepare_certified_stage1(cert, v, n, k, p.index != nullptr, meter);
    detail::ExactFallback fallback{p.families, p.blocks, n, &k, p.cache};
    const detail::SignCache* cache = path == SimhashPath::ScalarUncached ? nullptr : p.cache.get();
    const detail::CertifiedCall certified_call{v, n, wide, cert, p.rows.get(), p.index.get(), k, fallback, meter};
    for (std::uint64_t f = 0; f < p.families; ++f) {
        detail::family_bits(path, certified_call, cache, f, p.bits, out + f * p.bits);
    }
}

void pack_signature_words(const std::uint8_t* bits, std::uint64_t count, std::uint64_t* words) noexcept {
    // Bit positions up to the end of the last hex digit; those past `count`
    // are the digit's zero padding.
    const std::uint64_t padded = (count + 3) / 4 * 4;
    for (std::uint64_t start = 0, w = 0; start < padded; start += 64, ++w) {
        const std::uint64_t end = std::min(padded, start + 64);
        std::uint64_t value = 0;
        std::uint64_t j = start;
        // Whole bytes of eight bits while they are all real bits.
        for (; j + 8 <= std::min(end, count); j += 8) {
            std::uint64_t eight;
            std::memcpy(&eight, bits + j, 8);
            // Byte i (0 or 1) moves to bit 7 - i of the top byte: the product
            // with 0x8040201008040201 places it at 8i + 63 - 9i = 63 - i, and
            // no other pair of byte and constant bit lands in bits 56..63.
            if constexpr (std::endian::native == std::endian::little) {
                value = (value << 8) | (((eight & 0x0101010101010101ULL) * 0x8040201008040201ULL) >> 56);
            } else {
                std::uint64_t byte = 0;
                for (unsigned i = 0; i < 8; ++i) byte = (byte << 1) | (bits[j + i] & 1U);
                value = (value << 8) | byte;
            }
        }
        for (; j < end; ++j) value = (value << 1) | (j < count ? (bits[j] & 1U) : 0U);
        words[w] = value;
    }
}

}  // namespace zln::lsh
