// Process-wide objects created once, on first need.
//
// Creation may run Python code (an import, an attribute getter) that gives
// the interpreter lock away, so another thread can ask for the same object
// while it is being made. That thread waits, with the interpreter lock
// released so the creating thread can finish, and then takes the created
// object: creation runs at most once at a time and succeeds at most once.
// A failed creation keeps nothing, so a later request tries again. A request
// from the creating thread itself (the creation called back into the module)
// can never be satisfied and ends as an internal failure instead of waiting
// for itself.
//
// The waiting uses the interpreter's own lock (PyThread_type_lock) rather
// than the C++ library's mutex and condition variable, which some Windows
// toolchains lack (MinGW-w64 GCC with win32 threads); the state itself is
// only read and written with the interpreter lock held.
#pragma once

#include <Python.h>
#include <pythread.h>

#include <atomic>
#include <string>

#include "module/error_types.hpp"

namespace zln::py {

class OnceObject {
public:
    // `what` names the object in the message of a re-entrant request.
    explicit OnceObject(const char* what) noexcept : what_(what) {}
    OnceObject(const OnceObject&) = delete;
    OnceObject& operator=(const OnceObject&) = delete;

    // Borrowed reference (kept until the process ends), or null with the
    // creation's error set. `create` runs with the interpreter lock held and
    // returns a new reference or null with an error set. Called with the
    // interpreter lock held; throws Panic for a re-entrant request.
    template <class Create>
    PyObject* get(Create&& create) {
        if (PyObject* value = value_.load(std::memory_order_acquire)) return value;
        if (!claim()) return value_.load(std::memory_order_acquire);
        PyObject* created = nullptr;
        try {
            created = create();
        } catch (...) {
            finish(nullptr);
            throw;
        }
        finish(created);
        return created;
    }

    // The object if it has been created, else null; never creates it.
    PyObject* if_created() const noexcept { return value_.load(std::memory_order_acquire); }

private:
    // True when this thread is now the creator; false when another thread
    // created the object meanwhile.
    bool claim() {
        while (creating_) {
            if (creator_ == PyThread_get_thread_ident()) {
                throw Panic(std::string("re-entrant request for ") + what_ +
                                ": it was requested again by the thread that is creating it",
                            __FILE__, __LINE__);
            }
            // The creator holds the gate until it has finished; passing
            // through it, with the interpreter lock released so the creator
            // can run, waits for that.
            PyThread_type_lock gate = gate_;
            Py_BEGIN_ALLOW_THREADS PyThread_acquire_lock(gate, WAIT_LOCK);
            PyThread_release_lock(gate);
            Py_END_ALLOW_THREADS
        }
        if (value_.load(std::memory_order_acquire) != nullptr) return false;
        if (gate_ == nullptr) {
            // Kept until the process ends, like the object itself.
            gate_ = PyThread_allocate_lock();
            if (gate_ == nullptr) {
                throw Panic(std::string("no lock could be allocated for creating ") + what_, __FILE__, __LINE__);
            }
        }
        // Free or only briefly held by a waiter passing through (which never
        // needs the interpreter lock to let go), so this wait ends.
        PyThread_acquire_lock(gate_, WAIT_LOCK);
        creating_ = true;
        creator_ = PyThread_get_thread_ident();
        return true;
    }

    void finish(PyObject* created) noexcept {
        if (created != nullptr) value_.store(created, std::memory_order_release);
        creating_ = false;
        PyThread_release_lock(gate_);
    }

    const char* what_;
    std::atomic<PyObject*> value_{nullptr};
    // Read and written only with the interpreter lock held.
    PyThread_type_lock gate_ = nullptr;
    bool creating_ = false;
    unsigned long creator_ = 0;
};

}  // namespace zln::py
