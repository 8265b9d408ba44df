#include "module/functions.hpp"

#include <utility>
#include <vector>

#include "lsh/compare.hpp"
#include "lsh/digest.hpp"
#include "lsh/normalize.hpp"
#include "lsh/simhash.hpp"
#include "module/binder.hpp"
#include "module/classes.hpp"
#include "module/convert.hpp"
#include "module/entry_guard.hpp"
#include "module/results.hpp"

namespace zln::py {

namespace {

// Lets Ctrl-C stop a long computation: the core calls this every few
// milliseconds; a raising signal handler leaves its error pending.
bool signals_pending(void*) { return PyErr_CheckSignals() != 0; }

// ---- normalize_vector ----

const char* const kNormalizeParams[] = {"vector"};
const ParameterTable kNormalizeTable{"normalize_vector", nullptr, kNormalizeParams, 1, 1};

PyObject* normalize_vector_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return entry_guard([&]() -> PyObject* {
        ArgumentSlots slots = bind_fastcall_arguments(kNormalizeTable, args, nargsf, kwnames);
        FloatVector v = convert_argument("vector", slots[0], extract_float_vector);
        lsh::normalize_vector(v.data(), v.size(), v.data());
        return new_float_list(v.data(), v.size());
    });
}

// ---- simhash_lsh_multi ----

const char* const kSimhashParams[] = {"normalized_vector", "families", "bits", "bands"};
const ParameterTable kSimhashTable{"simhash_lsh_multi", nullptr, kSimhashParams, 4, 1};

PyObject* simhash_lsh_multi_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return entry_guard([&]() -> PyObject* {
        ArgumentSlots slots = bind_fastcall_arguments(kSimhashTable, args, nargsf, kwnames);
        FloatVector v = convert_argument("normalized_vector", slots[0], extract_float_vector);
        std::uint64_t params[3] = {3, 256, 16};
        for (std::size_t i = 0; i < 3; ++i) {
            if (slots[i + 1] != nullptr) params[i] = convert_argument(kSimhashParams[i + 1], slots[i + 1], extract_u64);
        }
        std::vector<lsh::FamilyRecord> records =
            lsh::simhash_lsh_multi(v.data(), v.size(), params[0], params[1], params[2], lsh::SimhashPath::Auto,
                                   CancelCheck{signals_pending, nullptr});
        v = FloatVector();  // the vector is not needed while the results are built
        PyObject* family_class = get_family_class();
        if (family_class == nullptr) {
            report_unraisable(nullptr);
            ZLN_PANIC("failed to create type object for `LshFamily`");
        }
        Ref list = new_ref(PyList_New(static_cast<Py_ssize_t>(records.size())));
        for (std::size_t f = 0; f < records.size(); ++f) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(f),
                            wrap_family_record(family_class, std::move(records[f])));
        }
        return list.release();
    });
}

// ---- hamming_distance_hex ----

const char* const kHammingParams[] = {"a", "b"};
const ParameterTable kHammingTable{"hamming_distance_hex", nullptr, kHammingParams, 2, 2};

PyObject* hamming_distance_hex_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return entry_guard([&]() -> PyObject* {
        ArgumentSlots slots = bind_fastcall_arguments(kHammingTable, args, nargsf, kwnames);
        std::string_view a = convert_argument("a", slots[0], extract_text);
        std::string_view b = convert_argument("b", slots[1], extract_text);
        return new_int(lsh::hamming_distance_hex(a, b));
    });
}

// ---- cosine_from_hamming ----

const char* const kCosineParams[] = {"distance_bits", "total_bits"};
const ParameterTable kCosineTable{"cosine_from_hamming", nullptr, kCosineParams, 2, 2};

PyObject* cosine_from_hamming_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return entry_guard([&]() -> PyObject* {
        ArgumentSlots slots = bind_fastcall_arguments(kCosineTable, args, nargsf, kwnames);
        std::uint64_t distance = convert_argument("distance_bits", slots[0], extract_u64);
        std::uint64_t total = convert_argument("total_bits", slots[1], extract_u64);
        return new_float(lsh::cosine_from_hamming(distance, total));
    });
}

// ---- compute_embedding_sha256 ----

const char* const kDigestParams[] = {"normalized_embedding"};
const ParameterTable kDigestTable{"compute_embedding_sha256", nullptr, kDigestParams, 1, 1};

PyObject* compute_embedding_sha256_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return entry_guard([&]() -> PyObject* {
        ArgumentSlots slots = bind_fastcall_arguments(kDigestTable, args, nargsf, kwnames);
        FloatVector v = convert_argument("normalized_embedding", slots[0], extract_float_vector);
        return new_str(lsh::compute_embedding_sha256(v.data(), v.size()));
    });
}

template <class Fn>
PyCFunction as_cfunction(Fn fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

constexpr int kCallFlags = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef normalize_vector_def{
    "normalize_vector", as_cfunction(normalize_vector_entry), kCallFlags,
    "normalize_vector(vector)\n--\n\nL2-normalize a vector\n\nArgs:\n    vector: Input vector (list of floats)\n\n"
    "Returns:\n    L2-normalized vector. If the input has zero magnitude, returns the original."};

PyMethodDef simhash_lsh_multi_def{
    "simhash_lsh_multi", as_cfunction(simhash_lsh_multi_entry), kCallFlags,
    "simhash_lsh_multi(normalized_vector, families=3, bits=256, bands=16)\n--\n\n"
    "Generate SimHash LSH signatures for a normalized embedding vector\n\nArgs:\n"
    "    normalized_vector: L2-normalized embedding vector (list of floats)\n"
    "    families: Number of independent hash families (default: 3)\n"
    "    bits: Number of bits per signature (default: 256)\n"
    "    bands: Number of bands to split signature into (default: 16)\n\n"
    "Returns:\n    List of LshFamily objects, one per family"};

PyMethodDef cosine_from_hamming_def{
    "cosine_from_hamming", as_cfunction(cosine_from_hamming_entry), kCallFlags,
    "cosine_from_hamming(distance_bits, total_bits)\n--\n\nEstimate cosine similarity from Hamming distance\n\n"
    "Uses the formula: cos(\xcf\x80 \xc3\x97 distance / total_bits)\n\nArgs:\n"
    "    distance_bits: Hamming distance in bits\n    total_bits: Total number of bits in the signatures\n\n"
    "Returns:\n    Estimated cosine similarity in [-1, 1]"};

PyMethodDef hamming_distance_hex_def{
    "hamming_distance_hex", as_cfunction(hamming_distance_hex_entry), kCallFlags,
    "hamming_distance_hex(a, b)\n--\n\nCompute Hamming distance between two hex-encoded signatures\n\nArgs:\n"
    "    a: First hex signature string\n    b: Second hex signature string\n\nReturns:\n    Number of differing bits"};

PyMethodDef compute_embedding_sha256_def{
    "compute_embedding_sha256", as_cfunction(compute_embedding_sha256_entry), kCallFlags,
    "compute_embedding_sha256(normalized_embedding)\n--\n\nCompute canonical SHA-256 hash of a normalized embedding\n\n"
    "The embedding is quantized to 6 decimal places and serialized as JSON\n"
    "with specific formatting (spaces after commas, .0 for whole numbers)\n"
    "to ensure deterministic hashing across implementations.\n\nArgs:\n"
    "    normalized_embedding: L2-normalized embedding vector\n\nReturns:\n    Hex-encoded SHA-256 hash"};

}  // namespace zln::py
