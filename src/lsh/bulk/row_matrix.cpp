#include "lsh/bulk/row_matrix.hpp"

#include <bit>
#include <cstring>

namespace zln::lsh {

namespace {

std::uint32_t swap32(std::uint32_t x) noexcept {
    return (x >> 24) | ((x >> 8) & 0xff00U) | ((x << 8) & 0xff0000U) | (x << 24);
}

std::uint64_t swap64(std::uint64_t x) noexcept {
    return (static_cast<std::uint64_t>(swap32(static_cast<std::uint32_t>(x))) << 32) |
           swap32(static_cast<std::uint32_t>(x >> 32));
}

template <class T>
T load(const unsigned char* p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof v);  // the array may be misaligned
    return v;
}

}  // namespace

void MatrixView::row_as_float(std::size_t i, float* out) const noexcept {
    if (cols == 0) return;  // `out` may be null then, which memcpy never accepts
    const unsigned char* p = element(i, 0);
    if (kind == ElementKind::Float32) {
        if (!swapped && col_stride == sizeof(float)) {
            std::memcpy(out, p, cols * sizeof(float));
            return;
        }
        for (std::size_t j = 0; j < cols; ++j, p += col_stride) {
            std::uint32_t b = load<std::uint32_t>(p);
            if (swapped) b = swap32(b);
            out[j] = std::bit_cast<float>(b);
        }
    } else {
        for (std::size_t j = 0; j < cols; ++j, p += col_stride) {
            std::uint64_t b = load<std::uint64_t>(p);
            if (swapped) b = swap64(b);
            out[j] = static_cast<float>(std::bit_cast<double>(b));
        }
    }
}

void MatrixView::prefetch_row(std::size_t i) const noexcept {
#if defined(__GNUC__) || defined(__clang__)
    // Rows whose elements lie side by side only (a strided row spans as many
    // cache lines as it has elements).
    const std::size_t size = kind == ElementKind::Float32 ? sizeof(float) : sizeof(double);
    if (i >= rows || col_stride != static_cast<std::ptrdiff_t>(size)) return;
    const unsigned char* p = element(i, 0);
    constexpr std::size_t kLine = 64;  // a cache line on every processor built for (or a fraction of one)
    for (std::size_t b = 0; b < cols * size; b += kLine) __builtin_prefetch(p + b, 0, 3);
#else
    (void)i;
#endif
}

void MatrixView::row_as_u64(std::size_t i, std::uint64_t* out) const noexcept {
    const unsigned char* p = element(i, 0);
    for (std::size_t j = 0; j < cols; ++j, p += col_stride) {
        const std::uint64_t b = load<std::uint64_t>(p);
        out[j] = swapped ? swap64(b) : b;
    }
}

bool MatrixView::row_is_native_float(std::size_t i) const noexcept {
    return kind == ElementKind::Float32 && !swapped && col_stride == sizeof(float) &&
           reinterpret_cast<std::uintptr_t>(element(i, 0)) % alignof(float) == 0;
}

std::int64_t IndexView::operator[](std::size_t k) const noexcept {
    const unsigned char* p = base + static_cast<std::ptrdiff_t>(k) * stride;
    unsigned char bytes[8];
    for (unsigned b = 0; b < size; ++b) bytes[b] = p[swapped ? size - 1 - b : b];
    // Assemble as a little-endian number of `size` bytes (the bytes are now in
    // native order, and this machine's native order is checked below).
    std::uint64_t v = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (unsigned b = size; b-- > 0;) v = (v << 8) | bytes[b];
    } else {
        for (unsigned b = 0; b < size; ++b) v = (v << 8) | bytes[b];
    }
    if (size < 8) {
        const std::uint64_t sign = std::uint64_t{1} << (8 * size - 1);
        if (is_signed && (v & sign) != 0) v |= ~((sign << 1) - 1);  // sign extension
        return static_cast<std::int64_t>(v);
    }
    if (!is_signed && v > static_cast<std::uint64_t>(INT64_MAX)) return -1;
    return static_cast<std::int64_t>(v);
}

}  // namespace zln::lsh
