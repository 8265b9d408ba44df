// Which driver signs a request, shared by the per-call computation and the
// row signer so that both choose alike.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lsh/kernels/kernel_table.hpp"
#include "lsh/simhash.hpp"

namespace zln::lsh::detail {

// The fastest exact path the table offers for this request.
SimhashPath best_exact_path(const KernelTable& k, std::uint64_t families, std::uint64_t blocks, std::size_t n);

// Auto and ExactAuto resolved for the table; a forced path stays as it is.
SimhashPath concrete_path(SimhashPath path, const KernelTable& k, std::uint64_t families, std::uint64_t blocks,
                          std::size_t n);

}  // namespace zln::lsh::detail
