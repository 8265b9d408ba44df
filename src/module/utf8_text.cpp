#include "module/utf8_text.hpp"

#include "module/py_ref.hpp"

namespace zln::py {

// The errors cleared here come from the interpreter's own UTF-8 codec with
// its built-in error handlers (UnicodeEncodeError, MemoryError): no Python
// code runs, so none of them can be a PanicException that would have to end
// the call (error_taking.hpp), and this floor needs nothing above it.
bool utf8_of_str(PyObject* text, std::string& out) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
        out.assign(utf8, static_cast<std::size_t>(size));
        return true;
    }
    PyErr_Clear();
    Ref raw = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!raw) {
        PyErr_Clear();
        return false;
    }
    Ref repaired = Ref::steal(
        PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), "replace"));
    if (!repaired) {
        PyErr_Clear();
        return false;
    }
    const char* utf8 = PyUnicode_AsUTF8AndSize(repaired.get(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return false;
    }
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
}

}  // namespace zln::py
