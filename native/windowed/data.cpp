// The windowed page's row data, written from the native row model or from the rows made through
// the instance's methods.
#include "data.hpp"

#include <charconv>

namespace pelorix::windowed {

PanelData::PanelData(Utf8& out) : out_(out) {
    out_.raw("\n<script type=\"application/json\">{\"text\":\"");
}

void PanelData::number(std::string& out, std::size_t n) {
    char digits[24];
    if (!out.empty()) out += ',';
    out.append(digits, std::to_chars(digits, digits + sizeof digits, n).ptr);
}

void PanelData::start_row(std::uint32_t style) {
    if (rows_ > 0) out_.raw("\\n");
    if (rows_ > 0 && style != run_style_) {
        number(runs_, run_style_);
        number(runs_, run_length_);
        run_length_ = 0;
    }
    run_style_ = style;
    ++run_length_;
    ++rows_;
}

void PanelData::row(std::uint32_t style, PyObject* text, Py_ssize_t length) {
    start_row(style);
    number(lengths_, out_.json(text, 0, length));
}

void PanelData::marked_row(std::uint32_t style, PyObject* text, bool is_left,
                           const std::vector<seqmatch::Opcode>& ops) {
    start_row(style);
    number(lengths_, out_.json(text));
    // runs: 2 * length + 1 for a deleted or added run, + 0 for an equal one
    std::vector<std::size_t> runs;
    for (const seqmatch::Opcode& op : ops) {
        const bool equal = op.tag == seqmatch::Tag::Equal;
        if (op.tag == (is_left ? seqmatch::Tag::Insert : seqmatch::Tag::Delete)) continue;
        const auto from = static_cast<Py_ssize_t>(is_left ? op.i1 : op.j1);
        const auto to = static_cast<Py_ssize_t>(is_left ? op.i2 : op.j2);
        runs.push_back(2 * utf16_length(text, from, to) + (equal ? 0 : 1));
    }
    number(marks_, static_cast<std::size_t>(rows_ - 1));
    number(marks_, runs.size());
    for (std::size_t run : runs) number(marks_, run);
}

void PanelData::end(const Utf8& styles, bool html, std::string_view tail) {
    if (rows_ > 0) {
        number(runs_, run_style_);
        number(runs_, run_length_);
    }
    out_.raw("\",\"lengths\":[");
    out_.raw(lengths_);
    out_.raw("],\"runs\":[");
    out_.raw(runs_);
    out_.raw("],\"marks\":[");
    out_.raw(marks_);
    out_.raw("],\"styles\":[");
    out_.append(styles);
    out_.raw(html ? "],\"html\":true" : "],\"html\":false");
    out_.raw(tail);
    out_.raw("}</script>");
}

std::uint32_t StyleTable::index(const Style& style) {
    // Keyed by the two texts as written (lone surrogates included), a NUL between them.
    Utf8 key;
    key.text(style.tail.ptr(), false);
    key.raw({"", 1});
    key.text(style.symbol.ptr(), false);
    const std::string_view k = key.view();
    for (std::size_t i = 0; i < keys_.size(); ++i)
        if (keys_[i] == k) return static_cast<std::uint32_t>(i);
    if (!keys_.empty()) json_.raw(",");
    json_.raw("[\"");
    json_.json(style.tail.ptr());
    json_.raw("\",\"");
    json_.json(style.symbol.ptr());
    json_.raw("\"]");
    keys_.emplace_back(k);
    return static_cast<std::uint32_t>(keys_.size() - 1);
}

DataRows::DataRows(Page& page, nb::handle self, PyObject* lines1, PyObject* lines2)
    : left_(page.left.text), right_(page.right.text) {
    const std::array<Style, RowKinds> styles = native_styles(self);
    for (std::size_t k = 0; k < styles.size(); ++k) {
        const bool left = left_side(static_cast<RowKind>(k));
        style_[k] = (left ? left_styles_ : right_styles_).index(styles[k]);
    }
    // Room for lines of ordinary length, so the text is rarely moved while it grows.
    page.left.text.reserve(static_cast<std::size_t>(PyList_GET_SIZE(lines1)) * 64 + 4096);
    page.right.text.reserve(static_cast<std::size_t>(PyList_GET_SIZE(lines2)) * 64 + 4096);
}

void DataRows::end(std::string_view left_tail) {
    left_.end(left_styles_.json(), false, left_tail);
    right_.end(right_styles_.json(), false);
}

void write_data(Panel& panel, nb::handle self, const std::vector<Row>& rows, bool is_left,
                std::string_view tail) {
    const StyleMethod ask(self);
    PanelData data(panel.text);
    StyleTable styles;
    for (const Row& r : rows) {
        // The script numbers rows by their place; the model numbers them so unless the matcher
        // gave opcodes that step backwards.
        if (r.number != data.rows() + 1)
            raise(PyExc_ValueError,
                  "the matcher's opcodes number the rows out of order (row %zd is line %zd): the "
                  "windowed page needs them numbered 1, 2, 3, ...",
                  data.rows() + 1, r.number);
        const StyleMethod::Answer answer = ask(*r.css_class, is_left);
        nb::str text = format(r.content);
        const std::uint32_t style = styles.index({format(answer.symbol), answer.tail});
        data.row(style, text.ptr(), PyUnicode_GET_LENGTH(text.ptr()));
    }
    data.end(styles.json(), true, tail);
}

}  // namespace pelorix::windowed
