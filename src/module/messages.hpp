// Message texts built from Python objects (only ever on failure paths).
#pragma once

#include <Python.h>

#include <string>

#include "module/errors.hpp"

namespace zln::py {

// The UTF-8 text of a str. Lone surrogates pass through "surrogatepass" and
// come back as U+FFFD for each maximal invalid byte sequence. False (no error
// set) only if even that fails.
bool utf8_of_str(PyObject* text, std::string& out);

// str(obj) as UTF-8. Lone surrogates show as U+FFFD per invalid byte; an
// object whose str() fails shows as "<unprintable {type} object>".
std::string render_object(PyObject* obj);

// The qualified name of a type, rendered as above.
std::string type_qualname(PyTypeObject* type);

// TypeError "'{type}' object is not an instance of '{target}'" (or the None form).
PendingError type_mismatch(PyObject* obj, const std::string& target);

}  // namespace zln::py
