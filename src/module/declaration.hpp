// How a callable is declared once, and what is derived from its declaration.
//
// Each callable is one constant Declaration (the module's are in
// callables.hpp): its name, its parameters (name, argument kind from
// convert.hpp, default if optional, help text) and its documentation.
// Everything the interpreter sees of its shape is derived from it at compile
// time: the binder's parameter table, the docstring with its text signature
// ("name(a, b=3)\n--\n\n" followed by the text and an "Args:" section that
// shows each default), and the typed entry, which binds, converts each
// parameter in declaration order (an omitted one takes its default) and then
// calls the callable's typed *_impl body with the native values.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "module/binder.hpp"
#include "module/convert.hpp"
#include "module/entry_guard.hpp"

namespace zln::py::declare {

// ---- Parameters ----

template <class Kind>
struct Required {
    using kind = Kind;
    const char* name;
    const char* help = nullptr;  // its line in "Args:"; none for classes
    static constexpr bool optional = false;
};

// Defaults are unsigned integers: the only kind that has them here, and one
// whose text in the signature is plain decimal.
template <class Kind>
struct Optional {
    static_assert(std::is_same_v<Kind, U64Arg>, "only unsigned integer parameters take defaults");
    using kind = Kind;
    const char* name;
    std::uint64_t default_value;
    const char* help = nullptr;
    static constexpr bool optional = true;
};

// ---- The declaration ----

template <class... Params>
struct Declaration {
    static constexpr std::size_t count = sizeof...(Params);
    static_assert(count <= kMaxParameters);

    const char* class_name;  // the class for a constructor, null for a module function
    const char* name;        // the function's name, "__new__" for a constructor
    const char* text;        // documentation before "Args:"
    const char* returns;     // text of "Returns:", null for none
    std::tuple<Params...> params;

    constexpr Declaration(const char* class_name_, const char* name_, const char* text_, const char* returns_,
                          Params... params_)
        : class_name(class_name_), name(name_), text(text_), returns(returns_), params(params_...) {}
};

// A module function: name, documentation, "Returns:" text, parameters.
template <class... Params>
constexpr Declaration<Params...> function(const char* name, const char* text, const char* returns, Params... params) {
    return Declaration<Params...>(nullptr, name, text, returns, params...);
}
// A class constructor (__new__): class name, documentation, parameters.
template <class... Params>
constexpr Declaration<Params...> constructor(const char* class_name, const char* text, Params... params) {
    return Declaration<Params...>(class_name, "__new__", text, nullptr, params...);
}

// ---- Derived: binder table ----

template <const auto& D>
struct Binding {
    // Leading parameters without a default; every optional one must follow them.
    static constexpr std::size_t required() {
        constexpr auto optional = std::apply(
            [](const auto&... p) {
                return std::array<bool, sizeof...(p)>{std::remove_cvref_t<decltype(p)>::optional...};
            },
            D.params);
        std::size_t n = 0;
        while (n < optional.size() && !optional[n]) ++n;
        for (std::size_t i = n; i < optional.size(); ++i) {
            if (!optional[i]) throw "a required parameter follows an optional one";
        }
        return n;
    }
    static constexpr auto names = std::apply(
        [](const auto&... p) { return std::array<const char*, sizeof...(p)>{p.name...}; }, D.params);
    static constexpr ParameterTable table{D.name, D.class_name, names.data(), names.size(), required()};
};

// ---- Derived: docstring with the text signature ----

namespace text {

// Appends to a fixed buffer, or only counts when `out` is null.
struct Writer {
    char* out = nullptr;
    std::size_t size = 0;
    constexpr void put(std::string_view s) {
        for (char c : s) {
            if (out != nullptr) out[size] = c;
            ++size;
        }
    }
    constexpr void put(std::uint64_t v) {
        char digits[20] = {};
        std::size_t n = 0;
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        while (n > 0) put(std::string_view(&digits[--n], 1));
    }
};

template <class Decl>
constexpr void write_docstring(const Decl& d, Writer& w) {
    w.put(d.class_name != nullptr ? d.class_name : d.name);
    w.put("(");
    bool first = true;
    std::apply(
        [&](const auto&... p) {
            auto one = [&](const auto& q) {
                if (!first) w.put(", ");
                first = false;
                w.put(q.name);
                if constexpr (std::remove_cvref_t<decltype(q)>::optional) {
                    w.put("=");
                    w.put(q.default_value);
                }
            };
            (one(p), ...);
        },
        d.params);
    w.put(")\n--\n\n");
    w.put(d.text);
    bool args_header = false;
    std::apply(
        [&](const auto&... p) {
            auto one = [&](const auto& q) {
                if (q.help == nullptr) return;
                if (!args_header) w.put("\n\nArgs:");
                args_header = true;
                w.put("\n    ");
                w.put(q.name);
                w.put(": ");
                w.put(q.help);
                if constexpr (std::remove_cvref_t<decltype(q)>::optional) {
                    w.put(" (default: ");
                    w.put(q.default_value);
                    w.put(")");
                }
            };
            (one(p), ...);
        },
        d.params);
    if (d.returns != nullptr) {
        w.put("\n\nReturns:\n    ");
        w.put(d.returns);
    }
}

template <const auto& D>
constexpr std::size_t docstring_size() {
    Writer w;
    write_docstring(D, w);
    return w.size;
}

}  // namespace text

template <const auto& D>
struct Docstring {
    static constexpr std::array<char, text::docstring_size<D>() + 1> value = [] {
        std::array<char, text::docstring_size<D>() + 1> buffer{};
        text::Writer w{buffer.data()};
        text::write_docstring(D, w);
        return buffer;
    }();
    static constexpr const char* c_str() { return value.data(); }
};

// ---- Derived: typed entries ----

template <class Param>
typename Param::kind::type convert_parameter(const Param& p, PyObject* value) {
    if constexpr (Param::optional) {
        if (value == nullptr) return p.default_value;
    }
    return convert_argument(p.name, value, Param::kind::convert);
}

// Converts every slot in declaration order (the first failure ends the call)
// and calls `impl` with `leading...` followed by the native values.
template <const auto& D, class Impl, class... Leading>
PyObject* call_converted(Impl&& impl, const ArgumentSlots& slots, Leading... leading) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        // A braced list is evaluated left to right: declaration order.
        std::tuple<typename std::tuple_element_t<I, std::remove_cvref_t<decltype(D.params)>>::kind::type...> values{
            convert_parameter(std::get<I>(D.params), slots[I])...};
        return impl(leading..., std::move(std::get<I>(values))...);
    }
    (std::make_index_sequence<std::remove_cvref_t<decltype(D)>::count>{});
}

// A module function's METH_FASTCALL | METH_KEYWORDS entry.
template <const auto& D, auto Impl>
PyObject* fastcall_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return entry_guard([&]() -> PyObject* {
        ArgumentSlots slots = bind_fastcall_arguments(Binding<D>::table, args, nargsf, kwnames);
        return call_converted<D>(Impl, slots);
    });
}

// A constructor's tp_new entry; Impl receives the class first.
template <const auto& D, auto Impl>
PyObject* new_entry(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return entry_guard([&]() -> PyObject* {
        ArgumentSlots slots = bind_tuple_arguments(Binding<D>::table, args, kwargs);
        return call_converted<D>(Impl, slots, cls);
    });
}

template <const auto& D, auto Impl>
PyMethodDef method_def() {
    return {D.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fastcall_entry<D, Impl>)),
            METH_FASTCALL | METH_KEYWORDS, Docstring<D>::c_str()};
}

}  // namespace zln::py::declare
