// The certified driver: per block of 64 bit positions, the integer
// estimates of certified.hpp settle what they can and the exact drivers sum
// the rest. Whether exact blocks run on a vector unit (the table entry's
// trait) decides between refining doubtful bits further and summing the
// whole block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "lsh/kernels/kernel_table.hpp"
#include "lsh/simhash/certified.hpp"
#include "lsh/simhash/lookup_stage.hpp"
#include "lsh/simhash/sign_cache.hpp"
#include "lsh/simhash/sign_rows.hpp"
#include "lsh/work_meter.hpp"

namespace zln::lsh::detail {

// The per-element sign word cache, fetched (and grown) only when a block
// needs the exact block kernel: hard vectors pay for it once, ordinary ones
// never.
struct ExactFallback {
    std::uint64_t families, blocks;
    std::size_t n;
    const KernelTable* kernels;
    std::shared_ptr<const SignCache> cache;  // our own snapshot

    const SignCache* get(WorkMeter& meter);
};

// The elements widened to binary64, made on first need: the certified path
// needs them only for the lanes it sums in order.
class Widened {
public:
    Widened(const float* v, std::size_t n) : v_(v), n_(n) {}
    const double* get() {
        if (t_.size() != n_) t_.assign(v_, v_ + n_);
        return t_.data();
    }

private:
    const float* v_;
    std::size_t n_;
    std::vector<double> t_;
};

// Everything the certified path reads and keeps for one vector of a call,
// shared by its families: `in` prepared by certified_prepare, `rows` the
// sign rows of the request, `index` their lookup index when the first stage
// is the lookup stage (certified_prepare_lookup done), else null (stage 1's
// planes prepared).
struct CertifiedCall {
    const float* v;
    std::size_t n;
    Widened& wide;
    CertifiedInput& in;
    const SignRowCache* rows;
    const LookupIndexCache* index;
    const KernelTable& k;
    ExactFallback& exact;
    WorkMeter& meter;
};

// Signature bits of family f (`bits` positions, to out) on the certified
// path, block by block: stage 1 for every lane, then the refinement (after
// the lookup stage) or stages 2 and 3 (after the bit planes) for the few
// doubtful lanes, then the exact sums for what is left.
void family_bits_certified(const CertifiedCall& call, std::uint64_t f, std::uint64_t bits, std::uint8_t* out);

}  // namespace zln::lsh::detail
