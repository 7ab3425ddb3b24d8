// The view module: its imports, then the display helpers, then the diff viewer, in the order the
// module namespace lists them.
#include "module.hpp"

PELORIX_MODULE(view, m) {
    pelorix::Module mod(m);
    mod.import("difflib");
    mod.import("os");
    mod.import("tempfile");
    mod.import("webbrowser");
    mod.import_from("datetime", {"datetime"});
    mod.import("numpy", "np");
    pelorix::view::define_display_helpers(mod);
    pelorix::view::define_diff_viewer(mod);
}
