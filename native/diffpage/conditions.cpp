// When nobody can tell: whether the difflib module a page is aligned with is still the standard
// one, and whether `open` is still the builtin one, checked against the objects found when the
// module that makes pages was loaded.
#include "files.hpp"
#include "private_api.hpp"
#include "rows.hpp"

namespace pelorix::view {
namespace {

// What the fast paths compare against: the objects as they were when the module was loaded.
struct AtLoad {
    PyObject* difflib = nullptr;
    PyObject* sequence_matcher = nullptr;
    std::vector<std::pair<PyObject*, PyObject*>> matcher_members;  // (name, value)
    PyObject* matcher_init_defaults = nullptr;
    PyObject* open = nullptr;  // builtins.open
};
AtLoad at_load;  // strong references for the life of the process

}  // namespace

void remember_at_load(nb::handle difflib_module) {
    auto keep = [](PyObject* o) {
        if (!o) raise_current();
        return nb::steal(o);
    };
    nb::object difflib = nb::borrow(difflib_module);
    nb::object matcher = keep(PyObject_GetAttrString(difflib.ptr(), "SequenceMatcher"));
    auto* cls = reinterpret_cast<PyTypeObject*>(matcher.ptr());
    std::vector<std::pair<nb::object, nb::object>> members;
    for (const char* name :
         {"__init__", "set_seqs", "set_seq1", "set_seq2", "_SequenceMatcher__chain_b",
          "find_longest_match", "get_matching_blocks", "get_opcodes"}) {
        nb::object key = keep(PyUnicode_InternFromString(name));
        PyObject* value = PyType_Check(cls) ? cpython::type_lookup(cls, key.ptr()) : nullptr;
        members.emplace_back(std::move(key), nb::borrow(value));
    }
    PyObject* init = members.front().second.ptr();
    nb::object init_defaults =
        nb::borrow(init && PyFunction_Check(init) ? PyFunction_GetDefaults(init) : nullptr);
    nb::object builtins = nb::module_::import_("builtins");
    nb::object open = keep(PyObject_GetAttrString(builtins.ptr(), "open"));

    // An import tried again after a failure initialises the module again: what an earlier
    // attempt kept is let go and replaced, all at once, only when every lookup has succeeded.
    for (PyObject* kept :
         {at_load.difflib, at_load.sequence_matcher, at_load.matcher_init_defaults, at_load.open})
        Py_XDECREF(kept);
    for (auto& [key, value] : at_load.matcher_members) {
        Py_DECREF(key);
        Py_XDECREF(value);
    }
    at_load.matcher_members.clear();
    for (auto& [key, value] : members)
        at_load.matcher_members.emplace_back(key.release().ptr(), value.release().ptr());
    at_load.difflib = difflib.release().ptr();
    at_load.sequence_matcher = matcher.release().ptr();
    at_load.matcher_init_defaults = init_defaults.release().ptr();
    at_load.open = open.release().ptr();
}

bool standard_difflib(nb::handle difflib) {
    if (difflib.ptr() != at_load.difflib) return false;
    PyObject* ns = PyModule_GetDict(at_load.difflib);
    PyObject* cls = PyDict_GetItemWithError(ns, n_SequenceMatcher.get());
    if (cls != at_load.sequence_matcher || !PyType_Check(cls)) {
        PyErr_Clear();
        return false;
    }
    for (const auto& [name, value] : at_load.matcher_members)
        if (!value || cpython::type_lookup(reinterpret_cast<PyTypeObject*>(cls), name) != value)
            return false;
    PyObject* init = at_load.matcher_members.front().second;
    return PyFunction_Check(init) && PyFunction_GetDefaults(init) == at_load.matcher_init_defaults;
}

bool builtin_open(nb::handle open) {
    return open.ptr() == at_load.open;
}

}  // namespace pelorix::view
