// Diff viewer (BeautifulHtmlDiff, compare) and display helpers (display_tree, display_array).
#include "runtime.hpp"

namespace pc = pelorix;
namespace nb = nanobind;
using pc::Call;
using pc::Check;
using pc::FunctionSpec;
using pc::Name;

// ==== display helpers: display_tree, display_array ====
namespace {
namespace display_helpers {

using pc::concat;
using pc::format;
using pc::iterate;
using pc::join;
using pc::next;

const Name n_np("np"), n_array("array"), n_ndim("ndim"), n_shape("shape"), n_items("items"),
    n_add("add"), n_print("print");

// `a, b = item`, with the interpreter's messages for the wrong number of values.
std::pair<nb::object, nb::object> unpack2(nb::handle item) {
    if (PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2)
        return {nb::borrow(PyTuple_GET_ITEM(item.ptr(), 0)),
                nb::borrow(PyTuple_GET_ITEM(item.ptr(), 1))};
    PyObject* raw = PyObject_GetIter(item.ptr());
    if (!raw) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(item.ptr())->tp_iter &&
            !PySequence_Check(item.ptr())) {
            PyErr_Clear();
            pc::raise(PyExc_TypeError, "cannot unpack non-iterable %s object",
                      Py_TYPE(item.ptr())->tp_name);
        }
        pc::raise_current();
    }
    nb::object it = nb::steal(raw);
    nb::object first = next(it);
    nb::object second = first.is_valid() ? next(it) : nb::object();
    if (!second.is_valid())
        pc::raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)",
                  first.is_valid() ? 1 : 0);
    if (next(it).is_valid()) pc::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    return {first, second};
}

// Nesting depth is the caller's data; deep enough, it is a RecursionError like any Python
// recursion, never a blown C stack.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where)) pc::raise_current();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// ---- display_tree ----

struct TreeStyle {
    nb::handle end;
    nb::handle escape;  // rich.markup.escape: keys and values are data, not markup
};

nb::object escaped(const TreeStyle& style, nb::handle x) {
    return style.escape(format(x));
}

void add_nodes(nb::handle parent, nb::handle node, const TreeStyle& style) {
    RecursionGuard guard(" while building a tree");
    nb::object items = iterate(pc::call_method(node, n_items, {}));
    while (nb::object item = next(items)) {
        auto [k, v] = unpack2(item);
        const int is_dict = PyObject_IsInstance(v.ptr(), reinterpret_cast<PyObject*>(&PyDict_Type));
        if (is_dict < 0) pc::raise_current();
        nb::object key = escaped(style, k);
        if (is_dict) {
            nb::str label = concat({nb::str("[bold][green]"), key, nb::str("[/green][/bold]")});
            add_nodes(pc::call_method(parent, n_add, {label}), v, style);
            continue;
        }
        nb::object value = escaped(style, v);
        nb::str label =
            concat({nb::str("[bold][green]"), key, nb::str("[/green][/bold]: [#00ff00aa]"), value,
                    nb::str("[/#00ff00aa]"), style.end});
        pc::call_method(parent, n_add, {label});
    }
}

nb::object display_tree(Call& c) {
    nb::handle d = c[0], title = c[1], end = c[2];
    nb::object Console = pc::import_from_now(c, "rich.console", {"Console"})[0];
    nb::object Tree = pc::import_from_now(c, "rich.tree", {"Tree"})[0];
    nb::object escape = pc::import_from_now(c, "rich.markup", {"escape"})[0];
    nb::object parent = Tree(concat({nb::str("[bold]"), title, nb::str("[/bold]")}));
    add_nodes(parent, d, {end, escape});
    nb::object console = Console();
    pc::call_method(console, n_print, {parent});
    return nb::none();
}

const char* const tree_doc =
    "print a dict as a tree in terminal or in Jupyter Notebook.\n"
    "\n"
    "    Args:\n"
    "        d (dict): dict to display\n"
    "        title (str, optional): root title. Defaults to \"root\".\n"
    "        end (str, optional): end character. Defaults to '\n"
    "'.\n"
    "\n"
    "    Example:\n"
    "        >>> from pelorix.terminal.display import tree\n"
    "        >>> d = {\"a\": 1, \"b\": {\"c\": 2, \"d\": 3}}\n"
    "        >>> tree(d)\n"
    "         root\n"
    "         \u251c\u2500\u2500 a: 1\n"
    "         \u2514\u2500\u2500 b\n"
    "             \u251c\u2500\u2500 c: 2\n"
    "             \u2514\u2500\u2500 d: 3\n"
    "    ";

const FunctionSpec tree_spec{
    "display_tree",
    display_tree,
    {{"d", "dict", Check::Dict}, {"title", "str", Check::Str}, {"end", "str", Check::Str}},
    nullptr,
    nullptr,
    Check::Any,
    tree_doc};

// ---- display_array ----

const char* const row_sep = " \\\\ ";

// [f"{x}" for x in seq]
nb::list formatted(nb::handle seq) {
    nb::list out;
    nb::object it = iterate(seq);
    while (nb::object x = next(it)) out.append(format(x));
    return out;
}

nb::object slice(nb::handle seq, nb::handle start, nb::handle stop) {
    nb::object s = nb::steal(PySlice_New(start.ptr(), stop.ptr(), nullptr));
    if (!s.is_valid()) pc::raise_current();
    PyObject* r = PyObject_GetItem(seq.ptr(), s.ptr());
    if (!r) pc::raise_current();
    return nb::steal(r);
}

// The leading and trailing parts shown around the dots: seq[: k // 2] and seq[-k // 2 :].
std::pair<nb::list, nb::list> ends(nb::handle seq, nb::handle k) {
    nb::object two = nb::int_(2);
    nb::list left = formatted(slice(seq, nb::none(), k.floor_div(two)));
    nb::list right = formatted(slice(seq, (-nb::borrow(k)).floor_div(two), nb::none()));
    return {left, right};
}

// The bounds of a range() over rows; like range(), they must be integers.
Py_ssize_t as_index(nb::handle h) {
    const Py_ssize_t i = PyNumber_AsSsize_t(h.ptr(), nullptr);
    if (i == -1 && PyErr_Occurred()) pc::raise_current();
    return i;
}

nb::object row_at(nb::handle arr, Py_ssize_t i) {
    PyObject* r = PyObject_GetItem(arr.ptr(), nb::int_(i).ptr());
    if (!r) pc::raise_current();
    return nb::steal(r);
}

struct MatrixLimits {
    nb::handle max_rows;
    nb::handle max_cols;
};

nb::str vector_text(nb::handle arr, const MatrixLimits& lim) {
    const Py_ssize_t len = PyObject_Length(arr.ptr());
    if (len < 0) pc::raise_current();
    if (nb::int_(len) <= lim.max_cols) return join(row_sep, formatted(arr));
    auto [left, right] = ends(arr, lim.max_cols);
    return concat({join(row_sep, left), nb::str(" \\\\ \\vdots \\\\ "), join(row_sep, right)});
}

nb::str row_text(nb::handle row, bool need_col_ellipsis, const MatrixLimits& lim) {
    if (!need_col_ellipsis) return join(" & ", formatted(row));
    auto [left, right] = ends(row, lim.max_cols);
    return concat({join(" & ", left), nb::str(" & \\cdots & "), join(" & ", right)});
}

// min(a, b) and max(a, b) as the builtins pick: the first argument unless the second beats it.
nb::object lesser(nb::handle a, nb::handle b) {
    return nb::borrow(b < a ? b : a);
}
nb::object greater(nb::handle a, nb::handle b) {
    return nb::borrow(b > a ? b : a);
}

nb::object ellipsis_row(nb::handle n, bool need_col_ellipsis, const MatrixLimits& lim) {
    if (!need_col_ellipsis) return nb::str("\\vdots & ") * (n - nb::int_(1)) + nb::str("\\vdots");
    nb::object half = lim.max_cols.floor_div(nb::int_(2));
    return nb::str("\\vdots & ") * half + nb::str("\\ddots & ") +
           nb::str(" & \\vdots") * (half - nb::int_(1));
}

nb::str matrix_text(nb::handle arr, const MatrixLimits& lim) {
    auto [m, n] = unpack2(nb::getattr(arr, n_shape));
    const bool need_row_ellipsis = m > lim.max_rows;
    const bool need_col_ellipsis = n > lim.max_cols;
    nb::object half_rows = need_row_ellipsis ? lim.max_rows.floor_div(nb::int_(2)) : nb::object();
    nb::list rows_to_show;
    const Py_ssize_t leading = as_index(need_row_ellipsis ? lesser(m, half_rows + nb::int_(1)) : m);
    for (Py_ssize_t i = 0; i < leading; ++i)
        rows_to_show.append(row_text(row_at(arr, i), need_col_ellipsis, lim));
    if (need_row_ellipsis) {
        rows_to_show.append(ellipsis_row(n, need_col_ellipsis, lim));
        const Py_ssize_t stop = as_index(m);
        for (Py_ssize_t i = as_index(greater(nb::int_(0), m - half_rows)); i < stop; ++i)
            rows_to_show.append(row_text(row_at(arr, i), need_col_ellipsis, lim));
    }
    return join(row_sep, rows_to_show);
}

