// The bit-planes stage (the certified path's first stage wherever the
// lookup stage is not taken) in plain C++: every architecture's fallback and
// the twins every vector variant is tested against.
#include "lsh/kernels/kernels.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "lsh/kernels/bit_transpose.hpp"
#include "lsh/kernels/generic/bit_planes_body.hpp"
#include "lsh/portable/bits.hpp"

namespace zln::lsh::detail {

void plane_sums_generic(const std::uint64_t* rows, std::size_t row_stride, std::size_t nrows, const std::uint64_t* neg,
                        const std::uint64_t* planes, std::size_t pstride, unsigned nplanes, std::size_t words,
                        std::int64_t* out) noexcept {
    plane_sums_body(rows, row_stride, nrows, neg, planes, pstride, nplanes, words, out,
                    [](std::uint64_t x) noexcept { return bits::popcount64(x); });
}

void build_planes_generic(const std::uint32_t* q, std::size_t words, unsigned nplanes, std::uint64_t* planes,
                          std::size_t pstride) noexcept {
    // 64 values as a 64 x 64 bit matrix (value k in row k); after the
    // transpose row p holds bit p of every value.
    std::uint64_t tile[64];
    for (std::size_t w = 0; w < words; ++w) {
        for (unsigned k = 0; k < 64; ++k) tile[k] = q[64 * w + k];
        transpose_64x64(tile);
        for (unsigned p = 0; p < nplanes; ++p) planes[p * pstride + w] = tile[p];
    }
}

double quantise_planes_generic(const float* v, std::size_t n, int k, unsigned nplanes, std::uint64_t* planes,
                               std::size_t pstride, std::int64_t* total) noexcept {
    const double s = std::ldexp(1.0, k);
    const std::int32_t cap = static_cast<std::int32_t>((1U << nplanes) - 1U);
    const std::size_t words = (n + 63) / 64;
    double r[4] = {0, 0, 0, 0};
    std::int64_t sum = 0;
    std::uint64_t tile[64];
    for (std::size_t w = 0; w < words; ++w) {
        const std::size_t count = std::min<std::size_t>(64, n - 64 * w);
        for (std::size_t i = 0; i < count; ++i) {
            const double x = std::fabs(static_cast<double>(v[64 * w + i])) * s;
            std::int32_t qi = static_cast<std::int32_t>(x + 0.5);
            qi = std::min(qi, cap);
            tile[i] = static_cast<std::uint64_t>(qi);
            sum += qi;
            r[i & 3] += std::fabs(x - static_cast<double>(qi));
        }
        for (std::size_t i = count; i < 64; ++i) tile[i] = 0;
        transpose_64x64(tile);
        for (unsigned p = 0; p < nplanes; ++p) planes[p * pstride + w] = tile[p];
    }
    *total = sum;
    return (r[0] + r[1]) + (r[2] + r[3]);
}

std::uint32_t magnitude_scan_generic(const float* v, std::size_t n, std::uint64_t* neg, double* abs_sum) noexcept {
    std::uint32_t maxbits = 0;
    double a[4] = {0, 0, 0, 0};
    const std::size_t words = (n + 63) / 64;
    for (std::size_t w = 0; w < words; ++w) neg[w] = 0;
    for (std::size_t j = 0; j < n; ++j) {
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(v[j]);
        const std::uint32_t mag = bits & 0x7fffffffU;
        maxbits = std::max(maxbits, mag);
        neg[j / 64] |= static_cast<std::uint64_t>(bits >> 31) << (j % 64);
        a[j & 3] += static_cast<double>(std::bit_cast<float>(mag));
    }
    *abs_sum = (a[0] + a[1]) + (a[2] + a[3]);
    return maxbits;
}

}  // namespace zln::lsh::detail
