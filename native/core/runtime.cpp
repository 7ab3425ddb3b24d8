// Interned names and what they resolve to, the bound arguments of a call and its **kw access,
// module set-up, class creation and the small calling helpers that module sources share.
#include "runtime.hpp"

#include <algorithm>
#include <bit>
#include <cstdarg>
#include <cstring>
#include <iterator>
#include <vector>

#include "names.hpp"
#include "private_api.hpp"

namespace pelorix {

namespace {
const Name n_import("__import__");

PyObject* empty_str() {
    static PyObject* empty = PyUnicode_InternFromString("");
    return empty;
}

// The positions of the set bits of a mask, lowest first: `for (Py_ssize_t k : SetBits{mask})`.
// Each step clears the lowest bit, so bit 63 is visited like any other and the walk ends there.
struct SetBits {
    std::uint64_t mask;
    struct Iterator {
        std::uint64_t rest;
        Py_ssize_t operator*() const { return std::countr_zero(rest); }
        Iterator& operator++() {
            rest &= rest - 1;
            return *this;
        }
        bool operator!=(const Iterator& other) const { return rest != other.rest; }
    };
    Iterator begin() const { return {mask}; }
    Iterator end() const { return {0}; }
};

// The argument vector of one vectorcall.  Calls with a few arguments, nearly all of them, keep it
// on the stack.
class ArgVector {
public:
    explicit ArgVector(std::size_t capacity)
        : data_(capacity <= std::size(small_) ? small_ : (heap_.resize(capacity), heap_.data())) {}
    // A copy would point into the original's buffer.
    ArgVector(const ArgVector&) = delete;
    ArgVector& operator=(const ArgVector&) = delete;
    void push(PyObject* arg) { data_[size_++] = arg; }
    PyObject** data() { return data_; }
    std::size_t size() const { return size_; }

private:
    PyObject* small_[8];
    std::vector<PyObject*> heap_;
    PyObject** data_;
    std::size_t size_ = 0;
};

// The instance dictionary of an ordinary object (made real if the interpreter kept the values
// inline), or null when the object has none.  `failed` is set when it should have one but it
// could not be had.
PyObject* instance_dict(PyObject* self, bool& failed) {
    PyTypeObject* tp = Py_TYPE(self);
    failed = false;
    if (tp->tp_dictoffset == 0 && !(tp->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return nullptr;
    PyObject** dictptr = cpython::object_dict_slot(self);
    if (!dictptr) {
        failed = true;
        return nullptr;
    }
    return *dictptr;
}
}  // namespace

// ---- interned names and what they resolve to ----

PyObject* Name::get() const {
    if (!obj_) {
        obj_ = PyUnicode_InternFromString(text_);
        if (!obj_) throw nb::python_error();
    }
    return obj_;
}

PyObject* Name::type_lookup(PyTypeObject* type) const {
    if (type == seen_type_ && cpython::type_version(type) == seen_version_) return seen_value_;
    PyObject* value = cpython::type_lookup(type, get());  // gives the type a version tag if it can
    seen_version_ = cpython::type_version(type);
    seen_type_ = seen_version_ ? type : nullptr;
    seen_value_ = value;
    return value;
}

PyObject* Name::dict_lookup(PyObject* dict) const {
    const std::uint64_t version = cpython::dict_version(dict);
    if (dict == seen_dict_ && version == seen_dict_version_ && version != 0)
        return seen_dict_value_;
    PyObject* value = PyDict_GetItemWithError(dict, get());
    if (!value && PyErr_Occurred()) throw nb::python_error();
    seen_dict_ = dict;
    seen_dict_version_ = version;
    seen_dict_value_ = value;
    return value;
}

// ---- the arguments of a call, its **kw and its module namespace ----

nb::dict Call::kw() const {
    if (!kw_) {
        nb::object d = nb::steal(PyDict_New());
        if (!d.is_valid()) throw nb::python_error();
        for (Py_ssize_t k : SetBits{extras_})
            if (PyDict_SetItem(d.ptr(), PyTuple_GET_ITEM(kwnames_, k), kwvalues_[k]) < 0)
                throw nb::python_error();
        owned_kw_ = std::move(d);
        kw_ = owned_kw_.ptr();
    }
    return nb::borrow<nb::dict>(kw_);
}

PyObject* Call::kw_get(const Name& key) const {
    if (!kw_) {
        if (!extras_) return nullptr;
        bool plain = true;     // exact str names compare as the dictionary would compare them
        bool interned = true;  // ... and interned ones are equal only when identical
        for (Py_ssize_t k : SetBits{extras_}) {
            PyObject* name = PyTuple_GET_ITEM(kwnames_, k);
            if (name == key.get()) return kwvalues_[k];
            plain &= PyUnicode_CheckExact(name);
            interned &= plain && PyUnicode_CHECK_INTERNED(name);
        }
        if (interned) return nullptr;
        if (plain) {
            for (Py_ssize_t k : SetBits{extras_})
                if (PyUnicode_Compare(PyTuple_GET_ITEM(kwnames_, k), key.get()) == 0)
                    return kwvalues_[k];
            return nullptr;
        }
        kw();
    }
    PyObject* v = PyDict_GetItemWithError(kw_, key.get());
    if (!v && PyErr_Occurred()) throw nb::python_error();
    return v;
}

nb::object Call::global(const Name& name) const {
    PyObject* key = name.get();
    PyObject* v = globals_ ? PyDict_GetItemWithError(globals_, key) : nullptr;
    if (!v && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();
        v = builtins ? PyDict_GetItemWithError(builtins, key) : nullptr;
        if (!v && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    }
    if (!v) throw nb::python_error();
    return nb::borrow(v);
}

nb::object Call::call_method_with_kw(nb::handle self, const Name& name,
                                     std::initializer_list<nb::handle> args) const {
    if (kw_)
        return call_method(self, name, args, PyDict_GET_SIZE(kw_) ? nb::handle(kw_) : nb::handle());
    ArgVector argv(1 + args.size() + static_cast<std::size_t>(std::popcount(extras_)));
    argv.push(self.ptr());
    for (nb::handle a : args) argv.push(a.ptr());
    const std::size_t positional = argv.size();
    nb::object names;
    const Py_ssize_t nkw = kwnames_ ? PyTuple_GET_SIZE(kwnames_) : 0;
    if (extras_) {
        const bool all = extras_ == (nkw >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << nkw) - 1);
        if (all) {
            names = nb::borrow(kwnames_);
        } else {
            names = nb::steal(PyTuple_New(std::popcount(extras_)));
            if (!names.is_valid()) throw nb::python_error();
        }
        Py_ssize_t m = 0;
        for (Py_ssize_t k : SetBits{extras_}) {
            argv.push(kwvalues_[k]);
            if (!all) PyTuple_SET_ITEM(names.ptr(), m++, Py_NewRef(PyTuple_GET_ITEM(kwnames_, k)));
        }
    }
    PyObject* r = vectorcall_method(name, argv.data(), positional, names.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// ---- module set-up ----

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
#if PY_VERSION_HEX >= 0x030D0000
    // The line the class statement starts on; a native class has none, which its methods' code
    // objects also say with line 0.
    ns["__firstlineno__"] = nb::int_(0);
#endif
    if (!annotations_.empty()) {
        nb::dict ann;
        for (const auto& [key, text] : annotations_) ann[key] = nb::str(text);
        ns["__annotations__"] = ann;
    }
    if (doc_) ns["__doc__"] = docstring_object(doc_);
    for (const auto& [key, value] : members_) ns[nb::str(key.data(), key.size())] = value;
#if PY_VERSION_HEX >= 0x030D0000
    std::vector<std::string> names = static_attributes_;
    std::sort(names.begin(), names.end());  // as the compiler lists them
    nb::list listed;
    for (const std::string& n : names) listed.append(nb::str(n.data(), n.size()));
    ns["__static_attributes__"] = nb::tuple(listed);
#endif
    return call(metaclass, {nb::str(name_), bases, ns});
}

void print(const Call& c, std::initializer_list<nb::handle> args) {
    call(c.global(n_print), args);
}

namespace {
// The kwnames tuple of a vectorcall (invalid when there are no keywords); the values go after the
// positionals in the argument vector.
nb::object keyword_names(std::initializer_list<Kw> kwargs, ArgVector& argv) {
    if (kwargs.size() == 0) return {};
    nb::object names = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
    if (!names.is_valid()) raise_current();
    Py_ssize_t k = 0;
    for (const Kw& kw : kwargs) {
        PyTuple_SET_ITEM(names.ptr(), k++, Py_NewRef(kw.name.get()));
        argv.push(kw.value.ptr());
    }
    return names;
}
}  // namespace

nb::object call(nb::handle fn, std::initializer_list<nb::handle> args,
                std::initializer_list<Kw> kwargs) {
    // argv[0] stays free for the callee (PY_VECTORCALL_ARGUMENTS_OFFSET), e.g. to put self there
    ArgVector argv(1 + args.size() + kwargs.size());
    argv.push(nullptr);
    for (nb::handle a : args) argv.push(a.ptr());
    nb::object names = keyword_names(kwargs, argv);
    PyObject* r = PyObject_Vectorcall(fn.ptr(), argv.data() + 1,
                                      args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, names.ptr());
    if (!r) raise_current();
    return nb::steal(r);
}

nb::object call_method(nb::handle self, const Name& name, std::initializer_list<nb::handle> args,
                       std::initializer_list<Kw> kwargs) {
    ArgVector argv(1 + args.size() + kwargs.size());
    argv.push(self.ptr());
    for (nb::handle a : args) argv.push(a.ptr());
    nb::object names = keyword_names(kwargs, argv);
    PyObject* r = vectorcall_method(name, argv.data(), 1 + args.size(), names.ptr());
    if (!r) raise_current();
    return nb::steal(r);
}

nb::object call_method(nb::handle self, const Name& name, std::initializer_list<nb::handle> args,
                       nb::handle kwargs) {
    if (!kwargs.is_valid() || PyDict_GET_SIZE(kwargs.ptr()) == 0)
        return call_method(self, name, args, std::initializer_list<Kw>{});
    nb::object method = nb::steal(PyObject_GetAttr(self.ptr(), name.get()));
    if (!method.is_valid()) raise_current();
    nb::object tuple = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    if (!tuple.is_valid()) raise_current();
    Py_ssize_t i = 0;
    for (nb::handle a : args) PyTuple_SET_ITEM(tuple.ptr(), i++, Py_NewRef(a.ptr()));
    PyObject* r = PyObject_Call(method.ptr(), tuple.ptr(), kwargs.ptr());
    if (!r) raise_current();
    return nb::steal(r);
}

PyObject* vectorcall_method(const Name& name, PyObject** argv, std::size_t nargs,
                            PyObject* kwnames) {
    PyObject* self = argv[0];
    PyTypeObject* tp = Py_TYPE(self);
    if (tp->tp_getattro == PyObject_GenericGetAttr) {
        PyObject* attr = name.type_lookup(tp);
        if (attr && (Py_TYPE(attr)->tp_flags & Py_TPFLAGS_METHOD_DESCRIPTOR)) {
            bool failed = false;
            PyObject* dict = instance_dict(self, failed);
            PyObject* shadow = nullptr;
            if (dict) {
                try {
                    shadow = name.dict_lookup(dict);
                } catch (nb::python_error& e) {
                    e.restore();
                    return nullptr;
                }
            }
            if (!failed && !shadow) {
                Py_INCREF(attr);  // the call may drop the class's reference to it
                PyObject* r = PyObject_Vectorcall(attr, argv, nargs, kwnames);
                Py_DECREF(attr);
                return r;
            }
        }
    }
    return PyObject_VectorcallMethod(name.get(), argv, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     kwnames);
}

nb::object lookup_attr(nb::handle obj, nb::handle name) {
    PyObject* self = obj.ptr();
    PyTypeObject* tp = Py_TYPE(self);
    if (tp->tp_getattro == PyObject_GenericGetAttr && PyUnicode_CheckExact(name.ptr())) {
        PyObject* attr = cpython::type_lookup(tp, name.ptr());
        if (!attr || !Py_TYPE(attr)->tp_descr_get) {
            bool failed = false;
            PyObject* dict = instance_dict(self, failed);
            if (!failed) {
                if (dict) {
                    PyObject* v = PyDict_GetItemWithError(dict, name.ptr());
                    if (v) return nb::borrow(v);
                    if (PyErr_Occurred()) raise_current();
                }
                return nb::borrow(attr);  // invalid when there is none
            }
        }
    }
    PyObject* v = nullptr;
    if (cpython::lookup_attr(self, name.ptr(), &v) < 0) raise_current();
    return nb::steal(v);
}

namespace {
// Whether self.NAME would find, through the class and called with self in front, a function
// that `same` accepts.
template <class Same>
bool resolves(nb::handle self, const Name& name, Same&& same) {
    PyTypeObject* tp = Py_TYPE(self.ptr());
    if (tp->tp_getattro == PyObject_GenericGetAttr) {
        PyObject* attr = name.type_lookup(tp);
        if (!attr || !same(attr)) return false;
        // A function is a non-data descriptor: an instance attribute of the name wins.
        bool failed = false;
        PyObject* dict = instance_dict(self.ptr(), failed);
        if (!failed) {
            return !dict || !name.dict_lookup(dict);
        }
    }
    PyObject* method = nullptr;
    const int unbound = cpython::get_method(self.ptr(), name.get(), &method);
    if (!method) raise_current();
    const bool found = unbound == 1 && same(method);
    Py_DECREF(method);
    return found;
}
}  // namespace

bool resolves_to(nb::handle self, const Name& name, const FunctionSpec& decl) {
    return resolves(self, name, [&](PyObject* f) { return is_function_of(f, decl); });
}

bool resolves_to(nb::handle self, const Name& name, nb::handle function) {
    return resolves(self, name, [&](PyObject* f) { return f == function.ptr(); });
}

nb::object getattr(nb::handle obj, const Name& name) {
    PyObject* self = obj.ptr();
    PyTypeObject* tp = Py_TYPE(self);
    // The generic protocol, for the common case of a plain class attribute or none at all: the
    // instance dict first, then the class attribute.  Descriptors go the interpreter's way.
    if (tp->tp_getattro == PyObject_GenericGetAttr) {
        PyObject* attr = name.type_lookup(tp);
        if (!attr || !Py_TYPE(attr)->tp_descr_get) {
            bool failed = false;
            PyObject* dict = instance_dict(self, failed);
            if (!failed) {
                if (PyObject* v = dict ? name.dict_lookup(dict) : nullptr) return nb::borrow(v);
                if (attr) return nb::borrow(attr);
            }
        }
    }
    PyObject* v = PyObject_GetAttr(self, name.get());
    if (!v) raise_current();
    return nb::steal(v);
}

void setattr(nb::handle obj, const Name& name, nb::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name.get(), value.ptr()) < 0) raise_current();
}

bool truthy(nb::handle h) {
    const int r = PyObject_IsTrue(h.ptr());
    if (r < 0) raise_current();
    return r == 1;
}

nb::object getitem(nb::handle obj, nb::handle key) {
    if (PyDict_CheckExact(obj.ptr())) {
        PyObject* v = PyDict_GetItemWithError(obj.ptr(), key.ptr());
        if (v) return nb::borrow(v);
        if (PyErr_Occurred()) raise_current();
        // a missing key raises KeyError(key), as dict.__getitem__ does
        PyObject* tuple = PyTuple_Pack(1, key.ptr());
        if (!tuple) raise_current();
        PyErr_SetObject(PyExc_KeyError, tuple);
        Py_DECREF(tuple);
        raise_current();
    }
    PyObject* v = PyObject_GetItem(obj.ptr(), key.ptr());
    if (!v) raise_current();
    return nb::steal(v);
}

void setitem(nb::handle obj, nb::handle key, nb::handle value) {
    const int r = PyDict_CheckExact(obj.ptr())
                      ? PyDict_SetItem(obj.ptr(), key.ptr(), value.ptr())
                      : PyObject_SetItem(obj.ptr(), key.ptr(), value.ptr());
    if (r < 0) raise_current();
}

nb::object getitem(nb::handle seq, Py_ssize_t i) {
    PyObject* v = PySequence_GetItem(seq.ptr(), i);
    if (!v) raise_current();
    return nb::steal(v);
}

Py_ssize_t as_index(nb::handle h) {
    const Py_ssize_t i = PyNumber_AsSsize_t(h.ptr(), PyExc_OverflowError);
    if (i == -1 && PyErr_Occurred()) raise_current();
    return i;
}

bool equals(nb::handle a, nb::handle b) {
    if (PyUnicode_CheckExact(a.ptr()) && PyUnicode_CheckExact(b.ptr()))
        return a.ptr() == b.ptr() || PyUnicode_Compare(a.ptr(), b.ptr()) == 0;
    // not PyObject_RichCompareBool: its identity shortcut would make nan == nan true
    PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ);
    if (!r) raise_current();
    return truthy(nb::steal(r));
}

void append(nb::handle list, nb::handle item) {
    if (PyList_Append(list.ptr(), item.ptr()) < 0) raise_current();
}

std::vector<nb::object> unpack(nb::handle value, std::size_t n) {
    PyObject* v = value.ptr();
    std::vector<nb::object> out;
    out.reserve(n);
    if ((PyTuple_CheckExact(v) || PyList_CheckExact(v)) &&
        static_cast<std::size_t>(Py_SIZE(v)) == n) {
        PyObject** items = PySequence_Fast_ITEMS(v);
        for (std::size_t i = 0; i < n; ++i) out.push_back(nb::borrow(items[i]));
        return out;
    }
    PyObject* raw = PyObject_GetIter(v);
    if (!raw) {
        // Only a value with no way of iterating at all gets the unpacking message; an __iter__ that
        // raises TypeError keeps its own.
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(v)->tp_iter &&
            !PySequence_Check(v)) {
            PyErr_Clear();
            raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(v)->tp_name);
        }
        raise_current();
    }
    nb::object it = nb::steal(raw);
    while (out.size() < n) {
        nb::object item = next(it);
        if (!item.is_valid())
            raise(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n,
                  out.size());
        out.push_back(std::move(item));
    }
    if (next(it).is_valid()) raise(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
    return out;
}

