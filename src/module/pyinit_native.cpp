// The shipped module's only exported symbol; kept out of the layer shared
// with the bulk and test-only modules, which have inits of their own.
#include <Python.h>

#include "module/module_setup.hpp"

PyMODINIT_FUNC PyInit_zarvik_lumetra_native(void) { return PyModuleDef_Init(&zln::py::zarvik_module_def); }
