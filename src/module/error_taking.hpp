// Taking the interpreter's pending error: kept (take_error), dropped
// (discard_error) or reported (report_unraisable). One floor above the error
// types, the PanicException class (panic.hpp) and the UTF-8 reading of a str
// (utf8_text.hpp), and below everything that renders messages or converts.
#pragma once

#include <Python.h>

#include "module/error_types.hpp"
#include "module/py_ref.hpp"

namespace zln::py {

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

// The exception instance of an error, created from a deferred one.
Ref into_instance(PendingError error);

}  // namespace zln::py