nb::str format(nb::handle h) {
    PyObject* s = PyObject_Format(h.ptr(), nullptr);
    if (!s) raise_current();
    return nb::steal<nb::str>(s);
}

nb::str to_str(nb::handle h) {
    PyObject* s = PyObject_Str(h.ptr());
    if (!s) raise_current();
    return nb::steal<nb::str>(s);
}

nb::str concat(std::initializer_list<nb::handle> parts) {
    nb::object tuple = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
    if (!tuple.is_valid()) raise_current();
    Py_ssize_t i = 0;
    for (nb::handle p : parts) PyTuple_SET_ITEM(tuple.ptr(), i++, Py_NewRef(p.ptr()));
    PyObject* s = PyUnicode_Join(empty_str(), tuple.ptr());
    if (!s) raise_current();
    return nb::steal<nb::str>(s);
}

nb::str join(const char* separator, nb::handle items) {
    return join(nb::str(separator), items);
}

nb::str join(nb::handle separator, nb::handle items) {
    PyObject* s = PyUnicode_Join(separator.ptr(), items.ptr());
    if (!s) raise_current();
    return nb::steal<nb::str>(s);
}

nb::object iterate(nb::handle h) {
    PyObject* it = PyObject_GetIter(h.ptr());
    if (!it) raise_current();
    return nb::steal(it);
}

nb::object next(nb::handle it) {
    PyObject* item = PyIter_Next(it.ptr());
    if (!item && PyErr_Occurred()) raise_current();
    return nb::steal(item);
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

bool assertions_enabled() {
    static const bool enabled = [] {
        PyObject* flags = PySys_GetObject("flags");
        if (!flags) return true;
        PyObject* optimize = PyObject_GetAttrString(flags, "optimize");
        if (!optimize) {
            PyErr_Clear();
            return true;
        }
        const long level = PyLong_AsLong(optimize);
        Py_DECREF(optimize);
        if (level == -1 && PyErr_Occurred()) PyErr_Clear();
        return level <= 0;
    }();
    return enabled;
}

std::string_view utf8(nb::handle str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str.ptr(), &size);
    if (!data) raise_current();
    return {data, static_cast<std::size_t>(size)};
}

nb::str make_str(std::string_view text) {
    PyObject* s =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
    if (!s) raise_current();
    return nb::steal<nb::str>(s);
}

}  // namespace pelorix
