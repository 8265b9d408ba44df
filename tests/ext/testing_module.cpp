// _zarvik_lumetra_testing: a test-only extension built from the same sources
// as the shipped module. It lets the tests force each code path of the
// numeric core and reach its intermediate texts. Never installed by a plain
// `pip install .`.
#include <Python.h>

#include <string>
#include <vector>

#include "lsh/digest.hpp"
#include "lsh/normalize.hpp"
#include "lsh/simhash.hpp"
#include "module/convert.hpp"
#include "module/entry_guard.hpp"
#include "module/results.hpp"

namespace zln::py {
namespace {

constexpr struct {
    const char* name;
    lsh::SimhashPath path;
} kPaths[] = {
    {"auto", lsh::SimhashPath::Auto},
    {"scalar_uncached", lsh::SimhashPath::ScalarUncached},
    {"scalar_cached", lsh::SimhashPath::ScalarCached},
    {"avx2", lsh::SimhashPath::Avx2},
    {"avx512", lsh::SimhashPath::Avx512},
    {"certified", lsh::SimhashPath::Certified},
    {"exact_auto", lsh::SimhashPath::ExactAuto},
};

lsh::SimhashPath path_named(const char* name) {
    for (const auto& p : kPaths) {
        if (std::string(name) == p.name) return p.path;
    }
    throw PendingError::deferred(PyExc_ValueError, std::string("unknown simhash path: ") + name);
}

// simhash_paths() -> list of the path names available on this CPU.
PyObject* simhash_paths(PyObject*, PyObject*) {
    return entry_guard([&]() -> PyObject* {
        Ref list = new_ref(PyList_New(0));
        for (const auto& p : kPaths) {
            if (!lsh::simhash_path_available(p.path)) continue;
            Ref name = Ref::steal(new_str(p.name));
            if (PyList_Append(list.get(), name.get()) < 0) throw_taken_error();
        }
        return list.release();
    });
}

bool signals_pending(void*) { return PyErr_CheckSignals() != 0; }

// simhash_with_path(vector, families, bits, bands, path) -> [(family, bits, signature, bands), ...]
PyObject* simhash_with_path(PyObject*, PyObject* args) {
    return entry_guard([&]() -> PyObject* {
        PyObject* vector = nullptr;
        unsigned long long families = 0, bits = 0, bands = 0;
        const char* path = nullptr;
        if (!PyArg_ParseTuple(args, "OKKKs", &vector, &families, &bits, &bands, &path)) throw_taken_error();
        FloatVector v = extract_float_vector(vector);
        auto records = lsh::simhash_lsh_multi(v.data(), v.size(), families, bits, bands, path_named(path),
                                              CancelCheck{signals_pending, nullptr});
        Ref list = new_ref(PyList_New(static_cast<Py_ssize_t>(records.size())));
        for (std::size_t f = 0; f < records.size(); ++f) {
            const auto& r = records[f];
            Ref band_list = new_ref(PyList_New(static_cast<Py_ssize_t>(r.bands.size())));
            for (std::size_t i = 0; i < r.bands.size(); ++i) {
                PyList_SET_ITEM(band_list.get(), static_cast<Py_ssize_t>(i), new_str(r.bands[i]));
            }
            Ref fam = Ref::steal(new_int(r.family));
            Ref b = Ref::steal(new_int(r.bits));
            Ref sig = Ref::steal(new_str(r.signature));
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(f),
                            new_ref(PyTuple_Pack(4, fam.get(), b.get(), sig.get(), band_list.get())).release());
        }
        return list.release();
    });
}

// canonical_embedding_text(vector, fast=True) -> str
PyObject* canonical_embedding_text(PyObject*, PyObject* args) {
    return entry_guard([&]() -> PyObject* {
        PyObject* vector = nullptr;
        int fast = 1;
        if (!PyArg_ParseTuple(args, "O|p", &vector, &fast)) throw_taken_error();
        FloatVector v = extract_float_vector(vector);
        return new_str(lsh::canonical_embedding_text(v.data(), v.size(), fast != 0));
    });
}

// canonical_float_text(q, fast) -> str, or None when the fast path declines.
PyObject* canonical_float_text(PyObject*, PyObject* args) {
    return entry_guard([&]() -> PyObject* {
        double q = 0;
        int fast = 0;
        if (!PyArg_ParseTuple(args, "dp", &q, &fast)) throw_taken_error();
        std::string text;
        if (fast) {
            if (!lsh::canonical_float_text_fast(q, text)) Py_RETURN_NONE;
        } else {
            lsh::canonical_float_text_general(q, text);
        }
        return new_str(text);
    });
}

// quantize_to_6_places(x) -> float (x is narrowed to binary32 first)
PyObject* quantize_to_6_places(PyObject*, PyObject* arg) {
    return entry_guard([&]() -> PyObject* {
        const double x = PyFloat_AsDouble(arg);
        if (x == -1.0 && PyErr_Occurred()) throw_taken_error();
        return new_float(lsh::quantize_to_6_places(static_cast<float>(x)));
    });
}

// convert_only(vector) -> int: the float vector conversion alone, for timing it.
PyObject* convert_only(PyObject*, PyObject* arg) {
    return entry_guard([&]() -> PyObject* { return new_int(extract_float_vector(arg).size()); });
}

PyMethodDef methods[] = {
    {"convert_only", convert_only, METH_O, "Runs the float vector conversion alone; returns the length."},
    {"simhash_paths", simhash_paths, METH_NOARGS, "Names of the simhash paths available on this CPU."},
    {"simhash_with_path", simhash_with_path, METH_VARARGS, "simhash_lsh_multi through a forced path."},
    {"canonical_embedding_text", canonical_embedding_text, METH_VARARGS, "The text whose SHA-256 is the digest."},
    {"canonical_float_text", canonical_float_text, METH_VARARGS, "Element text through the fast or general path."},
    {"quantize_to_6_places", quantize_to_6_places, METH_O, "Quantised value of one binary32 element."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef testing_def = {
    PyModuleDef_HEAD_INIT, "_zarvik_lumetra_testing", "Test-only hooks into zarvik_lumetra_native's core.", -1,
    methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace zln::py

PyMODINIT_FUNC PyInit__zarvik_lumetra_testing(void) { return PyModule_Create(&zln::py::testing_def); }
