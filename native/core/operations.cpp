// The interpreter's operations on values, with its own wording: truth, indexing, equality,
// unpacking, iteration, and whether assert statements run.
#include "runtime.hpp"

namespace pelorix {

bool truthy(nb::handle h) {
    const int r = PyObject_IsTrue(h.ptr());
    if (r < 0) raise_current();
    return r == 1;
}

nb::object getitem(nb::handle obj, nb::handle key) {
    if (PyDict_CheckExact(obj.ptr())) {
        PyObject* v = PyDict_GetItemWithError(obj.ptr(), key.ptr());
        if (v) return nb::borrow(v);
        if (PyErr_Occurred()) raise_current();
        // a missing key raises KeyError(key), as dict.__getitem__ does
        PyObject* tuple = PyTuple_Pack(1, key.ptr());
        if (!tuple) raise_current();
        PyErr_SetObject(PyExc_KeyError, tuple);
        Py_DECREF(tuple);
        raise_current();
    }
    PyObject* v = PyObject_GetItem(obj.ptr(), key.ptr());
    if (!v) raise_current();
    return nb::steal(v);
}

void setitem(nb::handle obj, nb::handle key, nb::handle value) {
    const int r = PyDict_CheckExact(obj.ptr())
                      ? PyDict_SetItem(obj.ptr(), key.ptr(), value.ptr())
                      : PyObject_SetItem(obj.ptr(), key.ptr(), value.ptr());
    if (r < 0) raise_current();
}

nb::object getitem(nb::handle seq, Py_ssize_t i) {
    PyObject* v = PySequence_GetItem(seq.ptr(), i);
    if (!v) raise_current();
    return nb::steal(v);
}

Py_ssize_t as_index(nb::handle h) {
    const Py_ssize_t i = PyNumber_AsSsize_t(h.ptr(), PyExc_OverflowError);
    if (i == -1 && PyErr_Occurred()) raise_current();
    return i;
}

bool equals(nb::handle a, nb::handle b) {
    if (PyUnicode_CheckExact(a.ptr()) && PyUnicode_CheckExact(b.ptr())) {
        if (a.ptr() == b.ptr()) return true;
        // Texts of different lengths differ, and so do two interned strs that are not the same
        // object (the interpreter keeps one interned str per text): names usually are both.
        if (PyUnicode_GET_LENGTH(a.ptr()) != PyUnicode_GET_LENGTH(b.ptr()) ||
            (PyUnicode_CHECK_INTERNED(a.ptr()) && PyUnicode_CHECK_INTERNED(b.ptr())))
            return false;
        return PyUnicode_Compare(a.ptr(), b.ptr()) == 0;
    }
    // not PyObject_RichCompareBool: its identity shortcut would make nan == nan true
    PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ);
    if (!r) raise_current();
    return truthy(nb::steal(r));
}

void append(nb::handle list, nb::handle item) {
    if (PyList_Append(list.ptr(), item.ptr()) < 0) raise_current();
}

std::vector<nb::object> unpack(nb::handle value, std::size_t n) {
    PyObject* v = value.ptr();
    std::vector<nb::object> out;
    out.reserve(n);
    if ((PyTuple_CheckExact(v) || PyList_CheckExact(v)) &&
        static_cast<std::size_t>(Py_SIZE(v)) == n) {
        PyObject** items = PySequence_Fast_ITEMS(v);
        for (std::size_t i = 0; i < n; ++i) out.push_back(nb::borrow(items[i]));
        return out;
    }
    PyObject* raw = PyObject_GetIter(v);
    if (!raw) {
        // Only a value with no way of iterating at all gets the unpacking message; an __iter__ that
        // raises TypeError keeps its own.
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(v)->tp_iter &&
            !PySequence_Check(v)) {
            PyErr_Clear();
            raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(v)->tp_name);
        }
        raise_current();
    }
    nb::object it = nb::steal(raw);
    while (out.size() < n) {
        nb::object item = next(it);
        if (!item.is_valid())
            raise(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n,
                  out.size());
        out.push_back(std::move(item));
    }
    if (next(it).is_valid()) raise(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
    return out;
}

nb::object iterate(nb::handle h) {
    PyObject* it = PyObject_GetIter(h.ptr());
    if (!it) raise_current();
    return nb::steal(it);
}

nb::object next(nb::handle it) {
    PyObject* item = PyIter_Next(it.ptr());
    if (!item && PyErr_Occurred()) raise_current();
    return nb::steal(item);
}

bool assertions_enabled() {
    static const bool enabled = [] {
        PyObject* flags = PySys_GetObject("flags");
        if (!flags) return true;
        PyObject* optimize = PyObject_GetAttrString(flags, "optimize");
        if (!optimize) {
            PyErr_Clear();
            return true;
        }
        const long level = PyLong_AsLong(optimize);
        Py_DECREF(optimize);
        if (level == -1 && PyErr_Occurred()) PyErr_Clear();
        return level <= 0;
    }();
    return enabled;
}

}  // namespace pelorix
