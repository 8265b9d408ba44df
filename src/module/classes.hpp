// The record classes LshConfig and LshFamily.
#pragma once

#include <Python.h>

#include "lsh/simhash.hpp"

namespace zln::py {

// Process-wide class objects, created on first call. Borrowed reference, or
// null with the creation error set (nothing is stored then).
PyObject* get_family_class();
PyObject* get_config_class();

// Moves a computed record into a new LshFamily instance (new reference).
// Throws PendingError if the instance can't be allocated.
PyObject* wrap_family_record(PyObject* family_class, lsh::FamilyRecord&& record);

}  // namespace zln::py
