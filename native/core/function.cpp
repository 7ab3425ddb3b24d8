// The native callable type: object layout, Python's argument binding with the interpreter's own
// error wording, exact-type checks, method binding and the attributes introspection relies on.
// This is the one place where C++ exceptions are turned into Python exceptions.
#include "function.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <new>
#include <stdexcept>
#include <string>
#include <typeinfo>

#include "private_api.hpp"
#include "runtime.hpp"

namespace pelorix {
namespace {

constexpr std::size_t max_params = 16;
// Keyword names that the `extras` mask of a binding can stand for, one bit each.
constexpr Py_ssize_t mask_bits = 64;

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;     // tuple, or null for None
    PyObject* kwdefaults;   // dict, or null for None
    PyObject* annotations;  // dict
    PyObject* globals;      // the module namespace
    PyObject* code;         // built on first request of __code__
    const FunctionSpec* decl;
    PyObject* param_names[max_params];  // interned
    PyObject* varkw_name;               // interned, or null
};

FunctionObject* as_function(PyObject* o) {
    return reinterpret_cast<FunctionObject*>(o);
}

// ---- error messages on the cold path, worded as the interpreter words them ----

// Names the parameters left empty in `slots`: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
[[gnu::cold]] void set_missing(FunctionObject* f, PyObject* const* slots) {
    std::vector<PyObject*> missing;
    for (std::size_t i = 0; i < f->decl->params.size(); ++i)
        if (!slots[i]) missing.push_back(f->param_names[i]);
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0)
            list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
        list += "'";
        list += PyUnicode_AsUTF8(missing[i]);
        list += "'";
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %s",
                 f->qualname, static_cast<Py_ssize_t>(missing.size()),
                 missing.size() == 1 ? "" : "s", list.c_str());
}

[[gnu::cold]] void set_too_many(FunctionObject* f, std::size_t given) {
    const std::size_t argcount = f->decl->params.size();
    const std::size_t defcount =
        f->defaults ? static_cast<std::size_t>(PyTuple_GET_SIZE(f->defaults)) : 0;
    std::string takes;
    bool plural = argcount != 1;
    if (defcount > 0) {
        const std::size_t least = argcount > defcount ? argcount - defcount : 0;
        takes = "from " + std::to_string(least) + " to " + std::to_string(argcount);
        plural = true;
    } else {
        takes = std::to_string(argcount);
    }
    PyErr_Format(PyExc_TypeError, "%U() takes %s positional argument%s but %zd %s given",
                 f->qualname, takes.c_str(), plural ? "s" : "", static_cast<Py_ssize_t>(given),
                 given == 1 ? "was" : "were");
}

// An unknown keyword for a function without **kw; 3.13 suggests the closest parameter name.
[[gnu::cold]] void set_unexpected_keyword(FunctionObject* f, PyObject* key) {
    if constexpr (cpython::suggests_names) {
        const std::size_t n = f->decl->params.size();
        nb::object names = nb::steal(PyList_New(static_cast<Py_ssize_t>(n)));
        if (names.is_valid()) {
            for (std::size_t i = 0; i < n; ++i)
                PyList_SET_ITEM(names.ptr(), static_cast<Py_ssize_t>(i),
                                Py_NewRef(f->param_names[i]));
            if (PyObject* near = cpython::suggestion(names.ptr(), key)) {
                PyErr_Format(PyExc_TypeError,
                             "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                             f->qualname, key, near);
                Py_DECREF(near);
                return;
            }
        }
        PyErr_Clear();
    }
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, key);
}

const char* check_text(Check check) {
    switch (check) {
        case Check::Str:
            return "str";
        case Check::Int:
            return "int";
        case Check::Dict:
            return "dict";
        case Check::StrOrNone:
            return "str or None";
        case Check::ListOrNone:
            return "list or None";
        case Check::Any:
            break;
    }
    return "object";
}

