// The _windowed module: the windowed form of the diff page, for inputs too large for the full page
// to open quickly.  Its rows come from the very row model the full page would use for the same
// instance (native while nobody can tell, else through the instance's own methods, with the
// alignment of view's difflib); only the way they are written differs: as data that the page's
// script draws a screenful at a time.
#include <string>
#include <utility>

#include "data.hpp"
#include "form.hpp"
#include "find_html.hpp"
#include "page.hpp"
#include "rows.hpp"
#include "windowed_css.hpp"
#include "windowed_js.hpp"

namespace pelorix::windowed {

namespace {

const Name n_view("view"), n_BeautifulHtmlDiff("BeautifulHtmlDiff");

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

// The windowed page: view's names, its own script and style sheet, the rows as data, a Find box.
class WindowedForm : public PageForm {
public:
    explicit WindowedForm(nb::object view) : view_(std::move(view)) {}
    nb::object global(const Name& name) const override { return getattr(view_, name); }
    void write_native_rows(Page& page, nb::handle self, PyObject* lines1, PyObject* lines2,
                           const std::vector<seqmatch::Opcode>& ops) const override {
        DataRows rows(page, self, lines1, lines2);
        NativeRows(rows, lines1, lines2).write(ops);
        rows.end();
    }
    void write_instance_rows(Panel& panel, nb::handle self, const std::vector<Row>& rows,
                             bool is_left) const override {
        write_data(panel, self, rows, is_left);
    }
    nb::object script(nb::handle) const override { return make_str(head_assets()); }
    std::string_view tools() const override { return find_box(); }

private:
    nb::object view_;
};

nb::object windowed_page(Call& c) {
    return write_page(c, WindowedForm(c.global(n_view)), c[0], nb::borrow(c[1]));
}

const FunctionSpec write_page_spec{
    .name = "write_page",
    .body = windowed_page,
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
    nb::object view = mod.get("view");
    remember_page_methods(getattr(view, n_BeautifulHtmlDiff), PyModule_GetDict(view.ptr()));
    check_page_assets();
    mod.def(write_page_spec, {Py_None});
}

}  // namespace pelorix::windowed

PELORIX_MODULE(_windowed, m) {
    pelorix::Module mod(m);
    mod.import_from("pelorix.toolkit", {"view"});
    pelorix::windowed::define_windowed_page(mod);
}
