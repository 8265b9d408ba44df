#include "bulk/array_args.hpp"

#include <bit>
#include <cstdint>
#include <string>

#include "lsh/portable/usable_cpus.hpp"
#include "module/error_taking.hpp"
#include "module/messages.hpp"
#include "module/once.hpp"

namespace zln::py::bulk {

namespace {

OnceObject g_numpy_empty("numpy.empty");

[[noreturn]] void fail(PyObject* type, std::string message) { throw PendingError::deferred(type, std::move(message)); }

std::string type_name(PyObject* obj) { return type_qualname(Py_TYPE(obj)); }

// A buffer with strides and a format, read-only allowed; TypeError naming
// what was expected when the object has none.
void acquire_readable(PyObject* obj, const char* name, const char* expected, HeldBuffer& hold) {
    if (!hold.acquire(obj, PyBUF_RECORDS_RO)) {
        discard_error();
        fail(PyExc_TypeError, std::string(name) + " must be " + expected + ", not '" + type_name(obj) + "'");
    }
}

// The element code of a struct-style format of one item, and whether its
// bytes are in the other order than this machine's; false for anything else.
bool parse_format(const char* format, char& code, bool& swapped) {
    if (format == nullptr) format = "B";
    bool little = std::endian::native == std::endian::little;
    switch (*format) {
        case '@':
        case '=': ++format; break;
        case '<':
            little = true;
            ++format;
            break;
        case '>':
        case '!':
            little = false;
            ++format;
            break;
        default: break;
    }
    if (format[0] == '\0' || format[1] != '\0') return false;
    code = format[0];
    swapped = little != (std::endian::native == std::endian::little);
    return true;
}

void require_ndim(const Py_buffer& v, const char* name, int ndim) {
    if (v.ndim != ndim) {
        fail(PyExc_ValueError, std::string(name) + " must be " + std::to_string(ndim) + "-dimensional, not " +
                                   std::to_string(v.ndim) + "-dimensional");
    }
}

std::string format_text(const Py_buffer& v) { return v.format != nullptr ? v.format : "B"; }

}  // namespace

lsh::MatrixView float_matrix(PyObject* obj, const char* name, HeldBuffer& hold) {
    acquire_readable(obj, name, "a 2-dimensional float32 or float64 array", hold);
    const Py_buffer& v = hold.view();
    char code = 0;
    bool swapped = false;
    lsh::MatrixView m;
    if (parse_format(v.format, code, swapped) && code == 'f' && v.itemsize == 4) {
        m.kind = lsh::ElementKind::Float32;
    } else if (parse_format(v.format, code, swapped) && code == 'd' && v.itemsize == 8) {
        m.kind = lsh::ElementKind::Float64;
    } else {
        fail(PyExc_TypeError,
             std::string(name) + " must hold float32 or float64 values, not format '" + format_text(v) + "'");
    }
    require_ndim(v, name, 2);
    m.swapped = swapped;
    m.base = static_cast<const unsigned char*>(v.buf);
    m.rows = static_cast<std::size_t>(v.shape[0]);
    m.cols = static_cast<std::size_t>(v.shape[1]);
    m.row_stride = v.strides[0];
    m.col_stride = v.strides[1];
    return m;
}

lsh::SignatureView signature_array(PyObject* obj, const char* name, HeldBuffer& hold) {
    acquire_readable(obj, name, "a 3-dimensional uint64 array", hold);
    const Py_buffer& v = hold.view();
    char code = 0;
    bool swapped = false;
    if (!parse_format(v.format, code, swapped) || (code != 'Q' && code != 'L' && code != 'N') || v.itemsize != 8) {
        fail(PyExc_TypeError, std::string(name) + " must hold uint64 values, not format '" + format_text(v) + "'");
    }
    require_ndim(v, name, 3);
    lsh::SignatureView s;
    s.base = static_cast<const unsigned char*>(v.buf);
    s.rows = static_cast<std::size_t>(v.shape[0]);
    s.families = static_cast<std::size_t>(v.shape[1]);
    s.words = static_cast<std::size_t>(v.shape[2]);
    for (int k = 0; k < 3; ++k) s.stride[k] = v.strides[k];
    s.swapped = swapped;
    return s;
}

lsh::IndexView index_array(PyObject* obj, const char* name, std::size_t rows, HeldBuffer& hold) {
    acquire_readable(obj, name, "a 1-dimensional integer array", hold);
    const Py_buffer& v = hold.view();
    char code = 0;
    bool swapped = false;
    const std::string codes = "bBhHiIlLqQnN";
    if (!parse_format(v.format, code, swapped) || codes.find(code) == std::string::npos ||
        !(v.itemsize == 1 || v.itemsize == 2 || v.itemsize == 4 || v.itemsize == 8)) {
        fail(PyExc_TypeError, std::string(name) + " must hold integers, not format '" + format_text(v) + "'");
    }
    require_ndim(v, name, 1);
    lsh::IndexView ix;
    ix.base = static_cast<const unsigned char*>(v.buf);
    ix.count = static_cast<std::size_t>(v.shape[0]);
    ix.stride = v.strides[0];
    ix.size = static_cast<unsigned>(v.itemsize);
    ix.is_signed = code == 'b' || code == 'h' || code == 'i' || code == 'l' || code == 'q' || code == 'n';
    ix.swapped = swapped;
    for (std::size_t k = 0; k < ix.count; ++k) {
        const std::int64_t r = ix[k];
        if (r < 0 || static_cast<std::uint64_t>(r) >= rows) {
            fail(PyExc_IndexError, std::string(name) + "[" + std::to_string(k) + "] is out of range for " +
                                       std::to_string(rows) + " rows");
        }
    }
    return ix;
}

Ref new_array(std::initializer_list<std::size_t> shape, const char* dtype, HeldBuffer& hold) {
    PyObject* empty = g_numpy_empty.get([] {
        Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
        return numpy ? PyObject_GetAttrString(numpy.get(), "empty") : nullptr;
    });
    if (empty == nullptr) throw_taken_error();
    Ref dims = new_ref(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    Py_ssize_t k = 0;
    for (std::size_t s : shape) PyTuple_SET_ITEM(dims.get(), k++, new_ref(PyLong_FromSize_t(s)).release());
    Ref array = Ref::steal(PyObject_CallFunction(empty, "Os", dims.get(), dtype));
    if (!array) throw_taken_error();
    if (!hold.acquire(array.get(), PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS)) throw_taken_error();
    return array;
}

float* out_matrix(PyObject* obj, const char* name, std::size_t rows, std::size_t cols, HeldBuffer& hold) {
    const std::string wanted = std::string(name) + " must be a writable C-contiguous float32 array of shape (" +
                               std::to_string(rows) + ", " + std::to_string(cols) + ")";
    if (!hold.acquire(obj, PyBUF_RECORDS)) {
        discard_error();
        fail(PyExc_ValueError, wanted);
    }
    const Py_buffer& v = hold.view();
    char code = 0;
    bool swapped = false;
    if (!parse_format(v.format, code, swapped) || code != 'f' || v.itemsize != 4 || swapped || v.ndim != 2 ||
        static_cast<std::size_t>(v.shape[0]) != rows || static_cast<std::size_t>(v.shape[1]) != cols ||
        !PyBuffer_IsContiguous(&v, 'C')) {
        fail(PyExc_ValueError, wanted);
    }
    return static_cast<float*>(v.buf);
}

unsigned thread_count(PyObject* obj) {
    if (obj == nullptr || obj == Py_None) return std::min(lsh::usable_cpus(), kMaxThreads);
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) throw_taken_error();
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (n == -1 && PyErr_Occurred()) throw_taken_error();
    if (overflow < 0 || (overflow == 0 && n < 1)) {
        fail(PyExc_ValueError, "threads must be at least 1, not " + render_object(index.get()));
    }
    if (overflow > 0 || n > static_cast<long long>(kMaxThreads)) return kMaxThreads;
    return static_cast<unsigned>(n);
}

}  // namespace zln::py::bulk
