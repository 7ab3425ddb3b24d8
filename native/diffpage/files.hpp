// The files the diff viewer reads and writes through whatever `open` the module namespace holds:
// the `with` statement around them, and whether that `open` is still the builtin one.
#pragma once

#include "private_api.hpp"
#include "runtime.hpp"

namespace pelorix::view {

inline const Name n_encoding("encoding");

// `open` is the builtin open, which writes text to its byte layer as UTF-8 unchanged
// (conditions.cpp, with the other conditions of the fast paths).
bool builtin_open(nb::handle open);

// A special method as a `with` statement finds it: on the type, bound to the instance.
inline nb::object special_method(nb::handle obj, const Name& name) {
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

// `with manager as value: body(value)` inside the native function of call `c`.  Returns the
// body's result, or an invalid object when __exit__ swallowed the body's exception.
template <class Body>
nb::object with_block(const Call& c, nb::handle manager, Body&& body) {
    static const Name n_enter("__enter__"), n_exit("__exit__");
    nb::object enter = special_method(manager, n_enter);
    nb::object exit = special_method(manager, n_exit);
    nb::object value = call(enter, {});
    nb::object result;
    try {
        result = body(value);
    } catch (...) {
        // Every way out of the body passes through __exit__, as in a with statement.  A C++
        // exception is first given the Python form it has at the interpreter's boundary
        // (MemoryError for bad_alloc), then handled like any error the body raised.
        set_error_from_exception(c.qualname().ptr());
        nb::python_error error;
        nb::object suppressed;
        {
            // __exit__ runs while the error is being handled, as in a with statement.
            Except handler(error);
            nb::handle traceback =
                error.traceback().is_valid() ? error.traceback() : nb::handle(Py_None);
            suppressed = call(exit, {error.type(), error.value(), traceback});
        }
        if (!truthy(suppressed)) throw error;
        return nb::object();
    }
    call(exit, {Py_None, Py_None, Py_None});
    return result;
}

}  // namespace pelorix::view
