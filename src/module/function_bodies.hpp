// The module's five functions: typed bodies, called by the entries derived
// from their declarations (callables.hpp) with the converted arguments; the
// method table (module_setup.cpp) pairs each declaration with its body.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "module/convert.hpp"

namespace zln::py {

PyObject* normalize_vector_impl(FloatVector vector);
PyObject* simhash_lsh_multi_impl(FloatVector normalized_vector, std::uint64_t families, std::uint64_t bits,
                                 std::uint64_t bands);
PyObject* cosine_from_hamming_impl(std::uint64_t distance_bits, std::uint64_t total_bits);
PyObject* hamming_distance_hex_impl(std::string_view a, std::string_view b);
PyObject* compute_embedding_sha256_impl(FloatVector normalized_embedding);

}  // namespace zln::py
