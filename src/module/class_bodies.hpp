// The record classes LshConfig and LshFamily: instance layouts and typed
// bodies. Their class objects (slot tables, creation) are in class_slots.hpp.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "lsh/simhash.hpp"
#include "module/convert.hpp"

namespace zln::py {

// Moves a computed record into a new LshFamily instance (new reference).
// Throws PendingError if the instance can't be allocated.
PyObject* wrap_family_record(PyObject* family_class, lsh::FamilyRecord&& record);

struct ConfigObject {
    PyObject_HEAD std::uint64_t families;
    std::uint64_t bits;
    std::uint64_t bands;
};

struct FamilyObject {
    PyObject_HEAD lsh::FamilyRecord record;  // constructed in place after allocation
};

PyObject* lsh_config_new_impl(PyTypeObject* cls, std::uint64_t families, std::uint64_t bits, std::uint64_t bands);
PyObject* lsh_config_repr_impl(PyObject* self);
PyObject* lsh_config_families_impl(PyObject* self);
PyObject* lsh_config_bits_impl(PyObject* self);
PyObject* lsh_config_bands_impl(PyObject* self);

PyObject* lsh_family_new_impl(PyTypeObject* cls, std::uint64_t family, std::uint64_t bits, std::string signature,
                              TextList bands);
PyObject* lsh_family_repr_impl(PyObject* self);
PyObject* lsh_family_family_impl(PyObject* self);
PyObject* lsh_family_bits_impl(PyObject* self);
PyObject* lsh_family_signature_impl(PyObject* self);
PyObject* lsh_family_bands_impl(PyObject* self);
// Destroys the record; the instance's memory is freed by the caller.
void lsh_family_clear_impl(PyObject* self);

}  // namespace zln::py
