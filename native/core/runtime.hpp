// What a native function's body works with: interned names, the bound arguments of its call, and
// the helpers shared by the module sources.  Each concern has its own source file: names.cpp
// (Name and its lookup cache), call.cpp (Call, calls with keywords, method calls, print),
// attr.cpp (attribute access and its fast path), build.cpp (Module, ClassBuilder, imports),
// operations.cpp (truth, indexing, equality, unpacking, iteration), text.cpp (format, str,
// joining, UTF-8) and errors.cpp (Except, raising, the `with` statement's special methods).
#pragma once

#include <cstdint>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "function.hpp"
#include "module_init.hpp"

namespace pelorix {

// An interned name, created on first use and kept for the life of the process.
// It also remembers what it last resolved to on a type (see `type_lookup`).
class Name {
public:
    explicit constexpr Name(const char* text) : text_(text) {}
    PyObject* get() const { return obj_ ? obj_ : intern(); }
    const char* text() const { return text_; }
    operator nb::handle() const { return get(); }
    // type.NAME through the MRO, without descriptors applied (borrowed, or null).  The answer is
    // kept for the type's current version tag, which the interpreter changes whenever the type or
    // a base is modified, so a kept answer is never stale.
    // Both lookups are inline, defined in the core's attr.hpp: a kept answer is their common case,
    // a few compares that a call would cost more than.
    inline PyObject* type_lookup(PyTypeObject* type) const;
    // dict[NAME] for an instance dictionary (borrowed, or null when absent; raises on error).  The
    // answer is kept until the dict, or any other dict a name was looked up in, changes (a dict
    // watcher says when).
    inline PyObject* dict_lookup(PyObject* dict) const;

private:
    // Creates the interned str on first use, and the lookups when no kept answer applies
    // (names.cpp).
    PyObject* intern() const;
    PyObject* type_lookup_afresh(PyTypeObject* type) const;
    PyObject* dict_lookup_afresh(PyObject* dict) const;

    const char* text_;
    mutable PyObject* obj_ = nullptr;
    mutable PyObject* seen_dict_ = nullptr;
    mutable std::uint64_t seen_generation_ = 0;
    mutable PyObject* seen_dict_value_ = nullptr;
    mutable PyTypeObject* seen_type_ = nullptr;
    mutable unsigned int seen_version_ = 0;
    mutable PyObject* seen_value_ = nullptr;
};

// The bound arguments of one call, as the body sees them.
class Call {
public:
    // `globals` is the function's module namespace (or null), `qualname` its __qualname__.
    Call(PyObject* globals, PyObject* qualname, PyObject* const* args, PyObject* kw)
        : globals_(globals), qualname_(qualname), args_(args), kw_(kw) {}
    // A call whose extra keywords are still the caller's: kwnames[k] is extra when bit k of
    // `extras` is set, and its value is kwvalues[k].  The binder uses this form for calls with
    // at most 64 keyword names and hands over a dictionary beyond that.
    Call(PyObject* globals, PyObject* qualname, PyObject* const* args, PyObject* kwnames,
         PyObject* const* kwvalues, std::uint64_t extras)
        : globals_(globals),
          qualname_(qualname),
          args_(args),
          kwnames_(kwnames),
          kwvalues_(kwvalues),
          extras_(extras) {}

    // The value bound to parameter i (borrowed, never null).
    nb::handle operator[](std::size_t i) const { return args_[i]; }
    // kw.get(key) for the **kw dictionary: the value (borrowed) or null.
    PyObject* kw_get(const Name& key) const;
    // self.NAME(*args, **kw), passing the extra keywords on as the caller gave them.
    nb::object call_method_with_kw(nb::handle self, const Name& name,
                                   std::initializer_list<nb::handle> args) const;
    // A module-level name, looked up at call time in the module namespace, then in builtins.
    nb::object global(const Name& name) const;
    // The function's module namespace (None when the collector has cleared it), and its
    // __qualname__, a str, to name it in messages (both borrowed).
    nb::handle globals() const { return globals_ ? globals_ : Py_None; }
    nb::handle qualname() const { return qualname_; }

private:
    // The **kw dictionary, made from the caller's keywords on first request and owned by the call.
    nb::dict kw() const;

    PyObject* globals_;
    PyObject* qualname_;
    PyObject* const* args_;
    mutable PyObject* kw_ = nullptr;  // borrowed from the binder, or owned_kw_
    mutable nb::object owned_kw_;
    PyObject* kwnames_ = nullptr;
    PyObject* const* kwvalues_ = nullptr;
    std::uint64_t extras_ = 0;
};

// Builds a module namespace in order: imports first, then constants, functions and classes.
class Module {
public:
    explicit Module(nb::module_ m) : m_(std::move(m)) {}

