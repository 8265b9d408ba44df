#include "lsh/simhash/paths.hpp"

#include "lsh/failure.hpp"
#include "lsh/simhash/sign_cache.hpp"

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

}  // namespace zln::lsh::detail
