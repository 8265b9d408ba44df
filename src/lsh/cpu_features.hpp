// Which instruction-set extensions the running CPU (and OS) lets us use.
#pragma once

namespace zln::lsh::detail {

bool cpu_has_avx2() noexcept;
// AVX-512 F, BW and VL together, the subset the simhash kernels need.
bool cpu_has_avx512() noexcept;
// AVX512DQ on top of that (a 64-bit vector multiply for the sign mixer).
bool cpu_has_avx512dq() noexcept;
// AVX512-VPOPCNTDQ on top of F, BW and VL (the certified path's plane sums).
bool cpu_has_avx512_popcount() noexcept;
// The scalar POPCNT instruction.
bool cpu_has_popcnt() noexcept;

}  // namespace zln::lsh::detail