[[gnu::always_inline]] inline bool passes(Check check, PyObject* v) {
    switch (check) {
        case Check::Any:
            return true;
        case Check::Str:
            return PyUnicode_CheckExact(v);
        case Check::Int:
            return PyLong_CheckExact(v);
        case Check::Dict:
            return PyDict_CheckExact(v);
        case Check::StrOrNone:
            return v == Py_None || PyUnicode_CheckExact(v);
        case Check::ListOrNone:
            return v == Py_None || PyList_CheckExact(v);
    }
    return false;
}

[[gnu::cold]] void set_bad_type(FunctionObject* f, const Param& p, PyObject* v) {
    PyErr_Format(PyExc_TypeError, "%U() argument '%s' must be %s, not %s", f->qualname, p.name,
                 check_text(p.check), Py_TYPE(v)->tp_name);
}

[[gnu::cold]] void set_bad_result(FunctionObject* f, PyObject* v) {
    PyErr_Format(PyExc_TypeError, "%U() returned %s, expected %s", f->qualname, Py_TYPE(v)->tp_name,
                 check_text(f->decl->result));
}

PyObject* builtin_type(nb::exception_type t) {
    switch (t) {
        case nb::exception_type::stop_iteration:
            return PyExc_StopIteration;
        case nb::exception_type::index_error:
            return PyExc_IndexError;
        case nb::exception_type::key_error:
            return PyExc_KeyError;
        case nb::exception_type::value_error:
            return PyExc_ValueError;
        case nb::exception_type::type_error:
            return PyExc_TypeError;
        case nb::exception_type::buffer_error:
            return PyExc_BufferError;
        case nb::exception_type::import_error:
            return PyExc_ImportError;
        case nb::exception_type::attribute_error:
            return PyExc_AttributeError;
        default:
            return PyExc_RuntimeError;
    }
}

// The one place where C++ exceptions become Python ones.
}  // namespace

[[gnu::cold]] void set_error_from_exception(PyObject* where) noexcept {
    try {
        throw;
    } catch (nb::python_error& e) {
        e.restore();
    } catch (nb::builtin_exception& e) {
        PyErr_SetString(builtin_type(e.type()), e.what());
    } catch (const std::bad_cast&) {
        PyErr_Format(PyExc_TypeError, "%U(): unexpected argument type", where);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_RuntimeError, "%U(): internal error: %s", where, e.what());
    } catch (...) {
        PyErr_Format(PyExc_RuntimeError, "%U(): internal error", where);
    }
}

