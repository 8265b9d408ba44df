// Process-wide objects created on first need.
//
// Creation may run Python code (an import, a class statement), which can let
// another thread in. Rather than hold a lock across that code, each thread
// that finds the slot empty creates a candidate under the interpreter lock
// and publishes it only if the slot is still empty; a thread that lost the
// race drops its candidate and uses the published object. Either way exactly
// one object is ever visible. Slots are only touched with the interpreter
// lock held, so plain pointers suffice.
#pragma once

#include <Python.h>

namespace zln::py {

// Returns a borrowed reference to the published object, or null with a
// Python error set when creation failed (the slot then stays empty, so a
// later call tries again). `create` returns a new reference or null.
template <class Create>
PyObject* get_or_create(PyObject*& slot, Create&& create) {
    if (slot != nullptr) return slot;
    PyObject* candidate = create();
    if (candidate == nullptr) return nullptr;
    if (slot == nullptr) {
        slot = candidate;  // kept until the process ends
    } else {
        Py_DECREF(candidate);
    }
    return slot;
}

}  // namespace zln::py
