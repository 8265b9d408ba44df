#include "module/convert.hpp"

#include <algorithm>

#include "module/buffer_input.hpp"
#include "module/messages.hpp"
#include "module/once.hpp"

namespace zln::py {

namespace {

// A reported length only hints at the reservation: a sequence may lie about
// its length, so at most this many entries are reserved up front and the
// storage grows as items actually arrive.
constexpr Py_ssize_t kMaxInitialReservation = 1 << 16;

// Reservations of this many entries or more would exceed 2^63 - 1 bytes.
constexpr std::uint64_t kFloatVectorLengthLimit = std::uint64_t{1} << 61;
constexpr std::uint64_t kTextListLengthLimit = 384307168202282325ULL;  // largest n with 24·n < 2^63

OnceObject g_sequence_class("collections.abc.Sequence");
OnceObject g_add_note_name("the method name \"add_note\"");

PyObject* sequence_class() {
    PyObject* cls = g_sequence_class.get([] {
        Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
        if (!abc) return static_cast<PyObject*>(nullptr);
        return PyObject_GetAttrString(abc.get(), "Sequence");
    });
    if (cls == nullptr) {
        report_unraisable(nullptr);
        ZLN_PANIC("could not look up collections.abc.Sequence");
    }
    return cls;
}

PendingError not_a_sequence(PyObject* obj) {
    PyObject* cls = sequence_class();
    std::string target = PyType_Check(cls) ? type_qualname(reinterpret_cast<PyTypeObject*>(cls)) : render_object(cls);
    return type_mismatch(obj, target);
}

// Common prologue of the sequence conversions: the str and sequence checks
// and the length hint. Returns how many entries to reserve.
std::size_t sequence_reservation(PyObject* obj, std::uint64_t limit, bool inclusive_limit) {
    if (PyUnicode_Check(obj)) throw PendingError::deferred(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) throw not_a_sequence(obj);
    Py_ssize_t length = PyObject_Size(obj);
    if (length < 0) {
        discard_error();  // the hint is lost, nothing else
        length = 0;
    }
    const auto reported = static_cast<std::uint64_t>(length);
    if (inclusive_limit ? reported >= limit : reported > limit) ZLN_PANIC("capacity overflow");
    return static_cast<std::size_t>(std::min(length, kMaxInitialReservation));
}

inline float narrow(double value) noexcept { return static_cast<float>(value); }

float convert_element(PyObject* item) {
    if (PyFloat_CheckExact(item)) return narrow(PyFloat_AS_DOUBLE(item));
    const double value = PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred()) throw_taken_error();
    return narrow(value);
}

// Walks an exact list or tuple by index, exactly as its iterator would: the
// size is re-read at each step (a __float__ may shrink or grow a list) and
// each item is held while its conversion runs Python code.
template <class Sink>
void for_each_item_indexed(PyObject* seq, Sink&& sink) {
    const bool is_list = PyList_CheckExact(seq);
    for (Py_ssize_t i = 0;; ++i) {
        const Py_ssize_t size = is_list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
        if (i >= size) break;
        PyObject* item = is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i);
        if (PyFloat_CheckExact(item)) {
            sink(item);
        } else {
            Ref hold = Ref::borrow(item);
            sink(hold.get());
        }
    }
}

template <class Sink>
void for_each_item_iterated(PyObject* seq, Sink&& sink) {
    Ref iterator = Ref::steal(PyObject_GetIter(seq));
    if (!iterator) throw_taken_error();
    while (true) {
        Ref item = Ref::steal(PyIter_Next(iterator.get()));
        if (!item) {
            if (PyErr_Occurred()) throw_taken_error();
            break;
        }
        sink(item.get());
    }
}

template <class Sink>
void for_each_item(PyObject* seq, Sink&& sink) {
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        for_each_item_indexed(seq, sink);
    } else {
        for_each_item_iterated(seq, sink);
    }
}

}  // namespace

FloatVector extract_float_vector(PyObject* obj) {
    FloatVector out;
    const std::size_t reservation = sequence_reservation(obj, kFloatVectorLengthLimit, true);
    if (read_float_buffer(obj, out)) return out;
    out.reserve(reservation);
    for_each_item(obj, [&](PyObject* item) { out.push_back(convert_element(item)); });
    return out;
}

std::uint64_t extract_u64(PyObject* obj) {
    unsigned long long value;
    if (PyLong_Check(obj)) {
        value = PyLong_AsUnsignedLongLong(obj);
    } else {
        Ref index = Ref::steal(PyNumber_Index(obj));
        if (!index) throw_taken_error();
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_taken_error();
    return value;
}

std::string_view extract_text(PyObject* obj) {
    if (!PyUnicode_Check(obj)) throw type_mismatch(obj, "str");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) throw_taken_error();
    return {utf8, static_cast<std::size_t>(size)};
}

std::string extract_owned_text(PyObject* obj) { return std::string(extract_text(obj)); }

TextList extract_text_list(PyObject* obj) {
    TextList out;
    out.reserve(sequence_reservation(obj, kTextListLengthLimit, false));
    for_each_item(obj, [&](PyObject* item) { out.push_back(extract_owned_text(item)); });
    return out;
}

PendingError annotate_argument_error(const char* parameter, PendingError error) {
    Ref instance = into_instance(std::move(error));
    Ref note = new_ref(PyUnicode_FromFormat("while processing '%s'", parameter));
    PyObject* method = check_new(g_add_note_name.get([] { return PyUnicode_InternFromString("add_note"); }));
    PyObject* call_args[] = {instance.get(), note.get()};
    Ref result = Ref::steal(PyObject_VectorcallMethod(method, call_args, 2, nullptr));
    if (!result) discard_error();  // a failed add_note leaves the error as it was
    return PendingError::materialised(std::move(instance));
}

}  // namespace zln::py
