// Which driver signs a vector: the choices, and the one place that chooses
// among them, shared by the per-call computation (simhash.cpp) and the row
// signer (bulk/row_signer.cpp) so that both choose alike. The choice is made
// twice over: per request (Auto and ExactAuto turned into a concrete driver
// for a kernel table), then per vector (the certified path gives way to the
// request's exact path where the vector or the sign rows rule it out); the
// chosen driver then signs the vector family by family.
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

struct CertifiedInput;
struct CertifiedCall;
struct SignCache;
class WorkMeter;

// The fastest exact path the table offers for this request.
SimhashPath best_exact_path(const KernelTable& k, std::uint64_t families, std::uint64_t blocks, std::size_t n);

// Auto and ExactAuto resolved for the table; a forced path stays as it is.
SimhashPath concrete_path(SimhashPath path, const KernelTable& k, std::uint64_t families, std::uint64_t blocks,
                          std::size_t n);

// The driver for one vector of n elements under a request whose concrete
// path is `path`: the certified path stays only if sign rows cover the
// request (`rows_cover`) and the vector allows it (certified_prepare fills
// `cert`, without the stage-1 planes); otherwise `exact` signs the vector.
// Any other path stays as it is.
SimhashPath vector_path(SimhashPath path, SimhashPath exact, bool rows_cover, CertifiedInput& cert, const float* v,
                        std::size_t n, const KernelTable& k);

// Stage 1's input for a vector that stays on the certified path: the lookup
// stage's tables when the request has a lookup index, else the bit planes.
void prepare_certified_stage1(CertifiedInput& cert, const float* v, std::size_t n, const KernelTable& k, bool lookup,
                              WorkMeter& meter);

// Family f's bits (`bits` positions, to out) by the vector's driver: the
// certified call's driver, or an exact one reading `cache` (null: signs
// mixed on the fly).
void family_bits(SimhashPath path, const CertifiedCall& call, const SignCache* cache, std::uint64_t f,
                 std::uint64_t bits, std::uint8_t* out);

}  // namespace detail

}  // namespace zln::lsh
