// Binding of positional and keyword arguments to a callable's parameters.
#pragma once

#include <Python.h>

#include <cstddef>

namespace zln::py {

constexpr std::size_t kMaxParameters = 4;

struct ParameterTable {
    const char* function_name;  // "normalize_vector", "__new__"
    const char* class_name;     // null for module functions
    const char* const* names;   // positional parameter names, in order
    std::size_t count;          // N
    std::size_t required;       // R: leading parameters that must be given
};

// One reference per parameter; null when omitted. The vectorcall form only
// borrows (the caller's array outlives the call); the tuple form keeps its own
// references, since conversions run Python code and the keyword dictionary is
// not ours.
struct ArgumentSlots {
    PyObject* slot[kMaxParameters] = {};
    bool owned = false;

    ArgumentSlots() = default;
    ArgumentSlots(const ArgumentSlots&) = delete;
    ArgumentSlots& operator=(const ArgumentSlots&) = delete;
    ArgumentSlots(ArgumentSlots&& other) noexcept : owned(other.owned) {
        for (std::size_t i = 0; i < kMaxParameters; ++i) slot[i] = other.slot[i];
        other.owned = false;
    }
    ~ArgumentSlots() {
        if (owned) {
            for (PyObject* obj : slot) Py_XDECREF(obj);
        }
    }
    PyObject* operator[](std::size_t i) const noexcept { return slot[i]; }
};

// Vectorcall form: keyword values follow the positional values in args.
// Throws PendingError (TypeError with the binding message).
ArgumentSlots bind_fastcall_arguments(const ParameterTable& table, PyObject* const* args, Py_ssize_t nargsf,
                                      PyObject* kwnames);

// Tuple-and-dict form, used by class constructors.
ArgumentSlots bind_tuple_arguments(const ParameterTable& table, PyObject* args, PyObject* kwargs);

}  // namespace zln::py
