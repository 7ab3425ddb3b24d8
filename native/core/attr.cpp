// Attribute access as the interpreter does it: getattr, setattr, the optional lookup behind
// hasattr, and whether a method call would find a given function.  Each takes the generic
// lookup's fast path (attr.hpp) where the type allows it.
#include "attr.hpp"

namespace pelorix {

namespace {

// A str that is not a Name: looked up afresh every time.
struct AnyName {
    PyObject* name;
    PyObject* type_lookup(PyTypeObject* type) const { return cpython::type_lookup(type, name); }
    PyObject* dict_lookup(PyObject* dict) const {
        PyObject* v = PyDict_GetItemWithError(dict, name);
        if (!v && PyErr_Occurred()) raise_current();
        return v;
    }
};

// A class attribute the generic lookup returns as it is: none, or one that is no descriptor.
bool plain(PyObject* attr) {
    return !attr || !Py_TYPE(attr)->tp_descr_get;
}

// Whether self.NAME would find, through the class and called with self in front, a function
// that `same` accepts.
template <class Same>
bool resolves(nb::handle self, const Name& name, Same&& same) {
    const GenericAttr a =
        generic_attr(self.ptr(), name, [&](PyObject* attr) { return attr && same(attr); });
    if (a.outcome == GenericAttr::Refused) return false;
    // A function is a non-data descriptor: an instance attribute of the name wins.
    if (a.outcome == GenericAttr::Found) return !a.own;
    // A type with its own lookup gives the attribute ready to call, as a method call finds it
    // there; it is still asked, as that call would ask it (and may raise).
    nb::object found = nb::steal(PyObject_GetAttr(self.ptr(), name.get()));
    if (!found.is_valid()) raise_current();
    return false;
}

}  // namespace

nb::object lookup_attr(nb::handle obj, nb::handle name) {
    if (PyUnicode_CheckExact(name.ptr())) {
        const GenericAttr a = generic_attr(obj.ptr(), AnyName{name.ptr()}, plain);
        if (a.outcome == GenericAttr::Found)
            return nb::borrow(a.own ? a.own : a.class_attr);  // invalid when there is none
    }
    PyObject* v = nullptr;
    if (cpython::lookup_attr(obj.ptr(), name.ptr(), &v) < 0) raise_current();
    return nb::steal(v);
}

bool resolves_to(nb::handle self, const Name& name, const FunctionSpec& decl) {
    return resolves(self, name, [&](PyObject* f) { return is_function_of(f, decl); });
}

bool resolves_to(nb::handle self, const Name& name, nb::handle function) {
    return resolves(self, name, [&](PyObject* f) { return f == function.ptr(); });
}

nb::object getattr(nb::handle obj, const Name& name) {
    // The common case of a plain class attribute or none at all: the instance dict first, then
    // the class attribute.  Descriptors, and a name found nowhere, go the interpreter's way.
    const GenericAttr a = generic_attr(obj.ptr(), name, plain);
    if (a.outcome == GenericAttr::Found && (a.own || a.class_attr))
        return nb::borrow(a.own ? a.own : a.class_attr);
    PyObject* v = PyObject_GetAttr(obj.ptr(), name.get());
    if (!v) raise_current();
    return nb::steal(v);
}

void setattr(nb::handle obj, const Name& name, nb::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name.get(), value.ptr()) < 0) raise_current();
}

}  // namespace pelorix
