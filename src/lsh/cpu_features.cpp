#include "cpu_features.hpp"

namespace zln::lsh::detail {

// __builtin_cpu_supports consults data that libgcc fills in at start-up
// (including the OS's XSAVE state check); __builtin_cpu_init makes that safe
// even if we are called from another constructor. Both are cheap and keep no
// state of ours, so nothing here needs a one-time initialisation.
bool cpu_has_avx2() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}

bool cpu_has_avx512() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512bw") != 0 &&
           __builtin_cpu_supports("avx512vl") != 0;
}

bool cpu_has_avx512dq() noexcept { return cpu_has_avx512() && __builtin_cpu_supports("avx512dq") != 0; }

bool cpu_has_avx512_popcount() noexcept {
    return cpu_has_avx512() && __builtin_cpu_supports("avx512vpopcntdq") != 0;
}

bool cpu_has_popcnt() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("popcnt") != 0;
}

}  // namespace zln::lsh::detail
