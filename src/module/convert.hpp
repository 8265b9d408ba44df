// Argument kinds: the native type a parameter is converted into, and the
// conversion that makes it from a bound argument.
//
// A kind is a struct with `type` (the native value a callable's typed body
// receives) and `convert` (PyObject* -> type); callables name it in their
// parameters (callables.hpp). Each conversion throws PendingError on failure;
// convert_argument() adds the note naming the parameter. A new kind goes here:
// its struct and conversion below, the conversion's body in convert.cpp.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "module/error_taking.hpp"

namespace zln::py {

// An owned sequence of binary32 values.
using FloatVector = std::vector<float>;
using TextList = std::vector<std::string>;

// A sequence of numbers (not a str), each narrowed through binary64 to
// binary32; buffers of plain native numbers are read in place.
FloatVector extract_float_vector(PyObject* obj);
struct FloatVectorArg {
    using type = FloatVector;
    static type convert(PyObject* obj) { return extract_float_vector(obj); }
};

// An int (or an object with __index__) in [0, 2^64).
std::uint64_t extract_u64(PyObject* obj);
struct U64Arg {
    using type = std::uint64_t;
    static type convert(PyObject* obj) { return extract_u64(obj); }
};

// UTF-8 bytes of a str, read in place; valid while obj lives (for the call).
std::string_view extract_text(PyObject* obj);
struct TextArg {
    using type = std::string_view;
    static type convert(PyObject* obj) { return extract_text(obj); }
};

// The same, copied.
std::string extract_owned_text(PyObject* obj);
struct OwnedTextArg {
    using type = std::string;
    static type convert(PyObject* obj) { return extract_owned_text(obj); }
};

// A sequence (not a str) of str, each copied.
TextList extract_text_list(PyObject* obj);
struct TextListArg {
    using type = TextList;
    static type convert(PyObject* obj) { return extract_text_list(obj); }
};

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