namespace {

// Runs the body; a new reference, or null with a Python exception set.
PyObject* run_body(FunctionObject* f, Call& call) noexcept {
    try {
        nb::object result = f->decl->body(call);
        if (!result.is_valid()) {
            if (PyErr_Occurred()) return nullptr;
            return Py_NewRef(Py_None);
        }
        return result.release().ptr();
    } catch (...) {
        set_error_from_exception(f->qualname);
    }
    return nullptr;
}

int find_param(FunctionObject* f, PyObject* key) {
    const int n = static_cast<int>(f->decl->params.size());
    for (int i = 0; i < n; ++i)
        if (f->param_names[i] == key) return i;
    // Parameter names are interned, and so are the keyword names the interpreter passes from a
    // call site: two interned exact strs are equal only if they are the same object.
    if (PyUnicode_CheckExact(key) && PyUnicode_CHECK_INTERNED(key)) return -1;
    for (int i = 0; i < n; ++i) {
        const int eq = PyUnicode_Compare(f->param_names[i], key);
        if (eq == 0) return i;
        if (eq == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    return -1;
}

// ---- binding the arguments of one call, in the interpreter's order of checks ----

// Where each parameter's value comes from, filled step by step.  All values are borrowed from the
// caller's argument vector or the defaults tuple.
struct Binding {
    // Only the function's own parameters' slots are used; bind_positionals fills them all first.
    PyObject* slots[max_params];
    // Extra keywords (for **kw) stay where the caller put them: bit k is set when kwnames[k] is
    // one.  A call with more keyword names than the mask has bits collects them into `kwdict`.
    std::uint64_t extras = 0;
    nb::object kwdict;
};

[[gnu::always_inline]] inline void bind_positionals(FunctionObject* f, PyObject* const* args,
                                                    std::size_t nargs, Binding& b) {
    // Element by element: for a few pointers, the block fill and copy instructions the compiler
    // would make of a zeroed array and a copy loop take longer to start than the loop takes.
    const std::size_t nparams = f->decl->params.size();
    for (std::size_t i = 0; i < nparams; ++i) b.slots[i] = i < nargs ? args[i] : nullptr;
}

// Too many keywords to track by bit: the extras go into a dictionary right away.
[[gnu::cold]] bool collect_extras(FunctionObject* f, PyObject* const* kwvalues, PyObject* kwnames,
                                  Binding& b) {
    b.kwdict = nb::steal(PyDict_New());
    if (!b.kwdict.is_valid()) return false;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (find_param(f, key) >= 0) continue;
        if (PyDict_SetItem(b.kwdict.ptr(), key, kwvalues[k]) < 0) return false;
    }
    b.extras = 0;
    return true;
}

[[gnu::always_inline]] inline bool bind_keywords(FunctionObject* f, PyObject* const* kwvalues,
                                                 PyObject* kwnames, Binding& b) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->qualname);
            return false;
        }
        const int j = find_param(f, key);
        if (j < 0) {
            if (!f->varkw_name) {
                set_unexpected_keyword(f, key);
                return false;
            }
            // Past the mask's width the bit only says that there are extras: they go to the
            // dictionary below.
            b.extras |= std::uint64_t{1} << (k % mask_bits);
            continue;
        }
        if (b.slots[j]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname,
                         key);
            return false;
        }
        b.slots[j] = kwvalues[k];
    }
    return !b.extras || nkw <= mask_bits || collect_extras(f, kwvalues, kwnames, b);
}

// Fills the parameters nobody passed from `defaults` (the tuple, or None), which apply to the
// last parameters; any still empty is missing.
[[gnu::always_inline]] inline bool apply_defaults(FunctionObject* f, PyObject* defaults,
                                                  Binding& b) {
    const std::size_t nparams = f->decl->params.size();
    const std::size_t ndefaults =
        defaults != Py_None ? static_cast<std::size_t>(PyTuple_GET_SIZE(defaults)) : 0;
    const std::size_t first_default = nparams - ndefaults;  // __defaults__ is never longer
    bool any_missing = false;
    for (std::size_t i = 0; i < nparams; ++i) {
        if (b.slots[i]) continue;
        if (i >= first_default)
            b.slots[i] = PyTuple_GET_ITEM(defaults, i - first_default);
        else
            any_missing = true;
    }
    if (any_missing) set_missing(f, b.slots);
    return !any_missing;
}

[[gnu::always_inline]] inline bool check_types(FunctionObject* f, const Binding& b) {
    const std::vector<Param>& params = f->decl->params;
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (!passes(params[i].check, b.slots[i])) {
            set_bad_type(f, params[i], b.slots[i]);
            return false;
        }
    }
    return true;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf,
                              PyObject* kwnames) noexcept {
    FunctionObject* f = as_function(self);
    const std::size_t nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
    PyObject* const* kwvalues = args + nargs;
    Binding b;
    bind_positionals(f, args, nargs, b);
    if (kwnames && !bind_keywords(f, kwvalues, kwnames, b)) return nullptr;
    if (nargs > f->decl->params.size()) {
        set_too_many(f, nargs);
        return nullptr;
    }
    // The body may run Python code that replaces __defaults__; the defaults it was given must
    // outlive that, as they do for a Python function, whose frame owns its arguments.
    const nb::object defaults = nb::borrow(f->defaults ? f->defaults : Py_None);
    if (!apply_defaults(f, defaults.ptr(), b) || !check_types(f, b)) return nullptr;

    Call call = b.kwdict.is_valid()
                    ? Call(f->globals, f->qualname, b.slots, b.kwdict.ptr())
                    : Call(f->globals, f->qualname, b.slots, kwnames, kwvalues, b.extras);
    PyObject* result = run_body(f, call);
    if (result && !passes(f->decl->result, result)) {
        set_bad_result(f, result);
        Py_DECREF(result);
        return nullptr;
    }
    return result;
}

