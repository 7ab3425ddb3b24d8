// The interpreter's private calls and version-specific details the core relies on, each behind a
// thin wrapper that says why no public call does the job and what each supported version (CPython
// 3.12 and 3.13) gives.  Every use in the project goes through here.
#pragma once

#include <Python.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x030C0000 || PY_VERSION_HEX >= 0x030E0000
#error "pelorix supports CPython 3.12 and 3.13"
#endif

namespace pelorix::cpython {

// type.NAME through the MRO, no descriptor applied, no exception set when absent (borrowed, or
// null).  The public route, getattr on the type, would run the metatype's descriptors and raise;
// the interpreter's own attribute and special-method lookups use this one, and so must we to
// decide what `self.NAME` would find.  It also gives the type a version tag when it can.
// Private on 3.12 and 3.13.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
    return _PyType_Lookup(type, name);
}

// The type's version tag, changed by every modification of the type or a base, or 0 while it has
// none (a modified type gets a new one from its next `type_lookup`, unless it has been modified
// too often).  3.12 also marks a valid tag with Py_TPFLAGS_VALID_VERSION_TAG, which 3.13 no longer
// sets: there a tag is valid when it is not 0.
inline unsigned int type_version(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030D0000
    return type->tp_version_tag;
#else
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

// The slot holding an instance's __dict__ (borrowed; null when the type has none).  Objects whose
// values the interpreter keeps inline get a real dict made here, so the slot is valid.  The public
// PyObject_GenericGetDict would create a new reference on every call.  Private on 3.12 and 3.13.
inline PyObject** object_dict_slot(PyObject* obj) {
    return _PyObject_GetDictPtr(obj);
}

// getattr(obj, name) with AttributeError swallowed: 1 and a new reference in *result, 0 and null
// when absent, -1 on any other error.  Public from 3.13 on as PyObject_GetOptionalAttr; on 3.12
// the alternative is raising and clearing AttributeError, which builds the exception every time.
inline int lookup_attr(PyObject* obj, PyObject* name, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    return _PyObject_LookupAttr(obj, name, result);
#endif
}

// The method obj.NAME without building a bound method: returns 1 with the plain function in
// *method when a call needs self in front, 0 with the ready attribute otherwise (*method null on
// error).  This is how the interpreter's LOAD_METHOD decides, and nothing public tells the two
// cases apart.  3.12 declares the interpreter's own _PyObject_GetMethod in its public headers.
// 3.13 declares it only in its internal ones (the interpreter still exports it), so here it is
// done as it does it: a method descriptor found on the type of an object with the generic
// attribute lookup is the method unless the instance dict holds the name; everything else is
// getattr.  (Its shortcut through inline values is left out: the dict made by object_dict_slot
// answers the same.)  A declaration of our own would bind the modules to an internal symbol
// whose signature no header checks; the core reaches this only for objects with their own
// attribute lookup, where both are getattr and cost the same.
inline int get_method(PyObject* obj, PyObject* name, PyObject** method) {
#if PY_VERSION_HEX >= 0x030D0000
    PyTypeObject* tp = Py_TYPE(obj);
    if (tp->tp_getattro == PyObject_GenericGetAttr && PyUnicode_CheckExact(name)) {
        PyObject* descr = _PyType_Lookup(tp, name);
        if (descr && PyType_HasFeature(Py_TYPE(descr), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
            const bool has_dict =
                tp->tp_dictoffset != 0 || PyType_HasFeature(tp, Py_TPFLAGS_MANAGED_DICT);
            PyObject** slot = has_dict ? _PyObject_GetDictPtr(obj) : nullptr;
            if (!has_dict || slot) {  // a dict that could not be made: ask getattr below
                PyObject* shadow = nullptr;
                if (slot && *slot && PyDict_GetItemRef(*slot, name, &shadow) < 0) {
                    *method = nullptr;
                    return 0;
                }
                *method = shadow ? shadow : Py_NewRef(descr);
                return shadow ? 0 : 1;
            }
        }
    }
    *method = PyObject_GetAttr(obj, name);
    return 0;
#else
    return _PyObject_GetMethod(obj, name, method);
#endif
}

#if PY_VERSION_HEX >= 0x030D0000
// The name among `candidates` (a list of str) that the interpreter suggests for the mistyped
// `name`, as in "got an unexpected keyword argument 'valu'. Did you mean 'value'?": a new
// reference, or null when none is close enough (no exception set either way).  3.13 words
// binding errors with it; its algorithm is reachable only through _suggestions, the private
// module the traceback module uses.  3.12 has no such message.
inline PyObject* suggestion(PyObject* candidates, PyObject* name) {
    PyObject* module = PyImport_ImportModule("_suggestions");
    PyObject* found =
        module ? PyObject_CallMethod(module, "_generate_suggestions", "OO", candidates, name)
               : nullptr;
    Py_XDECREF(module);
    if (!found) PyErr_Clear();
    if (found == Py_None) Py_CLEAR(found);
    return found;
}
#endif

// A dict's version tag: globally unique and changed by every modification of the dict, so an
// answer kept for one version is never stale; 0 when the dict has no version to trust.  The field
// is deprecated for extension use, but it is the only way to know a dict is unchanged without
// looking into it.
// 3.13 keeps an object's attribute values inline even after its __dict__ has been made, and
// stores through the object (`obj.x = 1`) write them there without changing the dict's tag.  Such
// a dict is split (its values apart from its keys), so split dicts get 0 there: only a combined
// dict changes through the dict functions alone.
// 3.14 drops the tag (the field becomes the watchers' bits): answers kept across calls will need a
// dict watcher (PyDict_AddWatcher, public since 3.12) to forget them, or a lookup every time.
inline std::uint64_t dict_version(PyObject* dict) {
    const PyDictObject* d = reinterpret_cast<PyDictObject*>(dict);
#if PY_VERSION_HEX >= 0x030D0000
    if (d->ma_values) return 0;
#endif
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return d->ma_version_tag;
#pragma GCC diagnostic pop
}

}  // namespace pelorix::cpython
