// What the diff viewer's files share: the page methods whose native bodies the fast paths stand
// in for, and the conditions under which they may (the row model and the page writer are in
// native/diffpage, shared with the windowed page).
#pragma once

#include "page.hpp"
#include "rows.hpp"
#include "runtime.hpp"

namespace pelorix::view {

// The page methods whose native bodies the fast paths stand in for (diff.cpp).
extern const FunctionSpec escape_html_spec, char_level_diff_spec, get_symbol_and_class_spec;

// ---- when nobody can tell (conditions.cpp) ----

// self._escape_html is the class's own.
bool own_escape(nb::handle self);
// self._escape_html, _char_level_diff and _get_symbol_and_class are the class's own.
bool own_page_methods(nb::handle self);

}  // namespace pelorix::view
