#include "lsh/kernels/capabilities.hpp"

#include "lsh/kernels/arch.hpp"

#if defined(ZLN_ARCH_X86_64)
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

namespace zln::lsh::detail {

#if defined(ZLN_ARCH_X86_64)

namespace {

struct CpuidRegs {
    unsigned a = 0, b = 0, c = 0, d = 0;
};

CpuidRegs cpuid(unsigned leaf, unsigned sub) noexcept {
    CpuidRegs r;
#if defined(_MSC_VER) && !defined(__clang__)
    int out[4];
    __cpuidex(out, static_cast<int>(leaf), static_cast<int>(sub));
    r = {static_cast<unsigned>(out[0]), static_cast<unsigned>(out[1]), static_cast<unsigned>(out[2]),
         static_cast<unsigned>(out[3])};
#else
    __cpuid_count(leaf, sub, r.a, r.b, r.c, r.d);
#endif
    return r;
}

// The OS's enabled register state (XCR0); only valid when OSXSAVE is set.
std::uint64_t xgetbv0() noexcept {
#if defined(_MSC_VER) && !defined(__clang__)
    return _xgetbv(0);
#else
    unsigned lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (static_cast<std::uint64_t>(hi) << 32) | lo;
#endif
}

bool bit(unsigned reg, unsigned i) noexcept { return ((reg >> i) & 1U) != 0; }

}  // namespace

Capabilities x86_capabilities_from_cpuid() noexcept {
    Capabilities caps = kCapNone;
    const unsigned max_leaf = cpuid(0, 0).a;
    if (max_leaf < 1) return caps;
    const CpuidRegs l1 = cpuid(1, 0);
    if (bit(l1.c, 23)) caps |= kCapPopcnt;
    // Vector state must be enabled by the OS too: YMM (bits 1, 2 of XCR0)
    // for AVX2, and opmask plus ZMM (bits 5, 6, 7) for AVX-512.
    if (!bit(l1.c, 27)) return caps;  // no OSXSAVE: no XGETBV, no wide registers
    const std::uint64_t xcr0 = xgetbv0();
    const bool ymm = (xcr0 & 0x6U) == 0x6U;
    const bool zmm = ymm && (xcr0 & 0xe0U) == 0xe0U;
    const CpuidRegs l7 = max_leaf >= 7 ? cpuid(7, 0) : CpuidRegs{};
    if (ymm && bit(l1.c, 28) && bit(l7.b, 5)) caps |= kCapAvx2;
    if (zmm && bit(l7.b, 16) && bit(l7.b, 30) && bit(l7.b, 31)) {
        caps |= kCapAvx512;
        if (bit(l7.b, 17)) caps |= kCapAvx512Dq;
        if (bit(l7.c, 14)) caps |= kCapAvx512Vpopcntdq;
        if (bit(l7.c, 1)) caps |= kCapAvx512Vbmi;
        if (bit(l7.c, 11)) caps |= kCapAvx512Vnni;
    }
    return caps;
}

namespace {

// CPUID and the OS's XSAVE state are read directly rather than through the
// compiler's __builtin_cpu_supports: that builtin depends on a runtime
// (libgcc, compiler-rt) having filled in its tables at start-up, and some
// runtimes never do (zig's musl build answers false to every query), which
// would quietly leave every wide kernel unused.
Capabilities detect() noexcept { return x86_capabilities_from_cpuid(); }

}  // namespace

#elif defined(ZLN_ARCH_ARM64)

namespace {

// Advanced SIMD is mandatory on arm64. (SVE would be read from the OS here:
// getauxval(AT_HWCAP) on Linux, sysctl on macOS, once it has kernels.)
Capabilities detect() noexcept { return kCapNeon; }

}  // namespace

#else

namespace {

Capabilities detect() noexcept { return kCapNone; }

}  // namespace

#endif

Capabilities cpu_capabilities() noexcept {
    // A constant once computed; the initialisation calls nothing of ours
    // that could re-enter.
    static const Capabilities caps = detect();
    return caps;
}

}  // namespace zln::lsh::detail
