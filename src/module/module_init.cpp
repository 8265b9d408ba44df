// The shipped module's only exported symbol.
#include <Python.h>

#include "module/module_def.hpp"

PyMODINIT_FUNC PyInit_zarvik_lumetra_native(void) { return PyModuleDef_Init(&zln::py::zarvik_module_def); }
