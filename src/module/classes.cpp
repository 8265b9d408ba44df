#include "module/classes.hpp"

#include <new>
#include <string>
#include <utility>

#include "module/binder.hpp"
#include "module/convert.hpp"
#include "module/entry_guard.hpp"
#include "module/once.hpp"
#include "module/results.hpp"

namespace zln::py {

namespace {

struct ConfigObject {
    PyObject_HEAD
    std::uint64_t families;
    std::uint64_t bits;
    std::uint64_t bands;
};

struct FamilyObject {
    PyObject_HEAD
    lsh::FamilyRecord record;  // constructed in place after allocation
};

OnceObject g_family_class("the LshFamily class");
OnceObject g_config_class("the LshConfig class");

// Allocates an instance of `cls` the way object.__new__ does.
PyObject* allocate_instance(PyTypeObject* cls) {
    Ref empty = new_ref(PyTuple_New(0));
    PyObject* self = PyBaseObject_Type.tp_new(cls, empty.get(), nullptr);
    if (self == nullptr) throw_taken_error();
    return self;
}

// ---- LshConfig ----

const char* const kConfigParams[] = {"families", "bits", "bands"};
const ParameterTable kConfigTable{"__new__", "LshConfig", kConfigParams, 3, 0};

PyObject* config_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return entry_guard([&]() -> PyObject* {
        ArgumentSlots slots = bind_tuple_arguments(kConfigTable, args, kwargs);
        std::uint64_t values[3] = {3, 256, 16};
        for (std::size_t i = 0; i < 3; ++i) {
            if (slots[i] != nullptr) values[i] = convert_argument(kConfigParams[i], slots[i], extract_u64);
        }
        PyObject* self = allocate_instance(cls);
        auto* obj = reinterpret_cast<ConfigObject*>(self);
        obj->families = values[0];
        obj->bits = values[1];
        obj->bands = values[2];
        return self;
    });
}

PyObject* config_repr(PyObject* self) {
    return entry_guard([&]() -> PyObject* {
        auto* obj = reinterpret_cast<ConfigObject*>(self);
        std::string text = "LshConfig(families=" + std::to_string(obj->families) + ", bits=" +
                           std::to_string(obj->bits) + ", bands=" + std::to_string(obj->bands) + ")";
        return new_str(text);
    });
}

template <std::uint64_t ConfigObject::*Field>
PyObject* config_get(PyObject* self, void*) {
    return entry_guard([&]() -> PyObject* { return new_int(reinterpret_cast<ConfigObject*>(self)->*Field); });
}

void plain_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their class
}

PyGetSetDef config_getset[] = {
    {"families", config_get<&ConfigObject::families>, nullptr, nullptr, nullptr},
    {"bits", config_get<&ConfigObject::bits>, nullptr, nullptr, nullptr},
    {"bands", config_get<&ConfigObject::bands>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kConfigDoc[] =
    "LshConfig(families=3, bits=256, bands=16)\n--\n\nLSH configuration\n\n"
    "This mirrors the Python LshConfig dataclass from zarvik_lumetra.types";

PyType_Slot config_slots[] = {
    {Py_tp_doc, const_cast<char*>(kConfigDoc)},
    {Py_tp_new, reinterpret_cast<void*>(config_new)},
    {Py_tp_repr, reinterpret_cast<void*>(config_repr)},
    {Py_tp_getset, config_getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(plain_dealloc)},
    {0, nullptr},
};

PyType_Spec config_spec{"builtins.LshConfig", sizeof(ConfigObject), 0, Py_TPFLAGS_DEFAULT, config_slots};

// ---- LshFamily ----

const char* const kFamilyParams[] = {"family", "bits", "signature", "bands"};
const ParameterTable kFamilyTable{"__new__", "LshFamily", kFamilyParams, 4, 4};

PyObject* wrap_record(PyTypeObject* cls, lsh::FamilyRecord&& record) {
    PyObject* self = allocate_instance(cls);
    new (&reinterpret_cast<FamilyObject*>(self)->record) lsh::FamilyRecord(std::move(record));
    return self;
}

PyObject* family_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return entry_guard([&]() -> PyObject* {
        ArgumentSlots slots = bind_tuple_arguments(kFamilyTable, args, kwargs);
        lsh::FamilyRecord record;
        record.family = convert_argument("family", slots[0], extract_u64);
        record.bits = convert_argument("bits", slots[1], extract_u64);
        record.signature = convert_argument("signature", slots[2], extract_owned_text);
        record.bands = convert_argument("bands", slots[3], extract_text_list);
        return wrap_record(cls, std::move(record));
    });
}

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

PyObject* family_repr(PyObject* self) {
    return entry_guard([&]() -> PyObject* {
        const lsh::FamilyRecord& r = record_of(self);
        std::string text = "LshFamily(family=" + std::to_string(r.family) + ", bits=" + std::to_string(r.bits) +
                           ", signature='";
        text.append(r.signature, 0, utf8_prefix_bytes(r.signature, 8));
        text += "...', bands=" + std::to_string(r.bands.size()) + ")";
        return new_str(text);
    });
}

PyObject* family_get_family(PyObject* self, void*) {
    return entry_guard([&]() -> PyObject* { return new_int(record_of(self).family); });
}
PyObject* family_get_bits(PyObject* self, void*) {
    return entry_guard([&]() -> PyObject* { return new_int(record_of(self).bits); });
}
PyObject* family_get_signature(PyObject* self, void*) {
    return entry_guard([&]() -> PyObject* { return new_str(record_of(self).signature); });
}
PyObject* family_get_bands(PyObject* self, void*) {
    return entry_guard([&]() -> PyObject* {
        const auto& bands = record_of(self).bands;
        Ref list = new_ref(PyList_New(static_cast<Py_ssize_t>(bands.size())));
        for (std::size_t i = 0; i < bands.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_str(bands[i]));
        }
        return list.release();
    });
}

void family_dealloc(PyObject* self) {
    entry_guard_unraisable([&] { reinterpret_cast<FamilyObject*>(self)->record.~FamilyRecord(); });
    plain_dealloc(self);
}

PyGetSetDef family_getset[] = {
    {"family", family_get_family, nullptr, nullptr, nullptr},
    {"bits", family_get_bits, nullptr, nullptr, nullptr},
    {"signature", family_get_signature, nullptr, nullptr, nullptr},
    {"bands", family_get_bands, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kFamilyDoc[] =
    "LshFamily(family, bits, signature, bands)\n--\n\nLSH family result containing signature and bands\n\n"
    "This mirrors the Python LSHFamily dataclass from zarvik_lumetra.lsh";

PyType_Slot family_slots[] = {
    {Py_tp_doc, const_cast<char*>(kFamilyDoc)},
    {Py_tp_new, reinterpret_cast<void*>(family_new)},
    {Py_tp_repr, reinterpret_cast<void*>(family_repr)},
    {Py_tp_getset, family_getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(family_dealloc)},
    {0, nullptr},
};

PyType_Spec family_spec{"builtins.LshFamily", sizeof(FamilyObject), 0, Py_TPFLAGS_DEFAULT, family_slots};

}  // namespace

PyObject* get_family_class() {
    return g_family_class.get([] { return PyType_FromSpec(&family_spec); });
}

PyObject* get_config_class() {
    return g_config_class.get([] { return PyType_FromSpec(&config_spec); });
}

PyObject* wrap_family_record(PyObject* family_class, lsh::FamilyRecord&& record) {
    return wrap_record(reinterpret_cast<PyTypeObject*>(family_class), std::move(record));
}

}  // namespace zln::py
