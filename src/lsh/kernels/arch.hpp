// Which architecture's kernels this build compiles, and how a function asks
// for instructions beyond the build's baseline.
//
// Every kernel file is wrapped in one of the ZLN_ARCH_* conditions, so the
// same list of sources builds for any target; a target without kernels of
// its own gets the generic ones only.
#pragma once

#if defined(__x86_64__) || defined(_M_X64)
#define ZLN_ARCH_X86_64 1
#elif defined(__aarch64__) || defined(_M_ARM64)
#define ZLN_ARCH_ARM64 1
#endif

// GCC and clang compile wider instructions per function (no per-file -m
// flags, so no inline library code can leak them into generic code); MSVC
// accepts every intrinsic without being asked.
#if defined(_MSC_VER) && !defined(__clang__)
#define ZLN_TARGET(features)
#else
#define ZLN_TARGET(features) __attribute__((target(features)))
#endif

// A body shared by several variants (kernels/generic/*_body.hpp) is
// compiled inside each variant's function, with that function's
// instructions: it must be inlined there, never called out of line.
#if defined(_MSC_VER) && !defined(__clang__)
#define ZLN_ALWAYS_INLINE __forceinline
#else
#define ZLN_ALWAYS_INLINE inline __attribute__((always_inline))
#endif
