#include "module/panic.hpp"

#include <cstdio>

#include "module/once.hpp"

namespace zln::py {

namespace {
OnceObject g_panic_class("the PanicException class");
// Each extension module links its own copy of this file, and so has a class
// of its own; the bulk module names its copy after itself.
const char* g_panic_class_name = "zarvik_lumetra_native.PanicException";
}  // namespace

void set_panic_class_name(const char* qualified_name) noexcept { g_panic_class_name = qualified_name; }

PyObject* panic_exception_class() {
    return g_panic_class.get([] {
        return PyErr_NewExceptionWithDoc(g_panic_class_name,
                                         "Raised when the native module meets an internal failure.\n\n"
                                         "It derives from BaseException so that `except Exception` does not hide it.",
                                         PyExc_BaseException, nullptr);
    });
}

PyObject* panic_exception_class_if_created() noexcept { return g_panic_class.if_created(); }

void raise_panic(std::string_view message, const char* file, int line) noexcept {
    std::fprintf(stderr, "zarvik_lumetra_native: internal failure at %s:%d: ", file, line);
    std::fwrite(message.data(), 1, message.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    PyObject* cls = nullptr;
    try {
        cls = panic_exception_class();
    } catch (...) {
        // Only a failure inside the class's own creation on this thread (a
        // finaliser that it ran) gets here: the class can't be had, so the
        // message travels in a RuntimeError.
        cls = PyExc_RuntimeError;
    }
    if (cls == nullptr) return;  // the creation error stays set
    // Messages are UTF-8; "replace" keeps even a damaged one readable.
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) return;  // the MemoryError stays set
    PyErr_SetObject(cls, text);
    Py_DECREF(text);
}

}  // namespace zln::py
