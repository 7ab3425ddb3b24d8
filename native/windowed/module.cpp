// The _windowed module: the windowed form of the diff page, for inputs too large for the full page
// to open quickly.  Its rows come from the very row model the full page would use for the same
// instance (native while nobody can tell, else through the instance's own methods, with the
// alignment of view's difflib); only the way they are written differs: as data that the page's
// script draws a screenful at a time.
#include <array>
#include <optional>
#include <string>

#include "align_binding.hpp"
#include "data.hpp"
#include "find_html.hpp"
#include "page.hpp"
#include "private_api.hpp"
#include "rows.hpp"
#include "windowed_css.hpp"
#include "windowed_js.hpp"

namespace pelorix::view {
namespace {

const Name n_view("view");

// view.BeautifulHtmlDiff's page methods as the class held them when this module was loaded:
// strong references for the life of the process.
const std::array<const Name*, 3> page_method_names = {&n_escape_html, &n_char_level_diff,
                                                      &n_get_symbol_and_class};
std::array<PyObject*, 3> class_page_methods = {};

void remember_page_methods(nb::handle view) {
    nb::object cls = nb::steal(PyObject_GetAttrString(view.ptr(), "BeautifulHtmlDiff"));
    if (!cls.is_valid()) raise_current();
    std::array<PyObject*, 3> found = {};
    for (std::size_t k = 0; k < found.size(); ++k) {
        found[k] = PyObject_GetAttr(cls.ptr(), page_method_names[k]->get());
        if (!found[k]) {
            for (PyObject* f : found) Py_XDECREF(f);
            raise_current();
        }
    }
    for (PyObject* kept : class_page_methods) Py_XDECREF(kept);
    class_page_methods = found;
}

// self._escape_html, _char_level_diff and _get_symbol_and_class are view.BeautifulHtmlDiff's
// own, found on the class without an instance attribute in the way: the rows that the full page
// would write natively.
bool own_page_methods(nb::handle self) {
    for (std::size_t k = 0; k < class_page_methods.size(); ++k) {
        PyObject* method = nullptr;
        const int unbound = cpython::get_method(self.ptr(), page_method_names[k]->get(), &method);
        if (!method) raise_current();
        const bool same = unbound == 1 && method == class_page_methods[k];
        Py_DECREF(method);
        if (!same) return false;
    }
    return true;
}

// What the windowed page adds to the head after the instance's style sheet: its own rules and
// its script.
const std::string& head_assets() {
    static const std::string text = "<style>\n" + std::string(windowed_css) +
                                    "</style>\n<script>\n" + std::string(windowed_js) +
                                    "</script>";
    return text;
}

// The Find box, after the toolbar's own groups.
std::string_view find_box() {
    static const std::string text =
        "\n" + std::string(find_html.substr(0, find_html.find_last_not_of('\n') + 1));
    return text;
}

nb::object write_page(Call& c) {
    nb::handle self = c[0];
    nb::object output_file = nb::borrow(c[1]);
    nb::object view = c.global(n_view);
    nb::object lines1 = getattr(self, n_lines1), lines2 = getattr(self, n_lines2);

    nb::object difflib = getattr(view, n_difflib);
    std::optional<seqmatch::Encoded> encoded;
    if (standard_difflib(difflib)) encoded = seqmatch::encode_lines(lines1, lines2);
    Page page;
    std::optional<RowModel> model;
    if (encoded && own_page_methods(self)) {
        const std::vector<seqmatch::Opcode> ops =
            seqmatch::opcodes(encoded->a, encoded->b, encoded->alphabet);
        DataRows rows(page, self, lines1.ptr(), lines2.ptr());
        NativeRows(rows, lines1.ptr(), lines2.ptr()).write(ops);
        rows.end();
    } else {
        nb::object opcodes =
            encoded ? opcode_list(seqmatch::opcodes(encoded->a, encoded->b, encoded->alphabet))
                    : matcher_opcodes(difflib, lines1, lines2);
        model = instance_rows(self, opcodes, lines1, lines2);
    }

    Frame frame;
    frame.css = call_method(self, n_get_custom_css, {});
    frame.js = make_str(head_assets());
    nb::object now = call_method(getattr(view, n_datetime), n_now, {});
    frame.timestamp = format(call_method(now, n_strftime, {nb::str("%Y-%m-%d %H:%M:%S")}));
    frame.left = frame_side(self, lines1, n_name1);
    if (model) write_data(page.left, self, model->left, true);
    frame.right = frame_side(self, lines2, n_name2);
    if (model) write_data(page.right, self, model->right, false);
    frame.tools = find_box();
    page.frame(frame);

    output_file = output_path(output_file, [&](const Name& name) { return getattr(view, name); });
    page.write(c, output_file);
    return output_file;
}

const FunctionSpec write_page_spec{
    .name = "write_page",
    .body = write_page,
    .params = {{.name = "diff", .annotation = "view.BeautifulHtmlDiff"},
               {.name = "output_file", .annotation = "str | None", .check = Check::StrOrNone}},
    .returns = "str",
    .doc = docstring(R"(

    Write the windowed diff page of a BeautifulHtmlDiff and return its path.

    The page looks and works like the one diff.generate_html writes, with the
    same rows, but holds them as data and draws only the rows in view, so it
    opens quickly at any size; its toolbar adds a Find box.

    Args:
        diff (view.BeautifulHtmlDiff): The two texts or files to compare, with
                  the page methods that make the rows and the style sheet.
        output_file (str | None): Path where the HTML file will be saved.
                    If None, creates a temporary file.

    Returns:
        str: Path to the generated HTML file.
    )")};

}  // namespace

void define_windowed_page(Module& mod) {
    remember_at_load(nb::module_::import_("difflib"));
    remember_page_methods(mod.get("view"));
    check_page_assets();
    mod.def(write_page_spec, {Py_None});
}

}  // namespace pelorix::view

PELORIX_MODULE(_windowed, m) {
    pelorix::Module mod(m);
    mod.import_from("pelorix.toolkit", {"view"});
    pelorix::view::define_windowed_page(mod);
    pelorix::diffpage::define_align_hook(mod);
}
