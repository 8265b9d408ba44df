// The module: its method table, its exec slot (classes and functions added,
// each named in __all__) and its definition.
#include "module/module_setup.hpp"

#include "module/callables.hpp"
#include "module/class_slots.hpp"
#include "module/entry_guard.hpp"
#include "module/error_taking.hpp"
#include "module/function_bodies.hpp"
#include "module/messages.hpp"
#include "module/once.hpp"

namespace zln::py {

namespace {

// The method table: each function's entry, derived from its declaration and
// bound to its typed body, in the order module_exec adds them (and __all__
// lists them). A new function is declared in callables.hpp, gets its body in
// function_bodies.cpp and its line here.
PyMethodDef module_methods[] = {
    declare::method_def<callables::simhash_lsh_multi, simhash_lsh_multi_impl>(),
    declare::method_def<callables::normalize_vector, normalize_vector_impl>(),
    declare::method_def<callables::hamming_distance_hex, hamming_distance_hex_impl>(),
    declare::method_def<callables::cosine_from_hamming, cosine_from_hamming_impl>(),
    declare::method_def<callables::compute_embedding_sha256, compute_embedding_sha256_impl>(),
    {nullptr, nullptr, 0, nullptr},
};

OnceObject g_all_name("the attribute name \"__all__\"");
OnceObject g_name_name("the attribute name \"__name__\"");

PyObject* interned(OnceObject& slot, const char* text) {
    return check_new(slot.get([text] { return PyUnicode_InternFromString(text); }));
}

std::string describe_current_error() {
    Ref exc = into_instance(take_error());
    return render_object(exc.get());
}

// A class that can't be created is reported as a RuntimeError caused by the
// creation error; the class stays uncreated so a later import tries again.
PyObject* class_or_raise(PyObject* (*get_class)(), const char* name) {
    PyObject* cls = get_class();
    if (cls != nullptr) return cls;
    Ref cause = into_instance(take_error());
    Ref message = new_ref(PyUnicode_FromFormat("An error occurred while initializing class %s", name));
    Ref error = new_ref(PyObject_CallOneArg(PyExc_RuntimeError, message.get()));
    if (cause) PyException_SetCause(error.get(), cause.release());
    throw PendingError::materialised(std::move(error));
}

// The class objects are shared by the whole process, so the module can only
// live in the interpreter that created them.
void require_main_interpreter() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        throw PendingError::deferred(PyExc_ImportError,
                                     "zarvik_lumetra_native can only be imported in the main interpreter: "
                                     "its classes are shared by the whole process");
    }
}

void add_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) throw_taken_error();
    Ref function = Ref::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
    if (!function) throw_taken_error();
    Ref name = Ref::steal(PyObject_GetAttr(function.get(), interned(g_name_name, "__name__")));
    if (!name) throw_taken_error();
    if (!PyUnicode_Check(name.get())) throw type_mismatch(name.get(), "str");
    add_member(module, name.get(), function.get());
}

int module_exec(PyObject* module) {
    return entry_guard_status([&] {
        if (!PyModule_Check(module)) throw type_mismatch(module, "module");
        require_main_interpreter();
        Ref family_name = new_ref(PyUnicode_FromString("LshFamily"));
        add_member(module, family_name.get(), class_or_raise(get_family_class, "LshFamily"));
        Ref config_name = new_ref(PyUnicode_FromString("LshConfig"));
        add_member(module, config_name.get(), class_or_raise(get_config_class, "LshConfig"));
        for (PyMethodDef* def = module_methods; def->ml_name != nullptr; ++def) add_function(module, def);
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

}  // namespace

void add_member(PyObject* module, PyObject* name, PyObject* value) {
    PyObject* all_name = interned(g_all_name, "__all__");
    Ref all = Ref::steal(PyObject_GetAttr(module, all_name));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_taken_error();
        discard_error();
        all = new_ref(PyList_New(0));
        if (PyObject_SetAttr(module, all_name, all.get()) < 0) throw_taken_error();
    } else if (!PyList_Check(all.get())) {
        throw type_mismatch(all.get(), "list");
    }
    if (PyList_Append(all.get(), name) < 0) {
        ZLN_PANIC("could not append __name__ to __all__: " + describe_current_error());
    }
    if (PyObject_SetAttr(module, name, value) < 0) throw_taken_error();
}

PyModuleDef zarvik_module_def = {
    PyModuleDef_HEAD_INIT,
    "zarvik_lumetra_native",
    "Native Python extension module for zarvik-lumetra\n\n"
    "This module is imported as `zarvik_lumetra_native` and provides accelerated\n"
    "implementations of the core LSH functions.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace zln::py
