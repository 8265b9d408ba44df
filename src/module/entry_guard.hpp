// The one boundary between the interpreter and the module's code.
//
// Every entry the interpreter calls (functions, module_exec, class slots and
// getters) runs its body through entry_guard, which turns each way the body
// can fail into the Python outcome and never lets a C++ exception escape.
#pragma once

#include <Python.h>

#include <new>

#include "lsh/failure.hpp"
#include "module/error_types.hpp"
#include "module/panic.hpp"

namespace zln::py {

namespace detail {

// Raises the current C++ exception as a Python error. Called from a catch.
inline void raise_current_exception() noexcept {
    try {
        throw;
    } catch (PendingError& e) {
        std::move(e).raise();
    } catch (const Panic& p) {
        raise_panic(p.message(), p.file(), p.line());
    } catch (const zln::InternalFailure& f) {
        raise_panic(f.what(), f.file(), f.line());
    } catch (const zln::Interrupted&) {
        // The cancellation check left the interpreter's error (for example
        // KeyboardInterrupt from a signal handler) pending.
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what(), __FILE__, __LINE__);
    } catch (...) {
        raise_panic("unknown C++ exception", __FILE__, __LINE__);
    }
}

}  // namespace detail

// Body returns a new reference (never null) on success.
template <class Body>
PyObject* entry_guard(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        detail::raise_current_exception();
    }
    return nullptr;
}

// For module_exec and other int-returning slots: 0 on success, -1 on error.
template <class Body>
int entry_guard_status(Body&& body) noexcept {
    try {
        body();
        return 0;
    } catch (...) {
        detail::raise_current_exception();
    }
    return -1;
}

// For deallocation slots: nothing may escape, so a failure is reported at once.
template <class Body>
void entry_guard_unraisable(Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        detail::raise_current_exception();
        PyErr_WriteUnraisable(nullptr);
    }
}

}  // namespace zln::py
