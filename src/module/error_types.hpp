// How failures travel inside the interpreter-facing layer: the error types,
// the ground floor every other file of this layer stands on.
//
// Steps throw; the single noexcept boundary (entry_guard) catches and raises.
//   PendingError  - a Python error, deferred (class + message) or materialised
//   Panic         - an internal failure with a message built at run time
//   zln::InternalFailure (core) - an internal failure with a fixed message
// Taking the interpreter's pending error into a PendingError, dropping it or
// reporting it is done by error_taking.hpp, a floor above.
#pragma once

#include <Python.h>

#include <exception>
#include <string>

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
    // Hands over the instance of a materialised error (empty for a deferred
    // one; into_instance() in error_taking.hpp makes one for either kind).
    Ref release_instance() && noexcept { return std::move(instance_); }

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
    Panic(std::string message, const char* file, int line) : message_(std::move(message)), file_(file), line_(line) {}
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

}  // namespace zln::py

#define ZLN_PANIC(msg) throw ::zln::py::Panic((msg), __FILE__, __LINE__)
