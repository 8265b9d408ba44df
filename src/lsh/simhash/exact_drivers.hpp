// The exact simhash drivers: the plain ordered loop, bit by bit, and the
// block driver that walks 64 bit positions at once through the table's
// accumulate kernel. Both give the defining loop's bits exactly.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lsh/kernels/kernel_table.hpp"
#include "lsh/simhash/sign_cache.hpp"
#include "lsh/work_meter.hpp"

namespace zln::lsh::detail {

// Elements per scalar inner run between meter updates.
inline constexpr std::size_t kScalarRun = 1 << 14;

// Bit positions of block w that exist (64, or fewer in the last block).
inline unsigned block_lanes(std::uint64_t bits, std::uint64_t w) noexcept {
    return static_cast<unsigned>(bits - 64 * w < 64 ? bits - 64 * w : 64);
}

// The plain ordered loop: for each bit, acc starts at -0.0 and takes
// acc + t or acc - t for every element in index order; signs come from the
// cache (when given and covering) or are mixed on the fly.
void family_bits_scalar(std::uint64_t f, std::uint64_t bits, const double* t, std::size_t n, const SignCache* cache,
                        std::uint8_t* out, WorkMeter& meter);

// The same loop for the first `lanes` bit positions of block w, signs always
// mixed on the fly.
void block_bits_mixed(std::uint64_t f, std::uint64_t w, unsigned lanes, const double* t, std::size_t n,
                      std::uint8_t* out, WorkMeter& meter);

// One block of 64 bit positions through k.accumulate (the first `lanes` of
// them written to out); signs from the cache where it covers, else from
// k.fill.
void block_bits_exact(std::uint64_t f, std::uint64_t w, unsigned lanes, const double* t, std::size_t n,
                      const SignCache* cache, const KernelTable& k, std::uint8_t* out, WorkMeter& meter);

// Every block of one family through block_bits_exact.
void family_bits_blocks(std::uint64_t f, std::uint64_t bits, const double* t, std::size_t n, const SignCache* cache,
                        const KernelTable& k, std::uint8_t* out, WorkMeter& meter);

}  // namespace zln::lsh::detail
