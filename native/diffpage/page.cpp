// The diff page's frame and rows, written from the skeleton assets, and the page's output.
#include "page.hpp"

#include <algorithm>
#include <charconv>
#include <string>

#include "files.hpp"
#include "names.hpp"
#include "page_html.hpp"
#include "panel_html.hpp"
#include "row_html.hpp"

namespace pelorix::diffpage {
namespace {

enum PageSlot { Css, Js, Timestamp, Tools, Left, Right };
enum PanelSlot { Label, FileName, Count, Rows };
enum RowSlot { Class, Number, Symbol, Content };

const Skeleton& panel_skeleton() {
    static const Skeleton s("panel.html", panel_html, {"label", "name", "count", "rows"});
    return s;
}
const Skeleton& row_skeleton() {
    static const Skeleton s("row.html", row_html, {"class", "number", "symbol", "content"});
    return s;
}

// A style sheet or script that is not a str fails as joining the page's entries, separators
// included, would: it is named by its position in that list, two items for each entry before it.
void check_entry(nb::handle entry, const std::string& before) {
    if (PyUnicode_Check(entry.ptr())) return;
    const auto entries = std::count(before.begin(), before.end(), '\n');
    raise(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found",
          static_cast<Py_ssize_t>(2 * entries), Py_TYPE(entry.ptr())->tp_name);
}

}  // namespace

Skeleton::Skeleton(std::string_view file, std::string_view text,
                   std::initializer_list<std::string_view> slots) {
    if (text.ends_with('\n')) text.remove_suffix(1);
    for (std::string_view slot : slots) {
        const std::string marker = "{{" + std::string(slot) + "}}";
        const std::size_t at = text.find(marker);
        if (at == std::string_view::npos)
            raise(PyExc_RuntimeError, "page asset %.*s has no slot %s in its place",
                  static_cast<int>(file.size()), file.data(), marker.c_str());
        literals_.push_back(text.substr(0, at));
        text.remove_prefix(at + marker.size());
    }
    literals_.push_back(text);
}

Skeleton Skeleton::page(std::string_view file, std::string_view text) {
    return Skeleton(file, text, {"css", "js", "timestamp", "tools", "left", "right"});
}

const Skeleton& Skeleton::page() {
    static const Skeleton s = page("page.html", page_html);
    return s;
}

void check_page_assets() {
    Skeleton::page();
    panel_skeleton();
    row_skeleton();
}

RowStyle row_style(nb::handle symbol, nb::handle tail) {
    const Skeleton& row = row_skeleton();
    RowStyle style;
    style.head.raw("\n");
    style.head.raw(row.literal(Class));
    style.head.text(tail.ptr(), false);
    style.head.raw(row.literal(Number));
    style.middle.raw(row.literal(Symbol));
    style.middle.text(symbol.ptr(), false);
    style.middle.raw(row.literal(Content));
    return style;
}

Panel::Panel() : row_end_(row_skeleton().literal(Content + 1)), first_(sizeof digits_ - 1) {
    std::fill(std::begin(digits_), std::end(digits_), '0');
}

void Panel::put_number_out_of_turn(Py_ssize_t number) {
    char buf[sizeof digits_];
    const auto end = std::to_chars(buf, buf + sizeof buf, number).ptr;
    const auto n = static_cast<std::size_t>(end - buf);
    text.raw({buf, n});
    // no counting up from a sign: after a negative number the next one is converted too
    last_ = number < 0 ? -1 : number;
    if (number < 0) return;
    std::fill(std::begin(digits_), std::end(digits_), '0');
    std::copy(buf, end, digits_ + sizeof digits_ - n);
    first_ = sizeof digits_ - n;
}

PageRows::PageRows(Page& page, nb::handle self, PyObject* lines1, PyObject* lines2) : page_(page) {
    const std::array<Style, RowKinds> styles = native_styles(self);
    for (std::size_t k = 0; k < styles.size(); ++k)
        styles_[k] = row_style(styles[k].symbol, styles[k].tail);
    // Room for rows of ordinary length, so the text is rarely moved while it grows.
    page.left.text.reserve(static_cast<std::size_t>(PyList_GET_SIZE(lines1)) * 320 + 4096);
    page.right.text.reserve(static_cast<std::size_t>(PyList_GET_SIZE(lines2)) * 320 + 4096);
}

void write_rows(Panel& panel, nb::handle self, const std::vector<Row>& rows, bool is_left) {
    const StyleMethod ask(self);
    for (const Row& r : rows) {
        const StyleMethod::Answer answer = ask(*r.css_class, is_left);
        nb::str text = format(r.content);
        const RowStyle style = row_style(format(answer.symbol), answer.tail);
        panel.row(style, r.number, PyUnicode_GET_LENGTH(text.ptr()) == 0,
                  [&](Utf8& out) { out.text(text.ptr(), false); });
    }
}

Frame::Side frame_side(nb::handle self, nb::handle lines, const Name& name) {
    const Py_ssize_t count = PyObject_Length(lines.ptr());
    if (count < 0) raise_current();
    return {format(escape(self, to_str(getattr(self, name)))), count};
}

void Page::frame(const Frame& f, const Skeleton& page) {
    const Skeleton& panel = panel_skeleton();
    std::string before;  // the page's text up to the style sheet and script, for their check
    before += page.literal(Css);
    check_entry(f.css, before);
    before += page.literal(Js);
    check_entry(f.js, before);

    Utf8* out = frame_.data();  // the piece being written; each panel's rows start a new one
    out->raw(page.literal(Css));
    out->text(f.css.ptr(), false);
    out->raw(page.literal(Js));
    out->text(f.js.ptr(), false);
    out->raw(page.literal(Timestamp));
    out->text(f.timestamp.ptr(), false);
    out->raw(page.literal(Tools));
    out->raw(f.tools);
    auto side = [&](const char* label, const Frame::Side& s) {
        out->raw(panel.literal(Label));
        out->raw(label);
        out->raw(panel.literal(FileName));
        out->text(s.name.ptr(), false);
        out->raw(panel.literal(Count));
        char digits[24];
        out->raw(
            {digits, static_cast<std::size_t>(
                         std::to_chars(digits, digits + sizeof digits, s.count).ptr - digits)});
        out->raw(panel.literal(Rows));
        ++out;
        out->raw(panel.literal(Rows + 1));
    };
    out->raw(page.literal(Left));
    side("Original", f.left);
    out->raw(page.literal(Right));
    side("New", f.right);
    out->raw(page.literal(Right + 1));
}

// With the builtin open the UTF-8 goes to the file's byte layer as it is, in pieces; the file
// receives exactly the bytes the one text write would give it.  Any other open, or text that
// only the text layer may refuse (lone surrogates), gets the page as one str.
void Page::write(const Call& c, nb::handle output_file) const {
    static const Name n_buffer("buffer"), n_release("release");
    const std::vector<const Utf8*> pieces = {&frame_[0], &left.text, &frame_[1], &right.text,
                                             &frame_[2]};
    nb::object open = c.global(n_open);
    bool surrogates = false;
    for (const Utf8* p : pieces) surrogates |= p->surrogates;
    if (!builtin_open(open) || surrogates) {
        std::string whole;
        for (const Utf8* p : pieces) whole += p->view();
        nb::str html = make_str(whole);
        whole = std::string();
        nb::object file = call(open, {output_file, nb::str("w")}, {{n_encoding, nb::str("utf-8")}});
        with_block(c, file, [&](nb::handle f) { return call_method(f, n_write, {html}); });
        return;
    }
    nb::object file = call(open, {output_file, nb::str("w")}, {{n_encoding, nb::str("utf-8")}});
    with_block(c, file, [&](nb::handle f) {
        nb::object buffer = getattr(f, n_buffer);
        for (const Utf8* p : pieces) {
            const std::string_view bytes = p->view();
            nb::object view = nb::steal(
                PyMemoryView_FromMemory(const_cast<char*>(bytes.data()),
                                        static_cast<Py_ssize_t>(bytes.size()), PyBUF_READ));
            if (!view.is_valid()) raise_current();
            call_method(buffer, n_write, {view});
            call_method(view, n_release, {});
        }
        return nb::none();
    });
}

}  // namespace pelorix::diffpage
