// Which driver signs a request: the choices, and the one place that turns
// Auto and ExactAuto into a concrete driver for a kernel table, shared by
// the per-call computation (simhash.cpp) and the row signer
// (bulk/row_signer.cpp) so that both choose alike.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lsh/kernels/kernel_table.hpp"

namespace zln::lsh {

// Which driver computes the signature bits; the kernels it runs come from
// the kernel table passed along. Auto picks the fastest for the table;
// every path gives the same bits.
enum class SimhashPath : int {
    Auto = 0,
    ScalarUncached = 1,  // the plain ordered loop, signs mixed on the fly
    ScalarCached = 2,    // same loop, signs read from the packed sign cache
    Blocks = 3,          // 64 bit positions at once through the table's accumulate kernel
    // Integer estimates with guaranteed error bounds settle almost every bit;
    // the doubtful ones (and vectors with infinities or NaNs, or regions
    // beyond the sign row cache) are summed exactly. Same results as the
    // exact paths, bit for bit.
    Certified = 4,
    ExactAuto = 5,  // the fastest exact path for the table (Auto without Certified)
};

namespace detail {

// The fastest exact path the table offers for this request.
SimhashPath best_exact_path(const KernelTable& k, std::uint64_t families, std::uint64_t blocks, std::size_t n);

// Auto and ExactAuto resolved for the table; a forced path stays as it is.
SimhashPath concrete_path(SimhashPath path, const KernelTable& k, std::uint64_t families, std::uint64_t blocks,
                          std::size_t n);

}  // namespace detail

}  // namespace zln::lsh
