// The function table: each entry derived from the function's declaration and
// bound to its typed body.
#include "module/declarations.hpp"
#include "module/functions.hpp"

namespace zln::py {

namespace d = declarations;
using declare::method_def;

PyMethodDef normalize_vector_def = method_def<d::normalize_vector, normalize_vector_impl>();
PyMethodDef simhash_lsh_multi_def = method_def<d::simhash_lsh_multi, simhash_lsh_multi_impl>();
PyMethodDef cosine_from_hamming_def = method_def<d::cosine_from_hamming, cosine_from_hamming_impl>();
PyMethodDef hamming_distance_hex_def = method_def<d::hamming_distance_hex, hamming_distance_hex_impl>();
PyMethodDef compute_embedding_sha256_def = method_def<d::compute_embedding_sha256, compute_embedding_sha256_impl>();

}  // namespace zln::py