// "\begin{pmatrix}" and "\end{pmatrix}"; the environment name is the caller's, unchecked.
nb::object environment(const char* head, nb::handle matrix_type) {
    return nb::str(head) + matrix_type + nb::str("}");
}

nb::object display_array(Call& c) {
    nb::handle matrix_type = c[1], title = c[4];
    const MatrixLimits lim{c[2], c[3]};
    std::vector<nb::object> ipy =
        pc::import_from_now(c, "IPython.display", {"Latex", "Math", "display"});
    nb::handle Latex = ipy[0], Math = ipy[1], display = ipy[2];
    nb::object arr = pc::call_method(c.global(n_np), n_array, {c[0]});
    nb::object ndim = nb::getattr(arr, n_ndim);
    const bool one_d = ndim.equal(nb::int_(1));
    const bool two_d = !one_d && ndim.equal(nb::int_(2));
    if (pc::assertions_enabled() && !one_d && !two_d) {
        PyErr_SetString(PyExc_AssertionError, "Only supports 1D or 2D arrays");
        pc::raise_current();
    }
    if (PyUnicode_GET_LENGTH(title.ptr()) > 0)
        display(Latex(concat({nb::str("**"), title, nb::str("**")})));
    // With assertions off, other shapes reach the end without a formula, as unchecked code would.
    if (!one_d && !two_d)
        pc::raise(PyExc_UnboundLocalError,
                  "cannot access local variable 'latex_str' where it is "
                  "not associated with a value");
    nb::object latex_str = environment("\\begin{", matrix_type);
    latex_str = latex_str + (one_d ? vector_text(arr, lim) : matrix_text(arr, lim));
    latex_str = latex_str + environment("\\end{", matrix_type);
    display(Math(latex_str));
    return nb::none();
}

const char* const array_doc =
    "\n"
    "    Display NumPy array, large arrays automatically simplified with ellipsis.\n"
    "\n"
    "    Args:\n"
    "        arr (numpy.ndarray): NumPy array to display.\n"
    "        matrix_type (str): Matrix type 'bmatrix', 'pmatrix', 'vmatrix'. \n"
    "            Defaults to 'pmatrix'.\n"
    "        max_rows (int): Maximum number of rows to display. Defaults to 10.\n"
    "        max_cols (int): Maximum number of columns to display. Defaults to 10.\n"
    "        title (str, optional): Display title. Defaults to ''.\n"
    "    ";

const FunctionSpec array_spec{
    "display_array",
    display_array,
    {{"arr"}, {"matrix_type"}, {"max_rows"}, {"max_cols"}, {"title", "str", Check::Str}},
    nullptr,
    nullptr,
    Check::Any,
    array_doc};

}  // namespace display_helpers

void define_display_helpers(pc::Module& mod) {
    namespace dh = display_helpers;
    mod.def(dh::tree_spec, {nb::str("root"), nb::str("\n")});
    mod.def(dh::array_spec, {nb::str("pmatrix"), nb::int_(10), nb::int_(10), nb::str("")});
}

}  // namespace
// ==== end of display helpers ====

// ==== diff viewer: BeautifulHtmlDiff, compare ====
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <sys/mman.h>

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diff_css.hpp"
#include "diff_js.hpp"
#include "seqmatch.hpp"

namespace {
// Own namespace: the display helpers share this translation unit and its anonymous namespace.
namespace diffview {

namespace seqmatch = pc::seqmatch;

const Name n_difflib("difflib"), n_os("os"), n_tempfile("tempfile"), n_webbrowser("webbrowser"),
    n_datetime("datetime"), n_open("open"), n_BeautifulHtmlDiff("BeautifulHtmlDiff"),
    n_SequenceMatcher("SequenceMatcher"), n_get_opcodes("get_opcodes"), n_path("path"),
    n_basename("basename"), n_exists("exists"), n_isfile("isfile"), n_abspath("abspath"),
    n_fsencode("fsencode"), n_mkstemp("mkstemp"), n_close("close"), n_now("now"),
    n_strftime("strftime"), n_readlines("readlines"), n_write("write"), n_rstrip("rstrip"),
    n_enter("__enter__"), n_exit("__exit__"), n_lines1("lines1"), n_lines2("lines2"),
    n_name1("name1"), n_name2("name2"), n_read_file("_read_file"),
    n_char_level_diff("_char_level_diff"), n_get_custom_css("_get_custom_css"),
    n_get_javascript("_get_javascript"), n_escape_html("_escape_html"),
    n_get_symbol_and_class("_get_symbol_and_class"), n_generate_html("generate_html"),
    n_suffix("suffix"), n_prefix("prefix"), n_dir("dir"), n_encoding("encoding"),
    n_is_left("is_left"), n_file1("file1"), n_file2("file2"), n_text1("text1"), n_text2("text2"),
    n_output_file("output_file"), n_auto_open("auto_open"), n_equal("equal"), n_replace("replace"),
    n_delete("delete"), n_insert("insert"), n_equal_line("equal_line"),
    n_diff_del_left("diff_del_left"), n_diff_add_right("diff_add_right"),
    n_diff_replace_left("diff_replace_left"), n_diff_replace_right("diff_replace_right"),
    n_empty(""), n_newline("\n"), n_space(" ");

// ---- small calling helpers ----

nb::str join(const nb::list& parts, const Name& separator) {
    PyObject* s = PyUnicode_Join(separator.get(), parts.ptr());
    if (!s) pc::raise_current();
    return nb::steal<nb::str>(s);
}

void append(const nb::list& list, nb::handle item) {
    if (PyList_Append(list.ptr(), item.ptr()) < 0) pc::raise_current();
}

// a == b as the host evaluates it, reduced to its truth value.
bool equals(nb::handle a, const Name& b) {
    if (PyUnicode_CheckExact(a.ptr())) return PyUnicode_Compare(a.ptr(), b.get()) == 0;
    nb::object r = nb::steal(PyObject_RichCompare(a.ptr(), b.get(), Py_EQ));
    if (!r.is_valid()) pc::raise_current();
    return pc::truthy(r);
}

struct KwArg {
    const Name& name;
    nb::handle value;
};

// fn(*args, **kwargs) with the keywords in the order given.
nb::object invoke(nb::handle fn, std::initializer_list<nb::handle> args,
                  std::initializer_list<KwArg> kwargs = {}) {
    PyObject* argv[9];
    if (1 + args.size() + kwargs.size() > 9) pc::raise(PyExc_RuntimeError, "too many arguments");
    std::size_t n = 1;
    for (nb::handle a : args) argv[n++] = a.ptr();
    nb::object kwnames;
    if (kwargs.size() > 0) {
        kwnames = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
        if (!kwnames.is_valid()) pc::raise_current();
        Py_ssize_t k = 0;
        for (const KwArg& kw : kwargs) {
            PyTuple_SET_ITEM(kwnames.ptr(), k++, Py_NewRef(kw.name.get()));
            argv[n++] = kw.value.ptr();
        }
    }
    PyObject* r = PyObject_Vectorcall(fn.ptr(), argv + 1,
                                      args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr());
    if (!r) pc::raise_current();
    return nb::steal(r);
}

// Python's `a, b, ... = value`: any iterable of exactly `n` items.
std::vector<nb::object> unpack(nb::handle value, std::size_t n) {
    std::vector<nb::object> out;
    out.reserve(n);
    if (PyTuple_CheckExact(value.ptr()) &&
        static_cast<std::size_t>(PyTuple_GET_SIZE(value.ptr())) == n) {
        for (std::size_t i = 0; i < n; ++i)
            out.push_back(nb::borrow(PyTuple_GET_ITEM(value.ptr(), static_cast<Py_ssize_t>(i))));
        return out;
    }
    nb::object it = nb::steal(PyObject_GetIter(value.ptr()));
    if (!it.is_valid()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            pc::raise(PyExc_TypeError, "cannot unpack non-iterable %s object",
                      Py_TYPE(value.ptr())->tp_name);
        }
        pc::raise_current();
    }
    while (out.size() < n) {
        PyObject* item = PyIter_Next(it.ptr());
        if (!item) {
            if (PyErr_Occurred()) pc::raise_current();
            pc::raise(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n,
                      out.size());
        }
        out.push_back(nb::steal(item));
    }
    if (PyObject* extra = PyIter_Next(it.ptr())) {
        Py_DECREF(extra);
        pc::raise(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
    }
    if (PyErr_Occurred()) pc::raise_current();
    return out;
}

Py_ssize_t index_of(nb::handle h) {
    const Py_ssize_t i = PyNumber_AsSsize_t(h.ptr(), PyExc_OverflowError);
    if (i == -1 && PyErr_Occurred()) pc::raise_current();
    return i;
}

nb::object item_at(nb::handle seq, Py_ssize_t i) {
    PyObject* v = PySequence_GetItem(seq.ptr(), i);
    if (!v) pc::raise_current();
    return nb::steal(v);
}

// A special method as a `with` statement finds it: on the type, bound to the instance.
nb::object special_method(nb::handle obj, const Name& name) {
    PyObject* found = _PyType_Lookup(Py_TYPE(obj.ptr()), name.get());
    if (!found)
        pc::raise(PyExc_TypeError, "'%s' object does not support the context manager protocol",
                  Py_TYPE(obj.ptr())->tp_name);
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    if (!get) return nb::borrow(found);
    PyObject* bound = get(found, obj.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())));
    if (!bound) pc::raise_current();
    return nb::steal(bound);
}

