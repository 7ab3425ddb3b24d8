// What the instrumentcore module's sources share: the waveform codec (codec.cpp) and the driver
// base class (driver.cpp), which module.cpp binds into the module namespace in load order.
#pragma once

#include "runtime.hpp"

namespace pelorix::instrumentcore {

// compress(value) and decompress(values, lengths).
extern const FunctionSpec compress_spec, decompress_spec;

// Keeps the module's `np` and the functions compress's chain uses, as they are right after the
// import, so compress can tell later whether anyone rebound or patched them.
void remember_numpy(const Module& mod);

// The class InstrumentCore, created through ABC's metaclass with the module's namespace as the
// globals of its methods.
nb::object make_instrument_core(const Module& mod);

}  // namespace pelorix::instrumentcore
