// The exact-blocks stage (sign words and their 64-lane sums) in plain C++:
// every architecture's fallback and the twins every vector variant is
// tested against.
#include <bit>

#include "lsh/kernels/kernels.hpp"
#include "lsh/kernels/sign_mix.hpp"

namespace zln::lsh::detail {

void fill_sign_words_scalar(std::uint64_t f, std::uint64_t b0, std::uint64_t j0, std::size_t count,
                            std::uint64_t* out) noexcept {
    for (std::size_t i = 0; i < count; ++i) out[i] = sign_word_scalar(f, b0, j0 + i);
}

void accumulate_block_scalar(const double* t, const std::uint64_t* words, std::size_t count, double* acc) noexcept {
    // Element by element, each element into all 64 lanes: 64 independent
    // chains, so the additions overlap instead of waiting on each other.
    // +t or -t by flipping the sign bit only (no branch on the random
    // signs), which is exactly what subtracting t gives.
    double a[64];
    for (unsigned i = 0; i < 64; ++i) a[i] = acc[i];
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(t[k]);
        const std::uint64_t w = ~words[k];  // a set bit: the sign is -1
        for (unsigned i = 0; i < 64; ++i) {
            a[i] = a[i] + std::bit_cast<double>(bits ^ (((w >> i) & 1U) << 63));
        }
    }
    for (unsigned i = 0; i < 64; ++i) acc[i] = a[i];
}

}  // namespace zln::lsh::detail