// `with manager as value: body(value)`.  Returns the body's result, or an invalid object when
// __exit__ swallowed the body's exception.
template <class Body>
nb::object with_block(nb::handle manager, Body&& body) {
    nb::object enter = special_method(manager, n_enter);
    nb::object exit = special_method(manager, n_exit);
    nb::object value = invoke(enter, {});
    nb::object result;
    try {
        result = body(value);
    } catch (nb::python_error& e) {
        nb::handle traceback = e.traceback().is_valid() ? e.traceback() : nb::handle(Py_None);
        nb::object suppressed = invoke(exit, {e.type(), e.value(), traceback});
        if (!pc::truthy(suppressed)) throw;
        return nb::object();
    }
    invoke(exit, {Py_None, Py_None, Py_None});
    return result;
}

// line.rstrip("\n"), done natively for exact str.
nb::object display_text(nb::handle line) {
    if (!PyUnicode_CheckExact(line.ptr())) return pc::call_method(line, n_rstrip, {n_newline});
    Py_ssize_t end = PyUnicode_GET_LENGTH(line.ptr());
    const int kind = PyUnicode_KIND(line.ptr());
    const void* data = PyUnicode_DATA(line.ptr());
    while (end > 0 && PyUnicode_READ(kind, data, end - 1) == '\n') --end;
    PyObject* s = PyUnicode_Substring(line.ptr(), 0, end);
    if (!s) pc::raise_current();
    return nb::steal(s);
}

nb::object escape(nb::handle self, nb::handle text) {
    return pc::call_method(self, n_escape_html, {text});
}

// A "file://" URI of an absolute path: bytes that a URI path may hold stand as they are, every
// other byte (space, '%', '#', '?', non-ASCII, ...) is percent-encoded, so the browser opens
// exactly this file.
nb::object file_uri(const Call& c, nb::handle absolute) {
    nb::object raw = invoke(pc::getattr(c.global(n_os), n_fsencode), {absolute});
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(raw.ptr(), &data, &size) < 0) pc::raise_current();
    static constexpr std::string_view keep = "/-._~!$&'()*+,;=:@";
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string uri = "file://";
    for (Py_ssize_t i = 0; i < size; ++i) {
        const unsigned char b = static_cast<unsigned char>(data[i]);
        const bool plain = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') ||
                           (b >= '0' && b <= '9') ||
                           keep.find(static_cast<char>(b)) != std::string_view::npos;
        if (plain) {
            uri += static_cast<char>(b);
        } else {
            uri += '%';
            uri += hex[b >> 4];
            uri += hex[b & 15];
        }
    }
    return pc::make_str(uri);
}

// ---- style sheet and script ----

// The asset inside its element, laid out as the page shows it: tags indented by eight spaces,
// every line of the asset (blank ones included) by twelve.
std::string wrap_asset(std::string_view body, std::string_view open_tag,
                       std::string_view close_tag) {
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.remove_suffix(1);
    std::string out = "\n        ";
    out += open_tag;
    out += '\n';
    while (true) {
        const std::size_t eol = body.find('\n');
        out += "            ";
        out += body.substr(0, eol);
        out += '\n';
        if (eol == std::string_view::npos) break;
        body.remove_prefix(eol + 1);
    }
    out += "        ";
    out += close_tag;
    out += "\n        ";
    return out;
}

const std::string& page_css() {
    static const std::string text = wrap_asset(diff_css, "<style>", "</style>");
    return text;
}

const std::string& page_js() {
    static const std::string text = wrap_asset(diff_js, "<script>", "</script>");
    return text;
}

// ---- the page, entry by entry ----

// Collects the page's entries (joined with "\n") as pieces, and builds the text in one join.
class PageWriter {
public:
    void entry(std::initializer_list<nb::handle> pieces) {
        if (parts_.size() != 0) append(parts_, n_newline);
        for (nb::handle p : pieces) append(parts_, p);
    }
    void entry(const Name& literal) { entry({literal}); }

    void head(nb::handle css, nb::handle js, nb::handle timestamp);
    void toolbar();
    void panel_open(const Name& label, nb::handle name, Py_ssize_t count);
    void row(Py_ssize_t number, nb::handle symbol, nb::handle class_tail, nb::handle content);
    void panel_close();
    void divider();
    void finish();

    nb::str text() const { return join(parts_, n_empty); }
    const nb::list& parts() const { return parts_; }

private:
    nb::list parts_;
};

const Name p_doctype("<!DOCTYPE html>"), p_html("<html>"), p_head("<head>"),
    p_charset("<meta charset=\"UTF-8\">"),
    p_viewport("<meta name=\"viewport\" content=\"width=device-width, initial-scale=1.0\">"),
    p_title("<title>Text Diff Viewer</title>"), p_head_end("</head>"), p_body("<body>"),
    p_container("<div class=\"diff_container\">"), p_header("<div class=\"diff_header\">"),
    p_header_left("<div class=\"header-left\">"), p_heading("<h2>\xF0\x9F\x93\x8A Text Diff</h2>"),
    p_div_end("</div>"), p_header_right("<div class=\"header-right\">"),
    p_timestamp("<span class=\"timestamp\">\xE2\x8F\xB1\xEF\xB8\x8F "), p_span_end("</span>"),
    p_toolbar("<div class=\"toolbar\">"), p_group("<div class=\"toolbar-group\">"),
    p_show("<span class=\"toolbar-label\">Show:</span>"), p_view_mode("<div class=\"view-mode\">"),
    p_mode_all(
        "<button id=\"mode-all\" class=\"mode-btn active\" "
        "onclick=\"setViewMode('all')\">All</button>"),
    p_mode_diff(
        "<button id=\"mode-diff\" class=\"mode-btn\" onclick=\"setViewMode('diff')\">Diff "
        "only</button>"),
    p_goto("<div class=\"goto-line\">"), p_goto_label("<span>Go to line</span>"),
    p_goto_input(
        "<input type=\"number\" id=\"goto-input\" min=\"1\" placeholder=\"#\" "
        "onkeypress=\"gotoLineEnter(event)\">"),
    p_goto_button("<button onclick=\"gotoLine()\">Go</button>"), p_nav("<div class=\"diff-nav\">"),
    p_prev(
        "<button class=\"diff-nav-btn\" onclick=\"gotoPrevDiff()\" title=\"Previous diff\">"
        "\xE2\x97\x80 Prev</button>"),
    p_counter("<span id=\"diff-counter\" class=\"diff-counter\">0/0</span>"),
    p_next(
        "<button class=\"diff-nav-btn\" onclick=\"gotoNextDiff()\" title=\"Next diff\">"
        "Next \xE2\x96\xB6</button>"),
    p_view("<div class=\"diff_view\">"), p_panel("<div class=\"diff_panel\">"),
    p_panel_header("<div class=\"panel_header\">"), p_label_open("<span>"),
    p_file_name("<span class=\"file_name\">"), p_line_count("<span class=\"line_count\">"),
    p_lines(" lines</span>"), p_panel_content("<div class=\"panel_content\">"),
    p_divider("<div class=\"diff_divider\">\xE2\x87\x84</div>"), p_body_end("</body>"),
    p_html_end("</html>"), p_original("Original"), p_new("New"),
    p_row_open("<div class=\"line_container "),
    p_row_number(
        "\">\n<div class=\"line_number\">\n"
        "<span class=\"line_num_text\">"),
    p_row_symbol("</span>\n<span class=\"diff_symbol\">"),
    p_row_content("</span>\n</div>\n<div class=\"line_content\">"), p_row_end("</div>\n</div>");

void PageWriter::head(nb::handle css, nb::handle js, nb::handle timestamp) {
    for (const Name* n : {&p_doctype, &p_html, &p_head, &p_charset, &p_viewport, &p_title})
        entry(*n);
    entry({css});
    entry({js});
    for (const Name* n : {&p_head_end, &p_body, &p_container, &p_header, &p_header_left, &p_heading,
                          &p_div_end, &p_header_right})
        entry(*n);
    entry({p_timestamp, timestamp, p_span_end});
    entry(p_div_end);
    entry(p_div_end);
}

void PageWriter::toolbar() {
    for (const Name* n :
         {&p_toolbar,     &p_group,   &p_show,    &p_view_mode, &p_mode_all,   &p_mode_diff,
          &p_div_end,     &p_div_end, &p_group,   &p_goto,      &p_goto_label, &p_goto_input,
          &p_goto_button, &p_div_end, &p_div_end, &p_group,     &p_nav,        &p_prev,
          &p_counter,     &p_next,    &p_div_end, &p_div_end,   &p_div_end,    &p_view})
        entry(*n);
}

