#include "module/error_taking.hpp"

#include <cstdio>
#include <string>

#include "module/panic.hpp"
#include "module/utf8_text.hpp"

namespace zln::py {

namespace {

bool is_panic(PyObject* exc) {
    PyObject* panic = panic_exception_class_if_created();  // no instance exists before the class
    return panic != nullptr && PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(panic));
}

// A PanicException raised by a nested call comes back as the same failure,
// with the whole text of its str(): NUL characters kept, lone surrogates
// shown as U+FFFD per byte, as in any rendered message.
[[noreturn]] void rethrow_panic(Ref exc) {
    std::fputs("zarvik_lumetra_native: a PanicException came back out of Python code; re-raising it\n", stderr);
    std::fflush(stderr);
    PyErr_DisplayException(exc.get());
    std::string message;
    Ref text = Ref::steal(PyObject_Str(exc.get()));
    if (!text || !utf8_of_str(text.get(), message)) {
        // The call ends as an internal failure already; the error of the
        // failed str() has nowhere else to go.
        PyErr_Clear();
        message = "Unwrapped panic from Python code";
    }
    throw Panic(std::move(message), __FILE__, __LINE__);
}

}  // namespace

PendingError take_error() {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!exc) {
        return PendingError::deferred(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    if (is_panic(exc.get())) rethrow_panic(std::move(exc));
    return PendingError::materialised(std::move(exc));
}

void throw_taken_error() { throw take_error(); }

void discard_error() {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (exc && is_panic(exc.get())) rethrow_panic(std::move(exc));
}

void report_unraisable(PyObject* obj) {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!exc) return;
    if (is_panic(exc.get())) rethrow_panic(std::move(exc));
    PyErr_SetRaisedException(exc.release());
    PyErr_WriteUnraisable(obj);
}

PyObject* check_new(PyObject* obj) {
    if (obj != nullptr) return obj;
    report_unraisable(nullptr);
    ZLN_PANIC("PyObject pointer is null");
}

Ref into_instance(PendingError error) {
    if (!error.is_deferred()) return std::move(error).release_instance();
    Ref text = new_ref(
        PyUnicode_FromStringAndSize(error.message().data(), static_cast<Py_ssize_t>(error.message().size())));
    PyErr_SetObject(error.type(), text.get());
    Ref instance = Ref::steal(PyErr_GetRaisedException());
    if (!instance) ZLN_PANIC("PyObject pointer is null");
    return instance;
}

}  // namespace zln::py