    // import NAME [as ASNAME]
    nb::object import(const char* name, const char* asname = nullptr);
    // from MODULE import NAME, ... (level 1 for a sibling of this module's package)
    void import_from(const char* module, std::initializer_list<const char*> names, int level = 0);
    void set(const char* name, nb::handle value);
    // Creates a module-level function and binds it under its name.
    nb::object def(const FunctionSpec& decl, std::initializer_list<nb::handle> defaults = {});
    nb::handle globals() const { return PyModule_GetDict(m_.ptr()); }
    nb::object get(const char* name) const;

private:
    nb::module_ m_;
};

// Creates a class the way a class statement of the running interpreter does: __module__,
// __qualname__ (and on 3.13 __firstlineno__), __annotations__ and __doc__ first, then the body's
// names in definition order (a method under its function's name, mangled as the compiler mangles
// private names), on 3.13 __static_attributes__ last, then metaclass(name, bases, namespace).
class ClassBuilder {
public:
    ClassBuilder(const Module& mod, const char* name, const char* doc = nullptr)
        : mod_(mod), name_(name), doc_(doc) {}
    // NAME[: annotation] = value
    ClassBuilder& attr(const char* name, nb::handle value, const char* annotation = nullptr);
    // def NAME(...) made from `decl`, with its defaults, under `decorator` when one is given.
    ClassBuilder& method(const FunctionSpec& decl, std::initializer_list<nb::handle> defaults = {},
                         nb::handle decorator = nb::handle());
    // Several undecorated methods without defaults, in this order.
    ClassBuilder& methods(std::initializer_list<const FunctionSpec*> decls);
    // The names the methods assign as `self.NAME = ...`, which the 3.13 compiler lists.
    ClassBuilder& static_attributes(std::initializer_list<const char*> names);
    // metaclass(name, bases, namespace): a new reference.
    nb::object make(nb::handle metaclass, nb::handle bases) const;

private:
    const Module& mod_;
    const char* name_;
    const char* doc_;
    std::vector<std::pair<std::string, nb::object>> members_;
    std::vector<std::pair<const char*, const char*>> annotations_;
    std::vector<std::string> static_attributes_;
};

// print(*args) through the module's `print` (module namespace first, then builtins).
void print(const Call& c, std::initializer_list<nb::handle> args);

// One keyword argument of `call`: NAME=value (both borrowed for the call).
struct Kw {
    const Name& name;
    nb::handle value;
};

// fn(*args, NAME=value, ...) with the keywords in the order given, through vectorcall (no dict is
// built).  Arguments are borrowed; returns a new reference.
nb::object call(nb::handle fn, std::initializer_list<nb::handle> args,
                std::initializer_list<Kw> kwargs = {});

// self.NAME(*args): normal attribute lookup, so overrides and instance attributes are honoured.
nb::object call_method(nb::handle self, const Name& name, std::initializer_list<nb::handle> args,
                       nb::handle kwargs = nb::handle());
// self.NAME(*args, NAME=value, ...), the same lookup with keywords in the order given.
nb::object call_method(nb::handle self, const Name& name, std::initializer_list<nb::handle> args,
                       std::initializer_list<Kw> kwargs);

// self.NAME(*argv[1:nargs], **kwnames...) where argv[0] is self, as a method call does it (the
// function found on the type is called with self in front, unless an instance attribute or a
// descriptor says otherwise).  argv[0] may be overwritten during the call.  Returns a new
// reference.
PyObject* vectorcall_method(const Name& name, PyObject** argv, std::size_t nargs,
                            PyObject* kwnames);

// getattr(obj, name) for any str name, or an invalid handle when that raises AttributeError
// (the lookup behind hasattr).
nb::object lookup_attr(nb::handle obj, nb::handle name);

// True when self.NAME would find a native function made from `decl` (not overridden anywhere, no
// instance attribute shadowing it), so a direct C++ call cannot be told apart from a lookup.
bool resolves_to(nb::handle self, const Name& name, const FunctionSpec& decl);
// True when self.NAME would find `function` itself through the class, called with self in front
// (no instance attribute shadowing it).
bool resolves_to(nb::handle self, const Name& name, nb::handle function);

// obj.NAME / obj[key] / obj[key] = value, as the interpreter does them (exact dicts take a
// shorter route to the same result).
nb::object getattr(nb::handle obj, const Name& name);
void setattr(nb::handle obj, const Name& name, nb::handle value);
// bool(h), with errors from __bool__/__len__ propagated.
bool truthy(nb::handle h);
nb::object getitem(nb::handle obj, nb::handle key);
void setitem(nb::handle obj, nb::handle key, nb::handle value);
// seq[i] for a sequence (a negative i counts from the end, as PySequence_GetItem does).
nb::object getitem(nb::handle seq, Py_ssize_t i);
// operator.index(h) as a C index; OverflowError when it does not fit.
Py_ssize_t as_index(nb::handle h);
// bool(a == b); two exact strs are compared without a round trip through the interpreter.
bool equals(nb::handle a, nb::handle b);
// list.append(item) on an exact list.
void append(nb::handle list, nb::handle item);

// `a, b, ... = value`: exactly n items (new references), with the interpreter's messages for a
// non-iterable value and for too few or too many items.  Exact tuples and lists of the right size
// take a short path, as the interpreter's own specialised unpacking does.
std::vector<nb::object> unpack(nb::handle value, std::size_t n);

// f"{h}", str(h), and "".join of texts.
nb::str format(nb::handle h);
nb::str to_str(nb::handle h);
nb::str concat(std::initializer_list<nb::handle> parts);
nb::str join(const char* separator, nb::handle items);
// separator.join(items) for a str separator.
nb::str join(nb::handle separator, nb::handle items);

// iter(h), and next(it) giving an invalid handle when the iterator is exhausted.
nb::object iterate(nb::handle h);
nb::object next(nb::handle it);

// `import MODULE` / `from MODULE import NAME, ...` run inside a function body: through the builtin
// __import__ at every call, so it sees what is installed (or patched) right now.
nb::object import_now(const Call& c, const char* module);
std::vector<nb::object> import_from_now(const Call& c, const char* module,
                                        std::initializer_list<const char*> names);

// False when the interpreter runs optimised (-O), so assert statements are skipped.
bool assertions_enabled();

// The UTF-8 view of a str (valid while the str lives); raises on lone surrogates.
std::string_view utf8(nb::handle str);
nb::str make_str(std::string_view utf8_text);

// The handler of `try: ... except TYPE as e: ...`, made first thing in
// `catch (nb::python_error& error)`: an error that is no instance of TYPE goes on up unchanged
// (BaseException, the default, takes every one, for handlers that tell kinds apart with
// `matches`).  While the handler lives, the error is the exception being handled, so one raised
// by the handler carries it as __context__, as in an except clause.
class Except {
public:
    explicit Except(const nb::python_error& error, nb::handle type = PyExc_BaseException);
    ~Except();
    Except(const Except&) = delete;
    Except& operator=(const Except&) = delete;
    // The exception itself (`e`), and `isinstance(e, type)`.
    nb::handle value() const { return error_.value(); }
    bool matches(nb::handle type) const;

private:
    const nb::python_error& error_;
    PyObject* outer_;
};

// Throws the Python exception that is currently set.  A call that failed without setting one is
// an internal slip; it becomes a RuntimeError naming the C++ function and line that reported it.
[[noreturn]] void raise_current(std::source_location where = std::source_location::current());
// Sets `type` with a formatted message and throws it.
[[noreturn]] void raise(PyObject* type, const char* fmt, ...);

// A special method as a `with` statement finds it: on the type, bound to the instance.
nb::object special_method(nb::handle obj, const Name& name);

// `with manager as value: body(value)` inside the native function of call `c`.  Returns the
// body's result, or an invalid object when __exit__ swallowed the body's exception.
template <class Body>
nb::object with_block(const Call& c, nb::handle manager, Body&& body) {
    static const Name n_enter("__enter__"), n_exit("__exit__");
    nb::object enter = special_method(manager, n_enter);
    nb::object exit = special_method(manager, n_exit);
    nb::object value = call(enter, {});
    nb::object result;
    try {
        result = body(value);
    } catch (...) {
        // Every way out of the body passes through __exit__, as in a with statement.  A C++
        // exception is first given the Python form it has at the interpreter's boundary
        // (MemoryError for bad_alloc), then handled like any error the body raised.
        set_error_from_exception(c.qualname().ptr());
        nb::python_error error;
        nb::object suppressed;
        {
            // __exit__ runs while the error is being handled, as in a with statement.
            Except handler(error);
            nb::handle traceback =
                error.traceback().is_valid() ? error.traceback() : nb::handle(Py_None);
            suppressed = call(exit, {error.type(), error.value(), traceback});
        }
        if (!truthy(suppressed)) throw error;
        return nb::object();
    }
    call(exit, {Py_None, Py_None, Py_None});
    return result;
}

}  // namespace pelorix