void PageWriter::panel_open(const Name& label, nb::handle name, Py_ssize_t count) {
    entry(p_panel);
    entry(p_panel_header);
    entry({p_label_open, label, p_span_end});
    entry({p_file_name, name, p_span_end});
    nb::object number = nb::steal(PyLong_FromSsize_t(count));
    if (!number.is_valid()) pc::raise_current();
    entry({p_line_count, pc::to_str(number), p_lines});
    entry(p_div_end);
    entry(p_panel_content);
}

void PageWriter::row(Py_ssize_t number, nb::handle symbol, nb::handle class_tail,
                     nb::handle content) {
    nb::object num = nb::steal(PyLong_FromSsize_t(number));
    if (!num.is_valid()) pc::raise_current();
    nb::str text = pc::format(content);
    nb::handle shown =
        PyUnicode_GET_LENGTH(text.ptr()) == 0 ? nb::handle(n_space) : nb::handle(text);
    // The seven entries of a row, with their separating newlines inside the literal pieces.
    entry({p_row_open, pc::format(class_tail), p_row_number, pc::to_str(num), p_row_symbol,
           pc::format(symbol), p_row_content, shown, p_row_end});
}

void PageWriter::panel_close() {
    entry(p_div_end);
    entry(p_div_end);
}

void PageWriter::divider() {
    entry(p_divider);
}

void PageWriter::finish() {
    for (const Name* n : {&p_div_end, &p_div_end, &p_body_end, &p_html_end}) entry(*n);
}

// ---- the row model ----

struct Row {
    Py_ssize_t number;
    nb::object content;  // HTML-ready text
    const Name* css_class;
};

struct RowModel {
    std::vector<Row> left, right;
};

RowModel build_rows(nb::handle self, nb::handle opcodes, nb::handle lines1, nb::handle lines2) {
    RowModel rows;
    Py_ssize_t line_num1 = 1, line_num2 = 1;
    nb::object it = nb::steal(PyObject_GetIter(opcodes.ptr()));
    if (!it.is_valid()) pc::raise_current();
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        nb::object opcode = nb::steal(raw);
        std::vector<nb::object> op = unpack(opcode, 5);
        const nb::object& tag = op[0];
        const Py_ssize_t i1 = index_of(op[1]), i2 = index_of(op[2]);
        const Py_ssize_t j1 = index_of(op[3]), j2 = index_of(op[4]);
        if (equals(tag, n_equal)) {
            for (Py_ssize_t k = i1; k < i2; ++k) {
                rows.left.push_back(
                    {line_num1++, escape(self, display_text(item_at(lines1, k))), &n_equal_line});
                rows.right.push_back({line_num2++,
                                      escape(self, display_text(item_at(lines2, j1 + k - i1))),
                                      &n_equal_line});
            }
        } else if (equals(tag, n_replace)) {
            std::vector<nb::object> left_chunk, right_chunk;
            for (Py_ssize_t k = i1; k < i2; ++k)
                left_chunk.push_back(display_text(item_at(lines1, k)));
            for (Py_ssize_t k = j1; k < j2; ++k)
                right_chunk.push_back(display_text(item_at(lines2, k)));
            const std::size_t max_len = std::max(left_chunk.size(), right_chunk.size());
            for (std::size_t idx = 0; idx < max_len; ++idx) {
                const Py_ssize_t offset = static_cast<Py_ssize_t>(idx);
                const bool has_left = idx < left_chunk.size(), has_right = idx < right_chunk.size();
                nb::object marked_right;
                if (has_left && has_right) {
                    nb::object pair = pc::call_method(self, n_char_level_diff,
                                                      {left_chunk[idx], right_chunk[idx]});
                    std::vector<nb::object> marked = unpack(pair, 2);
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
            line_num1 += i2 - i1;
            line_num2 += j2 - j1;
        } else if (equals(tag, n_delete)) {
            for (Py_ssize_t k = i1; k < i2; ++k)
                rows.left.push_back({line_num1++, escape(self, display_text(item_at(lines1, k))),
                                     &n_diff_del_left});
        } else if (equals(tag, n_insert)) {
            for (Py_ssize_t k = j1; k < j2; ++k)
                rows.right.push_back({line_num2++, escape(self, display_text(item_at(lines2, k))),
                                      &n_diff_add_right});
        }
    }
    if (PyErr_Occurred()) pc::raise_current();
    return rows;
}

void write_rows(PageWriter& page, nb::handle self, const std::vector<Row>& rows, bool is_left) {
    nb::handle side = is_left ? Py_True : Py_False;
    nb::object method = pc::getattr(self, n_get_symbol_and_class);
    for (const Row& r : rows) {
        nb::handle css_class = *r.css_class;
        std::vector<nb::object> result =
            unpack(invoke(method, {css_class}, {{n_is_left, side}}), 2);
        const nb::object& container_class = result[1];
        nb::object tail = nb::borrow(css_class);
        if (pc::truthy(container_class)) {
            nb::list parts;
            append(parts, pc::format(container_class));
            append(parts, css_class);
            tail = join(parts, n_space);
        }
        page.row(r.number, result[0], tail, r.content);
    }
}

// ---- native alignment, marking and rows ----
//
// While nobody could tell the difference, the page is made here without calling back into the
// interpreter: lines and characters are aligned by the native port of the standard matcher
// (only while `difflib` is the standard module with its own SequenceMatcher), and escaping,
// character marking, symbols and row entries are written straight into UTF-8 (only while
// _escape_html, _char_level_diff and _get_symbol_and_class are the class's own).

extern const FunctionSpec escape_html_spec, char_level_diff_spec, get_symbol_and_class_spec;

// What the fast paths compare against: the objects as they were when the module was loaded.
struct AtLoad {
    PyObject* difflib = nullptr;
    PyObject* sequence_matcher = nullptr;
    std::vector<std::pair<PyObject*, PyObject*>> matcher_members;  // (name, value)
    PyObject* matcher_init_defaults = nullptr;
    PyObject* open = nullptr;  // builtins.open
};
AtLoad at_load;  // strong references for the life of the process

void remember_at_load(const pc::Module& mod) {
    auto keep = [](PyObject* o) {
        if (!o) pc::raise_current();
        return o;
    };
    at_load.difflib = mod.get("difflib").release().ptr();
    at_load.sequence_matcher = keep(PyObject_GetAttrString(at_load.difflib, "SequenceMatcher"));
    auto* cls = reinterpret_cast<PyTypeObject*>(at_load.sequence_matcher);
    for (const char* name :
         {"__init__", "set_seqs", "set_seq1", "set_seq2", "_SequenceMatcher__chain_b",
          "find_longest_match", "get_matching_blocks", "get_opcodes"}) {
        PyObject* key = keep(PyUnicode_InternFromString(name));
        PyObject* value = PyType_Check(cls) ? _PyType_Lookup(cls, key) : nullptr;
        at_load.matcher_members.emplace_back(key, Py_XNewRef(value));
    }
    PyObject* init = at_load.matcher_members.front().second;
    at_load.matcher_init_defaults =
        init && PyFunction_Check(init) ? Py_XNewRef(PyFunction_GetDefaults(init)) : nullptr;
    nb::object builtins = nb::module_::import_("builtins");
    at_load.open = keep(PyObject_GetAttrString(builtins.ptr(), "open"));
}

// True while `difflib` is the standard module and SequenceMatcher is still its own class with
// its own methods: then the native matcher gives what SequenceMatcher(None, a, b) would.
bool standard_difflib(const Call& c) {
    if (c.global(n_difflib).ptr() != at_load.difflib) return false;
    PyObject* ns = PyModule_GetDict(at_load.difflib);
    PyObject* cls = PyDict_GetItemWithError(ns, n_SequenceMatcher.get());
    if (cls != at_load.sequence_matcher || !PyType_Check(cls)) {
        PyErr_Clear();
        return false;
    }
    for (const auto& [name, value] : at_load.matcher_members)
        if (!value || _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls), name) != value)
            return false;
    PyObject* init = at_load.matcher_members.front().second;
    return PyFunction_Check(init) && PyFunction_GetDefaults(init) == at_load.matcher_init_defaults;
}

bool own_escape(nb::handle self) {
    return pc::resolves_to(self, n_escape_html, escape_html_spec);
}

bool own_page_methods(nb::handle self) {
    return own_escape(self) && pc::resolves_to(self, n_char_level_diff, char_level_diff_spec) &&
           pc::resolves_to(self, n_get_symbol_and_class, get_symbol_and_class_spec);
}

// The matcher's opcodes as the interpreter's objects: [(tag, i1, i2, j1, j2), ...].
nb::object opcode_list(const std::vector<seqmatch::Opcode>& ops) {
    static const Name* const tags[] = {&n_replace, &n_delete, &n_insert, &n_equal};
    nb::object list = nb::steal(PyList_New(static_cast<Py_ssize_t>(ops.size())));
    if (!list.is_valid()) pc::raise_current();
    for (std::size_t k = 0; k < ops.size(); ++k) {
        const seqmatch::Opcode& op = ops[k];
        PyObject* t = Py_BuildValue("(Onnnn)", tags[static_cast<int>(op.tag)]->get(),
                                    static_cast<Py_ssize_t>(op.i1), static_cast<Py_ssize_t>(op.i2),
                                    static_cast<Py_ssize_t>(op.j1), static_cast<Py_ssize_t>(op.j2));
        if (!t) pc::raise_current();
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(k), t);
    }
    return list;
}

