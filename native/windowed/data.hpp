// The rows of the windowed page as data: each panel's rows written as one JSON object in a script
// element inside the panel, read by assets/windowed.js, which draws the rows near the view.  The
// object holds the rows' texts joined by line feeds, each text's length, the row styles as runs,
// the character marks of replaced rows, the table of styles, and whether the texts are markup;
// the left panel's object also holds how the lines pair into the page's rows (pairs.hpp).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "page.hpp"
#include "rows.hpp"
#include "utf8.hpp"

namespace pelorix::windowed {

// The row model and the page writer, shared with the full page.
using namespace diffpage;

// One panel's rows, written into the panel's text of the page.  Row k carries line number k + 1.
class PanelData {
public:
    explicit PanelData(Utf8& out);

    // A row of style `style` showing text[0:length], unmarked.
    void row(std::uint32_t style, PyObject* text, Py_ssize_t length);
    // A row of a replaced pair showing the whole of `text`, marked by the pair's opcodes.
    void marked_row(std::uint32_t style, PyObject* text, bool is_left,
                    const std::vector<seqmatch::Opcode>& ops);
    // Ends the object: the arrays, the style table (already JSON), whether texts are markup, and
    // `tail` (more members, each after a comma).
    void end(const Utf8& styles, bool html, std::string_view tail = {});

    Py_ssize_t rows() const { return rows_; }

private:
    void start_row(std::uint32_t style);
    static void number(std::string& out, std::size_t n);

    Utf8& out_;
    std::string lengths_, runs_, marks_;
    Py_ssize_t rows_ = 0;
    std::uint32_t run_style_ = 0;
    std::size_t run_length_ = 0;
};

// A style table as JSON: [[class tail, symbol], ...].
class StyleTable {
public:
    // The index of the style, added when new.
    std::uint32_t index(const Style& style);
    const Utf8& json() const { return json_; }

private:
    std::vector<std::string> keys_;
    Utf8 json_;
};

// The windowed page's rows from the native row model (a NativeRows sink).
class DataRows {
public:
    DataRows(Page& page, nb::handle self, PyObject* lines1, PyObject* lines2);

    void plain(RowKind kind, Py_ssize_t, Shown text) {
        side(kind).row(style_[kind], text.str, text.length);
    }
    void replaced(Py_ssize_t, PyObject* left, Py_ssize_t, PyObject* right,
                  const std::vector<seqmatch::Opcode>* marks) {
        if (marks) {
            left_.marked_row(style_[ReplacedLeft], left, true, *marks);
            right_.marked_row(style_[ReplacedRight], right, false, *marks);
        } else {
            left_.row(style_[ReplacedLeft], left, PyUnicode_GET_LENGTH(left));
            right_.row(style_[ReplacedRight], right, PyUnicode_GET_LENGTH(right));
        }
    }
    // Ends both objects, the left one with `left_tail`.
    void end(std::string_view left_tail);

private:
    PanelData& side(RowKind kind) { return left_side(kind) ? left_ : right_; }

    PanelData left_, right_;
    StyleTable left_styles_, right_styles_;
    std::array<std::uint32_t, RowKinds> style_;
};

// One panel's rows of the model made through the instance's methods, each styled by
// self._get_symbol_and_class; the texts are markup, as those methods made them.
// `tail` ends the object as in PanelData::end.
void write_data(Panel& panel, nb::handle self, const std::vector<Row>& rows, bool is_left,
                std::string_view tail);

}  // namespace pelorix::windowed
