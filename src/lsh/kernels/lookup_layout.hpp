// The lookup stage's table layout, shared by its kernels and by the stage
// that builds their inputs (simhash/lookup_stage.hpp has the whole scheme).
//
// Group block gb (groups 4gb .. 4gb+3, elements 16gb .. 16gb+15) has
// kLookupTableBytes bytes of tables at tables + kLookupTableBytes * gb:
// 64 low bytes, then 64 high bytes, each entry a 16-bit two's complement
// value |T| <= kLookupMax split into those two slices.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zln::lsh::detail {

// Largest |T| that two byte slices hold.
inline constexpr std::int32_t kLookupMax = 32767;
// Elements per group block and bytes of its tables.
inline constexpr std::size_t kLookupBlockElements = 16;
inline constexpr std::size_t kLookupTableBytes = 128;

// Group blocks that cover n elements.
constexpr std::size_t lookup_group_blocks(std::size_t n) noexcept { return (n + 15) / 16; }

}  // namespace zln::lsh::detail