// ---- type slots ----

// The references a function owns besides its name and qualname.  Those two are always str and so
// never part of a cycle; the collector leaves them, so that a cleared function reached again still
// has them for its repr and messages.
constexpr PyObject* FunctionObject::* clearable[] = {
    &FunctionObject::dict,     &FunctionObject::module,     &FunctionObject::doc,
    &FunctionObject::defaults, &FunctionObject::kwdefaults, &FunctionObject::annotations,
    &FunctionObject::globals,  &FunctionObject::code,
};

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    for (PyObject* FunctionObject::* field : clearable) Py_VISIT(f->*field);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    for (PyObject* FunctionObject::* field : clearable) Py_CLEAR(f->*field);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(as_function(self)->name);
    Py_CLEAR(as_function(self)->qualname);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Pickled (and deep-copied) by reference, as Python functions are.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- attributes kept in fields, set by the interpreter's rules ----

// What may be stored in a field: the type it must have (else `type_error`), and whether None or
// deleting the attribute empties it (reads then give None, or a fresh dict for __annotations__).
struct FieldRule {
    PyObject* FunctionObject::* field;
    int (*type_ok)(PyObject*);
    const char* type_error;
    bool none_clears;
};

FieldRule name_rule{&FunctionObject::name, [](PyObject* v) { return PyUnicode_Check(v); },
                    "__name__ must be set to a string object", false};
FieldRule qualname_rule{&FunctionObject::qualname, [](PyObject* v) { return PyUnicode_Check(v); },
                        "__qualname__ must be set to a string object", false};
FieldRule defaults_rule{&FunctionObject::defaults, [](PyObject* v) { return PyTuple_Check(v); },
                        "__defaults__ must be set to a tuple object", true};
FieldRule kwdefaults_rule{&FunctionObject::kwdefaults, [](PyObject* v) { return PyDict_Check(v); },
                          "__kwdefaults__ must be set to a dict object", true};
FieldRule annotations_rule{&FunctionObject::annotations,
                           [](PyObject* v) { return PyDict_Check(v); },
                           "__annotations__ must be set to a dict object", true};

PyObject* get_field(PyObject* self, void* rule) {
    PyObject* v = as_function(self)->*static_cast<FieldRule*>(rule)->field;
    return Py_NewRef(v ? v : Py_None);
}

int set_field(PyObject* self, PyObject* value, void* closure) {
    const FieldRule& rule = *static_cast<FieldRule*>(closure);
    if (rule.none_clears && value == Py_None) value = nullptr;
    if (value ? !rule.type_ok(value) : !rule.none_clears) {
        PyErr_SetString(PyExc_TypeError, rule.type_error);
        return -1;
    }
    Py_XSETREF(as_function(self)->*rule.field, Py_XNewRef(value));
    return 0;
}

// The binder relies on there being no more defaults than parameters.
int set_defaults(PyObject* self, PyObject* value, void* rule) {
    if (value && PyTuple_Check(value) &&
        static_cast<std::size_t>(PyTuple_GET_SIZE(value)) >
            as_function(self)->decl->params.size()) {
        PyErr_SetString(PyExc_ValueError,
                        "__defaults__ has more items than the function has parameters");
        return -1;
    }
    return set_field(self, value, rule);
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (!f->annotations) {
        f->annotations = PyDict_New();
        if (!f->annotations) return nullptr;
    }
    return Py_NewRef(f->annotations);
}

