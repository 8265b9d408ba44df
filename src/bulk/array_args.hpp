// NumPy arrays (or any object with the buffer protocol) in and out of the
// bulk module: read in place through views of the core, and new result
// arrays made by numpy.empty and filled through their buffers.
#pragma once

#include <Python.h>

#include <initializer_list>

#include "lsh/bulk/row_matrix.hpp"
#include "lsh/bulk/signature_words.hpp"
#include "module/py_ref.hpp"

namespace zln::py::bulk {

// A buffer held for the duration of a call; released on every path.
class HeldBuffer {
public:
    HeldBuffer() = default;
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;

    // PyObject_GetBuffer; false (error set) when the object refuses.
    bool acquire(PyObject* obj, int flags) {
        held_ = PyObject_GetBuffer(obj, &view_, flags) == 0;
        return held_;
    }
    const Py_buffer& view() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// A 2-D float32 or float64 array, any strides and byte order. TypeError for
// an object without a buffer or of another element type, ValueError for
// another number of dimensions.
lsh::MatrixView float_matrix(PyObject* obj, const char* name, HeldBuffer& hold);

// A 3-D uint64 array of signature words.
lsh::SignatureView signature_array(PyObject* obj, const char* name, HeldBuffer& hold);

// A 1-D integer array of row indexes, each checked against `rows` (IndexError).
lsh::IndexView index_array(PyObject* obj, const char* name, std::size_t rows, HeldBuffer& hold);

// numpy.empty(shape, dtype), its buffer held writable and C-contiguous.
Ref new_array(std::initializer_list<std::size_t> shape, const char* dtype, HeldBuffer& hold);

// A writable C-contiguous native float32 array of exactly (rows, cols)
// given as `out`; ValueError otherwise.
float* out_matrix(PyObject* obj, const char* name, std::size_t rows, std::size_t cols, HeldBuffer& hold);

// The `threads` argument: omitted or None for every CPU this process may
// use; else an integer of at least 1 (ValueError below), capped at kMaxThreads.
inline constexpr unsigned kMaxThreads = 256;
unsigned thread_count(PyObject* obj);

}  // namespace zln::py::bulk
