// The interpreter's private calls the core relies on, each behind a thin wrapper that says why no
// public call does the job.  CPython 3.12 only; every use in the project goes through here.
#pragma once

#include <Python.h>

#include <cstdint>

namespace pelorix::cpython {

// type.NAME through the MRO, no descriptor applied, no exception set when absent (borrowed, or
// null).  The public route, getattr on the type, would run the metatype's descriptors and raise;
// the interpreter's own attribute and special-method lookups use this one, and so must we to
// decide what `self.NAME` would find.  It also gives the type a version tag when it can.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
    return _PyType_Lookup(type, name);
}

// The slot holding an instance's __dict__ (borrowed; null when the type has none).  Objects whose
// values the interpreter keeps inline get a real dict made here, so the slot is valid.  The public
// PyObject_GenericGetDict would create a new reference on every call.
inline PyObject** object_dict_slot(PyObject* obj) {
    return _PyObject_GetDictPtr(obj);
}

// getattr(obj, name) with AttributeError swallowed: 1 and a new reference in *result, 0 and null
// when absent, -1 on any other error.  Public from 3.13 on as PyObject_GetOptionalAttr; on 3.12
// the alternative is raising and clearing AttributeError, which builds the exception every time.
inline int lookup_attr(PyObject* obj, PyObject* name, PyObject** result) {
    return _PyObject_LookupAttr(obj, name, result);
}

// The method obj.NAME without building a bound method: returns 1 with the plain function in
// *method when a call needs self in front, 0 with the ready attribute otherwise (*method null on
// error).  This is how the interpreter's LOAD_METHOD decides, and nothing public tells the two
// cases apart.
inline int get_method(PyObject* obj, PyObject* name, PyObject** method) {
    return _PyObject_GetMethod(obj, name, method);
}

// A dict's version tag: globally unique and changed by every modification of the dict, so an
// answer kept for one version is never stale.  Deprecated for extension use (it goes away in
// 3.14), but it is the only way to know a dict is unchanged without looking into it.
inline std::uint64_t dict_version(PyObject* dict) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
}

}  // namespace pelorix::cpython
