// L2 normalisation in binary32 arithmetic.
#pragma once

#include <cstddef>

namespace zln::lsh {

// out[i] = in[i] / sqrt(sum of squares), or a copy of in when the sum is 0.
// in and out may be the same buffer.
void normalize_vector(const float* in, std::size_t n, float* out) noexcept;

// The ordered binary32 sum of squares, starting from -0.0.
float sum_of_squares(const float* v, std::size_t n) noexcept;

}  // namespace zln::lsh
