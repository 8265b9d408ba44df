// zarvik_lumetra_bulk: the per-vector routines over whole matrices. A module
// of its own, so that per-call users never import it (nor NumPy).
#include <Python.h>

#include "bulk/bulk_functions.hpp"
#include "module/entry_guard.hpp"
#include "module/error_taking.hpp"
#include "module/panic.hpp"

namespace zln::py::bulk {

namespace {

int module_exec(PyObject* module) {
    return entry_guard_status([&] {
        if (PyModule_AddFunctions(module, functions) < 0) throw_taken_error();
        Ref all = new_ref(PyList_New(0));
        for (const PyMethodDef* def = functions; def->ml_name != nullptr; ++def) {
            Ref name = new_ref(PyUnicode_FromString(def->ml_name));
            if (PyList_Append(all.get(), name.get()) < 0) throw_taken_error();
        }
        if (PyModule_AddObjectRef(module, "__all__", all.get()) < 0) throw_taken_error();
    });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    // Process-wide objects (the panic class, numpy.empty) belong to the main
    // interpreter.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "zarvik_lumetra_bulk",
    "Whole matrices at native speed, with the bits of zarvik_lumetra_native\n\n"
    "Each function applies one of zarvik_lumetra_native's routines to every row\n"
    "of a NumPy array (any object with the buffer protocol), read in place, with\n"
    "the interpreter lock released and the rows shared among threads\n"
    "(threads=None: every CPU this process may use). Row i of every result is\n"
    "exactly what the per-call function gives for row i, for any thread count.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace zln::py::bulk

PyMODINIT_FUNC PyInit_zarvik_lumetra_bulk(void) {
    zln::py::set_panic_class_name("zarvik_lumetra_bulk.PanicException");
    return PyModuleDef_Init(&zln::py::bulk::module_def);
}
