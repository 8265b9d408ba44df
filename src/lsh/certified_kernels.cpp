// Generic and POPCNT-instruction variants of the certified kernels.
#include "certified_kernels.hpp"

#include "sign_rows.hpp"

namespace zln::lsh::detail {

// Shared body: Horner over the planes from the most significant down, so the
// weights 2^p cost one doubling per plane.
#define ZLN_PLANE_SUMS_BODY                                                        \
    for (std::size_t r = 0; r < nrows; ++r) {                                      \
        const std::uint64_t* row = rows + r * row_stride;                          \
        std::int64_t acc = 0;                                                      \
        for (unsigned p = nplanes; p-- > 0;) {                                     \
            const std::uint64_t* plane = planes + p * pstride;                     \
            std::int64_t count = 0;                                                \
            for (std::size_t w = 0; w < words; ++w) {                              \
                count += __builtin_popcountll((row[w] ^ neg[w]) & plane[w]);       \
            }                                                                      \
            acc = 2 * acc + count;                                                 \
        }                                                                          \
        out[r] = acc;                                                              \
    }

void plane_sums_generic(const std::uint64_t* rows, std::size_t row_stride, std::size_t nrows,
                        const std::uint64_t* neg, const std::uint64_t* planes, std::size_t pstride, unsigned nplanes,
                        std::size_t words, std::int64_t* out) noexcept {
    ZLN_PLANE_SUMS_BODY
}

__attribute__((target("popcnt"))) void plane_sums_popcnt(const std::uint64_t* rows, std::size_t row_stride,
                                                         std::size_t nrows, const std::uint64_t* neg,
                                                         const std::uint64_t* planes,
                                                         std::size_t pstride, unsigned nplanes,
                                                         std::size_t words, std::int64_t* out) noexcept {
    ZLN_PLANE_SUMS_BODY
}

#undef ZLN_PLANE_SUMS_BODY

void build_planes_generic(const std::uint32_t* q, std::size_t words, unsigned nplanes,
                          std::uint64_t* planes, std::size_t pstride) noexcept {
    // 64 values as a 64 x 64 bit matrix (value k in row k); after the
    // transpose row p holds bit p of every value.
    std::uint64_t tile[64];
    for (std::size_t w = 0; w < words; ++w) {
        for (unsigned k = 0; k < 64; ++k) tile[k] = q[64 * w + k];
        transpose_64x64(tile);
        for (unsigned p = 0; p < nplanes; ++p) planes[p * pstride + w] = tile[p];
    }
}

}  // namespace zln::lsh::detail
