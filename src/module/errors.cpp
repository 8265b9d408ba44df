#include "module/errors.hpp"

#include <cstdio>

#include "module/panic.hpp"

namespace zln::py {

Ref PendingError::into_instance() && {
    if (instance_) return std::move(instance_);
    Ref text = new_ref(PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
    PyErr_SetObject(type_, text.get());
    Ref instance = Ref::steal(PyErr_GetRaisedException());
    if (!instance) ZLN_PANIC("PyObject pointer is null");
    return instance;
}

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

namespace {

// A PanicException raised by a nested call comes back as the same failure.
[[noreturn]] void rethrow_panic(Ref exc) {
    std::fputs("zarvik_lumetra_native: a PanicException came back out of Python code; re-raising it\n", stderr);
    std::fflush(stderr);
    PyErr_DisplayException(exc.get());
    std::string message = "Unwrapped panic from Python code";
    if (Ref text = Ref::steal(PyObject_Str(exc.get()))) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
            message.assign(utf8, static_cast<std::size_t>(size));
        } else {
            PyErr_Clear();
        }
    } else {
        PyErr_Clear();
    }
    throw Panic(std::move(message), __FILE__, __LINE__);
}

}  // namespace

PendingError take_error() {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!exc) {
        return PendingError::deferred(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    PyObject* panic = panic_exception_class_if_created();
    if (panic != nullptr && PyObject_TypeCheck(exc.get(), reinterpret_cast<PyTypeObject*>(panic))) {
        rethrow_panic(std::move(exc));
    }
    return PendingError::materialised(std::move(exc));
}

void throw_taken_error() { throw take_error(); }

PyObject* check_new(PyObject* obj) {
    if (obj != nullptr) return obj;
    if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    ZLN_PANIC("PyObject pointer is null");
}

}  // namespace zln::py
