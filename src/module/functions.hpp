// The module's five functions.
#pragma once

#include <Python.h>

namespace zln::py {

// Table entries, in the order module_exec adds them.
extern PyMethodDef simhash_lsh_multi_def;
extern PyMethodDef normalize_vector_def;
extern PyMethodDef hamming_distance_hex_def;
extern PyMethodDef cosine_from_hamming_def;
extern PyMethodDef compute_embedding_sha256_def;

}  // namespace zln::py