// Text written as UTF-8, lone surrogates included as the "surrogatepass" handler writes them
// (decoding them back the same way gives the same str, and whether any occurred is recorded).
class Utf8 {
public:
    bool surrogates = false;

    std::string_view view() const { return {buf_.get(), size_}; }
    // Room reserved is only address space until it is written.
    void reserve(std::size_t n) {
        if (n > capacity_) grow(n);
    }
    void raw(std::string_view s) {
        std::memcpy(room(s.size()), s.data(), s.size());
        size_ += s.size();
    }
    // s[from:to] (code points of a str), escaped as _escape_html escapes or as it stands.
    void text(PyObject* s, Py_ssize_t from, Py_ssize_t to, bool escape) {
        const auto n = static_cast<std::size_t>(to - from);
        char* p = room(5 * n + 16);  // no code point takes more than five bytes, escaped or not
        if (PyUnicode_IS_ASCII(s)) {
            const char* data = static_cast<const char*>(PyUnicode_DATA(s)) + from;
            p = escape ? ascii_escaped(p, data, n) : std::copy_n(data, n, p);
        } else {
            const int kind = PyUnicode_KIND(s);
            const void* data = PyUnicode_DATA(s);
            for (Py_ssize_t i = from; i < to; ++i) {
                const Py_UCS4 c = PyUnicode_READ(kind, data, i);
                p = c < 0x80 && escape ? put_ascii(p, static_cast<unsigned char>(c)) : put(p, c);
            }
        }
        size_ = static_cast<std::size_t>(p - buf_.get());
    }
    void text(PyObject* s, bool escape) { text(s, 0, PyUnicode_GET_LENGTH(s), escape); }

private:
    // Space for n more bytes at the end; valid until the next call.
    char* room(std::size_t n) {
        if (size_ + n > capacity_) grow(std::max(2 * capacity_, size_ + n));
        return buf_.get() + size_;
    }
    void grow(std::size_t capacity) {
        char* moved = static_cast<char*>(std::realloc(buf_.get(), capacity));
        if (!moved) throw std::bad_alloc();
        static_cast<void>(buf_.release());
        buf_.reset(moved);
        capacity_ = capacity;
        // A page of text is megabytes written front to back: large pages spare the faults.
        constexpr std::uintptr_t huge = std::uintptr_t{1} << 21;
        const auto begin = (reinterpret_cast<std::uintptr_t>(moved) + huge - 1) & ~(huge - 1);
        const auto end = (reinterpret_cast<std::uintptr_t>(moved) + capacity) & ~(huge - 1);
        if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    }
    static char* put_ascii(char* p, unsigned char c) {
        switch (c) {
            case '&':
                return std::copy_n("&amp;", 5, p);
            case '<':
                return std::copy_n("&lt;", 4, p);
            case '>':
                return std::copy_n("&gt;", 4, p);
            default:
                *p = static_cast<char>(c);
                return p + 1;
        }
    }
    // Sixteen, then eight bytes at a time while none of them needs escaping (the room asked for
    // leaves sixteen spare bytes).
    static char* ascii_escaped(char* p, const char* data, std::size_t n) {
        constexpr std::uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
        auto has = [](std::uint64_t w, unsigned char c) {
            const std::uint64_t x = w ^ (ones * c);
            return (x - ones) & ~x & highs;
        };
        std::size_t i = 0;
#ifdef __SSE2__
        const __m128i amp = _mm_set1_epi8('&'), lt = _mm_set1_epi8('<'), gt = _mm_set1_epi8('>');
        for (; i + 16 <= n; i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
            const __m128i special = _mm_or_si128(
                _mm_or_si128(_mm_cmpeq_epi8(v, amp), _mm_cmpeq_epi8(v, lt)), _mm_cmpeq_epi8(v, gt));
            if (_mm_movemask_epi8(special) == 0) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
                p += 16;
                continue;
            }
            for (std::size_t k = i; k < i + 16; ++k)
                p = put_ascii(p, static_cast<unsigned char>(data[k]));
        }
#endif
        for (; i + 8 <= n; i += 8) {
            std::uint64_t w;
            std::memcpy(&w, data + i, 8);
            if (!(has(w, '&') | has(w, '<') | has(w, '>'))) {
                std::memcpy(p, &w, 8);
                p += 8;
                continue;
            }
            for (std::size_t k = i; k < i + 8; ++k)
                p = put_ascii(p, static_cast<unsigned char>(data[k]));
        }
        if (i < n && n >= 8) {
            // the last eight bytes, overlapping ones already written: when none of them needs
            // escaping, the overlap was copied as it is and may be copied again
            std::uint64_t w;
            std::memcpy(&w, data + n - 8, 8);
            if (!(has(w, '&') | has(w, '<') | has(w, '>'))) {
                std::memcpy(p - (8 - (n - i)), &w, 8);
                return p + (n - i);
            }
        }
        for (; i < n; ++i) p = put_ascii(p, static_cast<unsigned char>(data[i]));
        return p;
    }
    char* put(char* p, Py_UCS4 c) {
        if (c < 0x80) {
            *p++ = static_cast<char>(c);
        } else if (c < 0x800) {
            *p++ = static_cast<char>(0xC0 | (c >> 6));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            surrogates |= c >= 0xD800 && c <= 0xDFFF;
            *p++ = static_cast<char>(0xE0 | (c >> 12));
            *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *p++ = static_cast<char>(0xF0 | (c >> 18));
            *p++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        }
        return p;
    }

    struct Free {
        void operator()(char* p) const { std::free(p); }
    };
    std::unique_ptr<char, Free> buf_;  // bytes [0, size_) are written
    std::size_t size_ = 0, capacity_ = 0;
};

nb::str decode(std::string_view utf8) {
    PyObject* s =
        PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "surrogatepass");
    if (!s) pc::raise_current();
    return nb::steal<nb::str>(s);
}

const Name equal_open("<span class=\"char-equal\">"), del_open("<span class=\"char-del\">"),
    add_open("<span class=\"char-add\">");

// _char_level_diff(text1, text2) for two different texts, written into two outputs.
void mark_chars(Utf8& left, Utf8& right, PyObject* text1, PyObject* text2) {
    const seqmatch::Encoded e = seqmatch::encode_chars(text1, text2);
    auto span = [](Utf8& out, const Name& open, PyObject* text, std::size_t from, std::size_t to) {
        out.raw(open.text());
        out.text(text, static_cast<Py_ssize_t>(from), static_cast<Py_ssize_t>(to), true);
        out.raw(p_span_end.text());
    };
    for (const seqmatch::Opcode& op : seqmatch::opcodes(e.a, e.b, e.alphabet)) {
        switch (op.tag) {
            case seqmatch::Tag::Equal:
                span(left, equal_open, text1, op.i1, op.i2);
                span(right, equal_open, text2, op.j1, op.j2);
                break;
            case seqmatch::Tag::Replace:
                span(left, del_open, text1, op.i1, op.i2);
                span(right, add_open, text2, op.j1, op.j2);
                break;
            case seqmatch::Tag::Delete:
                span(left, del_open, text1, op.i1, op.i2);
                break;
            case seqmatch::Tag::Insert:
                span(right, add_open, text2, op.j1, op.j2);
                break;
        }
    }
}

// The fixed text of a row around its number and its content, for one row class: the gutter
// symbol and class tail that _get_symbol_and_class and the row layout give it, inside the row
// entries (each entry preceded by the newline that separates it from the one before).
struct RowStyle {
    std::string head, middle;
};

RowStyle row_style(nb::handle method, const Name& css_class, bool is_left) {
    std::vector<nb::object> result =
        unpack(invoke(method, {css_class}, {{n_is_left, is_left ? Py_True : Py_False}}), 2);
    const std::string_view container = pc::utf8(result[1]);
    RowStyle style;
    style.head = std::string("\n") + p_row_open.text();
    if (!container.empty()) (style.head += container) += " ";
    (style.head += css_class.text()) += p_row_number.text();
    ((style.middle = p_row_symbol.text()) += pc::utf8(result[0])) += p_row_content.text();
    return style;
}

// One panel's rows as one run of UTF-8 text, every row preceded by the newline that separates it
// from the entry before.  A panel's rows are numbered 1, 2, 3, ... in the order they are written.
class Panel {
public:
    Utf8 text;

    void open_row(const RowStyle& style) {
        text.raw(style.head);
        text.raw(next_number());
        text.raw(style.middle);
    }

private:
    std::string_view next_number() {
        std::size_t i = sizeof digits_ - 1;
        for (; digits_[i] == '9'; --i) digits_[i] = '0';
        ++digits_[i];
        first_ = std::min(first_, i);
        return {digits_ + first_, sizeof digits_ - first_};
    }

    char digits_[24] = {'0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0',
                        '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0'};
    std::size_t first_ = sizeof digits_ - 1;
};

