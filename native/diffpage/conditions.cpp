// When nobody can tell: whether the difflib module a page is aligned with is still the standard
// one, whether `open` is still the builtin one, and whether an instance's page methods are the
// view module's own, checked against the objects found when the module that makes pages was
// loaded.
#include <array>
#include <string_view>
#include <utility>
#include <vector>

#include "files.hpp"
#include "private_api.hpp"
#include "rows.hpp"
#include "snapshot.hpp"

namespace pelorix::diffpage {
namespace {

// What the fast paths compare against: the objects as they were when the module was loaded.
struct AtLoad {
    nb::object difflib, sequence_matcher;
    std::vector<std::pair<nb::object, nb::object>> matcher_members;  // (name, value or none)
    nb::object matcher_init_defaults;
    nb::object open;  // builtins.open
};
Snapshot<AtLoad> at_load;

const std::array<const Name*, 3> page_method_names = {&n_escape_html, &n_char_level_diff,
                                                      &n_get_symbol_and_class};
// BeautifulHtmlDiff's page methods, in the order of page_method_names (invalid: none).
Snapshot<std::array<nb::object, 3>> page_methods;

nb::object keep(PyObject* o) {
    if (!o) raise_current();
    return nb::steal(o);
}

}  // namespace

void remember_at_load(nb::handle difflib_module) {
    AtLoad taken;
    taken.difflib = nb::borrow(difflib_module);
    taken.sequence_matcher = keep(PyObject_GetAttrString(difflib_module.ptr(), "SequenceMatcher"));
    auto* cls = reinterpret_cast<PyTypeObject*>(taken.sequence_matcher.ptr());
    for (const char* name :
         {"__init__", "set_seqs", "set_seq1", "set_seq2", "_SequenceMatcher__chain_b",
          "find_longest_match", "get_matching_blocks", "get_opcodes"}) {
        nb::object key = keep(PyUnicode_InternFromString(name));
        PyObject* value = PyType_Check(cls) ? cpython::type_lookup(cls, key.ptr()) : nullptr;
        taken.matcher_members.emplace_back(std::move(key), nb::borrow(value));
    }
    PyObject* init = taken.matcher_members.front().second.ptr();
    taken.matcher_init_defaults =
        nb::borrow(init && PyFunction_Check(init) ? PyFunction_GetDefaults(init) : nullptr);
    nb::object builtins = nb::module_::import_("builtins");
    taken.open = keep(PyObject_GetAttrString(builtins.ptr(), "open"));
    at_load.keep(std::move(taken));
}

bool standard_difflib(nb::handle difflib) {
    if (!at_load.taken() || difflib.ptr() != at_load->difflib.ptr()) return false;
    PyObject* ns = PyModule_GetDict(difflib.ptr());
    PyObject* cls = PyDict_GetItemWithError(ns, n_SequenceMatcher.get());
    if (cls != at_load->sequence_matcher.ptr() || !PyType_Check(cls)) {
        PyErr_Clear();
        return false;
    }
    for (const auto& [name, value] : at_load->matcher_members)
        if (!value.is_valid() ||
            cpython::type_lookup(reinterpret_cast<PyTypeObject*>(cls), name.ptr()) != value.ptr())
            return false;
    PyObject* init = at_load->matcher_members.front().second.ptr();
    return PyFunction_Check(init) &&
           PyFunction_GetDefaults(init) == at_load->matcher_init_defaults.ptr();
}

bool builtin_open(nb::handle open) {
    return at_load.taken() && open.ptr() == at_load->open.ptr();
}

void remember_page_methods(nb::handle cls, nb::handle globals) {
    static const Name n_globals("__globals__"), n_qualname("__qualname__");
    std::array<nb::object, 3> taken;
    for (std::size_t k = 0; k < taken.size(); ++k) {
        const Name& name = *page_method_names[k];
        nb::object method = getattr(cls, name);
        // The module's own native function of that name: not a Python function (whose type also
        // calls itself "function"), made in the module's namespace, under the class's name.
        const bool native = Py_TYPE(method.ptr()) != &PyFunction_Type &&
                            std::string_view(Py_TYPE(method.ptr())->tp_name) == "function";
        if (!native || lookup_attr(method, n_globals).ptr() != globals.ptr()) continue;
        nb::object qualname = lookup_attr(method, n_qualname);
        if (qualname.is_valid() &&
            equals(qualname, concat({getattr(cls, n_qualname), nb::str("."), name})))
            taken[k] = std::move(method);
    }
    page_methods.keep(std::move(taken));
}

bool own_escape(nb::handle self) {
    return page_methods.taken() && resolves_to(self, n_escape_html, (*page_methods)[0]);
}

bool own_page_methods(nb::handle self) {
    if (!page_methods.taken()) return false;
    for (std::size_t k = 0; k < page_method_names.size(); ++k)
        if (!resolves_to(self, *page_method_names[k], (*page_methods)[k])) return false;
    return true;
}

}  // namespace pelorix::diffpage
