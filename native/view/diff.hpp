// What the diff viewer's files share: the names they look up, the conditions under which a fast
// path cannot be told apart from the interpreter's, and the row and marking steps of a page.
#pragma once

#include <optional>
#include <vector>

#include "names.hpp"
#include "page.hpp"
#include "runtime.hpp"
#include "seqmatch.hpp"
#include "utf8.hpp"

namespace pelorix::view {

inline const Name n_difflib("difflib"), n_SequenceMatcher("SequenceMatcher"),
    n_get_opcodes("get_opcodes"), n_escape_html("_escape_html"),
    n_char_level_diff("_char_level_diff"), n_get_symbol_and_class("_get_symbol_and_class"),
    n_is_left("is_left"), n_equal("equal"), n_delete("delete"),
    n_insert("insert"), n_equal_line("equal_line"), n_diff_del_left("diff_del_left"),
    n_diff_add_right("diff_add_right"), n_diff_replace_left("diff_replace_left"),
    n_diff_replace_right("diff_replace_right");

// The page methods whose native bodies the fast paths stand in for (diff.cpp).
extern const FunctionSpec escape_html_spec, char_level_diff_spec, get_symbol_and_class_spec;

// ---- when nobody can tell (conditions.cpp) ----

// Remembers the objects the conditions compare against, as they are when the module is loaded.
void remember_at_load(const Module& mod);
// `difflib` is the standard module and SequenceMatcher still its own class with its own methods:
// the native matcher gives what SequenceMatcher(None, a, b) would.
bool standard_difflib(const Call& c);
// self._escape_html is the class's own.
bool own_escape(nb::handle self);
// self._escape_html, _char_level_diff and _get_symbol_and_class are the class's own.
bool own_page_methods(nb::handle self);

// ---- opcodes and character marking (marking.cpp) ----

// The tag of an opcode object, compared as "equal", "replace", "delete", "insert" in that order;
// nullopt for any other tag.
std::optional<seqmatch::Tag> tag_of(nb::handle tag);
// The matcher's opcodes as the interpreter's objects: [(tag, i1, i2, j1, j2), ...].
nb::object opcode_list(const std::vector<seqmatch::Opcode>& ops);
// _char_level_diff(text1, text2) for two different exact str, aligned and escaped natively.
void mark_chars(Utf8& left, Utf8& right, PyObject* text1, PyObject* text2);
// _char_level_diff(text1, text2) from any opcodes, each run escaped by self._escape_html.
nb::object mark_with(nb::handle self, nb::handle opcodes, nb::handle text1, nb::handle text2);

// self._escape_html(text)
nb::object escape(nb::handle self, nb::handle text);

// ---- the rows of a page (rows.cpp) ----

// Both panels' rows, written natively: exact lists of exact str aligned by `ops`, with the
// class's own page methods.
void native_rows(Page& page, nb::handle self, const std::vector<seqmatch::Opcode>& ops,
                 PyObject* lines1, PyObject* lines2);

// The row model made through the instance's methods: each row's number, HTML-ready text and class.
struct Row {
    Py_ssize_t number;
    nb::object content;
    const Name* css_class;
};
struct RowModel {
    std::vector<Row> left, right;
};
RowModel instance_rows(nb::handle self, nb::handle opcodes, nb::handle lines1, nb::handle lines2);
// One panel's rows of the model, each styled by self._get_symbol_and_class.
void write_rows(Panel& panel, nb::handle self, const std::vector<Row>& rows, bool is_left);

}  // namespace pelorix::view