struct NativeRows {
    Panel left, right;
};

class RowWriter {
public:
    explicit RowWriter(nb::handle self) {
        nb::object method = pc::getattr(self, n_get_symbol_and_class);
        equal_left_ = row_style(method, n_equal_line, true);
        equal_right_ = row_style(method, n_equal_line, false);
        del_ = row_style(method, n_diff_del_left, true);
        add_ = row_style(method, n_diff_add_right, false);
        replace_left_ = row_style(method, n_diff_replace_left, true);
        replace_right_ = row_style(method, n_diff_replace_right, false);
    }

    NativeRows rows(const std::vector<seqmatch::Opcode>& ops, PyObject* lines1, PyObject* lines2) {
        NativeRows out;
        reserve(out.left.text, lines1);
        reserve(out.right.text, lines2);
        for (const seqmatch::Opcode& op : ops) {
            switch (op.tag) {
                case seqmatch::Tag::Equal:
                    for (std::size_t k = op.i1; k < op.i2; ++k) {
                        prefetch(lines1, k + ahead);
                        prefetch(lines2, op.j1 + k - op.i1 + ahead);
                        plain(out.left, equal_left_, line(lines1, k));
                        plain(out.right, equal_right_, line(lines2, op.j1 + k - op.i1));
                    }
                    break;
                case seqmatch::Tag::Delete:
                    for (std::size_t k = op.i1; k < op.i2; ++k)
                        plain(out.left, del_, line(lines1, k));
                    break;
                case seqmatch::Tag::Insert:
                    for (std::size_t k = op.j1; k < op.j2; ++k)
                        plain(out.right, add_, line(lines2, k));
                    break;
                case seqmatch::Tag::Replace:
                    replace(out, op, lines1, lines2);
                    break;
            }
        }
        return out;
    }

private:
    static constexpr std::size_t ahead = 32;

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

    static void plain(Panel& panel, const RowStyle& style, Shown text) {
        static const std::string_view row_end = p_row_end.text();
        panel.open_row(style);
        if (text.length == 0)
            panel.text.raw(" ");
        else
            panel.text.text(text.str, 0, text.length, true);
        panel.text.raw(row_end);
    }

    // Marked content goes straight into the row; a pair that marks to nothing shows a space.
    static void marked(Panel& panel, const RowStyle& style, const Utf8& text) {
        static const std::string_view row_end = p_row_end.text();
        panel.open_row(style);
        panel.text.raw(text.view().empty() ? std::string_view(" ") : text.view());
        panel.text.surrogates |= text.surrogates;
        panel.text.raw(row_end);
    }

    void replace(NativeRows& out, const seqmatch::Opcode& op, PyObject* lines1, PyObject* lines2) {
        const std::size_t left = op.i2 - op.i1, right = op.j2 - op.j1;
        for (std::size_t idx = 0; idx < std::max(left, right); ++idx) {
            if (idx < left && idx < right) {
                const Shown l = line(lines1, op.i1 + idx), r = line(lines2, op.j1 + idx);
                Utf8 marked_left, marked_right;
                nb::object lt = substring(l), rt = substring(r);
                if (PyUnicode_Compare(lt.ptr(), rt.ptr()) == 0) {
                    marked_left.text(lt.ptr(), true);
                    marked_right.text(rt.ptr(), true);
                } else {
                    mark_chars(marked_left, marked_right, lt.ptr(), rt.ptr());
                }
                marked(out.left, replace_left_, marked_left);
                marked(out.right, replace_right_, marked_right);
            } else if (idx < left) {
                plain(out.left, del_, line(lines1, op.i1 + idx));
            } else {
                plain(out.right, add_, line(lines2, op.j1 + idx));
            }
        }
    }

    static nb::object substring(Shown s) {
        PyObject* sub = PyUnicode_Substring(s.str, 0, s.length);
        if (!sub) pc::raise_current();
        return nb::steal(sub);
    }

    RowStyle equal_left_, equal_right_, del_, add_, replace_left_, replace_right_;
};

// The entries collected so far, as UTF-8; false when one of them is not a str (the join of the
// whole page would then fail on it).
bool encode_entries(Utf8& out, const PageWriter& page, bool continues) {
    const nb::list& parts = page.parts();
    if (continues) out.raw("\n");
    for (nb::handle part : parts) {
        if (!PyUnicode_Check(part.ptr())) return false;
        out.text(part.ptr(), false);
    }
    return true;
}

// with open(output_file, "w", encoding="utf-8") as f: f.write("".join(pieces)).  With the
// builtin open the UTF-8 goes to the file's byte layer as it is, in pieces; the file receives
// exactly the bytes the one text write would give it.
void write_page(const Call& c, nb::handle output_file, const std::vector<const Utf8*>& pieces) {
    nb::object open = c.global(n_open);
    bool surrogates = false;
    for (const Utf8* p : pieces) surrogates |= p->surrogates;
    if (open.ptr() != at_load.open || surrogates) {
        std::string whole;
        for (const Utf8* p : pieces) whole += p->view();
        nb::str html = decode(whole);
        whole = std::string();
        nb::object file =
            invoke(open, {output_file, nb::str("w")}, {{n_encoding, nb::str("utf-8")}});
        with_block(file, [&](nb::handle f) { return pc::call_method(f, n_write, {html}); });
        return;
    }
    nb::object file = invoke(open, {output_file, nb::str("w")}, {{n_encoding, nb::str("utf-8")}});
    with_block(file, [&](nb::handle f) {
        static const Name n_buffer("buffer"), n_release("release");
        nb::object buffer = pc::getattr(f, n_buffer);
        for (const Utf8* p : pieces) {
            const std::string_view bytes = p->view();
            nb::object view = nb::steal(
                PyMemoryView_FromMemory(const_cast<char*>(bytes.data()),
                                        static_cast<Py_ssize_t>(bytes.size()), PyBUF_READ));
            if (!view.is_valid()) pc::raise_current();
            pc::call_method(buffer, n_write, {view});
            pc::call_method(view, n_release, {});
        }
        return nb::none();
    });
}

// ---- BeautifulHtmlDiff ----

nb::object init(Call& c) {
    nb::handle self = c[0], text1 = c[1], text2 = c[2], file1 = c[3], file2 = c[4];
    if (pc::truthy(file1) && pc::truthy(file2)) {
        pc::setattr(self, n_lines1, pc::call_method(self, n_read_file, {file1}));
        pc::setattr(self, n_lines2, pc::call_method(self, n_read_file, {file2}));
        nb::object path = pc::getattr(c.global(n_os), n_path);
        pc::setattr(self, n_name1, invoke(pc::getattr(path, n_basename), {file1}));
        pc::setattr(self, n_name2, invoke(pc::getattr(path, n_basename), {file2}));
        return nb::none();
    }
    if (text1.is_none() || text2.is_none())
        pc::raise(PyExc_ValueError, "Need to provide either two files or two text contents");
    for (auto [text, attr] : {std::pair{text1, &n_lines1}, std::pair{text2, &n_lines2}}) {
        PyObject* lines = PyUnicode_Splitlines(text.ptr(), 1);
        if (!lines) pc::raise_current();
        pc::setattr(self, *attr, nb::steal(lines));
    }
    pc::setattr(self, n_name1, nb::str("Text 1"));
    pc::setattr(self, n_name2, nb::str("Text 2"));
    return nb::none();
}

nb::object read_file(Call& c) {
    nb::handle filepath = c[1];
    nb::object open = c.global(n_open);
    for (const char* enc : {"utf-8", "gbk", "latin-1"}) {
        try {
            nb::object file = invoke(open, {filepath, nb::str("r")}, {{n_encoding, nb::str(enc)}});
            nb::object lines =
                with_block(file, [](nb::handle f) { return pc::call_method(f, n_readlines, {}); });
            if (lines.is_valid()) return lines;
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_UnicodeDecodeError)) throw;
        }
    }
    PyErr_SetObject(
        PyExc_Exception,
        nb::str("Cannot read file {}, tried multiple encodings").format(filepath).ptr());
    pc::raise_current();
}

