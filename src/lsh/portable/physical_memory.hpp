// The machine's physical memory in bytes, asked of the operating system
// once (UINT64_MAX when it cannot tell: then allocation decides).
#pragma once

#include <cstdint>

namespace zln::lsh {

std::uint64_t physical_memory() noexcept;

}  // namespace zln::lsh
