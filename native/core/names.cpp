// Interned names, and what a name was last found to be on a type and in an instance dict: the
// attribute cache of the core's fast paths.  A type's answer is kept for its version tag; a dict's
// answer is kept while no watched dict has changed (dict watchers, public since 3.12, tell us).
#include "attr.hpp"

namespace pelorix {

std::uint64_t watched_dict_generation = 0;

namespace {

int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++watched_dict_generation;
    return 0;
}

// Makes a split instance dict combined, so that every later change goes through the dict and
// reaches its watchers (see cpython::dict_misses_object_stores): a key that a split table cannot
// hold, a non-str one, is added and removed at once.  The dict shows the same items in the same
// order; the object stops keeping its values inline.  False when the dict stays split.
bool combine(PyObject* dict) {
    static PyObject* const key = PyLong_FromLong(0);  // a split dict holds str keys only
    if (!key || PyDict_SetItem(dict, key, Py_None) < 0 || PyDict_DelItem(dict, key) < 0) {
        PyErr_Clear();
        return false;
    }
    return !cpython::dict_misses_object_stores(dict);
}

// Watches `dict`; false when its changes cannot all be seen, or when no watcher can be had (the
// interpreter has a few for everybody): then nothing is kept.
bool watch(PyObject* dict) {
    if (cpython::dict_misses_object_stores(dict) && !combine(dict)) return false;
    enum { unasked = -2, none = -1 };
    static int watcher = unasked;
    if (watcher == unasked) {
        watcher = PyDict_AddWatcher(on_dict_event);
        if (watcher < 0) {
            PyErr_Clear();
            watcher = none;
        }
    }
    if (watcher == none) return false;
    if (PyDict_Watch(watcher, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

}  // namespace

PyObject* Name::intern() const {
    obj_ = PyUnicode_InternFromString(text_);
    if (!obj_) raise_current();
    return obj_;
}

PyObject* Name::type_lookup_afresh(PyTypeObject* type) const {
    PyObject* value = cpython::type_lookup(type, get());  // gives the type a version tag if it can
    seen_version_ = cpython::type_version(type);
    seen_type_ = seen_version_ ? type : nullptr;
    seen_value_ = value;
    return value;
}

PyObject* Name::dict_lookup_afresh(PyObject* dict) const {
    // Watched before the lookup, which may run code (a key's __eq__) that changes the dict.
    const bool watched = watch(dict);
    const std::uint64_t generation = watched_dict_generation;
    PyObject* value = PyDict_GetItemWithError(dict, get());
    if (!value && PyErr_Occurred()) raise_current();
    seen_dict_ = watched ? dict : nullptr;
    seen_generation_ = generation;
    seen_dict_value_ = value;
    return value;
}

}  // namespace pelorix