// A code object that describes the parameters, so inspect treats the function like a Python one.
PyObject* get_code(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->code) return Py_NewRef(f->code);
    const FunctionSpec& decl = *f->decl;
    const std::size_t n = decl.params.size();
    nb::object names = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(n + (f->varkw_name ? 1 : 0))));
    if (!names.is_valid()) return nullptr;
    for (std::size_t i = 0; i < n; ++i)
        PyTuple_SET_ITEM(names.ptr(), static_cast<Py_ssize_t>(i), Py_NewRef(f->param_names[i]));
    if (f->varkw_name)
        PyTuple_SET_ITEM(names.ptr(), static_cast<Py_ssize_t>(n), Py_NewRef(f->varkw_name));
    nb::object modname = nb::borrow(f->module ? f->module : Py_None);
    const char* filename = "<native>";
    if (PyUnicode_Check(modname.ptr())) {
        filename = PyUnicode_AsUTF8(modname.ptr());  // fails for a __module__ with lone surrogates
        if (!filename) return nullptr;
    }
    PyCodeObject* empty = PyCode_NewEmpty(filename, decl.name, 0);
    if (!empty) return nullptr;
    nb::object base = nb::steal(reinterpret_cast<PyObject*>(empty));
    try {
        int flags = CO_OPTIMIZED | CO_NEWLOCALS | (f->varkw_name ? CO_VARKEYWORDS : 0);
        nb::object code = base.attr("replace")(
            nb::arg("co_argcount") = n, nb::arg("co_varnames") = names,
            nb::arg("co_nlocals") = PyTuple_GET_SIZE(names.ptr()), nb::arg("co_flags") = flags,
            nb::arg("co_qualname") = nb::borrow(f->qualname));
        f->code = code.release().ptr();
    } catch (nb::python_error& e) {
        e.restore();
        return nullptr;
    }
    return Py_NewRef(f->code);
}

PyObject* get_globals(PyObject* self, void*) {
    PyObject* g = as_function(self)->globals;
    return Py_NewRef(g ? g : Py_None);
}
PyObject* get_none(PyObject*, void*) {
    Py_RETURN_NONE;
}
PyObject* get_type_params(PyObject*, void*) {
    return PyTuple_New(0);
}
PyObject* get_builtins(PyObject*, void*) {
    PyObject* b = PyEval_GetBuiltins();
    return Py_NewRef(b ? b : Py_None);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_field, set_field, nullptr, &name_rule},
    {"__qualname__", get_field, set_field, nullptr, &qualname_rule},
    {"__defaults__", get_field, set_defaults, nullptr, &defaults_rule},
    {"__kwdefaults__", get_field, set_field, nullptr, &kwdefaults_rule},
    {"__annotations__", get_annotations, set_field, nullptr, &annotations_rule},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__builtins__", get_builtins, nullptr, nullptr, nullptr},
    {"__type_params__", get_type_params, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), 0, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_methods, function_methods},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_type_spec = {
    "function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

PyTypeObject* the_type = nullptr;

// The type of native functions in this module, created on first use.
PyTypeObject* function_type() {
    if (!the_type) {
        the_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_type_spec));
        if (!the_type) raise_current();
    }
    return the_type;
}

