// Signing many vectors of one length with one request (families, bits):
// the driver is chosen and the process-wide sign caches are fetched once,
// into a plan that any number of threads then share read-only. Each row
// runs the same drivers as simhash_lsh_multi, so its bits are that
// function's bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "lsh/failure.hpp"
#include "lsh/kernels/kernel_table.hpp"
#include "lsh/simhash.hpp"
#include "lsh/simhash/certified_driver.hpp"
#include "lsh/simhash/lookup_stage.hpp"
#include "lsh/simhash/sign_cache.hpp"
#include "lsh/simhash/sign_rows.hpp"
#include "lsh/work_meter.hpp"

namespace zln::lsh {

struct RowSigningPlan {
    std::uint64_t families = 0;  // effective: after the floors
    std::uint64_t bits = 0;
    std::uint64_t blocks = 0;  // 64-bit blocks of bit positions
    std::size_t n = 0;         // elements per row
    const detail::KernelTable* kernels = nullptr;
    SimhashPath path = SimhashPath::Auto;        // concrete: Certified or an exact path
    SimhashPath exact_path = SimhashPath::Auto;  // for rows the certified path declines
    // Snapshots taken once; the rows never touch the process-wide caches.
    std::shared_ptr<const detail::SignRowCache> rows;
    std::shared_ptr<const detail::LookupIndexCache> index;
    std::shared_ptr<const detail::SignCache> cache;

    std::uint64_t hex_digits() const noexcept { return bits / 4 + (bits % 4 != 0 ? 1 : 0); }
    // 64-bit words of one family's signature: 16 hex digits each.
    std::uint64_t words() const noexcept { return (hex_digits() + 15) / 16; }
};

// Applies the floors (families and bands at least 1, bits at least 64) and
// the capacity limits of simhash_lsh_multi (InternalFailure "capacity
// overflow"), then fetches what the rows need, growing the caches (progress
// to `cancel`). Touches the process-wide caches: call it where the
// per-call path would.
RowSigningPlan plan_row_signing(std::size_t n, std::uint64_t families, std::uint64_t bits,
                                SimhashPath path = SimhashPath::Auto, CancelCheck cancel = {},
                                const detail::KernelTable& kernels = detail::kernel_table());

// Signature bits of one row of plan.n elements: families x bits bytes, 0 or 1,
// family by family. Safe to call from several threads on one plan.
// `scratch` is working memory kept from row to row (its content is discarded).
void sign_row_bits(const RowSigningPlan& plan, const float* v, std::uint8_t* out, detail::WorkMeter& meter,
                   detail::CertifiedInput& scratch);

// One family's bits as its signature words: word w holds hex digits
// 16w .. 16w+15 of the signature text as one number (int(text[16w:16w+16], 16);
// the last word may hold fewer digits).
void pack_signature_words(const std::uint8_t* bits, std::uint64_t count, std::uint64_t* words) noexcept;

}  // namespace zln::lsh
