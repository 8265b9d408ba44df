// Multi-family SimHash signatures cut into bands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "lsh/failure.hpp"
#include "lsh/kernels/kernel_table.hpp"
#include "lsh/simhash/paths.hpp"  // SimhashPath

namespace zln::lsh {

struct FamilyRecord {
    std::uint64_t family = 0;
    std::uint64_t bits = 0;  // effective bit count, after the floor
    std::string signature;
    std::vector<std::string> bands;
};

// +1 or -1 for element j of hyperplane (family f, bit b).
int hyperplane_sign(std::uint64_t f, std::uint64_t b, std::uint64_t j) noexcept;

// bits[i] is 0 or 1; returns ceil(count / 4) lowercase hex digits.
std::string bits_to_hex(const std::uint8_t* bits, std::size_t count);

std::vector<std::string> split_bands(std::string_view signature, std::uint64_t bands);

// Full computation: floors applied here. Throws InternalFailure("capacity
// overflow") for families >= 2^57 or bits >= 2^63, std::bad_alloc when the
// estimated memory exceeds the machine's physical memory (checked before any
// hashing), Interrupted when cancel() says so.
// Safe to call from several threads at once (the process-wide sign caches
// are shared through snapshots, simhash/process_cache.hpp). The shipped module always passes the process's
// table; tests and benchmarks may pass narrowed ones.
std::vector<FamilyRecord> simhash_lsh_multi(const float* v, std::size_t n, std::uint64_t families, std::uint64_t bits,
                                            std::uint64_t bands, SimhashPath path = SimhashPath::Auto,
                                            CancelCheck cancel = {},
                                            const detail::KernelTable& kernels = detail::kernel_table());

}  // namespace zln::lsh
