#include "module/panic.hpp"

#include <cstdio>

#include "module/once.hpp"

namespace zln::py {

namespace {
PyObject* g_panic_class = nullptr;
}

PyObject* panic_exception_class() {
    return get_or_create(g_panic_class, [] {
        return PyErr_NewExceptionWithDoc(
            "zarvik_lumetra_native.PanicException",
            "Raised when the native module meets an internal failure.\n\n"
            "It derives from BaseException so that `except Exception` does not hide it.",
            PyExc_BaseException, nullptr);
    });
}

PyObject* panic_exception_class_if_created() noexcept { return g_panic_class; }

void raise_panic(const char* message, const char* file, int line) noexcept {
    std::fprintf(stderr, "zarvik_lumetra_native: internal failure at %s:%d: %s\n", file, line, message);
    std::fflush(stderr);
    PyObject* cls = panic_exception_class();
    if (cls == nullptr) return;  // the creation error stays set
    PyObject* text = PyUnicode_FromString(message);
    if (text == nullptr) return;  // the MemoryError stays set
    PyErr_SetObject(cls, text);
    Py_DECREF(text);
}

}  // namespace zln::py
