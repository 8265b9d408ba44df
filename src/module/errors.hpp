// How failures travel inside the interpreter-facing layer.
//
// Steps throw; the single noexcept boundary (entry_guard) catches and raises.
//   PendingError  - a Python error, deferred (class + message) or materialised
//   Panic         - an internal failure with a message built at run time
//   zln::InternalFailure (core) - an internal failure with a fixed message
#pragma once

#include <Python.h>

#include <exception>
#include <string>

#include "lsh/failure.hpp"
#include "module/py_ref.hpp"

namespace zln::py {

class PendingError : public std::exception {
public:
    // A class and a message, not yet instantiated.
    static PendingError deferred(PyObject* type, std::string message) {
        PendingError e;
        e.type_ = type;
        e.message_ = std::move(message);
        return e;
    }
    // An exception instance (owned).
    static PendingError materialised(Ref instance) {
        PendingError e;
        e.instance_ = std::move(instance);
        return e;
    }

    bool is_deferred() const noexcept { return !instance_; }
    PyObject* type() const noexcept { return type_; }
    const std::string& message() const noexcept { return message_; }
    PyObject* instance() const noexcept { return instance_.get(); }

    // Returns the exception instance, creating it from a deferred error.
    Ref into_instance() &&;
    // Sets the interpreter's error indicator from this error.
    void raise() && noexcept;

    const char* what() const noexcept override { return "pending Python error"; }

private:
    PendingError() = default;
    PyObject* type_ = nullptr;  // borrowed: a built-in or process-wide class
    std::string message_;
    Ref instance_;
};

class Panic : public std::exception {
public:
    Panic(std::string message, const char* file, int line)
        : message_(std::move(message)), file_(file), line_(line) {}
    const char* what() const noexcept override { return message_.c_str(); }
    // The whole message: it may hold NUL characters, which what() would cut.
    const std::string& message() const noexcept { return message_; }
    const char* file() const noexcept { return file_; }
    int line() const noexcept { return line_; }

private:
    std::string message_;
    const char* file_;
    int line_;
};

// Takes the interpreter's pending error. With none pending, a SystemError
// stands in. A PanicException coming back out of Python code (a nested call
// into this module) becomes an internal failure with the same message.
[[noreturn]] void throw_taken_error();
PendingError take_error();

// Taking an error only to drop it. Both take the pending error, if any; a
// PanicException is never dropped: it ends the call as the same internal
// failure, exactly as take_error() does.
// discard_error: the error is released without effect.
void discard_error();
// report_unraisable: the error goes to sys.unraisablehook, with `obj` (may be
// null) as the object it occurred in.
void report_unraisable(PyObject* obj);

// The result of an interpreter call that creates an object the module needs.
// Null means an internal failure "PyObject pointer is null"; the pending
// error, if any, is reported as unraisable.
PyObject* check_new(PyObject* obj);
inline Ref new_ref(PyObject* obj) { return Ref::steal(check_new(obj)); }

// The interpreter reported failure for a call whose error is ours to pass on.
[[noreturn]] inline void throw_interpreter_error() { throw_taken_error(); }

}  // namespace zln::py

#define ZLN_PANIC(msg) throw ::zln::py::Panic((msg), __FILE__, __LINE__)
