// Kernels behind simhash_lsh_multi, on raw pointers only.
//
// A "sign word" holds the signs of 64 consecutive bit positions b0 .. b0+63
// of one family for one element j: bit i set means hyperplane (f, b0+i) has
// sign +1 at element j.
//
// The AVX2 and AVX-512 variants live in their own translation units and are
// compiled through function target attributes, not per-file -m flags, so no
// inline library code instantiated there can leak wider instructions into
// the generic build. Call them only after checking the CPU (cpu_features).
#pragma once

#include <cstddef>
#include <cstdint>

namespace zln::lsh::detail {

// out[k] = sign word of (f, b0 .. b0+63) for element j0 + k, k < count.
void fill_sign_words_scalar(std::uint64_t f, std::uint64_t b0, std::uint64_t j0, std::size_t count,
                            std::uint64_t* out) noexcept;
void fill_sign_words_avx2(std::uint64_t f, std::uint64_t b0, std::uint64_t j0, std::size_t count,
                          std::uint64_t* out) noexcept;
void fill_sign_words_avx512(std::uint64_t f, std::uint64_t b0, std::uint64_t j0, std::size_t count,
                            std::uint64_t* out) noexcept;
// Same, also using AVX512DQ (64-bit vector multiply) where the CPU has it.
void fill_sign_words_avx512dq(std::uint64_t f, std::uint64_t b0, std::uint64_t j0, std::size_t count,
                              std::uint64_t* out) noexcept;

// Adds the elements t[0 .. count-1], in that order, into the 64 running sums
// acc[0 .. 63]: acc[i] = acc[i] + t[k] when bit i of words[k] is set, else
// acc[i] - t[k] (the same value as adding -t[k]). Every lane sees exactly the
// same sequence of binary64 additions as the scalar loop.
void accumulate_block_avx2(const double* t, const std::uint64_t* words, std::size_t count,
                           double* acc) noexcept;
void accumulate_block_avx512(const double* t, const std::uint64_t* words, std::size_t count,
                             double* acc) noexcept;

}  // namespace zln::lsh::detail
