// Errors: the handler of an except clause, raising the current or a new exception, and the
// special-method lookup of a `with` statement (whose failure is a TypeError worded as the
// interpreter words it).
#include <cstdarg>
#include <cstring>

#include "private_api.hpp"
#include "runtime.hpp"

namespace pelorix {

Except::Except(const nb::python_error& error, nb::handle type) : error_(error) {
    if (!error.matches(type)) throw;
    outer_ = PyErr_GetHandledException();
    PyErr_SetHandledException(error.value().ptr());
}

Except::~Except() {
    PyErr_SetHandledException(outer_);
    Py_XDECREF(outer_);
}

bool Except::matches(nb::handle type) const {
    return error_.matches(type);
}

void raise_current(std::source_location where) {
    if (!PyErr_Occurred()) {
        const char* file = where.file_name();
        if (const char* slash = std::strrchr(file, '/')) file = slash + 1;
        PyErr_Format(PyExc_RuntimeError, "%s (%s:%u) failed without setting an exception",
                     where.function_name(), file, static_cast<unsigned>(where.line()));
    }
    throw nb::python_error();
}

void raise(PyObject* type, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    PyErr_FormatV(type, fmt, args);
    va_end(args);
    raise_current();
}

nb::object special_method(nb::handle obj, const Name& name) {
    PyObject* found = cpython::type_lookup(Py_TYPE(obj.ptr()), name.get());
    if (!found)
        raise(PyExc_TypeError, "'%s' object does not support the context manager protocol",
              Py_TYPE(obj.ptr())->tp_name);
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    if (!get) return nb::borrow(found);
    PyObject* bound = get(found, obj.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())));
    if (!bound) raise_current();
    return nb::steal(bound);
}

}  // namespace pelorix
