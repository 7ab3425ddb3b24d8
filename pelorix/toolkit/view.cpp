// Diff viewer (BeautifulHtmlDiff, compare) and display helpers (display_tree, display_array).
#include "runtime.hpp"

namespace pc = pelorix;
namespace nb = nanobind;
using pc::Call;
using pc::Check;
using pc::FunctionSpec;
using pc::Name;

// ==== display helpers: display_tree, display_array ====
namespace {

void define_display_helpers(pc::Module&) {}

}  // namespace
// ==== end of display helpers ====

// ==== diff viewer: BeautifulHtmlDiff, compare ====
namespace {

void define_diff_viewer(pc::Module&) {}

}  // namespace
// ==== end of diff viewer ====

NB_MODULE(view, m) {
    pc::Module mod(m);
    mod.import("difflib");
    mod.import("os");
    mod.import("tempfile");
    mod.import("webbrowser");
    mod.import_from("datetime", {"datetime"});
    mod.import("numpy", "np");
    define_display_helpers(mod);
    define_diff_viewer(mod);
}
