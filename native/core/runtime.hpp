// Helpers shared by the module sources: module set-up in a fixed order, class creation through a
// metaclass, module-global lookup, printing through the host's print, method calls on instances
// and small exact-type tests.
#pragma once

#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "function.hpp"
#include "module_init.hpp"

namespace pelorix {

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

// Creates a class the way a class statement does: the body's names in definition order (a
// method under its function's name, mangled as the compiler mangles private names), then
// metaclass(name, bases, namespace) with __module__, __qualname__, __doc__ and __annotations__
// set first.
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
    // metaclass(name, bases, namespace): a new reference.
    nb::object make(nb::handle metaclass, nb::handle bases) const;

private:
    const Module& mod_;
    const char* name_;
    const char* doc_;
    std::vector<std::pair<std::string, nb::object>> members_;
    std::vector<std::pair<const char*, const char*>> annotations_;
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

// Throws the Python exception that is currently set.  A call that failed without setting one is
// an internal slip; it becomes a RuntimeError naming the C++ function and line that reported it.
[[noreturn]] void raise_current(std::source_location where = std::source_location::current());
// Sets `type` with a formatted message and throws it.
[[noreturn]] void raise(PyObject* type, const char* fmt, ...);

}  // namespace pelorix
