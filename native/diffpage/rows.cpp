// The row model's steps that are not templates: the styles of natively written rows, and the rows
// made through the instance's (possibly overridden) methods from whatever opcodes the matcher gave.
#include "rows.hpp"

#include <algorithm>

namespace pelorix::diffpage {
namespace {

// ---- rows through the instance's methods ----

// line.rstrip("\n"), done natively for exact str.
nb::object display_text(nb::handle line) {
    static const Name n_rstrip("rstrip"), n_newline("\n");
    if (!PyUnicode_CheckExact(line.ptr())) return call_method(line, n_rstrip, {n_newline});
    Py_ssize_t end = PyUnicode_GET_LENGTH(line.ptr());
    const int kind = PyUnicode_KIND(line.ptr());
    const void* data = PyUnicode_DATA(line.ptr());
    while (end > 0 && PyUnicode_READ(kind, data, end - 1) == '\n') --end;
    PyObject* s = PyUnicode_Substring(line.ptr(), 0, end);
    if (!s) raise_current();
    return nb::steal(s);
}

// The rows of one "replace" opcode: lines paired by position, the pairs marked by
// _char_level_diff, the surplus of the longer block shown whole.
void replaced_rows(RowModel& rows, nb::handle self, nb::handle lines1, nb::handle lines2,
                   Py_ssize_t i1, Py_ssize_t i2, Py_ssize_t j1, Py_ssize_t j2, Py_ssize_t line_num1,
                   Py_ssize_t line_num2) {
    std::vector<nb::object> left_chunk, right_chunk;
    for (Py_ssize_t k = i1; k < i2; ++k) left_chunk.push_back(display_text(getitem(lines1, k)));
    for (Py_ssize_t k = j1; k < j2; ++k) right_chunk.push_back(display_text(getitem(lines2, k)));
    const std::size_t max_len = std::max(left_chunk.size(), right_chunk.size());
    for (std::size_t idx = 0; idx < max_len; ++idx) {
        const Py_ssize_t offset = static_cast<Py_ssize_t>(idx);
        const bool has_left = idx < left_chunk.size(), has_right = idx < right_chunk.size();
        nb::object marked_right;
        if (has_left && has_right) {
            const std::vector<nb::object> marked = unpack(
                call_method(self, n_char_level_diff, {left_chunk[idx], right_chunk[idx]}), 2);
            rows.left.push_back({line_num1 + offset, marked[0], &n_diff_replace_left});
            marked_right = marked[1];
        } else if (has_left) {
            rows.left.push_back(
                {line_num1 + offset, escape(self, left_chunk[idx]), &n_diff_del_left});
        }
        if (has_right && has_left) {
            rows.right.push_back({line_num2 + offset, marked_right, &n_diff_replace_right});
        } else if (has_right) {
            rows.right.push_back(
                {line_num2 + offset, escape(self, right_chunk[idx]), &n_diff_add_right});
        }
    }
}

}  // namespace

nb::str class_tail(nb::handle container, nb::handle css_class) {
    if (!truthy(container)) return format(css_class);
    return concat({format(container), nb::str(" "), css_class});
}

StyleMethod::StyleMethod(nb::handle self) : method_(getattr(self, n_get_symbol_and_class)) {}

StyleMethod::Answer StyleMethod::operator()(nb::handle css_class, bool is_left) const {
    const std::vector<nb::object> result =
        unpack(call(method_, {css_class}, {{n_is_left, is_left ? Py_True : Py_False}}), 2);
    nb::str tail = class_tail(result[1], css_class);
    return {result[0], tail};
}

std::array<Style, RowKinds> native_styles(nb::handle self) {
    const StyleMethod ask(self);
    auto style_of = [&](const Name& css_class, bool is_left) {
        StyleMethod::Answer a = ask(css_class, is_left);
        return Style{format(a.symbol), a.tail};
    };
    return {style_of(n_equal_line, true),        style_of(n_equal_line, false),
            style_of(n_diff_del_left, true),     style_of(n_diff_add_right, false),
            style_of(n_diff_replace_left, true), style_of(n_diff_replace_right, false)};
}

RowModel instance_rows(nb::handle self, nb::handle opcodes, nb::handle lines1, nb::handle lines2) {
    RowModel rows;
    Py_ssize_t line_num1 = 1, line_num2 = 1;
    auto plain = [&](std::vector<Row>& side, Py_ssize_t& number, nb::handle line,
                     const Name& css_class) {
        side.push_back({number++, escape(self, display_text(line)), &css_class});
    };
    nb::object it = iterate(opcodes);
    while (nb::object opcode = next(it)) {
        const std::vector<nb::object> op = unpack(opcode, 5);
        const Py_ssize_t i1 = as_index(op[1]), i2 = as_index(op[2]);
        const Py_ssize_t j1 = as_index(op[3]), j2 = as_index(op[4]);
        const std::optional<seqmatch::Tag> tag = tag_of(op[0]);
        if (!tag) continue;
        switch (*tag) {
            case seqmatch::Tag::Equal:
                for (Py_ssize_t k = i1; k < i2; ++k) {
                    plain(rows.left, line_num1, getitem(lines1, k), n_equal_line);
                    plain(rows.right, line_num2, getitem(lines2, j1 + k - i1), n_equal_line);
                }
                break;
            case seqmatch::Tag::Replace:
                replaced_rows(rows, self, lines1, lines2, i1, i2, j1, j2, line_num1, line_num2);
                line_num1 += i2 - i1;
                line_num2 += j2 - j1;
                break;
            case seqmatch::Tag::Delete:
                for (Py_ssize_t k = i1; k < i2; ++k)
                    plain(rows.left, line_num1, getitem(lines1, k), n_diff_del_left);
                break;
            case seqmatch::Tag::Insert:
                for (Py_ssize_t k = j1; k < j2; ++k)
                    plain(rows.right, line_num2, getitem(lines2, k), n_diff_add_right);
                break;
        }
    }
    return rows;
}

}  // namespace pelorix::diffpage
