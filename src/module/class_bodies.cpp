#include "module/class_bodies.hpp"

#include <new>
#include <string>
#include <utility>

#include "module/results.hpp"

namespace zln::py {

namespace {

// Allocates an instance of `cls` the way object.__new__ does.
PyObject* allocate_instance(PyTypeObject* cls) {
    Ref empty = new_ref(PyTuple_New(0));
    PyObject* self = PyBaseObject_Type.tp_new(cls, empty.get(), nullptr);
    if (self == nullptr) throw_taken_error();
    return self;
}

ConfigObject& config(PyObject* self) { return *reinterpret_cast<ConfigObject*>(self); }
const lsh::FamilyRecord& record_of(PyObject* self) { return reinterpret_cast<FamilyObject*>(self)->record; }

// Byte length of the first `count` code points of a UTF-8 text.
std::size_t utf8_prefix_bytes(const std::string& text, std::size_t count) {
    std::size_t pos = 0;
    for (std::size_t seen = 0; pos < text.size() && seen < count; ++seen) {
        ++pos;
        while (pos < text.size() && (static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80) ++pos;
    }
    return pos;
}

}  // namespace

// ---- LshConfig ----

PyObject* lsh_config_new_impl(PyTypeObject* cls, std::uint64_t families, std::uint64_t bits, std::uint64_t bands) {
    PyObject* self = allocate_instance(cls);
    config(self).families = families;
    config(self).bits = bits;
    config(self).bands = bands;
    return self;
}

PyObject* lsh_config_repr_impl(PyObject* self) {
    const ConfigObject& c = config(self);
    return new_str("LshConfig(families=" + std::to_string(c.families) + ", bits=" + std::to_string(c.bits) +
                   ", bands=" + std::to_string(c.bands) + ")");
}

PyObject* lsh_config_families_impl(PyObject* self) { return new_int(config(self).families); }
PyObject* lsh_config_bits_impl(PyObject* self) { return new_int(config(self).bits); }
PyObject* lsh_config_bands_impl(PyObject* self) { return new_int(config(self).bands); }

// ---- LshFamily ----

PyObject* wrap_family_record(PyObject* family_class, lsh::FamilyRecord&& record) {
    PyObject* self = allocate_instance(reinterpret_cast<PyTypeObject*>(family_class));
    new (&reinterpret_cast<FamilyObject*>(self)->record) lsh::FamilyRecord(std::move(record));
    return self;
}

PyObject* lsh_family_new_impl(PyTypeObject* cls, std::uint64_t family, std::uint64_t bits, std::string signature,
                              TextList bands) {
    lsh::FamilyRecord record;
    record.family = family;
    record.bits = bits;
    record.signature = std::move(signature);
    record.bands = std::move(bands);
    return wrap_family_record(reinterpret_cast<PyObject*>(cls), std::move(record));
}

PyObject* lsh_family_repr_impl(PyObject* self) {
    const lsh::FamilyRecord& r = record_of(self);
    std::string text = "LshFamily(family=" + std::to_string(r.family) + ", bits=" + std::to_string(r.bits) +
                       ", signature='";
    text.append(r.signature, 0, utf8_prefix_bytes(r.signature, 8));
    text += "...', bands=" + std::to_string(r.bands.size()) + ")";
    return new_str(text);
}

PyObject* lsh_family_family_impl(PyObject* self) { return new_int(record_of(self).family); }
PyObject* lsh_family_bits_impl(PyObject* self) { return new_int(record_of(self).bits); }
PyObject* lsh_family_signature_impl(PyObject* self) { return new_str(record_of(self).signature); }

PyObject* lsh_family_bands_impl(PyObject* self) {
    const auto& bands = record_of(self).bands;
    Ref list = new_ref(PyList_New(static_cast<Py_ssize_t>(bands.size())));
    for (std::size_t i = 0; i < bands.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_str(bands[i]));
    }
    return list.release();
}

void lsh_family_clear_impl(PyObject* self) { reinterpret_cast<FamilyObject*>(self)->record.~FamilyRecord(); }

}  // namespace zln::py
