// Read-only views of two-dimensional arrays lying in someone else's memory
// (any strides, either byte order), read row by row into a small buffer of
// our own, so a matrix is never copied whole.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zln::lsh {

enum class ElementKind { Float32, Float64, UInt64 };

struct MatrixView {
    const unsigned char* base = nullptr;  // element (0, 0)
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;  // bytes, may be negative
    std::ptrdiff_t col_stride = 0;
    ElementKind kind = ElementKind::Float32;
    bool swapped = false;  // stored in the other byte order

    const unsigned char* element(std::size_t i, std::size_t j) const noexcept {
        return base + static_cast<std::ptrdiff_t>(i) * row_stride + static_cast<std::ptrdiff_t>(j) * col_stride;
    }
    // Row i as binary32 (Float32 or Float64 views): a binary64 element is
    // narrowed with round to nearest even, as the float vector conversion does.
    void row_as_float(std::size_t i, float* out) const noexcept;
    // Row i of a UInt64 view.
    void row_as_u64(std::size_t i, std::uint64_t* out) const noexcept;
    // Asks the processor to start fetching row i from memory (a hint: no
    // effect on any result), so that a worker busy with one row for
    // microseconds finds the next one in its cache.
    void prefetch_row(std::size_t i) const noexcept;
    // Whether row i can be read in place as cols native binary32 values.
    bool row_is_native_float(std::size_t i) const noexcept;
};

// A read-only view of a one-dimensional array of integers of 1, 2, 4 or 8
// bytes, signed or not, any stride, either byte order.
struct IndexView {
    const unsigned char* base = nullptr;
    std::size_t count = 0;
    std::ptrdiff_t stride = 0;
    unsigned size = 8;  // bytes per item
    bool is_signed = true;
    bool swapped = false;

    // Item k; an unsigned item above INT64_MAX reads as -1 (out of range either way).
    std::int64_t operator[](std::size_t k) const noexcept;
};

}  // namespace zln::lsh
