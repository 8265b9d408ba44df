// _zarvik_lumetra_testing: a test-only extension built from the same sources
// as the shipped module. It lets the tests force each code path of the
// numeric core and reach its intermediate texts. Never installed by a plain
// `pip install .`.
#include <Python.h>

#include <string>
#include <vector>

#include "lsh/digest.hpp"
#include "lsh/normalize.hpp"
#include "lsh/kernels/kernel_table.hpp"
#include "lsh/simhash.hpp"
#include "module/convert.hpp"
#include "module/entry_guard.hpp"
#include "module/results.hpp"

namespace zln::py {
namespace {

using lsh::detail::KernelTable;

constexpr struct {
    const char* name;
    lsh::SimhashPath path;
} kPaths[] = {
    {"auto", lsh::SimhashPath::Auto},
    {"scalar_uncached", lsh::SimhashPath::ScalarUncached},
    {"scalar_cached", lsh::SimhashPath::ScalarCached},
    {"blocks", lsh::SimhashPath::Blocks},
    {"certified", lsh::SimhashPath::Certified},
    {"exact_auto", lsh::SimhashPath::ExactAuto},
};

// A forced call: a driver and the kernel table it runs with. "name" uses
// the process's table, "name@level" this extension's own copy narrowed to
// one level of kernel_levels() (the shipped module's table never narrows).
struct ForcedPath {
    lsh::SimhashPath path;
    KernelTable table;
};

ForcedPath path_named(const std::string& text) {
    const std::size_t at = text.find('@');
    const std::string name = text.substr(0, at);
    for (const auto& p : kPaths) {
        if (name != p.name) continue;
        if (at == std::string::npos) return {p.path, lsh::detail::kernel_table()};
        for (const auto& level : lsh::detail::kernel_levels()) {
            if (text.compare(at + 1, std::string::npos, level.name) == 0) {
                return {p.path, lsh::detail::make_kernel_table(level.mask)};
            }
        }
    }
    throw PendingError::deferred(PyExc_ValueError, "unknown simhash path: " + text);
}

// The kernels a driver's result depends on, to list each narrowing only
// where it runs different code from the full table.
bool same_kernels(lsh::SimhashPath path, const KernelTable& a, const KernelTable& b) {
    switch (path) {
        case lsh::SimhashPath::ScalarCached: return a.fill == b.fill;
        case lsh::SimhashPath::Blocks: return a.fill == b.fill && a.accumulate == b.accumulate;
        case lsh::SimhashPath::Auto:
        case lsh::SimhashPath::Certified:
            return a.fill == b.fill && a.accumulate == b.accumulate && a.plane_sums == b.plane_sums &&
                   a.build_planes == b.build_planes && a.quantise == b.quantise && a.scan == b.scan;
        default: return true;  // no kernel, or resolved to one of the above
    }
}

// simhash_paths() -> names of the forced paths worth running on this CPU:
// every driver with the full table, then each narrower level where it runs
// other kernels.
PyObject* simhash_paths(PyObject*, PyObject*) {
    return entry_guard([&]() -> PyObject* {
        std::vector<std::string> names;
        for (const auto& p : kPaths) names.emplace_back(p.name);
        for (const auto& p : kPaths) {
            std::vector<KernelTable> seen{lsh::detail::kernel_table()};
            for (const auto& level : lsh::detail::kernel_levels()) {
                const KernelTable t = lsh::detail::make_kernel_table(level.mask);
                bool known = false;
                for (const auto& s : seen) known = known || same_kernels(p.path, s, t);
                if (known) continue;
                seen.push_back(t);
                names.push_back(std::string(p.name) + "@" + level.name);
            }
        }
        Ref list = new_ref(PyList_New(0));
        for (const auto& n : names) {
            Ref name = Ref::steal(new_str(n));
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
        const ForcedPath forced = path_named(path);
        auto records = lsh::simhash_lsh_multi(v.data(), v.size(), families, bits, bands, forced.path,
                                              CancelCheck{signals_pending, nullptr}, forced.table);
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

// The interpreter's own conversions that the module's argument reading calls,
// alone: the tests compare the errors raised inside a conversion with what
// the running interpreter says for the same call.

// interpreter_as_double(x) -> float: PyFloat_AsDouble.
PyObject* interpreter_as_double(PyObject*, PyObject* arg) {
    const double x = PyFloat_AsDouble(arg);
    if (x == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(x);
}

// interpreter_as_unsigned(x) -> int: PyNumber_Index, then PyLong_AsUnsignedLongLong.
PyObject* interpreter_as_unsigned(PyObject*, PyObject* arg) {
    PyObject* index = PyNumber_Index(arg);
    if (index == nullptr) return nullptr;
    const unsigned long long value = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    return PyLong_FromUnsignedLongLong(value);
}

// built_for_debug_interpreter() -> bool: whether this build's C-API keeps a
// debug interpreter's reference total (Py_REF_DEBUG, implied by Py_DEBUG).
PyObject* built_for_debug_interpreter(PyObject*, PyObject*) {
#ifdef Py_REF_DEBUG
    Py_RETURN_TRUE;
#else
    Py_RETURN_FALSE;
#endif
}

PyMethodDef methods[] = {
    {"convert_only", convert_only, METH_O, "Runs the float vector conversion alone; returns the length."},
    {"simhash_paths", simhash_paths, METH_NOARGS, "Names of the forced simhash paths worth running on this CPU."},
    {"simhash_with_path", simhash_with_path, METH_VARARGS, "simhash_lsh_multi through a forced path."},
    {"canonical_embedding_text", canonical_embedding_text, METH_VARARGS, "The text whose SHA-256 is the digest."},
    {"canonical_float_text", canonical_float_text, METH_VARARGS, "Element text through the fast or general path."},
    {"quantize_to_6_places", quantize_to_6_places, METH_O, "Quantised value of one binary32 element."},
    {"built_for_debug_interpreter", built_for_debug_interpreter, METH_NOARGS,
     "Whether the build keeps a debug interpreter's reference total."},
    {"interpreter_as_double", interpreter_as_double, METH_O, "The interpreter's PyFloat_AsDouble alone."},
    {"interpreter_as_unsigned", interpreter_as_unsigned, METH_O,
     "The interpreter's PyNumber_Index and PyLong_AsUnsignedLongLong alone."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef testing_def = {
    PyModuleDef_HEAD_INIT,
    "_zarvik_lumetra_testing",
    "Test-only hooks into zarvik_lumetra_native's core.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace zln::py

PyMODINIT_FUNC PyInit__zarvik_lumetra_testing(void) { return PyModule_Create(&zln::py::testing_def); }
