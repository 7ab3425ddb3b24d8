// The diff page's row model, shared by both forms of the page: the matcher's opcodes turned into
// each panel's rows (number, text, class) and the character marking of replaced pairs, written
// natively while nobody can tell, else made through the instance's own (possibly overridden)
// methods.  The natively made rows go to a sink, which writes them in its page's form.
#pragma once

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "names.hpp"
#include "runtime.hpp"
#include "seqmatch.hpp"
#include "utf8.hpp"

namespace pelorix::diffpage {

inline const Name n_difflib("difflib"), n_SequenceMatcher("SequenceMatcher"),
    n_get_opcodes("get_opcodes"), n_escape_html("_escape_html"),
    n_char_level_diff("_char_level_diff"), n_get_symbol_and_class("_get_symbol_and_class"),
    n_is_left("is_left"), n_equal("equal"), n_delete("delete"), n_insert("insert"),
    n_equal_line("equal_line"), n_diff_del_left("diff_del_left"),
    n_diff_add_right("diff_add_right"), n_diff_replace_left("diff_replace_left"),
    n_diff_replace_right("diff_replace_right"), n_tempfile("tempfile"), n_mkstemp("mkstemp"),
    n_lines1("lines1"), n_lines2("lines2"), n_name1("name1"), n_name2("name2"),
    n_get_custom_css("_get_custom_css");

// ---- when nobody can tell (conditions.cpp) ----

// Remembers the standard difflib module and the builtin open as they are when the module that
// makes pages is loaded.
void remember_at_load(nb::handle difflib);
// `difflib` is the standard module and SequenceMatcher still its own class with its own methods:
// the native matcher gives what difflib.SequenceMatcher(None, a, b) would.
bool standard_difflib(nb::handle difflib);

// Remembers the page methods (_escape_html, _char_level_diff, _get_symbol_and_class) of the view
// module's BeautifulHtmlDiff, `cls`, as the module `globals` made them.  A method that is not
// that module's own native function (one patched on the class before this module was loaded)
// is remembered as none, so no instance is taken to have it.
void remember_page_methods(nb::handle cls, nb::handle globals);
// self._escape_html is the remembered one.
bool own_escape(nb::handle self);
// self._escape_html, _char_level_diff and _get_symbol_and_class are the remembered ones, found on
// the class without an instance attribute in the way: the rows may be written natively.
bool own_page_methods(nb::handle self);

// ---- opcodes and character marking (marking.cpp) ----

// difflib.SequenceMatcher(None, a, b).get_opcodes() through the given difflib module.
nb::object matcher_opcodes(nb::handle difflib, nb::handle a, nb::handle b);

// The tag of an opcode object, compared as "equal", "replace", "delete", "insert" in that order;
// nullopt for any other tag.
std::optional<seqmatch::Tag> tag_of(nb::handle tag);
// The matcher's opcodes as the interpreter's objects: [(tag, i1, i2, j1, j2), ...].
nb::object opcode_list(const std::vector<seqmatch::Opcode>& ops);
// The opcodes of SequenceMatcher(None, text1, text2) for two exact str, over code points.
std::vector<seqmatch::Opcode> char_opcodes(PyObject* text1, PyObject* text2);
// One side's spans of a marked line: its runs escaped natively, each in its equal, deleted or
// added span, as _char_level_diff writes them.
void write_spans(Utf8& out, bool is_left, PyObject* text, const std::vector<seqmatch::Opcode>& ops);
// _char_level_diff(text1, text2) for two different exact str, aligned and escaped natively.
void mark_chars(Utf8& left, Utf8& right, PyObject* text1, PyObject* text2);
// _char_level_diff(text1, text2) from any opcodes, each run escaped by self._escape_html.
nb::object mark_with(nb::handle self, nb::handle opcodes, nb::handle text1, nb::handle text2);

// self._escape_html(text)
nb::object escape(nb::handle self, nb::handle text);

// ---- row styles (rows.cpp) ----

// A row's look as self._get_symbol_and_class gives it: the gutter symbol, and the classes after
// "line_container" (`container css_class` when the container class is true, else the row class).
struct Style {
    nb::str symbol, tail;
};
nb::str class_tail(nb::handle container, nb::handle css_class);

// self._get_symbol_and_class, looked up once and asked for each row class: the one place the
// page calls it.  Gives the symbol as the method returned it (formatted by the caller, in the
// order the page formats its values) and the class tail.
class StyleMethod {
public:
    explicit StyleMethod(nb::handle self);
    struct Answer {
        nb::object symbol;
        nb::str tail;
    };
    Answer operator()(nb::handle css_class, bool is_left) const;

private:
    nb::object method_;
};

// The six kinds of natively written rows, and the row class each stands for.
enum RowKind { EqualLeft, EqualRight, Deleted, Added, ReplacedLeft, ReplacedRight, RowKinds };
// Rows of this kind are on the left panel.
constexpr bool left_side(RowKind kind) {
    return kind == EqualLeft || kind == Deleted || kind == ReplacedLeft;
}
// The style of each kind, asked of self._get_symbol_and_class once per page.
std::array<Style, RowKinds> native_styles(nb::handle self);

// ---- rows written natively ----

// A line as a row shows it: the str and how many of its code points are shown (its trailing "\n"
// characters are not).
struct Shown {
    PyObject* str;
    Py_ssize_t length;
};

// Both panels' rows of exact lists of exact str aligned by `ops`, with the class's own page
// methods, handed to the sink in the order the page shows them:
//   sink.plain(kind, number, shown)        an unchanged, deleted or inserted line, escaped as
//                                           _escape_html would;
//   sink.replaced(left number, left text, right number, right text, ops)
//                                           a replaced pair: the shown texts as str, and the
//                                           character opcodes that mark them, null when the two
//                                           texts are equal (then neither is marked).
template <class Sink>
class NativeRows {
public:
    NativeRows(Sink& sink, PyObject* lines1, PyObject* lines2)
        : sink_(sink), lines1_(lines1), lines2_(lines2) {}

