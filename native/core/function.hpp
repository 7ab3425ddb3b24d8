// The native callable: a function object written in C++ that behaves like a Python function to
// callers and introspection tools (signature, defaults, annotations, __dict__, method binding),
// with Python's own argument binding and the exact-type checks of typed parameters.
#pragma once

#include <nanobind/nanobind.h>

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace pelorix {

namespace nb = nanobind;

// Exact-type rule of a parameter or of a returned value.  Subclass instances are refused, so
// True/False never pass for int; `None` passes only where the rule says so.
enum class Check : std::uint8_t { Any, Str, Int, Dict, StrOrNone, ListOrNone };

// An interned name, created on first use and kept for the life of the process.
// It also remembers what it last resolved to on a type (see `type_lookup`).
class Name {
public:
    explicit constexpr Name(const char* text) : text_(text) {}
    PyObject* get() const;
    const char* text() const { return text_; }
    operator nb::handle() const { return get(); }
    // type.NAME through the MRO, without descriptors applied (borrowed, or null).  The answer is
    // kept for the type's current version tag, which the interpreter changes whenever the type or
    // a base is modified, so a kept answer is never stale.
    PyObject* type_lookup(PyTypeObject* type) const;
    // dict[NAME] for an instance dictionary (borrowed, or null when absent; raises on error).  The
    // answer is kept for the dict's current version, which changes with every modification.
    PyObject* dict_lookup(PyObject* dict) const;

private:
    const char* text_;
    mutable PyObject* obj_ = nullptr;
    mutable PyObject* seen_dict_ = nullptr;
    mutable std::uint64_t seen_dict_version_ = 0;
    mutable PyObject* seen_dict_value_ = nullptr;
    mutable PyTypeObject* seen_type_ = nullptr;
    mutable unsigned int seen_version_ = 0;
    mutable PyObject* seen_value_ = nullptr;
};

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
    // A call whose extra keywords are still the caller's: kwnames[k] is extra when bit k of
    // `extras` is set, and its value is kwvalues[k].  The binder uses this form for calls with
    // at most 64 keyword names and hands over a dictionary beyond that.
    Call(PyObject* function, PyObject* const* args, PyObject* kwnames, PyObject* const* kwvalues,
         std::uint64_t extras)
        : function_(function),
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
    nb::handle function() const { return function_; }
    // The function's __qualname__, a str (borrowed), to name it in messages.
    nb::handle qualname() const;

private:
    // The **kw dictionary, made from the caller's keywords on first request and owned by the call.
    nb::dict kw() const;

    PyObject* function_;
    PyObject* const* args_;
    mutable PyObject* kw_ = nullptr;  // borrowed from the binder, or owned_kw_
    mutable nb::object owned_kw_;
    PyObject* kwnames_ = nullptr;
    PyObject* const* kwvalues_ = nullptr;
    std::uint64_t extras_ = 0;
};

// Creates a native function bound to a module namespace.  `qualprefix` is the enclosing class
// name for methods ("InstrumentCore" gives qualname "InstrumentCore.setValue"), or null.
// `defaults` become __defaults__ (they apply to the last parameters, as in Python).
nb::object make_function(const FunctionSpec& decl, nb::handle globals, const char* qualprefix,
                         std::initializer_list<nb::handle> defaults = {});

// True when `obj` is a native function created from `decl`.
bool is_function_of(nb::handle obj, const FunctionSpec& decl);

// Sets the Python exception that stands for the C++ exception being handled (call it only from a
// catch block).  `where`, a str, names the function or module in an internal error's message.
void set_error_from_exception(PyObject* where) noexcept;

// A docstring written as a raw string literal that opens on its own line,
//     .doc = docstring(R"(
//     First line.
//         ...
//     )"),
// is the text after that first line break, byte for byte what a Python docstring would hold.
constexpr const char* docstring(const char* text) {
    return text[0] == '\n' ? text + 1 : text;
}

}  // namespace pelorix
