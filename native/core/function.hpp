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

// The __doc__ that a Python source with docstring `text` gives on the running interpreter: the
// text itself on 3.12; from 3.13 on, what its compiler makes of every docstring (tabs expanded,
// the first line's leading spaces and the other lines' common indentation removed).
nb::str docstring_object(const char* text);

}  // namespace pelorix
