// The core's one fast path of the generic attribute lookup, shared by its attribute and method
// helpers (attr.cpp, call.cpp): what obj.NAME finds without running code, from the class
// attribute through the MRO and the instance dict's entry; with it, the inline part of a Name's
// lookup cache (names.cpp), the check for a kept answer.  Internal to the core.
#pragma once

#include "private_api.hpp"
#include "runtime.hpp"

namespace pelorix {

// Every event of every watched dict (a store, a deletion, a clear, its deallocation) moves the
// generation on, and so forgets every kept dict answer at once.  The dicts watched are the
// instance dicts that names were looked up in; they change rarely next to how often they are read.
extern std::uint64_t watched_dict_generation;

inline PyObject* Name::type_lookup(PyTypeObject* type) const {
    if (type == seen_type_ && cpython::type_version(type) == seen_version_) return seen_value_;
    return type_lookup_afresh(type);
}

inline PyObject* Name::dict_lookup(PyObject* dict) const {
    if (dict == seen_dict_ && watched_dict_generation == seen_generation_) return seen_dict_value_;
    return dict_lookup_afresh(dict);
}

struct GenericAttr {
    enum Outcome {
        Ask,      // the interpreter's own lookup must decide: the type has its own, or the
                  // instance's dict could not be had
        Refused,  // the class attribute is of a kind the caller cannot decide from
        Found,    // class_attr and own are what the generic lookup would see
    } outcome;
    PyObject* class_attr = nullptr;  // type.NAME through the MRO, no descriptor applied (borrowed)
    PyObject* own = nullptr;         // the instance dict's NAME (borrowed; null: none or no dict)
};

// obj.NAME through the generic lookup (PyObject_GenericGetAttr).  `key` gives the two lookups
// (a Name, with its cache, or any str); `usable(class_attr)` says whether a class attribute of
// that kind, or none (null), lets the caller decide from the two sources.  The instance dict is
// read only then.
template <class Key, class Usable>
GenericAttr generic_attr(PyObject* obj, const Key& key, Usable&& usable) {
    PyTypeObject* tp = Py_TYPE(obj);
    if (tp->tp_getattro != PyObject_GenericGetAttr) return {GenericAttr::Ask};
    PyObject* attr = key.type_lookup(tp);
    if (!usable(attr)) return {GenericAttr::Refused, attr};
    if (tp->tp_dictoffset == 0 && !(tp->tp_flags & Py_TPFLAGS_MANAGED_DICT))
        return {GenericAttr::Found, attr};
    // Objects whose values the interpreter keeps inline get a real dict here.
    PyObject** slot = cpython::object_dict_slot(obj);
    if (!slot) return {GenericAttr::Ask};
    return {GenericAttr::Found, attr, *slot ? key.dict_lookup(*slot) : nullptr};
}

}  // namespace pelorix
