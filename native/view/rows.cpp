// The rows of the two panels: written natively while the lines are exact lists of str and the page
// methods are the class's own, else made through the instance's (possibly overridden) methods from
// whatever opcodes the matcher gave.  Either way they go through the page's one row writer.
#include <algorithm>

#include "diff.hpp"

namespace pelorix::view {
namespace {

// The style of a row class as self._get_symbol_and_class gives it.
RowStyle style_of(nb::handle method, const Name& css_class, bool is_left) {
    const std::vector<nb::object> result =
        unpack(call(method, {css_class}, {{n_is_left, is_left ? Py_True : Py_False}}), 2);
    nb::str tail = class_tail(result[1], css_class);
    return row_style(format(result[0]), tail);
}

// ---- native rows ----

class NativeRows {
public:
    NativeRows(Page& page, nb::handle self) : page_(page) {
        nb::object method = getattr(self, n_get_symbol_and_class);
        equal_left_ = style_of(method, n_equal_line, true);
        equal_right_ = style_of(method, n_equal_line, false);
        del_ = style_of(method, n_diff_del_left, true);
        add_ = style_of(method, n_diff_add_right, false);
        replace_left_ = style_of(method, n_diff_replace_left, true);
        replace_right_ = style_of(method, n_diff_replace_right, false);
    }

    void write(const std::vector<seqmatch::Opcode>& ops, PyObject* lines1, PyObject* lines2) {
        reserve(page_.left.text, lines1);
        reserve(page_.right.text, lines2);
        for (const seqmatch::Opcode& op : ops) {
            switch (op.tag) {
                case seqmatch::Tag::Equal:
                    for (std::size_t k = op.i1; k < op.i2; ++k) {
                        prefetch(lines1, k + ahead);
                        prefetch(lines2, op.j1 + k - op.i1 + ahead);
                        plain(left(), equal_left_, line(lines1, k));
                        plain(right(), equal_right_, line(lines2, op.j1 + k - op.i1));
                    }
                    break;
                case seqmatch::Tag::Delete:
                    for (std::size_t k = op.i1; k < op.i2; ++k)
                        plain(left(), del_, line(lines1, k));
                    break;
                case seqmatch::Tag::Insert:
                    for (std::size_t k = op.j1; k < op.j2; ++k)
                        plain(right(), add_, line(lines2, k));
                    break;
                case seqmatch::Tag::Replace:
                    replace(op, lines1, lines2);
                    break;
            }
        }
    }

private:
    static constexpr std::size_t ahead = 32;

    // A panel and the number its next row carries (rows are numbered 1, 2, 3, ... in order).
    struct Side {
        Panel& panel;
        Py_ssize_t& count;
    };
    Side left() { return {page_.left, count1_}; }
    Side right() { return {page_.right, count2_}; }

    // A line without its trailing "\n" characters, as a str and the length that is shown.
    struct Shown {
        PyObject* str;
        Py_ssize_t length;
    };

    static Shown line(PyObject* lines, std::size_t k) {
        PyObject* s = PyList_GET_ITEM(lines, static_cast<Py_ssize_t>(k));
        Py_ssize_t end = PyUnicode_GET_LENGTH(s);
        const int kind = PyUnicode_KIND(s);
        const void* data = PyUnicode_DATA(s);
        while (end > 0 && PyUnicode_READ(kind, data, end - 1) == '\n') --end;
        return {s, end};
    }

    // Room for rows of ordinary length, so the text is rarely moved while it grows.
    static void reserve(Utf8& out, PyObject* lines) {
        out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(lines)) * 320 + 4096);
    }

    // The lines are spread over the heap: ask for the ones a few rows ahead early.
    static void prefetch(PyObject* lines, std::size_t k) {
        if (k >= static_cast<std::size_t>(PyList_GET_SIZE(lines))) return;
        const char* s =
            reinterpret_cast<const char*>(PyList_GET_ITEM(lines, static_cast<Py_ssize_t>(k)));
        __builtin_prefetch(s);
        __builtin_prefetch(s + 64);
    }

    static void plain(Side side, const RowStyle& style, Shown text) {
        side.panel.row(style, ++side.count, text.length == 0,
                       [&](Utf8& out) { out.text(text.str, 0, text.length, true); });
    }

    static void marked(Side side, const RowStyle& style, const Utf8& text) {
        side.panel.row(style, ++side.count, text.empty(), [&](Utf8& out) { out.append(text); });
    }

    void replace(const seqmatch::Opcode& op, PyObject* lines1, PyObject* lines2) {
        const std::size_t left_size = op.i2 - op.i1, right_size = op.j2 - op.j1;
        for (std::size_t idx = 0; idx < std::max(left_size, right_size); ++idx) {
            if (idx < left_size && idx < right_size) {
                const Shown l = line(lines1, op.i1 + idx), r = line(lines2, op.j1 + idx);
                Utf8 marked_left, marked_right;
                nb::object lt = substring(l), rt = substring(r);
                if (PyUnicode_Compare(lt.ptr(), rt.ptr()) == 0) {
                    marked_left.text(lt.ptr(), true);
                    marked_right.text(rt.ptr(), true);
                } else {
                    mark_chars(marked_left, marked_right, lt.ptr(), rt.ptr());
                }
                marked(left(), replace_left_, marked_left);
                marked(right(), replace_right_, marked_right);
            } else if (idx < left_size) {
                plain(left(), del_, line(lines1, op.i1 + idx));
            } else {
                plain(right(), add_, line(lines2, op.j1 + idx));
            }
        }
    }

    static nb::object substring(Shown s) {
        PyObject* sub = PyUnicode_Substring(s.str, 0, s.length);
        if (!sub) raise_current();
        return nb::steal(sub);
    }

    Page& page_;
    Py_ssize_t count1_ = 0, count2_ = 0;
    RowStyle equal_left_, equal_right_, del_, add_, replace_left_, replace_right_;
};

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

void native_rows(Page& page, nb::handle self, const std::vector<seqmatch::Opcode>& ops,
                 PyObject* lines1, PyObject* lines2) {
    NativeRows(page, self).write(ops, lines1, lines2);
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

void write_rows(Panel& panel, nb::handle self, const std::vector<Row>& rows, bool is_left) {
    nb::object method = getattr(self, n_get_symbol_and_class);
    for (const Row& r : rows) {
        const std::vector<nb::object> result =
            unpack(call(method, {*r.css_class}, {{n_is_left, is_left ? Py_True : Py_False}}), 2);
        nb::str tail = class_tail(result[1], *r.css_class);
        nb::str text = format(r.content);
        const RowStyle style = row_style(format(result[0]), tail);
        panel.row(style, r.number, PyUnicode_GET_LENGTH(text.ptr()) == 0,
                  [&](Utf8& out) { out.text(text.ptr(), false); });
    }
}

}  // namespace pelorix::view
