// Instruction-set capabilities the kernel table chooses by.
#pragma once

#include <cstdint>

namespace zln::lsh::detail {

using Capabilities = std::uint32_t;

// x86-64
inline constexpr Capabilities kCapPopcnt = 1U << 0;  // the scalar POPCNT instruction
inline constexpr Capabilities kCapAvx2 = 1U << 1;
inline constexpr Capabilities kCapAvx512 = 1U << 2;           // F, BW and VL together
inline constexpr Capabilities kCapAvx512Dq = 1U << 3;         // a 64-bit vector multiply
inline constexpr Capabilities kCapAvx512Vpopcntdq = 1U << 4;  // vector population count
inline constexpr Capabilities kCapAvx512Vbmi = 1U << 5;       // byte permutes (VPERMB)
inline constexpr Capabilities kCapAvx512Vnni = 1U << 6;       // byte dot products (VPDPBUSD)
// arm64
inline constexpr Capabilities kCapNeon = 1U << 8;  // Advanced SIMD, part of every arm64 CPU

inline constexpr Capabilities kCapNone = 0;
inline constexpr Capabilities kCapAll = ~Capabilities{0};

// What the running CPU and operating system let us use; detected once.
Capabilities cpu_capabilities() noexcept;

#if defined(__x86_64__) || defined(_M_X64)
// What cpu_capabilities() is made of on x86-64: the CPUID leaves and the
// OS's XSAVE state (XGETBV), read on every call.
Capabilities x86_capabilities_from_cpuid() noexcept;
#endif

}  // namespace zln::lsh::detail
