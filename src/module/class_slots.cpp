// Each slot is derived from the class's declaration (callables.hpp) or wraps
// a typed body of class_bodies.cpp.
#include "module/class_slots.hpp"

#include "module/callables.hpp"
#include "module/class_bodies.hpp"
#include "module/entry_guard.hpp"
#include "module/once.hpp"

namespace zln::py {

namespace {

namespace c = callables;

template <PyObject* (*Impl)(PyObject*)>
PyObject* unary_entry(PyObject* self) {
    return entry_guard([&]() -> PyObject* { return Impl(self); });
}

template <PyObject* (*Impl)(PyObject*)>
PyObject* getter_entry(PyObject* self, void*) {
    return entry_guard([&]() -> PyObject* { return Impl(self); });
}

void plain_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their class
}

void family_dealloc(PyObject* self) {
    entry_guard_unraisable([&] { lsh_family_clear_impl(self); });
    plain_dealloc(self);
}

template <class Fn>
void* slot(Fn fn) {
    return reinterpret_cast<void*>(fn);
}

PyGetSetDef config_getset[] = {
    {"families", getter_entry<lsh_config_families_impl>, nullptr, nullptr, nullptr},
    {"bits", getter_entry<lsh_config_bits_impl>, nullptr, nullptr, nullptr},
    {"bands", getter_entry<lsh_config_bands_impl>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot config_slots[] = {
    {Py_tp_doc, const_cast<char*>(declare::Docstring<c::lsh_config>::c_str())},
    {Py_tp_new, slot(declare::new_entry<c::lsh_config, lsh_config_new_impl>)},
    {Py_tp_repr, slot(unary_entry<lsh_config_repr_impl>)},
    {Py_tp_getset, config_getset},
    {Py_tp_dealloc, slot(plain_dealloc)},
    {0, nullptr},
};

PyType_Spec config_spec{"builtins.LshConfig", sizeof(ConfigObject), 0, Py_TPFLAGS_DEFAULT, config_slots};

PyGetSetDef family_getset[] = {
    {"family", getter_entry<lsh_family_family_impl>, nullptr, nullptr, nullptr},
    {"bits", getter_entry<lsh_family_bits_impl>, nullptr, nullptr, nullptr},
    {"signature", getter_entry<lsh_family_signature_impl>, nullptr, nullptr, nullptr},
    {"bands", getter_entry<lsh_family_bands_impl>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot family_slots[] = {
    {Py_tp_doc, const_cast<char*>(declare::Docstring<c::lsh_family>::c_str())},
    {Py_tp_new, slot(declare::new_entry<c::lsh_family, lsh_family_new_impl>)},
    {Py_tp_repr, slot(unary_entry<lsh_family_repr_impl>)},
    {Py_tp_getset, family_getset},
    {Py_tp_dealloc, slot(family_dealloc)},
    {0, nullptr},
};

PyType_Spec family_spec{"builtins.LshFamily", sizeof(FamilyObject), 0, Py_TPFLAGS_DEFAULT, family_slots};

OnceObject g_family_class("the LshFamily class");
OnceObject g_config_class("the LshConfig class");

}  // namespace

PyObject* get_family_class() {
    return g_family_class.get([] { return PyType_FromSpec(&family_spec); });
}

PyObject* get_config_class() {
    return g_config_class.get([] { return PyType_FromSpec(&config_spec); });
}

}  // namespace zln::py
