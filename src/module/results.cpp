#include "module/results.hpp"

namespace zln::py {

PyObject* new_float_list(const float* values, std::size_t count) {
    Ref list = new_ref(PyList_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t i = 0; i < count; ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_float(static_cast<double>(values[i])));
    }
    return list.release();
}

}  // namespace zln::py
