// Reading a float vector straight out of a buffer (array.array, memoryview,
// bytes, bytearray, numpy.ndarray) instead of iterating Python objects.
#pragma once

#include <Python.h>

#include <vector>

namespace zln::py {

// Fills `out` and returns true when `obj` is of one of the recognised exact
// types and exports a one-dimensional C-contiguous buffer of a plain native
// number format; returns false (with no error set) for everything else, which
// then takes the ordinary iterator path. Each value goes through binary64 and
// then binary32, as the element conversion does.
bool read_float_buffer(PyObject* obj, std::vector<float>& out);

}  // namespace zln::py
