// The class objects of LshConfig and LshFamily: slot tables over the typed
// bodies of class_bodies.hpp, created once per process.
#pragma once

#include <Python.h>

namespace zln::py {

// Process-wide class objects, created on first call. Borrowed reference, or
// null with the creation error set (nothing is stored then).
PyObject* get_family_class();
PyObject* get_config_class();

}  // namespace zln::py
