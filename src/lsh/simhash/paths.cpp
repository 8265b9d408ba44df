#include "lsh/simhash/paths.hpp"

#include "lsh/failure.hpp"
#include "lsh/simhash/certified.hpp"
#include "lsh/simhash/certified_driver.hpp"
#include "lsh/simhash/exact_drivers.hpp"
#include "lsh/simhash/sign_cache.hpp"
#include "lsh/work_meter.hpp"

namespace zln::lsh::detail {

SimhashPath best_exact_path(const KernelTable& k, std::uint64_t families, std::uint64_t blocks, std::size_t n) {
    if (k.vector_exact()) return SimhashPath::Blocks;
    if (sign_cache_can_cover(families, blocks, n)) return SimhashPath::ScalarCached;
    return SimhashPath::ScalarUncached;
}

SimhashPath concrete_path(SimhashPath path, const KernelTable& k, std::uint64_t families, std::uint64_t blocks,
                          std::size_t n) {
    switch (path) {
        case SimhashPath::Auto:
            return k.auto_takes_certified() ? SimhashPath::Certified : best_exact_path(k, families, blocks, n);
        case SimhashPath::ExactAuto: return best_exact_path(k, families, blocks, n);
        case SimhashPath::ScalarUncached:
        case SimhashPath::ScalarCached:
        case SimhashPath::Blocks:
        case SimhashPath::Certified: return path;
    }
    ZLN_INTERNAL_FAILURE("unknown simhash path");
}

SimhashPath vector_path(SimhashPath path, SimhashPath exact, bool rows_cover, CertifiedInput& cert, const float* v,
                        std::size_t n, const KernelTable& k) {
    if (path != SimhashPath::Certified) return path;
    if (n == 0 || !rows_cover || !certified_prepare(cert, v, n, k, false)) return exact;
    return SimhashPath::Certified;
}

void prepare_certified_stage1(CertifiedInput& cert, const float* v, std::size_t n, const KernelTable& k, bool lookup,
                              WorkMeter& meter) {
    meter.add(static_cast<std::uint64_t>(n) * 8);  // the quantisation passes
    if (lookup) {
        certified_prepare_lookup(cert, v, k);
    } else {
        certified_prepare_stage1_planes(cert, v, k);
    }
}

void family_bits(SimhashPath path, const CertifiedCall& call, const SignCache* cache, std::uint64_t f,
                 std::uint64_t bits, std::uint8_t* out) {
    switch (path) {
        case SimhashPath::Certified: family_bits_certified(call, f, bits, out); return;
        case SimhashPath::Blocks:
            family_bits_blocks(f, bits, call.wide.get(), call.n, cache, call.k, out, call.meter);
            return;
        case SimhashPath::ScalarUncached:
        case SimhashPath::ScalarCached:
            family_bits_scalar(f, bits, call.wide.get(), call.n, cache, out, call.meter);
            return;
        case SimhashPath::Auto:
        case SimhashPath::ExactAuto: break;
    }
    ZLN_INTERNAL_FAILURE("family_bits with an unresolved simhash path");
}

}  // namespace zln::lsh::detail
