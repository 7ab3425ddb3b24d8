// Building modules and classes: a module's entry point, its namespace set up in order
// (load-time imports first), classes made as a class statement makes them, and imports run at
// call time.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "private_api.hpp"
#include "runtime.hpp"

namespace pelorix {

namespace {
const Name n_import("__import__");
}  // namespace

int exec_module(PyObject* m, void (*body)(nb::module_)) noexcept {
    try {
        body(nb::borrow<nb::module_>(m));
        return 0;
    } catch (...) {
        // the importer gave the module its name before running it
        nb::object name = nb::steal(PyModule_GetNameObject(m));
        if (name.is_valid()) set_error_from_exception(name.ptr());
    }
    return -1;
}

nb::object Module::import(const char* name, const char* asname) {
    PyObject* mod = PyImport_ImportModuleLevel(name, globals().ptr(), nullptr, nullptr, 0);
    if (!mod) raise_current();
    nb::object result = nb::steal(mod);
    set(asname ? asname : name, result);
    return result;
}

void Module::import_from(const char* module, std::initializer_list<const char*> names, int level) {
    nb::list fromlist;
    for (const char* n : names) fromlist.append(nb::str(n));
    PyObject* mod =
        PyImport_ImportModuleLevel(module, globals().ptr(), nullptr, fromlist.ptr(), level);
    if (!mod) raise_current();
    nb::object source = nb::steal(mod);
    for (const char* n : names) {
        PyObject* value = PyObject_GetAttrString(source.ptr(), n);
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_current();
            PyErr_Clear();
            nb::object modname = nb::getattr(source, "__name__", nb::str(module));
            raise(PyExc_ImportError, "cannot import name '%s' from '%U'", n, modname.ptr());
        }
        set(n, nb::steal(value));
    }
}

void Module::set(const char* name, nb::handle value) {
    if (PyDict_SetItemString(globals().ptr(), name, value.ptr()) < 0) raise_current();
}

nb::object Module::def(const FunctionSpec& decl, std::initializer_list<nb::handle> defaults) {
    nb::object f = make_function(decl, globals(), nullptr, defaults);
    set(decl.name, f);
    return f;
}

nb::object Module::get(const char* name) const {
    PyObject* v = PyDict_GetItemString(globals().ptr(), name);
    if (!v) raise(PyExc_NameError, "name '%s' is not defined", name);
    return nb::borrow(v);
}

namespace {
// The name a class body stores `name` under: a private name (__x, not __x__) becomes _Class__x,
// without the class name's leading underscores; a class named only with underscores leaves it.
std::string mangled(std::string_view name, std::string_view cls) {
    const std::size_t start = cls.find_first_not_of('_');
    if (!name.starts_with("__") || name.ends_with("__") || start == std::string_view::npos)
        return std::string(name);
    return "_" + std::string(cls.substr(start)) + std::string(name);
}
}  // namespace

ClassBuilder& ClassBuilder::attr(const char* name, nb::handle value, const char* annotation) {
    members_.emplace_back(name, nb::borrow(value));
    if (annotation) annotations_.emplace_back(name, annotation);
    return *this;
}

ClassBuilder& ClassBuilder::method(const FunctionSpec& decl,
                                   std::initializer_list<nb::handle> defaults,
                                   nb::handle decorator) {
    nb::object f = make_function(decl, mod_.globals(), name_, defaults);
    if (decorator.is_valid()) f = call(decorator, {f});
    members_.emplace_back(mangled(decl.name, name_), std::move(f));
    return *this;
}

ClassBuilder& ClassBuilder::methods(std::initializer_list<const FunctionSpec*> decls) {
    for (const FunctionSpec* decl : decls) method(*decl);
    return *this;
}

ClassBuilder& ClassBuilder::static_attributes(std::initializer_list<const char*> names) {
    static_attributes_.assign(names.begin(), names.end());
    return *this;
}

nb::object ClassBuilder::make(nb::handle metaclass, nb::handle bases) const {
    nb::dict ns;
    PyObject* modname = PyDict_GetItemString(mod_.globals().ptr(), "__name__");
    ns["__module__"] = nb::borrow(modname ? modname : Py_None);
    ns["__qualname__"] = nb::str(name_);
    // The line the class statement starts on; a native class has none, which its methods' code
    // objects also say with line 0.
    if constexpr (cpython::class_lists_source_details) ns["__firstlineno__"] = nb::int_(0);
    if (!annotations_.empty()) {
        nb::dict ann;
        for (const auto& [key, text] : annotations_) ann[key] = nb::str(text);
        ns["__annotations__"] = ann;
    }
    if (doc_) ns["__doc__"] = docstring_object(doc_);
    for (const auto& [key, value] : members_) ns[nb::str(key.data(), key.size())] = value;
    if constexpr (cpython::class_lists_source_details) {
        std::vector<std::string> names = static_attributes_;
        std::sort(names.begin(), names.end());  // as the compiler lists them
        nb::list listed;
        for (const std::string& n : names) listed.append(nb::str(n.data(), n.size()));
        ns["__static_attributes__"] = nb::tuple(listed);
    }
    return call(metaclass, {nb::str(name_), bases, ns});
}

namespace {
nb::object call_import(const Call& c, const char* module, nb::handle fromlist) {
    PyObject* builtins = PyEval_GetBuiltins();
    PyObject* import = builtins ? PyDict_GetItemWithError(builtins, n_import.get()) : nullptr;
    if (!import) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
        raise_current();
    }
    return nb::borrow(import)(nb::str(module), c.globals(), nb::none(), fromlist, 0);
}
}  // namespace

nb::object import_now(const Call& c, const char* module) {
    // `import a.b` binds the top package; callers here import top-level modules only
    return call_import(c, module, nb::none());
}

std::vector<nb::object> import_from_now(const Call& c, const char* module,
                                        std::initializer_list<const char*> names) {
    nb::list fromlist;
    for (const char* n : names) fromlist.append(nb::str(n));
    nb::object source = call_import(c, module, nb::tuple(fromlist));
    std::vector<nb::object> values;
    for (const char* n : names) {
        PyObject* value = PyObject_GetAttrString(source.ptr(), n);
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_current();
            PyErr_Clear();
            raise(PyExc_ImportError, "cannot import name '%s' from '%s'", n, module);
        }
        values.push_back(nb::steal(value));
    }
    return values;
}

}  // namespace pelorix
