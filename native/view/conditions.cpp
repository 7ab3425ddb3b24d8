// When nobody can tell: whether an instance's page methods are the class's own, so the diff
// viewer may escape, mark and style rows natively instead of calling back into the interpreter.
#include "diff.hpp"

namespace pelorix::view {

bool own_escape(nb::handle self) {
    return resolves_to(self, n_escape_html, escape_html_spec);
}

bool own_page_methods(nb::handle self) {
    return own_escape(self) && resolves_to(self, n_char_level_diff, char_level_diff_spec) &&
           resolves_to(self, n_get_symbol_and_class, get_symbol_and_class_spec);
}

}  // namespace pelorix::view
