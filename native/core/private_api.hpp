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

// What the running interpreter's compiler and error messages do that the other version does not.
// 3.13 suggests the closest name for a mistyped keyword argument (through `suggestion`); its
// class statements add __firstlineno__ and __static_attributes__ to the namespace; its compiler
// cleans docstrings (tabs expanded, indentation removed).  3.12 does none of these.
inline constexpr bool suggests_names = PY_VERSION_HEX >= 0x030D0000;
inline constexpr bool class_lists_source_details = PY_VERSION_HEX >= 0x030D0000;
inline constexpr bool compiler_cleans_docstrings = PY_VERSION_HEX >= 0x030D0000;

// The name among `candidates` (a list of str) that the interpreter suggests for the mistyped
// `name`, as in "got an unexpected keyword argument 'valu'. Did you mean 'value'?": a new
// reference, or null when none is close enough (no exception set either way).  3.13 words
// binding errors with it; its algorithm is reachable only through _suggestions, the private
// module the traceback module uses.  3.12 has no such message (null, always).
inline PyObject* suggestion(PyObject* candidates, PyObject* name) {
    if constexpr (!suggests_names) return nullptr;
    PyObject* module = PyImport_ImportModule("_suggestions");
    PyObject* found =
        module ? PyObject_CallMethod(module, "_generate_suggestions", "OO", candidates, name)
               : nullptr;
    Py_XDECREF(module);
    if (!found) PyErr_Clear();
    if (found == Py_None) Py_CLEAR(found);
    return found;
}

// Whether stores through an object can change its instance dict without telling the dict's
// watchers.  3.13 keeps an object's attribute values inline even after its __dict__ has been made;
// the dict is then split (its values apart from its keys) and shares them, and a store through the
// object (`obj.x = 1`) to a name among the type's shared keys writes them there unannounced.  Only
// a combined dict changes through the dict alone, and every such change reaches its watchers.
// 3.12 moves the values into the dict when it is made, and stores go through the dict.
// `ma_values` is a field of the dict's non-limited struct; 3.14 keeps it.
inline bool dict_misses_object_stores(PyObject* dict) {
#if PY_VERSION_HEX >= 0x030D0000
    return reinterpret_cast<PyDictObject*>(dict)->ma_values != nullptr;
#else
    (void)dict;
    return false;
#endif
}

}  // namespace pelorix::cpython
