// The aligner's test hook on the _windowed module.
#pragma once

#include "runtime.hpp"

namespace pelorix::diffpage {

// Adds _align(a, b, cost_limit=None) to the module.
void define_align_hook(Module& mod);

}  // namespace pelorix::diffpage
