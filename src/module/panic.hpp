// PanicException: the exception class for internal failures.
#pragma once

#include <Python.h>

#include <string_view>

namespace zln::py {

// The dotted name of the class this module will create; called by a
// module's init, before anything can fail.
void set_panic_class_name(const char* qualified_name) noexcept;

// The class, created on first need; null with an error set if it can't be.
PyObject* panic_exception_class();
// The class if it exists already, else null (never creates it).
PyObject* panic_exception_class_if_created() noexcept;

// Writes the diagnostic to standard error and raises PanicException with the
// whole message (NUL characters included). If the class can't be created,
// its creation error is raised instead.
void raise_panic(std::string_view message, const char* file, int line) noexcept;

}  // namespace zln::py
