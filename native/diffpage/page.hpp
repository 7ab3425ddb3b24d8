// The diff page: the one writer of its frame (for both forms of the page) and of the full page's
// rows, filled from the skeleton in assets/ (page.html, panel.html, row.html), and the page's
// output to its file.  The rows come from the native row model or from the instance's own
// methods; the writer does not care which.
#pragma once

#include <algorithm>
#include <array>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "rows.hpp"
#include "runtime.hpp"
#include "utf8.hpp"

namespace pelorix::diffpage {

// A skeleton asset: literal text around "{{slot}}" markers, the slots in a fixed order.  The
// asset file's own final line break is not part of it.
class Skeleton {
public:
    Skeleton(std::string_view file, std::string_view text,
             std::initializer_list<std::string_view> slots);
    // A page skeleton: {{css}}, {{js}}, {{timestamp}}, {{tools}}, {{left}} and {{right}}, the
    // panels going into the last two.
    static Skeleton page(std::string_view file, std::string_view text);
    // The page skeleton of assets/page.html.
    static const Skeleton& page();
    // The text before slot i; literal(number of slots) is the text after the last one.
    std::string_view literal(std::size_t i) const { return literals_[i]; }

private:
    std::vector<std::string_view> literals_;
};

// The fixed text of a row around its number and its content, for one row class: the row's class
// tail and gutter symbol filled into the row markup.
struct RowStyle {
    Utf8 head, middle;
};

// The style of rows with this class tail and gutter symbol (both str).
RowStyle row_style(nb::handle symbol, nb::handle tail);

// One panel's rows as one run of UTF-8 text, every row preceded by the newline that separates it
// from the entry before.
class Panel {
public:
    Panel();
    Utf8 text;

    // One row; `content(text)` writes the row's text and is called unless `empty` says there is
    // none, in which case the row shows a single space.
    template <class Content>
    void row(const RowStyle& style, Py_ssize_t number, bool empty, Content&& content) {
        text.append(style.head);
        put_number(number);
        text.append(style.middle);
        if (empty)
            text.raw(" ");
        else
            content(text);
        text.raw(row_end_);
    }

private:
    void put_number(Py_ssize_t number) {
        if (number != last_ + 1 || last_ < 0) return put_number_out_of_turn(number);
        std::size_t i = sizeof digits_ - 1;
        for (; digits_[i] == '9'; --i) digits_[i] = '0';
        ++digits_[i];
        first_ = std::min(first_, i);
        last_ = number;
        text.raw({digits_ + first_, sizeof digits_ - first_});
    }
    void put_number_out_of_turn(Py_ssize_t number);

    std::string_view row_end_;
    // A panel's rows are numbered 1, 2, 3, ...: the next number is the last one's digits counted
    // up in place, and only a number out of turn is converted.
    Py_ssize_t last_ = 0;
    char digits_[24];
    std::size_t first_;
};

// What the frame shows around the rows.
struct Frame {
    nb::object css, js;  // as the page methods returned them: only a str can be written
    nb::str timestamp;
    struct Side {
        nb::str name;  // HTML-ready
        Py_ssize_t count;
    } left, right;
    std::string_view tools;  // markup after the toolbar's own groups
};

// A panel header of this instance: the side's line count, and its name (self.name1 or name2)
// escaped like line content (a file name must not add markup to the page).
Frame::Side frame_side(nb::handle self, nb::handle lines, const Name& name);

class Page {
public:
    Panel left, right;

    // Writes the frame around the panels (once), filling the page skeleton `page`.  A style sheet
    // or script that is not a str fails as joining the page's entries would.
    void frame(const Frame& f, const Skeleton& page = Skeleton::page());
    // with open(output_file, "w", encoding="utf-8") as f: f.write(page)
    void write(const Call& c, nb::handle output_file) const;

private:
    std::array<Utf8, 3> frame_;  // the text before, between and after the panels' rows
};

// The full page's rows from the native row model (NativeRows), written as the skeleton's rows.
class PageRows {
public:
    PageRows(Page& page, nb::handle self, PyObject* lines1, PyObject* lines2);

    void plain(RowKind kind, Py_ssize_t number, Shown text) {
        panel(kind).row(styles_[kind], number, text.length == 0,
                        [&](Utf8& out) { out.text(text.str, 0, text.length, true); });
    }
    void replaced(Py_ssize_t left_number, PyObject* left, Py_ssize_t right_number, PyObject* right,
                  const std::vector<seqmatch::Opcode>* marks) {
        marked(page_.left, styles_[ReplacedLeft], left_number, true, left, marks);
        marked(page_.right, styles_[ReplacedRight], right_number, false, right, marks);
    }

private:
    Panel& panel(RowKind kind) { return left_side(kind) ? page_.left : page_.right; }
    static void marked(Panel& panel, const RowStyle& style, Py_ssize_t number, bool is_left,
                       PyObject* text, const std::vector<seqmatch::Opcode>* marks) {
        panel.row(style, number, PyUnicode_GET_LENGTH(text) == 0, [&](Utf8& out) {
            if (marks)
                write_spans(out, is_left, text, *marks);
            else
                out.text(text, true);
        });
    }

    Page& page_;
    std::array<RowStyle, RowKinds> styles_;
};

// One panel's rows of the model made through the instance's methods, each styled by
// self._get_symbol_and_class.
void write_rows(Panel& panel, nb::handle self, const std::vector<Row>& rows, bool is_left);

// Fails at load when an asset lacks a slot the writer fills, rather than on the first page.
void check_page_assets();

}  // namespace pelorix::diffpage
