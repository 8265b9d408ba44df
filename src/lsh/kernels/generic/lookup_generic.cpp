// The lookup stage's kernels in plain C++: the fallback and the twins the
// vector variants are tested against.
#include <algorithm>
#include <cmath>

#include "lsh/kernels/kernels.hpp"
#include "lsh/kernels/lookup_layout.hpp"

namespace zln::lsh::detail {

namespace {

// Adding and subtracting 1.5 * 2^52 rounds a binary64 of magnitude below
// 2^51 to the nearest integer, ties to even (default rounding mode), with
// two ordinary additions that no compiler may fold (no fast-math).
constexpr double kRoundMagic = 0x1.8p52;

inline double round_even(double x) noexcept { return (x + kRoundMagic) - kRoundMagic; }

}  // namespace

double lookup_group_max_generic(const float* v, std::size_t n) noexcept {
    double best = 0;
    for (std::size_t g = 0; 4 * g < n; ++g) {
        double a[4] = {0, 0, 0, 0};
        for (std::size_t i = 0; i < 4 && 4 * g + i < n; ++i) a[i] = std::fabs(static_cast<double>(v[4 * g + i]));
        best = std::max(best, (a[0] + a[1]) + (a[2] + a[3]));
    }
    return best;
}

double lookup_tables_generic(const float* v, std::size_t n, double s, std::uint8_t* tables) noexcept {
    const std::size_t gblocks = lookup_group_blocks(n);
    double r[4] = {0, 0, 0, 0};
    for (std::size_t gb = 0; gb < gblocks; ++gb) {
        std::uint8_t* lo = tables + kLookupTableBytes * gb;
        std::uint8_t* hi = lo + 64;
        for (std::size_t k = 0; k < 4; ++k) {
            std::int32_t q[4] = {0, 0, 0, 0};
            for (std::size_t i = 0; i < 4; ++i) {
                const std::size_t j = 16 * gb + 4 * k + i;
                if (j >= n) continue;  // elements past n count as 0
                const double x = s * static_cast<double>(v[j]);
                const double qi = round_even(x);
                q[i] = static_cast<std::int32_t>(qi);
                r[i] += std::fabs(x - qi);
            }
            for (unsigned m = 0; m < 16; ++m) {
                std::int32_t t = 0;
                for (unsigned i = 0; i < 4; ++i) t += ((m >> i) & 1U) != 0 ? q[i] : -q[i];
                const auto u = static_cast<std::uint16_t>(t);  // two's complement
                lo[16 * k + m] = static_cast<std::uint8_t>(u);
                hi[16 * k + m] = static_cast<std::uint8_t>(u >> 8);
            }
        }
    }
    return (r[0] + r[1]) + (r[2] + r[3]);
}

void lookup_sums_generic(const std::uint8_t* index, std::size_t index_stride, std::size_t gblocks,
                         const std::uint8_t* tables, std::int64_t* out) noexcept {
    for (std::size_t c = 0; c < 4; ++c) {
        for (std::size_t i = 0; i < 16; ++i) {
            std::int64_t lo = 0, hi = 0;
            for (std::size_t gb = 0; gb < gblocks; ++gb) {
                const std::uint8_t* idx = index + (c * index_stride + gb) * 64 + 4 * i;
                const std::uint8_t* tab = tables + kLookupTableBytes * gb;
                for (std::size_t k = 0; k < 4; ++k) {
                    const unsigned e = idx[k] & 63U;  // the lookup reads the low six bits
                    lo += tab[e];
                    hi += static_cast<std::int8_t>(tab[64 + e]);
                }
            }
            out[16 * c + i] = lo + 256 * hi;
        }
    }
}

std::uint64_t lookup_verdicts_generic(const std::int64_t* e, unsigned lanes, std::int64_t threshold,
                                      std::uint8_t* out) noexcept {
    std::uint64_t doubtful = 0;
    for (unsigned i = 0; i < lanes; ++i) {
        const std::int64_t mag = e[i] < 0 ? -e[i] : e[i];
        out[i] = mag > threshold && e[i] > 0 ? 1 : 0;
        if (mag <= threshold) doubtful |= std::uint64_t{1} << i;
    }
    return doubtful;
}

}  // namespace zln::lsh::detail
