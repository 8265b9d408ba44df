#include "lsh/portable/physical_memory.hpp"

#include "lsh/portable/overflow.hpp"

#if defined(_WIN32)
// MinGW's headers or the build may define these already.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#elif defined(__APPLE__)
#include <sys/sysctl.h>
#include <sys/types.h>
#else
#include <unistd.h>
#endif

namespace zln::lsh {

namespace {

std::uint64_t ask_the_system() noexcept {
#if defined(_WIN32)
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status) || status.ullTotalPhys == 0) return UINT64_MAX;
    return status.ullTotalPhys;
#elif defined(__APPLE__)
    std::uint64_t bytes = 0;
    size_t size = sizeof bytes;
    if (sysctlbyname("hw.memsize", &bytes, &size, nullptr, 0) != 0 || bytes == 0) return UINT64_MAX;
    return bytes;
#else
    // Linux and the BSDs.
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return UINT64_MAX;
    return sat_mul(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page));
#endif
}

}  // namespace

std::uint64_t physical_memory() noexcept {
    // Read once: asking costs a system call, and every call needs the figure.
    // The initialisation runs no code of the caller's, so it cannot re-enter.
    static const std::uint64_t bytes = ask_the_system();
    return bytes;
}

}  // namespace zln::lsh
