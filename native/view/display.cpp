// The display helpers: display_tree prints a dict as a Rich tree, display_array shows a 1-D or 2-D
// array as a LaTeX matrix in a notebook, large ones shortened with ellipses.
#include <vector>

#include "module.hpp"
#include "names.hpp"
#include "recursion.hpp"

namespace pelorix::view {
namespace {

const Name n_array("array"), n_ndim("ndim"), n_shape("shape"), n_items("items"), n_add("add");

// ---- display_tree ----

struct TreeStyle {
    nb::handle end;
    nb::handle escape;  // rich.markup.escape: keys and values are data, not markup
};

nb::object escaped(const TreeStyle& style, nb::handle x) {
    return style.escape(format(x));
}

// One dict of the tree being walked: the node its items go under, and how far its items have
// got.
struct Level {
    nb::object parent;
    nb::object items;
};

// Depth first, each dict's items in their order, as a recursive walk adds them; the dicts being
// walked are kept in `levels` rather than on the C stack, so how deep a tree may nest is decided
// by the interpreter's recursion limit and not by the size of the thread's stack.
void add_nodes(nb::handle root, nb::handle d, const TreeStyle& style) {
    NestingDepth depth(" while building a tree");
    std::vector<Level> levels;
    auto descend = [&](nb::object parent, nb::handle node) {
        depth.enter();
        levels.push_back({std::move(parent), iterate(call_method(node, n_items, {}))});
    };
    descend(nb::borrow(root), d);
    while (!levels.empty()) {
        nb::object item = next(levels.back().items);
        if (!item) {
            levels.pop_back();
            depth.leave();
            continue;
        }
        const std::vector<nb::object> kv = unpack(item, 2);
        nb::handle k = kv[0], v = kv[1];
        const int is_dict = PyObject_IsInstance(v.ptr(), reinterpret_cast<PyObject*>(&PyDict_Type));
        if (is_dict < 0) raise_current();
        nb::object key = escaped(style, k);
        nb::handle parent = levels.back().parent;
        if (is_dict) {
            nb::str label = concat({nb::str("[bold][green]"), key, nb::str("[/green][/bold]")});
            descend(call_method(parent, n_add, {label}), v);
            continue;
        }
        nb::object value = escaped(style, v);
        nb::str label =
            concat({nb::str("[bold][green]"), key, nb::str("[/green][/bold]: [#00ff00aa]"), value,
                    nb::str("[/#00ff00aa]"), style.end});
        call_method(parent, n_add, {label});
    }
}

nb::object display_tree(Call& c) {
    nb::handle d = c[0], title = c[1], end = c[2];
    nb::object Console = import_from_now(c, "rich.console", {"Console"})[0];
    nb::object Tree = import_from_now(c, "rich.tree", {"Tree"})[0];
    nb::object escape = import_from_now(c, "rich.markup", {"escape"})[0];
    nb::object parent = Tree(concat({nb::str("[bold]"), title, nb::str("[/bold]")}));
    add_nodes(parent, d, {end, escape});
    nb::object console = Console();
    call_method(console, n_print, {parent});
    return nb::none();
}

const FunctionSpec tree_spec{.name = "display_tree",
                             .body = display_tree,
                             .params = {{.name = "d", .annotation = "dict", .check = Check::Dict},
                                        {.name = "title", .annotation = "str", .check = Check::Str},
                                        {.name = "end", .annotation = "str", .check = Check::Str}},
                             .doc = docstring(R"(
print a dict as a tree in terminal or in Jupyter Notebook.

    Args:
        d (dict): dict to display
        title (str, optional): root title. Defaults to "root".
        end (str, optional): end character. Defaults to '
'.

    Example:
        >>> from pelorix.terminal.display import tree
        >>> d = {"a": 1, "b": {"c": 2, "d": 3}}
        >>> tree(d)
         root
         ├── a: 1
         └── b
             ├── c: 2
             └── d: 3
    )")};

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
    if (!s.is_valid()) raise_current();
    PyObject* r = PyObject_GetItem(seq.ptr(), s.ptr());
    if (!r) raise_current();
    return nb::steal(r);
}

// The leading and trailing parts shown around the dots: seq[: k // 2] and seq[-k // 2 :].
std::pair<nb::list, nb::list> ends(nb::handle seq, nb::handle k) {
    nb::object two = nb::int_(2);
    nb::list left = formatted(slice(seq, nb::none(), k.floor_div(two)));
    nb::list right = formatted(slice(seq, (-nb::borrow(k)).floor_div(two), nb::none()));
    return {left, right};
}

struct MatrixLimits {
    nb::handle max_rows;
    nb::handle max_cols;
};

nb::str vector_text(nb::handle arr, const MatrixLimits& lim) {
    const Py_ssize_t len = PyObject_Length(arr.ptr());
    if (len < 0) raise_current();
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
    const std::vector<nb::object> shape = unpack(nb::getattr(arr, n_shape), 2);
    nb::handle m = shape[0], n = shape[1];
    const bool need_row_ellipsis = m > lim.max_rows;
    const bool need_col_ellipsis = n > lim.max_cols;
    nb::object half_rows = need_row_ellipsis ? lim.max_rows.floor_div(nb::int_(2)) : nb::object();
    nb::list rows_to_show;
    const Py_ssize_t leading = as_index(need_row_ellipsis ? lesser(m, half_rows + nb::int_(1)) : m);
    for (Py_ssize_t i = 0; i < leading; ++i)
        rows_to_show.append(row_text(getitem(arr, i), need_col_ellipsis, lim));
    if (need_row_ellipsis) {
        rows_to_show.append(ellipsis_row(n, need_col_ellipsis, lim));
        const Py_ssize_t stop = as_index(m);
        for (Py_ssize_t i = as_index(greater(nb::int_(0), m - half_rows)); i < stop; ++i)
            rows_to_show.append(row_text(getitem(arr, i), need_col_ellipsis, lim));
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
        import_from_now(c, "IPython.display", {"Latex", "Math", "display"});
    nb::handle Latex = ipy[0], Math = ipy[1], display = ipy[2];
    nb::object arr = call_method(c.global(n_np), n_array, {c[0]});
    nb::object ndim = nb::getattr(arr, n_ndim);
    const bool one_d = ndim.equal(nb::int_(1));
    const bool two_d = !one_d && ndim.equal(nb::int_(2));
    if (assertions_enabled() && !one_d && !two_d) {
        PyErr_SetString(PyExc_AssertionError, "Only supports 1D or 2D arrays");
        raise_current();
    }
    if (PyUnicode_GET_LENGTH(title.ptr()) > 0)
        display(Latex(concat({nb::str("**"), title, nb::str("**")})));
    // With assertions off, other shapes reach the end without a formula, as unchecked code would.
    if (!one_d && !two_d)
        raise(PyExc_UnboundLocalError,
              "cannot access local variable 'latex_str' where it is "
              "not associated with a value");
    nb::object latex_str = environment("\\begin{", matrix_type);
    latex_str = latex_str + (one_d ? vector_text(arr, lim) : matrix_text(arr, lim));
    latex_str = latex_str + environment("\\end{", matrix_type);
    display(Math(latex_str));
    return nb::none();
}

const FunctionSpec array_spec{
    .name = "display_array",
    .body = display_array,
    .params = {{.name = "arr"},
               {.name = "matrix_type"},
               {.name = "max_rows"},
               {.name = "max_cols"},
               {.name = "title", .annotation = "str", .check = Check::Str}},
    .doc = docstring(R"(

    Display NumPy array, large arrays automatically simplified with ellipsis.

    Args:
        arr (numpy.ndarray): NumPy array to display.
        matrix_type (str): Matrix type 'bmatrix', 'pmatrix', 'vmatrix'. 
            Defaults to 'pmatrix'.
        max_rows (int): Maximum number of rows to display. Defaults to 10.
        max_cols (int): Maximum number of columns to display. Defaults to 10.
        title (str, optional): Display title. Defaults to ''.
    )")};

}  // namespace

void define_display_helpers(Module& mod) {
    mod.def(tree_spec, {nb::str("root"), nb::str("\n")});
    mod.def(array_spec, {nb::str("pmatrix"), nb::int_(10), nb::int_(10), nb::str("")});
}

}  // namespace pelorix::view
