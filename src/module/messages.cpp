#include "module/messages.hpp"

#include "module/error_taking.hpp"

namespace zln::py {

namespace {

std::string unprintable(PyObject* obj) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
    std::string text;
    if (name && utf8_of_str(name.get(), text)) return "<unprintable " + text + " object>";
    discard_error();
    return "<unprintable object>";
}

}  // namespace

std::string render_object(PyObject* obj) {
    Ref text = Ref::steal(PyObject_Str(obj));
    if (!text) {
        report_unraisable(obj);
        return unprintable(obj);
    }
    std::string out;
    if (!utf8_of_str(text.get(), out)) return unprintable(obj);
    return out;
}

std::string type_qualname(PyTypeObject* type) {
    Ref name = Ref::steal(PyType_GetQualName(type));
    if (!name) {
        discard_error();
        return "<failed to extract type name>";
    }
    return render_object(name.get());
}

PendingError type_mismatch(PyObject* obj, const std::string& target) {
    // Built with append: GCC 12 reports a spurious -Wrestrict for chains of
    // operator+ on std::string.
    std::string message;
    if (obj == Py_None) {
        message.append("'None' is not an instance of '");
    } else {
        message.append("'").append(type_qualname(Py_TYPE(obj))).append("' object is not an instance of '");
    }
    message.append(target).append("'");
    return PendingError::deferred(PyExc_TypeError, std::move(message));
}

}  // namespace zln::py
