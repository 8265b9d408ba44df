// Helpers shared by the fuzz targets: a byte reader over the fuzzer's input
// and a failure report that stops the run (the fuzzer then keeps the input).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace zln_fuzz {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : p_(data), n_(size) {}

    std::size_t remaining() const { return n_; }

    std::uint8_t byte() {
        if (n_ == 0) return 0;
        --n_;
        return *p_++;
    }
    std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | (byte() << 8)); }
    std::uint32_t u32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(byte()) << (8 * i);
        return v;
    }
    std::uint64_t u64() {
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(byte()) << (8 * i);
        return v;
    }
    // The rest of the input as raw bytes.
    std::string rest() {
        std::string s(reinterpret_cast<const char*>(p_), n_);
        p_ += n_;
        n_ = 0;
        return s;
    }
    std::string take(std::size_t count) {
        if (count > n_) count = n_;
        std::string s(reinterpret_cast<const char*>(p_), count);
        p_ += count;
        n_ -= count;
        return s;
    }

private:
    const std::uint8_t* p_;
    std::size_t n_;
};

template <typename T>
T bits_as(std::uint64_t bits) {
    T v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

[[noreturn]] inline void mismatch(const char* what, const std::string& detail) {
    std::fprintf(stderr, "\n=== MISMATCH: %s\n%s\n", what, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace zln_fuzz
