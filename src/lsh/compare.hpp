// Comparison of stored hex signatures.
#pragma once

#include <cstdint>
#include <string_view>

namespace zln::lsh {

// Value 0-15 of an ASCII hex digit (either case), or -1.
int hex_digit_value(char32_t c) noexcept;

// Bit distance of two UTF-8 texts. Throws InternalFailure with the message
// "called `Option::unwrap()` on a `None` value" for a character without a
// digit value at a compared position.
std::uint64_t hamming_distance_hex(std::string_view a, std::string_view b);

// UTF-8 byte length of the full lowercase form of a UTF-8 text (the
// context-dependent final sigma keeps its length, so context never matters).
std::uint64_t lowercase_utf8_length(std::string_view text) noexcept;

double cosine_from_hamming(std::uint64_t distance, std::uint64_t total) noexcept;

}  // namespace zln::lsh
