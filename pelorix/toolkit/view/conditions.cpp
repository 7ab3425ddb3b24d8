// When nobody can tell: the conditions under which the diff viewer aligns, marks and writes
// natively instead of calling back into the interpreter, checked against the objects the module
// found when it was loaded.
#include "diff.hpp"
#include "private_api.hpp"

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

void remember_at_load(const Module& mod) {
    auto keep = [](PyObject* o) {
        if (!o) raise_current();
        return o;
    };
    at_load.difflib = mod.get("difflib").release().ptr();
    at_load.sequence_matcher = keep(PyObject_GetAttrString(at_load.difflib, "SequenceMatcher"));
    auto* cls = reinterpret_cast<PyTypeObject*>(at_load.sequence_matcher);
    for (const char* name :
         {"__init__", "set_seqs", "set_seq1", "set_seq2", "_SequenceMatcher__chain_b",
          "find_longest_match", "get_matching_blocks", "get_opcodes"}) {
        PyObject* key = keep(PyUnicode_InternFromString(name));
        PyObject* value = PyType_Check(cls) ? cpython::type_lookup(cls, key) : nullptr;
        at_load.matcher_members.emplace_back(key, Py_XNewRef(value));
    }
    PyObject* init = at_load.matcher_members.front().second;
    at_load.matcher_init_defaults =
        init && PyFunction_Check(init) ? Py_XNewRef(PyFunction_GetDefaults(init)) : nullptr;
    nb::object builtins = nb::module_::import_("builtins");
    at_load.open = keep(PyObject_GetAttrString(builtins.ptr(), "open"));
}

bool standard_difflib(const Call& c) {
    if (c.global(n_difflib).ptr() != at_load.difflib) return false;
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

bool own_escape(nb::handle self) {
    return resolves_to(self, n_escape_html, escape_html_spec);
}

bool own_page_methods(nb::handle self) {
    return own_escape(self) && resolves_to(self, n_char_level_diff, char_level_diff_spec) &&
           resolves_to(self, n_get_symbol_and_class, get_symbol_and_class_spec);
}

bool builtin_open(nb::handle open) {
    return open.ptr() == at_load.open;
}

}  // namespace pelorix::view
