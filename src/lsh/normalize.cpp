#include "lsh/normalize.hpp"

#include <cmath>

namespace zln::lsh {

float sum_of_squares(const float* v, std::size_t n) noexcept {
    // Strictly sequential, two binary32 roundings per element: the rounding of
    // every step is part of the result, so no wider accumulator and no
    // reassociation (the build forbids contraction into FMA).
    float s = -0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float square = v[i] * v[i];
        s = s + square;
    }
    return s;
}

void normalize_vector(const float* in, std::size_t n, float* out) noexcept {
    const float s = sum_of_squares(in, n);
    if (s == 0.0f) {  // +0.0 and -0.0 alike: the vector comes back unchanged
        if (out != in) {
            for (std::size_t i = 0; i < n; ++i) out[i] = in[i];
        }
        return;
    }
    const float m = std::sqrt(s);  // correctly rounded binary32 square root
    // Each quotient is independent, so this loop vectorises freely.
    for (std::size_t i = 0; i < n; ++i) out[i] = in[i] / m;
}

}  // namespace zln::lsh
