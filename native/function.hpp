// The native callable: a function object written in C++ that behaves like a Python function to
// callers and introspection tools (signature, defaults, annotations, __dict__, method binding),
// with Python's own argument binding and the exact-type checks of typed parameters.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace pelorix {

namespace nb = nanobind;

// Exact-type rule of a parameter or of a returned value.  Subclass instances are refused, so
// True/False never pass for int; `None` passes only where the rule says so.
enum class Check : std::uint8_t { Any, Str, Int, Dict, StrOrNone, ListOrNone };

// An interned name, created on first use and kept for the life of the process.
class Name {
public:
    explicit constexpr Name(const char* text) : text_(text) {}
    PyObject* get() const;
    const char* text() const { return text_; }
    operator nb::handle() const { return get(); }

private:
    const char* text_;
    mutable PyObject* obj_ = nullptr;
};

// One positional-or-keyword parameter.
struct Param {
    const char* name;
    const char* annotation = nullptr;  // stored in __annotations__ as this string
    Check check = Check::Any;
};

class Call;
using Body = nb::object (*)(Call&);

// Everything static about a native function: its name, parameters, annotations and body.
// Specs live for the life of the process (module-level statics).
struct FunctionSpec {
    const char* name;
    Body body;
    std::vector<Param> params;
    const char* varkw = nullptr;    // name of the **kw parameter, if any
    const char* returns = nullptr;  // return annotation, if any
    Check result = Check::Any;      // enforced type of the returned value
    const char* doc = nullptr;
};

// The bound arguments of one call, as the body sees them.
class Call {
public:
    Call(PyObject* function, PyObject* const* args, PyObject* kw)
        : function_(function), args_(args), kw_(kw) {}

    // The value bound to parameter i (borrowed, never null).
    nb::handle operator[](std::size_t i) const { return args_[i]; }
    // The **kw dictionary: a fresh dict owned by this call (only for functions with **kw).  It is
    // created on first request when the caller passed no extra keywords.
    nb::dict kw() const;
    // kw.get(key): the value (borrowed) or null, without creating the dictionary.
    PyObject* kw_get(const Name& key) const;
    // True when the caller passed extra keywords (the **kw dictionary is not empty).
    bool has_kw() const { return kw_ && PyDict_GET_SIZE(kw_) > 0; }
    // A module-level name, looked up at call time in the module namespace, then in builtins.
    nb::object global(const Name& name) const;
    nb::handle function() const { return function_; }

private:
    PyObject* function_;
    PyObject* const* args_;
    mutable PyObject* kw_;        // borrowed from the binder, or owned_kw_
    mutable nb::object owned_kw_;
};

// Creates a native function bound to a module namespace.  `qualprefix` is the enclosing class
// name for methods ("InstrumentCore" gives qualname "InstrumentCore.setValue"), or null.
// `defaults` become __defaults__ (they apply to the last parameters, as in Python).
nb::object make_function(const FunctionSpec& spec, nb::handle globals, const char* qualprefix,
                         std::initializer_list<nb::handle> defaults = {});

// True when `obj` is a native function created from `spec`.
bool is_function_of(nb::handle obj, const FunctionSpec& spec);

// The type of native functions in this module (created on first use).
PyTypeObject* function_type();

}  // namespace pelorix
