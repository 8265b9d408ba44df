// Result objects handed back to the interpreter.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "module/error_taking.hpp"

namespace zln::py {

inline PyObject* new_float(double value) { return check_new(PyFloat_FromDouble(value)); }
inline PyObject* new_int(std::uint64_t value) { return check_new(PyLong_FromUnsignedLongLong(value)); }
inline PyObject* new_str(std::string_view utf8) {
    return check_new(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

// A new list of floats, each a binary32 value widened exactly.
PyObject* new_float_list(const float* values, std::size_t count);

}  // namespace zln::py
