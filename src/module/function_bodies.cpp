#include "module/function_bodies.hpp"

#include <utility>
#include <vector>

#include "lsh/compare.hpp"
#include "lsh/digest.hpp"
#include "lsh/normalize.hpp"
#include "lsh/simhash.hpp"
#include "module/class_bodies.hpp"
#include "module/class_slots.hpp"
#include "module/results.hpp"

namespace zln::py {

namespace {

// Lets Ctrl-C stop a long computation: the core calls this every few
// milliseconds; a raising signal handler leaves its error pending.
bool signals_pending(void*) { return PyErr_CheckSignals() != 0; }

}  // namespace

PyObject* normalize_vector_impl(FloatVector v) {
    lsh::normalize_vector(v.data(), v.size(), v.data());
    return new_float_list(v.data(), v.size());
}

PyObject* simhash_lsh_multi_impl(FloatVector v, std::uint64_t families, std::uint64_t bits, std::uint64_t bands) {
    std::vector<lsh::FamilyRecord> records = lsh::simhash_lsh_multi(
        v.data(), v.size(), families, bits, bands, lsh::SimhashPath::Auto, CancelCheck{signals_pending, nullptr});
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
}

PyObject* hamming_distance_hex_impl(std::string_view a, std::string_view b) {
    return new_int(lsh::hamming_distance_hex(a, b));
}

PyObject* cosine_from_hamming_impl(std::uint64_t distance_bits, std::uint64_t total_bits) {
    return new_float(lsh::cosine_from_hamming(distance_bits, total_bits));
}

PyObject* compute_embedding_sha256_impl(FloatVector v) {
    return new_str(lsh::compute_embedding_sha256(v.data(), v.size()));
}

}  // namespace zln::py