nb::object char_level_diff(Call& c) {
    nb::handle self = c[0], text1 = c[1], text2 = c[2];
    if (PyUnicode_Compare(text1.ptr(), text2.ptr()) == 0) {
        nb::object escaped1 = escape(self, text1);
        nb::object escaped2 = escape(self, text2);
        return nb::make_tuple(escaped1, escaped2);
    }
    nb::object opcodes;
    if (standard_difflib(c)) {
        if (own_escape(self)) {
            Utf8 marked1, marked2;
            mark_chars(marked1, marked2, text1.ptr(), text2.ptr());
            return nb::make_tuple(decode(marked1.view()), decode(marked2.view()));
        }
        const seqmatch::Encoded e = seqmatch::encode_chars(text1, text2);
        opcodes = opcode_list(seqmatch::opcodes(e.a, e.b, e.alphabet));
    } else {
        nb::object matcher =
            invoke(pc::getattr(c.global(n_difflib), n_SequenceMatcher), {Py_None, text1, text2});
        opcodes = pc::call_method(matcher, n_get_opcodes, {});
    }
    nb::list result1, result2;
    auto span = [&](const nb::list& out, const Name& open, nb::handle text, nb::handle from,
                    nb::handle to) {
        nb::object bounds = nb::steal(PySlice_New(from.ptr(), to.ptr(), nullptr));
        if (!bounds.is_valid()) pc::raise_current();
        nb::object run = nb::steal(PyObject_GetItem(text.ptr(), bounds.ptr()));
        if (!run.is_valid()) pc::raise_current();
        append(out, open);
        append(out, pc::format(escape(self, run)));
        append(out, p_span_end);
    };
    nb::object it = nb::steal(PyObject_GetIter(opcodes.ptr()));
    if (!it.is_valid()) pc::raise_current();
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        nb::object opcode = nb::steal(raw);
        std::vector<nb::object> op = unpack(opcode, 5);
        if (equals(op[0], n_equal)) {
            span(result1, equal_open, text1, op[1], op[2]);
            span(result2, equal_open, text2, op[3], op[4]);
        } else if (equals(op[0], n_replace)) {
            span(result1, del_open, text1, op[1], op[2]);
            span(result2, add_open, text2, op[3], op[4]);
        } else if (equals(op[0], n_delete)) {
            span(result1, del_open, text1, op[1], op[2]);
        } else if (equals(op[0], n_insert)) {
            span(result2, add_open, text2, op[3], op[4]);
        }
    }
    if (PyErr_Occurred()) pc::raise_current();
    return nb::make_tuple(join(result1, n_empty), join(result2, n_empty));
}

nb::object get_custom_css(Call&) {
    return pc::make_str(page_css());
}

nb::object get_javascript(Call&) {
    return pc::make_str(page_js());
}

nb::object escape_html(Call& c) {
    static const Name amp("&"), lt("<"), gt(">"), amp_entity("&amp;"), lt_entity("&lt;"),
        gt_entity("&gt;");
    nb::object text = nb::borrow(c[1]);
    for (auto [from, to] :
         {std::pair{&amp, &amp_entity}, std::pair{&lt, &lt_entity}, std::pair{&gt, &gt_entity}}) {
        PyObject* replaced = PyUnicode_Replace(text.ptr(), from->get(), to->get(), -1);
        if (!replaced) pc::raise_current();
        text = nb::steal(replaced);
    }
    return text;
}

// The five results are constants, the same objects on every call.
nb::handle symbol_pair(const char* symbol, const char* container) {
    PyObject* pair = Py_BuildValue("(ss)", symbol, container);
    if (!pair) pc::raise_current();
    return pair;
}

nb::object get_symbol_and_class(Call& c) {
    static const nb::handle del_left = symbol_pair("-", "diff_del"),
                            add_right = symbol_pair("+", "diff_add"),
                            replace_left = symbol_pair("-", "diff_replace"),
                            replace_right = symbol_pair("+", "diff_replace"),
                            plain = symbol_pair(" ", "");
    nb::handle css_class = c[1], is_left = c[2];
    auto contains = [&](const Name& word) {
        const int r = PyUnicode_Contains(css_class.ptr(), word.get());
        if (r < 0) pc::raise_current();
        return r == 1;
    };
    if (contains(n_diff_del_left) && pc::truthy(is_left)) return nb::borrow(del_left);
    if (contains(n_diff_add_right) && !pc::truthy(is_left)) return nb::borrow(add_right);
    if (contains(n_diff_replace_left) && pc::truthy(is_left)) return nb::borrow(replace_left);
    if (contains(n_diff_replace_right) && !pc::truthy(is_left)) return nb::borrow(replace_right);
    return nb::borrow(plain);
}

// output_file, or a new temporary page file when it is None.
nb::object output_path(const Call& c, nb::object output_file) {
    if (!output_file.is_none()) return output_file;
    nb::object made =
        invoke(pc::getattr(c.global(n_tempfile), n_mkstemp), {},
               {{n_suffix, nb::str(".html")}, {n_prefix, nb::str("diff_")}, {n_dir, Py_None}});
    std::vector<nb::object> fd_path = unpack(made, 2);
    invoke(pc::getattr(c.global(n_os), n_close), {fd_path[0]});
    return fd_path[1];
}

// The page made natively (see "native alignment, marking and rows"); returns the page's path.
nb::object native_page(Call& c, nb::handle self, nb::handle lines1, nb::handle lines2,
                       const seqmatch::Encoded& e, nb::object output_file) {
    NativeRows rows =
        RowWriter(self).rows(seqmatch::opcodes(e.a, e.b, e.alphabet), lines1.ptr(), lines2.ptr());
    PageWriter head, middle, tail;
    nb::object css = pc::call_method(self, n_get_custom_css, {});
    nb::object js = pc::call_method(self, n_get_javascript, {});
    nb::object now = pc::call_method(c.global(n_datetime), n_now, {});
    head.head(css, js,
              pc::format(pc::call_method(now, n_strftime, {nb::str("%Y-%m-%d %H:%M:%S")})));
    head.toolbar();
    head.panel_open(p_original, pc::format(escape(self, pc::to_str(pc::getattr(self, n_name1)))),
                    PyList_GET_SIZE(lines1.ptr()));
    middle.panel_close();
    middle.divider();
    middle.panel_open(p_new, pc::format(escape(self, pc::to_str(pc::getattr(self, n_name2)))),
                      PyList_GET_SIZE(lines2.ptr()));
    tail.panel_close();
    tail.finish();
    Utf8 head_text, middle_text, tail_text;
    if (!encode_entries(head_text, head, false)) {
        head.text();  // the join that would make the page fails on the same entry
        pc::raise(PyExc_TypeError, "page entries must be str");
    }
    encode_entries(middle_text, middle, true);
    encode_entries(tail_text, tail, true);
    output_file = output_path(c, output_file);
    write_page(c, output_file,
               {&head_text, &rows.left.text, &middle_text, &rows.right.text, &tail_text});
    return output_file;
}

nb::object generate_html(Call& c) {
    nb::handle self = c[0], auto_open = c[2];
    nb::object output_file = nb::borrow(c[1]);

    nb::object lines1 = pc::getattr(self, n_lines1), lines2 = pc::getattr(self, n_lines2);
    std::optional<seqmatch::Encoded> encoded;
    if (standard_difflib(c)) encoded = seqmatch::encode_lines(lines1, lines2);
    if (encoded && own_page_methods(self)) {
        output_file = native_page(c, self, lines1, lines2, *encoded, output_file);
    } else {
        nb::object opcodes;
        if (encoded) {
            opcodes = opcode_list(seqmatch::opcodes(encoded->a, encoded->b, encoded->alphabet));
        } else {
            nb::object matcher = invoke(pc::getattr(c.global(n_difflib), n_SequenceMatcher),
                                        {Py_None, lines1, lines2});
            opcodes = pc::call_method(matcher, n_get_opcodes, {});
        }
        RowModel rows = build_rows(self, opcodes, lines1, lines2);

        PageWriter page;
        nb::object css = pc::call_method(self, n_get_custom_css, {});
        nb::object js = pc::call_method(self, n_get_javascript, {});
        nb::object now = pc::call_method(c.global(n_datetime), n_now, {});
        page.head(css, js,
                  pc::format(pc::call_method(now, n_strftime, {nb::str("%Y-%m-%d %H:%M:%S")})));
        page.toolbar();
        const Py_ssize_t count1 = PyObject_Length(lines1.ptr());
        if (count1 < 0) pc::raise_current();
        // Names are escaped like line content: a file name must not add markup to the page.
        page.panel_open(p_original,
                        pc::format(escape(self, pc::to_str(pc::getattr(self, n_name1)))), count1);
        write_rows(page, self, rows.left, true);
        page.panel_close();
        page.divider();
        const Py_ssize_t count2 = PyObject_Length(lines2.ptr());
        if (count2 < 0) pc::raise_current();
        page.panel_open(p_new, pc::format(escape(self, pc::to_str(pc::getattr(self, n_name2)))),
                        count2);
        write_rows(page, self, rows.right, false);
        page.panel_close();
        page.finish();
        nb::str html = page.text();

        output_file = output_path(c, output_file);
        nb::object file =
            invoke(c.global(n_open), {output_file, nb::str("w")}, {{n_encoding, nb::str("utf-8")}});
        with_block(file, [&](nb::handle f) { return pc::call_method(f, n_write, {html}); });
    }
    if (pc::truthy(auto_open)) {
        nb::object os = c.global(n_os);
        nb::object absolute =
            invoke(pc::getattr(pc::getattr(os, n_path), n_abspath), {output_file});
        invoke(pc::getattr(c.global(n_webbrowser), n_open), {file_uri(c, absolute)});
    }
    return output_file;
}

// ---- compare ----

nb::object is_file(const Call& c, nb::handle path) {
    nb::object os_path = pc::getattr(c.global(n_os), n_path);
    nb::object exists = invoke(pc::getattr(os_path, n_exists), {path});
    if (!pc::truthy(exists)) return exists;
    return invoke(pc::getattr(os_path, n_isfile), {path});
}

