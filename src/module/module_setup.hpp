// The module definition that the shipped module's init (pyinit_native.cpp)
// hands to CPython.
#pragma once

#include <Python.h>

namespace zln::py {

extern PyModuleDef zarvik_module_def;

// Publishes `value` as module attribute `name` and appends the name to __all__.
void add_member(PyObject* module, PyObject* name, PyObject* value);

}  // namespace zln::py