// The 3.13 compiler's docstring cleaning, on text whose tabs are already expanded.  Only spaces
// count as indentation; lines of nothing but spaces set no margin and lose up to the margin.
std::string clean_docstring(std::string_view doc) {
    auto line_end = [&](std::size_t from) {
        const std::size_t end = doc.find('\n', from);
        return end == std::string_view::npos ? doc.size() : end;
    };
    const std::size_t first_end = line_end(0);
    std::size_t margin = std::string_view::npos;
    for (std::size_t at = first_end + 1; at < doc.size(); at = line_end(at) + 1) {
        const std::size_t text = std::min(doc.find_first_not_of(' ', at), doc.size());
        if (text < line_end(at)) margin = std::min(margin, text - at);
    }
    if (margin == std::string_view::npos) margin = 0;
    // The first line loses its leading spaces, every other line up to `margin` of them.
    const std::size_t first_text = std::min(doc.find_first_not_of(' '), first_end);
    std::string out(doc.substr(first_text, first_end + 1 - first_text));
    for (std::size_t at = first_end + 1; at < doc.size(); at = line_end(at) + 1) {
        std::size_t from = at;
        while (from < at + margin && from < doc.size() && doc[from] == ' ') ++from;
        out.append(doc.substr(from, line_end(at) + 1 - from));
    }
    return out;
}

}  // namespace

nb::str docstring_object(const char* text) {
    nb::str doc(text);
    if constexpr (!cpython::compiler_cleans_docstrings) return doc;
    nb::object expanded = doc.attr("expandtabs")();
    return make_str(clean_docstring(utf8(expanded)));
}

nb::object make_function(const FunctionSpec& decl, nb::handle globals, const char* qualprefix,
                         std::initializer_list<nb::handle> defaults) {
    if (decl.params.size() > max_params) throw std::length_error("too many parameters");
    if (defaults.size() > decl.params.size())
        throw std::length_error("more defaults than parameters");
    PyTypeObject* tp = function_type();
    auto* f = PyObject_GC_New(FunctionObject, tp);
    if (!f) raise_current();
    f->vectorcall = function_vectorcall;
    f->dict = f->weakrefs = f->name = f->qualname = f->module = f->doc = nullptr;
    f->defaults = f->kwdefaults = f->annotations = f->globals = f->code = nullptr;
    f->decl = &decl;
    f->varkw_name = nullptr;
    nb::object result = nb::steal(reinterpret_cast<PyObject*>(f));  // owns f from here on

    for (std::size_t i = 0; i < decl.params.size(); ++i) {
        f->param_names[i] = PyUnicode_InternFromString(decl.params[i].name);
        if (!f->param_names[i]) raise_current();
        Py_INCREF(f->param_names[i]);  // interned names stay for the life of the process
    }
    if (decl.varkw) {
        f->varkw_name = PyUnicode_InternFromString(decl.varkw);
        if (!f->varkw_name) raise_current();
        Py_INCREF(f->varkw_name);
    }

    nb::str name(decl.name);
    nb::str qualname =
        qualprefix ? nb::str((std::string(qualprefix) + "." + decl.name).c_str()) : name;
    f->name = name.release().ptr();
    f->qualname = qualname.release().ptr();
    f->globals = nb::borrow(globals).release().ptr();
    PyObject* modname = PyDict_GetItemString(globals.ptr(), "__name__");
    f->module = Py_NewRef(modname ? modname : Py_None);
    f->doc = decl.doc ? docstring_object(decl.doc).release().ptr() : Py_NewRef(Py_None);

    if (defaults.size() > 0) {
        nb::object t = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(defaults.size())));
        if (!t.is_valid()) raise_current();
        Py_ssize_t i = 0;
        for (nb::handle d : defaults) PyTuple_SET_ITEM(t.ptr(), i++, Py_NewRef(d.ptr()));
        f->defaults = t.release().ptr();
    }

    nb::dict ann;
    for (const Param& p : decl.params)
        if (p.annotation) ann[p.name] = nb::str(p.annotation);
    if (decl.returns) ann["return"] = nb::str(decl.returns);
    f->annotations = ann.release().ptr();

    PyObject_GC_Track(f);
    return result;
}

bool is_function_of(nb::handle obj, const FunctionSpec& decl) {
    return the_type && Py_TYPE(obj.ptr()) == the_type && as_function(obj.ptr())->decl == &decl;
}

}  // namespace pelorix
