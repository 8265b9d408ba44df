// The module's five functions: typed bodies, called by the entries derived
// from their declarations (declarations.hpp) with the converted arguments.
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

// Function table entries, in the order module_exec adds them (function_table.cpp).
extern PyMethodDef simhash_lsh_multi_def;
extern PyMethodDef normalize_vector_def;
extern PyMethodDef hamming_distance_hex_def;
extern PyMethodDef cosine_from_hamming_def;
extern PyMethodDef compute_embedding_sha256_def;

}  // namespace zln::py
