// The _windowed module: the windowed form of the diff page, the page of `pelorix diff` and
// show_diff.  Its lines are aligned natively (align.hpp, with no popular-line heuristic; view's
// difflib is not consulted) and its rows are pairs; they come from the full page's row model
// (native while nobody can tell, else through the instance's own methods) and are written as data
// that the page's script draws a screenful at a time, with a toolbar of its own.
#include <optional>
#include <string>
#include <utility>

#include "align.hpp"
#include "align_binding.hpp"
#include "controls_js.hpp"
#include "data.hpp"
#include "form.hpp"
#include "page.hpp"
#include "page_html.hpp"
#include "pairs.hpp"
#include "rows.hpp"
#include "toolbar_html.hpp"
#include "windowed_css.hpp"
#include "windowed_js.hpp"

namespace pelorix::windowed {

namespace {

const Name n_view("view"), n_BeautifulHtmlDiff("BeautifulHtmlDiff");

// What the windowed page adds to the head after the instance's style sheet: its own rules and
// its script, the two parts of the script in one closure.
const std::string& head_assets() {
    static const std::string text = "<style>\n" + std::string(windowed_css) +
                                    "</style>\n<script>\n(() => {\n" + std::string(windowed_js) +
                                    std::string(controls_js) + "})();\n</script>";
    return text;
}

// The page skeleton with the windowed page's own toolbar in place of the full page's.
const Skeleton& skeleton() {
    static const std::string text = [] {
        const std::string_view start = "<div class=\"toolbar\">", end = "<div class=\"diff_view\">";
        const std::size_t from = page_html.find(start), to = page_html.find(end);
        if (from == std::string_view::npos || to == std::string_view::npos || to < from)
            raise(PyExc_RuntimeError, "page asset page.html has no toolbar before its diff view");
        return std::string(page_html.substr(0, from)) + std::string(toolbar_html) +
               std::string(page_html.substr(to));
    }();
    static const Skeleton s = Skeleton::page("toolbar.html in page.html", text);
    return s;
}

// The windowed page: view's names, its own aligner, script, style sheet and toolbar, the rows as
// data with their pairing.
class WindowedForm : public PageForm {
public:
    explicit WindowedForm(nb::object view) : view_(std::move(view)) {}
    nb::object global(const Name& name) const override { return getattr(view_, name); }
    // Exact lists of exact str are compared natively, anything else through its own equality.
    Alignment align(nb::handle lines1, nb::handle lines2) const override {
        std::optional<seqmatch::Encoded> exact = seqmatch::encode_lines(lines1, lines2);
        const seqmatch::Encoded e = exact ? std::move(*exact) : encode_by_equality(lines1, lines2);
        std::vector<seqmatch::Opcode> ops = diffpage::align(e.a, e.b, e.alphabet);
        pairs_ = pair_members(ops);
        return Alignment(std::move(ops), exact.has_value());
    }
    void write_native_rows(Page& page, nb::handle self, PyObject* lines1, PyObject* lines2,
                           const std::vector<seqmatch::Opcode>& ops) const override {
        DataRows rows(page, self, lines1, lines2);
        NativeRows(rows, lines1, lines2).write(ops);
        rows.end(pairs_);
    }
    void write_instance_rows(Panel& panel, nb::handle self, const std::vector<Row>& rows,
                             bool is_left) const override {
        write_data(panel, self, rows, is_left, is_left ? std::string_view(pairs_) : "");
    }
    nb::object script(nb::handle) const override { return make_str(head_assets()); }
    const Skeleton& skeleton() const override { return windowed::skeleton(); }

private:
    nb::object view_;
    mutable std::string pairs_;  // the rows' pairing, as the left panel's data holds it
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

    Its rows are pairs side by side, a filler facing each deleted or inserted
    line, in one scroller for both panels; it holds them as data and draws
    only the rows in view, so it opens quickly at any size. The lines are
    aligned natively without the standard matcher's popular-line heuristic
    (view.difflib is not consulted), compared with their line endings; the
    instance's _escape_html, _char_level_diff and _get_symbol_and_class make
    the rows. Its toolbar steps through changes, shows them alone with three
    rows of context, goes to a line and finds text.

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
    skeleton();
    mod.def(write_page_spec, {Py_None});
}

}  // namespace pelorix::windowed

PELORIX_MODULE(_windowed, m) {
    pelorix::Module mod(m);
    mod.import_from("pelorix.toolkit", {"view"});
    pelorix::windowed::define_windowed_page(mod);
    pelorix::diffpage::define_align_hook(mod);
}
