// Character-level marking of a replaced pair of lines: the runs of the two texts wrapped in
// equal, deleted and added spans, written natively or through the instance's _escape_html.
#include <string_view>

#include "rows.hpp"

namespace pelorix::diffpage {
namespace {

constexpr std::string_view equal_open = "<span class=\"char-equal\">",
                           del_open = "<span class=\"char-del\">",
                           add_open = "<span class=\"char-add\">", span_end = "</span>";

// The spans one opcode gives the two texts: `span(left, open)` for the left text's run, then for
// the right one's; equal runs on both sides, deleted runs on the left, added runs on the right.
template <class Span>
void spans(seqmatch::Tag tag, Span&& span) {
    switch (tag) {
        case seqmatch::Tag::Equal:
            span(true, equal_open);
            span(false, equal_open);
            break;
        case seqmatch::Tag::Replace:
            span(true, del_open);
            span(false, add_open);
            break;
        case seqmatch::Tag::Delete:
            span(true, del_open);
            break;
        case seqmatch::Tag::Insert:
            span(false, add_open);
            break;
    }
}

}  // namespace

nb::object matcher_opcodes(nb::handle difflib, nb::handle a, nb::handle b) {
    nb::object matcher = call(getattr(difflib, n_SequenceMatcher), {Py_None, a, b});
    return call_method(matcher, n_get_opcodes, {});
}

std::optional<seqmatch::Tag> tag_of(nb::handle tag) {
    if (equals(tag, n_equal)) return seqmatch::Tag::Equal;
    if (equals(tag, n_replace)) return seqmatch::Tag::Replace;
    if (equals(tag, n_delete)) return seqmatch::Tag::Delete;
    if (equals(tag, n_insert)) return seqmatch::Tag::Insert;
    return std::nullopt;
}

nb::object opcode_list(const std::vector<seqmatch::Opcode>& ops) {
    static const Name* const tags[] = {&n_replace, &n_delete, &n_insert, &n_equal};
    nb::object list = nb::steal(PyList_New(static_cast<Py_ssize_t>(ops.size())));
    if (!list.is_valid()) raise_current();
    for (std::size_t k = 0; k < ops.size(); ++k) {
        const seqmatch::Opcode& op = ops[k];
        PyObject* t = Py_BuildValue("(Onnnn)", tags[static_cast<int>(op.tag)]->get(),
                                    static_cast<Py_ssize_t>(op.i1), static_cast<Py_ssize_t>(op.i2),
                                    static_cast<Py_ssize_t>(op.j1), static_cast<Py_ssize_t>(op.j2));
        if (!t) raise_current();
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(k), t);
    }
    return list;
}

nb::object escape(nb::handle self, nb::handle text) {
    return call_method(self, n_escape_html, {text});
}

std::vector<seqmatch::Opcode> char_opcodes(PyObject* text1, PyObject* text2) {
    const seqmatch::Encoded e = seqmatch::encode_chars(text1, text2);
    return seqmatch::opcodes(e.a, e.b, e.alphabet);
}

void write_spans(Utf8& out, bool is_left, PyObject* text,
                 const std::vector<seqmatch::Opcode>& ops) {
    for (const seqmatch::Opcode& op : ops) {
        spans(op.tag, [&](bool left_run, std::string_view open) {
            if (left_run != is_left) return;
            out.raw(open);
            out.text(text, static_cast<Py_ssize_t>(is_left ? op.i1 : op.j1),
                     static_cast<Py_ssize_t>(is_left ? op.i2 : op.j2), true);
            out.raw(span_end);
        });
    }
}

void mark_chars(Utf8& left, Utf8& right, PyObject* text1, PyObject* text2) {
    const std::vector<seqmatch::Opcode> ops = char_opcodes(text1, text2);
    write_spans(left, true, text1, ops);
    write_spans(right, false, text2, ops);
}

nb::object mark_with(nb::handle self, nb::handle opcodes, nb::handle text1, nb::handle text2) {
    Utf8 left, right;
    nb::object it = iterate(opcodes);
    while (nb::object opcode = next(it)) {
        const std::vector<nb::object> op = unpack(opcode, 5);
        const std::optional<seqmatch::Tag> tag = tag_of(op[0]);
        if (!tag) continue;
        spans(*tag, [&](bool is_left, std::string_view open) {
            nb::handle from = op[is_left ? 1 : 3], to = op[is_left ? 2 : 4];
            nb::object bounds = nb::steal(PySlice_New(from.ptr(), to.ptr(), nullptr));
            if (!bounds.is_valid()) raise_current();
            nb::object run = getitem(is_left ? text1 : text2, bounds);
            nb::str shown = format(escape(self, run));
            Utf8& out = is_left ? left : right;
            out.raw(open);
            out.text(shown.ptr(), false);
            out.raw(span_end);
        });
    }
    return nb::make_tuple(make_str(left.view()), make_str(right.view()));
}

}  // namespace pelorix::diffpage
