#include "module/error_types.hpp"

namespace zln::py {

void PendingError::raise() && noexcept {
    if (instance_) {
        PyErr_SetRaisedException(instance_.release());
        return;
    }
    PyObject* text = PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size()));
    if (text == nullptr) return;  // its MemoryError is what the caller sees
    PyErr_SetObject(type_, text);
    Py_DECREF(text);
}

}  // namespace zln::py
