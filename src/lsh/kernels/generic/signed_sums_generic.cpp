// The signed-sums stage (the refinement of doubtful bits) in plain C++
// (kernels.hpp), the twin of the vector ones.
#include "lsh/kernels/kernels.hpp"

#include <bit>

namespace zln::lsh::detail {

void signed_sums_generic(const float* v, std::size_t n, const std::uint64_t* const* rows, std::size_t nrows,
                         double* out) noexcept {
    for (std::size_t r = 0; r < nrows; ++r) {
        const std::uint64_t* row = rows[r];
        double l[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        for (std::size_t j = 0; j < n; ++j) {
            // -t by flipping the sign bit, as the vector kernel does.
            const std::uint64_t minus = static_cast<std::uint64_t>(((row[j / 64] >> (j % 64)) & 1U) ^ 1U) << 63;
            l[j % 8] += std::bit_cast<double>(std::bit_cast<std::uint64_t>(static_cast<double>(v[j])) ^ minus);
        }
        out[r] = ((l[0] + l[4]) + (l[2] + l[6])) + ((l[1] + l[5]) + (l[3] + l[7]));
    }
}

}  // namespace zln::lsh::detail