nb::object compare(Call& c) {
    nb::handle arg1 = c[0], arg2 = c[1], output_file = c[2], auto_open = c[3];
    nb::object is_file1 = is_file(c, arg1);
    nb::object is_file2 = is_file(c, arg2);
    nb::object cls = c.global(n_BeautifulHtmlDiff);
    nb::object comparer = pc::truthy(is_file1) && pc::truthy(is_file2)
                              ? invoke(cls, {}, {{n_file1, arg1}, {n_file2, arg2}})
                              : invoke(cls, {}, {{n_text1, arg1}, {n_text2, arg2}});
    return invoke(pc::getattr(comparer, n_generate_html), {},
                  {{n_output_file, output_file}, {n_auto_open, auto_open}});
}

// ---- declarations ----

const char* const class_doc =
    "\n    A class to generate beautiful HTML diff between two texts or files.\n\n"
    "    This class takes either two text strings or two file paths and generates\n"
    "    an interactive HTML view showing the differences with character-level\n"
    "    highlighting.\n    ";

const FunctionSpec init_spec{
    "__init__",
    init,
    {{"self"},
     {"text1", "str | None", Check::StrOrNone},
     {"text2", "str | None", Check::StrOrNone},
     {"file1", "str | None", Check::StrOrNone},
     {"file2", "str | None", Check::StrOrNone}},
    nullptr,
    "None",
    Check::Any,
    "\n        Initialize with either two text strings or two file paths.\n\n"
    "        Args:\n"
    "            text1 (str | None): First text content. Required if file1 not provided.\n"
    "            text2 (str | None): Second text content. Required if file2 not provided.\n"
    "            file1 (str | None): First file path. Required if text1 not provided.\n"
    "            file2 (str | None): Second file path. Required if text2 not provided.\n\n"
    "        Raises:\n"
    "            ValueError: If neither text pair nor file pair is provided.\n        "};

const FunctionSpec read_file_spec{
    "_read_file",
    read_file,
    {{"self"}, {"filepath", "str", Check::Str}},
    nullptr,
    "list[str]",
    Check::ListOrNone,
    "\n        Read file content with encoding fallback.\n\n"
    "        Args:\n"
    "            filepath (str): Path to the file to read.\n\n"
    "        Returns:\n"
    "            list[str]: List of lines from the file, including line endings.\n\n"
    "        Raises:\n"
    "            Exception: If file cannot be read with any supported encoding.\n        "};

const FunctionSpec char_level_diff_spec{
    "_char_level_diff",
    char_level_diff,
    {{"self"}, {"text1", "str", Check::Str}, {"text2", "str", Check::Str}},
    nullptr,
    "tuple[str, str]",
    Check::Any,
    "\n        Compare two texts at character level and return HTML marked strings.\n\n"
    "        Uses difflib.SequenceMatcher to identify character-level differences\n"
    "        and wraps them in HTML spans with appropriate classes.\n\n"
    "        Args:\n"
    "            text1 (str): First text to compare.\n"
    "            text2 (str): Second text to compare.\n\n"
    "        Returns:\n"
    "            tuple[str, str]: A tuple containing (marked_text1, marked_text2) with HTML "
    "spans:\n"
    "                - <span class=\"char-equal\"> for unchanged characters\n"
    "                - <span class=\"char-del\"> for deleted characters\n"
    "                - <span class=\"char-add\"> for added characters\n        "};

const FunctionSpec get_custom_css_spec{
    "_get_custom_css",
    get_custom_css,
    {{"self"}},
    nullptr,
    "str",
    Check::Any,
    "\n        Generate custom CSS styles for the HTML diff view.\n\n"
    "        Returns:\n"
    "            str: CSS string with minimal padding for full-screen display.\n        "};

const FunctionSpec get_javascript_spec{"_get_javascript",
                                       get_javascript,
                                       {{"self"}},
                                       nullptr,
                                       "str",
                                       Check::Any,
                                       "\n        Generate JavaScript for interactive features.\n\n"
                                       "        Returns:\n"
                                       "            str: JavaScript string with view mode "
                                       "switching, line jumping, and diff navigation.\n"
                                       "        "};

const FunctionSpec escape_html_spec{
    "_escape_html",
    escape_html,
    {{"self"}, {"text", "str", Check::Str}},
    nullptr,
    "str",
    Check::Any,
    "\n        Escape HTML special characters to prevent XSS.\n\n"
    "        Args:\n"
    "            text (str): Raw text that may contain HTML special characters.\n\n"
    "        Returns:\n"
    "            str: Escaped text safe for HTML insertion.\n        "};

const FunctionSpec get_symbol_and_class_spec{
    "_get_symbol_and_class",
    get_symbol_and_class,
    {{"self"}, {"css_class", "str", Check::Str}, {"is_left", "bool"}},
    nullptr,
    "tuple[str, str]",
    Check::Any,
    "\n        Get diff symbol and container class based on CSS class.\n\n"
    "        Args:\n"
    "            css_class (str): CSS class name from the line.\n"
    "            is_left (bool): Whether this line belongs to the left panel.\n\n"
    "        Returns:\n"
    "            tuple[str, str]: A tuple containing:\n"
    "                - symbol: The diff symbol ('+', '-', or ' ')\n"
    "                - container_class: Additional CSS class for the line container.\n        "};

const FunctionSpec generate_html_spec{
    "generate_html",
    generate_html,
    {{"self"}, {"output_file", "str | None", Check::StrOrNone}, {"auto_open", "bool"}},
    nullptr,
    "str",
    Check::Any,
    "\n        Generate HTML diff view and save to file.\n\n"
    "        This method performs the actual diff computation and generates\n"
    "        the complete HTML file with all styles and scripts.\n\n"
    "        Args:\n"
    "            output_file (str | None): Path where the HTML file will be saved.\n"
    "                        If None, creates a temporary file.\n"
    "            auto_open (bool): If True, automatically opens the generated HTML\n"
    "                      in the default browser.\n\n"
    "        Returns:\n"
    "            str: Path to the generated HTML file.\n\n"
    "        Example:\n"
    "            >>> diff = BeautifulHtmlDiff(text1=text_a, text2=text_b)\n"
    "            >>> html_path = diff.generate_html(auto_open=True)\n        "};

const FunctionSpec compare_spec{
    "compare",
    compare,
    {{"arg1", "str", Check::Str},
     {"arg2", "str", Check::Str},
     {"output_file", "str | None", Check::StrOrNone},
     {"auto_open", "bool"}},
    nullptr,
    "str",
    Check::StrOrNone,
    "\n    Compare two files or text strings and generate an HTML diff view.\n\n"
    "    This function automatically detects whether the inputs are file paths\n"
    "    (by checking if they exist on disk) or text content, and handles them\n"
    "    accordingly.\n\n"
    "    Args:\n"
    "        arg1 (str): First input - either a file path or text content.\n"
    "        arg2 (str): Second input - either a file path or text content.\n"
    "        output_file (str | None): Path where the HTML file will be saved.\n"
    "                    If None, creates a temporary file.\n"
    "        auto_open (bool): If True, automatically opens the generated HTML\n"
    "                  in the default browser.\n\n"
    "    Returns:\n"
    "        str: Path to the generated HTML file.\n\n"
    "    Examples:\n"
    "        >>> # Compare two files\n"
    "        >>> html_path = compare('file1.txt', 'file2.txt', auto_open=True)\n\n"
    "        >>> # Compare two text strings\n"
    "        >>> text_a = \"Hello\\nWorld\"\n"
    "        >>> text_b = \"Hello\\nPython\"\n"
    "        >>> html_path = compare(text_a, text_b, auto_open=True)\n    "};

void define(pc::Module& mod) {
    const char* cls = "BeautifulHtmlDiff";
    nb::handle none = Py_None;
    nb::object klass = pc::make_class(
        reinterpret_cast<PyObject*>(&PyType_Type), cls, nb::tuple(), mod.globals(), class_doc, {},
        {
            {"__init__", mod.method(init_spec, cls, {none, none, none, none})},
            {"_read_file", mod.method(read_file_spec, cls)},
            {"_char_level_diff", mod.method(char_level_diff_spec, cls)},
            {"_get_custom_css", mod.method(get_custom_css_spec, cls)},
            {"_get_javascript", mod.method(get_javascript_spec, cls)},
            {"_escape_html", mod.method(escape_html_spec, cls)},
            {"_get_symbol_and_class", mod.method(get_symbol_and_class_spec, cls, {Py_True})},
            {"generate_html", mod.method(generate_html_spec, cls, {none, Py_True})},
        });
    mod.set(cls, klass);
    mod.def(compare_spec, {none, Py_True});
    remember_at_load(mod);
}

}  // namespace diffview

void define_diff_viewer(pc::Module& mod) {
    diffview::define(mod);
}

}  // namespace
// ==== end of diff viewer ====

NB_MODULE(view, m) {
    pc::Module mod(m);
    mod.import("difflib");
    mod.import("os");
    mod.import("tempfile");
    mod.import("webbrowser");
    mod.import_from("datetime", {"datetime"});
    mod.import("numpy", "np");
    define_display_helpers(mod);
    define_diff_viewer(mod);
}