    void write(const std::vector<seqmatch::Opcode>& ops) {
        for (const seqmatch::Opcode& op : ops) {
            switch (op.tag) {
                case seqmatch::Tag::Equal:
                    for (std::size_t k = op.i1; k < op.i2; ++k) {
                        prefetch(lines1_, k + ahead);
                        prefetch(lines2_, op.j1 + k - op.i1 + ahead);
                        sink_.plain(EqualLeft, ++count1_, line(lines1_, k));
                        sink_.plain(EqualRight, ++count2_, line(lines2_, op.j1 + k - op.i1));
                    }
                    break;
                case seqmatch::Tag::Delete:
                    for (std::size_t k = op.i1; k < op.i2; ++k)
                        sink_.plain(Deleted, ++count1_, line(lines1_, k));
                    break;
                case seqmatch::Tag::Insert:
                    for (std::size_t k = op.j1; k < op.j2; ++k)
                        sink_.plain(Added, ++count2_, line(lines2_, k));
                    break;
                case seqmatch::Tag::Replace:
                    replace(op);
                    break;
            }
        }
    }

private:
    static constexpr std::size_t ahead = 32;

    static Shown line(PyObject* lines, std::size_t k) {
        PyObject* s = PyList_GET_ITEM(lines, static_cast<Py_ssize_t>(k));
        Py_ssize_t end = PyUnicode_GET_LENGTH(s);
        const int kind = PyUnicode_KIND(s);
        const void* data = PyUnicode_DATA(s);
        while (end > 0 && PyUnicode_READ(kind, data, end - 1) == '\n') --end;
        return {s, end};
    }

    // The lines are spread over the heap: ask for the ones a few rows ahead early.
    static void prefetch(PyObject* lines, std::size_t k) {
        if (k >= static_cast<std::size_t>(PyList_GET_SIZE(lines))) return;
        const char* s =
            reinterpret_cast<const char*>(PyList_GET_ITEM(lines, static_cast<Py_ssize_t>(k)));
        __builtin_prefetch(s);
        __builtin_prefetch(s + 64);
    }

    static nb::object substring(Shown s) {
        PyObject* sub = PyUnicode_Substring(s.str, 0, s.length);
        if (!sub) raise_current();
        return nb::steal(sub);
    }

    void replace(const seqmatch::Opcode& op) {
        const std::size_t left_size = op.i2 - op.i1, right_size = op.j2 - op.j1;
        for (std::size_t idx = 0; idx < std::max(left_size, right_size); ++idx) {
            if (idx < left_size && idx < right_size) {
                nb::object lt = substring(line(lines1_, op.i1 + idx));
                nb::object rt = substring(line(lines2_, op.j1 + idx));
                std::optional<std::vector<seqmatch::Opcode>> marks;
                if (PyUnicode_Compare(lt.ptr(), rt.ptr()) != 0)
                    marks = char_opcodes(lt.ptr(), rt.ptr());
                sink_.replaced(++count1_, lt.ptr(), ++count2_, rt.ptr(), marks ? &*marks : nullptr);
            } else if (idx < left_size) {
                sink_.plain(Deleted, ++count1_, line(lines1_, op.i1 + idx));
            } else {
                sink_.plain(Added, ++count2_, line(lines2_, op.j1 + idx));
            }
        }
    }

    Sink& sink_;
    PyObject* lines1_;
    PyObject* lines2_;
    Py_ssize_t count1_ = 0, count2_ = 0;
};

// ---- rows through the instance's methods (rows.cpp) ----

// One row of the model made through the instance's methods: its number, its HTML-ready text as
// the methods returned it, and its row class.
struct Row {
    Py_ssize_t number;
    nb::object content;
    const Name* css_class;
};
struct RowModel {
    std::vector<Row> left, right;
};
RowModel instance_rows(nb::handle self, nb::handle opcodes, nb::handle lines1, nb::handle lines2);

// ---- the page file ----

// output_file, or, when it is None, a new temporary page file made as generate_html makes it:
// tempfile.mkstemp(suffix=".html", prefix="diff_", dir=None), its descriptor closed with
// os.close.  `global(name)` looks up `tempfile` and `os`, only when they are needed.
template <class Lookup>
nb::object output_path(nb::object output_file, Lookup&& global) {
    static const Name n_suffix("suffix"), n_prefix("prefix"), n_dir("dir");
    if (!output_file.is_none()) return output_file;
    nb::object made =
        call(getattr(global(n_tempfile), n_mkstemp), {},
             {{n_suffix, nb::str(".html")}, {n_prefix, nb::str("diff_")}, {n_dir, Py_None}});
    const std::vector<nb::object> fd_path = unpack(made, 2);
    call(getattr(global(n_os), n_close), {fd_path[0]});
    return fd_path[1];
}

}  // namespace pelorix::diffpage
