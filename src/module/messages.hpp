// Message texts built from Python objects (only ever on failure paths).
// Above error_taking.hpp: rendering runs an object's __str__, whose failure
// (even a PanicException from a nested call) is reported or ends the call.
#pragma once

#include <Python.h>

#include <string>

#include "module/error_types.hpp"
#include "module/utf8_text.hpp"

namespace zln::py {

// str(obj) as UTF-8. Lone surrogates show as U+FFFD per invalid byte; an
// object whose str() fails shows as "<unprintable {type} object>".
std::string render_object(PyObject* obj);

// The qualified name of a type, rendered as above.
std::string type_qualname(PyTypeObject* type);

// TypeError "'{type}' object is not an instance of '{target}'" (or the None form).
PendingError type_mismatch(PyObject* obj, const std::string& target);

}  // namespace zln::py
