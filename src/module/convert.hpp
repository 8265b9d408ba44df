// Conversion of bound arguments into native values.
//
// Each conversion throws PendingError on failure; convert_argument() adds the
// note naming the parameter.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "module/errors.hpp"

namespace zln::py {

// An owned sequence of binary32 values.
using FloatVector = std::vector<float>;
using TextList = std::vector<std::string>;

FloatVector extract_float_vector(PyObject* obj);
std::uint64_t extract_u64(PyObject* obj);
// UTF-8 bytes of a str, read in place; valid while obj lives.
std::string_view extract_text(PyObject* obj);
std::string extract_owned_text(PyObject* obj);
TextList extract_text_list(PyObject* obj);

// The same error, materialised, with the note "while processing '{name}'".
PendingError annotate_argument_error(const char* parameter, PendingError error);

// Runs one conversion; a failure gets the parameter's note.
template <class Convert>
auto convert_argument(const char* parameter, PyObject* value, Convert&& convert) -> decltype(convert(value)) {
    try {
        return convert(value);
    } catch (PendingError& e) {
        throw annotate_argument_error(parameter, std::move(e));
    }
}

}  // namespace zln::py
