#include "module/binder.hpp"

#include <cstring>
#include <string>

#include "module/error_taking.hpp"
#include "module/messages.hpp"

namespace zln::py {

namespace {

std::string display_name(const ParameterTable& t) {
    std::string name;
    if (t.class_name != nullptr) {
        name += t.class_name;
        name += '.';
    }
    name += t.function_name;
    name += "()";
    return name;
}

[[noreturn]] void fail(std::string message) { throw PendingError::deferred(PyExc_TypeError, std::move(message)); }

[[noreturn]] void too_many_positional(const ParameterTable& t, std::size_t given) {
    std::string m = display_name(t) + " takes ";
    if (t.required == t.count) {
        m += std::to_string(t.count);
    } else {
        m += "from " + std::to_string(t.required) + " to " + std::to_string(t.count);
    }
    m += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    fail(std::move(m));
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string name_list(const ParameterTable& t, const ArgumentSlots& slots, std::size_t& missing) {
    std::size_t indices[kMaxParameters];
    missing = 0;
    for (std::size_t i = 0; i < t.required; ++i) {
        if (slots[i] == nullptr) indices[missing++] = i;
    }
    std::string list;
    for (std::size_t k = 0; k < missing; ++k) {
        if (k > 0) {
            if (missing > 2)
                list += ", ";
            else
                list += " ";
            if (k + 1 == missing) list += "and ";
        }
        list += "'";
        list += t.names[indices[k]];
        list += "'";
    }
    return list;
}

// Matches one keyword to a parameter and fills its slot.
void bind_keyword(const ParameterTable& t, ArgumentSlots& slots, PyObject* name, PyObject* value) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    if (text == nullptr) {
        discard_error();
    } else {
        for (std::size_t i = 0; i < t.count; ++i) {
            if (std::strlen(t.names[i]) == static_cast<std::size_t>(size) &&
                std::memcmp(t.names[i], text, static_cast<std::size_t>(size)) == 0) {
                if (slots.slot[i] != nullptr) {
                    fail(display_name(t) + " got multiple values for argument '" +
                         std::string(text, static_cast<std::size_t>(size)) + "'");
                }
                slots.slot[i] = value;
                return;
            }
        }
    }
    fail(display_name(t) + " got an unexpected keyword argument '" + render_object(name) + "'");
}

void check_required(const ParameterTable& t, const ArgumentSlots& slots, std::size_t positional) {
    if (positional >= t.required) return;
    for (std::size_t i = positional; i < t.required; ++i) {
        if (slots[i] == nullptr) {
            std::size_t missing = 0;
            std::string list = name_list(t, slots, missing);
            fail(display_name(t) + " missing " + std::to_string(missing) + " required positional " +
                 (missing == 1 ? "argument" : "arguments") + ": " + list);
        }
    }
}

}  // namespace

ArgumentSlots bind_fastcall_arguments(const ParameterTable& t, PyObject* const* args, Py_ssize_t nargsf,
                                      PyObject* kwnames) {
    ArgumentSlots slots;
    const auto positional = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
    if (positional > t.count) too_many_positional(t, positional);
    for (std::size_t i = 0; i < positional; ++i) slots.slot[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            bind_keyword(t, slots, PyTuple_GET_ITEM(kwnames, k), args[positional + static_cast<std::size_t>(k)]);
        }
    }
    check_required(t, slots, positional);
    return slots;
}

ArgumentSlots bind_tuple_arguments(const ParameterTable& t, PyObject* args, PyObject* kwargs) {
    ArgumentSlots slots;
    const auto positional = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    for (std::size_t i = 0; i < positional && i < t.count; ++i) slots.slot[i] = PyTuple_GET_ITEM(args, i);
    if (positional > t.count) too_many_positional(t, positional);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(t, slots, key, value);
    }
    check_required(t, slots, positional);
    for (PyObject* obj : slots.slot) Py_XINCREF(obj);
    slots.owned = true;
    return slots;
}

}  // namespace zln::py
