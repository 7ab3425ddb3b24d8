// The diff page: the one writer of its frame and its rows, filled from the skeleton in assets/
// (page.html, panel.html, row.html), and the page's output to its file.  The rows come from the
// native marking or from the instance's own methods; this file does not care which.
#pragma once

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

#include "runtime.hpp"
#include "utf8.hpp"

namespace pelorix::view {

// The fixed text of a row around its number and its content, for one row class: the row's class
// tail and gutter symbol filled into the row markup.
struct RowStyle {
    Utf8 head, middle;
};

// The classes of a row after "line_container": `container css_class` when the container class
// that _get_symbol_and_class gave is true, else the row class alone.
nb::str class_tail(nb::handle container, nb::handle css_class);
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
};

class Page {
public:
    Panel left, right;

    // Writes the frame around the panels (once).  A style sheet or script that is not a str fails
    // as joining the page's entries would.
    void frame(const Frame& f);
    // with open(output_file, "w", encoding="utf-8") as f: f.write(page)
    void write(const Call& c, nb::handle output_file) const;

private:
    std::array<Utf8, 3> frame_;  // the text before, between and after the panels' rows
};

// Fails at load when an asset lacks a slot the writer fills, rather than on the first page.
void check_page_assets();

}  // namespace pelorix::view
