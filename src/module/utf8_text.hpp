// The UTF-8 text of a str, for messages (only ever on failure paths).
#pragma once

#include <Python.h>

#include <string>

namespace zln::py {

// The UTF-8 text of a str. Lone surrogates pass through "surrogatepass" and
// come back as U+FFFD for each maximal invalid byte sequence. False (no error
// set) only if even that fails.
bool utf8_of_str(PyObject* text, std::string& out);

}  // namespace zln::py
