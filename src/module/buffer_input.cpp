#include "module/buffer_input.hpp"

#include <cstdint>
#include <cstring>

#include "module/error_taking.hpp"

namespace zln::py {

namespace {

// Exact types only: a subclass may override __iter__ or __getitem__, and its
// iteration is what the conversion must see. NumPy's array type is recognised
// by name so that the module never imports NumPy.
bool is_recognised_exporter(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyBytes_Type || type == &PyByteArray_Type || type == &PyMemoryView_Type) return true;
    const char* name = type->tp_name;
    return std::strcmp(name, "array.array") == 0 || std::strcmp(name, "numpy.ndarray") == 0;
}

class BufferView {
public:
    explicit BufferView(PyObject* obj) {
        acquired_ = PyObject_GetBuffer(obj, &view_, PyBUF_FORMAT | PyBUF_STRIDES) == 0;
        if (!acquired_) discard_error();  // no buffer after all: iterate instead
    }
    ~BufferView() {
        if (acquired_) PyBuffer_Release(&view_);
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    bool acquired() const { return acquired_; }
    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
    bool acquired_ = false;
};

template <class T>
void widen_items(const char* data, Py_ssize_t count, std::vector<float>& out) {
    out.resize(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        T item;
        std::memcpy(&item, data + i * static_cast<Py_ssize_t>(sizeof(T)), sizeof(T));  // may be misaligned
        out[static_cast<std::size_t>(i)] = static_cast<float>(static_cast<double>(item));
    }
}

}  // namespace

bool read_float_buffer(PyObject* obj, std::vector<float>& out) {
    if (!is_recognised_exporter(obj)) return false;
    BufferView buffer(obj);
    if (!buffer.acquired()) return false;
    const Py_buffer& v = buffer.view();
    if (v.ndim != 1 || v.format == nullptr || v.shape == nullptr) return false;
    if (!PyBuffer_IsContiguous(&v, 'C')) return false;

    const char* format = v.format;
    if (format[0] == '@') ++format;  // native order and size, the default
    if (format[0] == '\0' || format[1] != '\0') return false;

    const char* data = static_cast<const char*>(v.buf);
    const Py_ssize_t count = v.shape[0];
    auto expect = [&](std::size_t size) { return v.itemsize == static_cast<Py_ssize_t>(size); };
    // One format a line, as a table.
    // clang-format off
    switch (format[0]) {
        case 'f': if (!expect(sizeof(float))) return false; widen_items<float>(data, count, out); return true;
        case 'd': if (!expect(sizeof(double))) return false; widen_items<double>(data, count, out); return true;
        case 'b': if (!expect(1)) return false; widen_items<signed char>(data, count, out); return true;
        case 'B': if (!expect(1)) return false; widen_items<unsigned char>(data, count, out); return true;
        case 'h': if (!expect(sizeof(short))) return false; widen_items<short>(data, count, out); return true;
        case 'H': if (!expect(sizeof(unsigned short))) return false; widen_items<unsigned short>(data, count, out); return true;
        case 'i': if (!expect(sizeof(int))) return false; widen_items<int>(data, count, out); return true;
        case 'I': if (!expect(sizeof(unsigned int))) return false; widen_items<unsigned int>(data, count, out); return true;
        case 'l': if (!expect(sizeof(long))) return false; widen_items<long>(data, count, out); return true;
        case 'L': if (!expect(sizeof(unsigned long))) return false; widen_items<unsigned long>(data, count, out); return true;
        case 'q': if (!expect(sizeof(long long))) return false; widen_items<long long>(data, count, out); return true;
        case 'Q': if (!expect(sizeof(unsigned long long))) return false; widen_items<unsigned long long>(data, count, out); return true;
        case 'n': if (!expect(sizeof(Py_ssize_t))) return false; widen_items<Py_ssize_t>(data, count, out); return true;
        case 'N': if (!expect(sizeof(std::size_t))) return false; widen_items<std::size_t>(data, count, out); return true;
        default: return false;
    }
    // clang-format on
}

}  // namespace zln::py
