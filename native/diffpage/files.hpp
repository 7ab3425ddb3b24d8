// The files the diff page reads and writes through whatever `open` the module namespace holds:
// the name of their encoding argument, and whether that `open` is still the builtin one.
#pragma once

#include "runtime.hpp"

namespace pelorix::diffpage {

inline const Name n_encoding("encoding");

// `open` is the builtin open, which writes text to its byte layer as UTF-8 unchanged
// (conditions.cpp, with the other conditions of the fast paths).
bool builtin_open(nb::handle open);

}  // namespace pelorix::diffpage
