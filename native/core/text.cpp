// Text: formatting and str(), joining, and converting between str and UTF-8.
#include "runtime.hpp"

namespace pelorix {

namespace {
PyObject* empty_str() {
    static PyObject* empty = PyUnicode_InternFromString("");
    return empty;
}
}  // namespace

nb::str format(nb::handle h) {
    PyObject* s = PyObject_Format(h.ptr(), nullptr);
    if (!s) raise_current();
    return nb::steal<nb::str>(s);
}

nb::str to_str(nb::handle h) {
    PyObject* s = PyObject_Str(h.ptr());
    if (!s) raise_current();
    return nb::steal<nb::str>(s);
}

nb::str concat(std::initializer_list<nb::handle> parts) {
    nb::object tuple = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
    if (!tuple.is_valid()) raise_current();
    Py_ssize_t i = 0;
    for (nb::handle p : parts) PyTuple_SET_ITEM(tuple.ptr(), i++, Py_NewRef(p.ptr()));
    PyObject* s = PyUnicode_Join(empty_str(), tuple.ptr());
    if (!s) raise_current();
    return nb::steal<nb::str>(s);
}

nb::str join(const char* separator, nb::handle items) {
    return join(nb::str(separator), items);
}

nb::str join(nb::handle separator, nb::handle items) {
    PyObject* s = PyUnicode_Join(separator.ptr(), items.ptr());
    if (!s) raise_current();
    return nb::steal<nb::str>(s);
}

std::string_view utf8(nb::handle str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str.ptr(), &size);
    if (!data) raise_current();
    return {data, static_cast<std::size_t>(size)};
}

nb::str make_str(std::string_view text) {
    PyObject* s =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
    if (!s) raise_current();
    return nb::steal<nb::str>(s);
}

}  // namespace pelorix
