// The defining loop of one signature, written out independently of the
// library's kernels: the oracle of the C++ simhash tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lsh/simhash.hpp"

namespace zln_test {

inline std::string reference_signature(const std::vector<float>& v, std::uint64_t f, std::uint64_t bits) {
    std::vector<std::uint8_t> out(bits, 0);
    for (std::uint64_t b = 0; b < bits; ++b) {
        if (v.empty()) continue;
        double acc = -0.0;
        for (std::size_t j = 0; j < v.size(); ++j) {
            const double t = static_cast<double>(v[j]);
            acc = zln::lsh::hyperplane_sign(f, b, j) > 0 ? acc + t : acc + (-t);
        }
        out[b] = acc > 0.0 ? 1 : 0;
    }
    return zln::lsh::bits_to_hex(out.data(), out.size());
}

}  // namespace zln_test
