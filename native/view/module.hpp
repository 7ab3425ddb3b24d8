// The parts of the view module, each defined in its own file and added to the module namespace
// by the module definition in this order.
#pragma once

#include "runtime.hpp"

namespace pelorix::view {

// display_tree, display_array (display.cpp)
void define_display_helpers(Module& mod);
// BeautifulHtmlDiff, compare (diff.cpp)
void define_diff_viewer(Module& mod);

}  // namespace pelorix::view
