// The diff viewer's class and entry point: BeautifulHtmlDiff (inputs, file reading, character
// marking, escaping, gutter symbols, style sheet and script, the page) and compare.
#include <string>
#include <string_view>

#include "diff_css.hpp"
#include "diff_js.hpp"
#include "files.hpp"
#include "form.hpp"
#include "module.hpp"
#include "page.hpp"
#include "rows.hpp"

namespace pelorix::view {

// The row model, the page writer and the conditions of the fast paths, shared with the windowed
// page.
using namespace diffpage;

namespace {

const Name n_webbrowser("webbrowser"), n_BeautifulHtmlDiff("BeautifulHtmlDiff"), n_path("path"),
    n_basename("basename"), n_exists("exists"), n_isfile("isfile"), n_abspath("abspath"),
    n_fsencode("fsencode"), n_readlines("readlines"), n_read_file("_read_file"),
    n_get_javascript("_get_javascript"), n_generate_html("generate_html"), n_file1("file1"),
    n_file2("file2"), n_text1("text1"), n_text2("text2"), n_output_file("output_file"),
    n_auto_open("auto_open");

// A "file://" URI of an absolute path: bytes that a URI path may hold stand as they are, every
// other byte (space, '%', '#', '?', non-ASCII, ...) is percent-encoded, so the browser opens
// exactly this file.
nb::object file_uri(const Call& c, nb::handle absolute) {
    nb::object raw = call(getattr(c.global(n_os), n_fsencode), {absolute});
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(raw.ptr(), &data, &size) < 0) raise_current();
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
    return make_str(uri);
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

// ---- BeautifulHtmlDiff ----

nb::object init(Call& c) {
    nb::handle self = c[0], text1 = c[1], text2 = c[2], file1 = c[3], file2 = c[4];
    if (truthy(file1) && truthy(file2)) {
        setattr(self, n_lines1, call_method(self, n_read_file, {file1}));
        setattr(self, n_lines2, call_method(self, n_read_file, {file2}));
        nb::object path = getattr(c.global(n_os), n_path);
        setattr(self, n_name1, call(getattr(path, n_basename), {file1}));
        setattr(self, n_name2, call(getattr(path, n_basename), {file2}));
        return nb::none();
    }
    if (text1.is_none() || text2.is_none())
        raise(PyExc_ValueError, "Need to provide either two files or two text contents");
    for (auto [text, attr] : {std::pair{text1, &n_lines1}, std::pair{text2, &n_lines2}}) {
        PyObject* lines = PyUnicode_Splitlines(text.ptr(), 1);
        if (!lines) raise_current();
        setattr(self, *attr, nb::steal(lines));
    }
    setattr(self, n_name1, nb::str("Text 1"));
    setattr(self, n_name2, nb::str("Text 2"));
    return nb::none();
}

nb::object read_file(Call& c) {
    nb::handle filepath = c[1];
    nb::object open = c.global(n_open);
    for (const char* enc : {"utf-8", "gbk", "latin-1"}) {
        try {
            nb::object file = call(open, {filepath, nb::str("r")}, {{n_encoding, nb::str(enc)}});
            nb::object lines =
                with_block(c, file, [](nb::handle f) { return call_method(f, n_readlines, {}); });
            if (lines.is_valid()) return lines;
        } catch (nb::python_error& e) {
            Except handler(e, PyExc_UnicodeDecodeError);
        }
    }
    PyErr_SetObject(
        PyExc_Exception,
        nb::str("Cannot read file {}, tried multiple encodings").format(filepath).ptr());
    raise_current();
}

nb::object char_level_diff(Call& c) {
    nb::handle self = c[0], text1 = c[1], text2 = c[2];
    if (PyUnicode_Compare(text1.ptr(), text2.ptr()) == 0) {
        nb::object escaped1 = escape(self, text1);
        nb::object escaped2 = escape(self, text2);
        return nb::make_tuple(escaped1, escaped2);
    }
    if (!standard_difflib(c.global(n_difflib)))
        return mark_with(self, matcher_opcodes(c.global(n_difflib), text1, text2), text1, text2);
    if (own_escape(self)) {
        Utf8 marked1, marked2;
        mark_chars(marked1, marked2, text1.ptr(), text2.ptr());
        return nb::make_tuple(make_str(marked1.view()), make_str(marked2.view()));
    }
    const seqmatch::Encoded e = seqmatch::encode_chars(text1, text2);
    return mark_with(self, opcode_list(seqmatch::opcodes(e.a, e.b, e.alphabet)), text1, text2);
}

nb::object get_custom_css(Call&) {
    static const std::string text = wrap_asset(diff_css, "<style>", "</style>");
    return make_str(text);
}

nb::object get_javascript(Call&) {
    static const std::string text = wrap_asset(diff_js, "<script>", "</script>");
    return make_str(text);
}

nb::object escape_html(Call& c) {
    static const Name amp("&"), lt("<"), gt(">"), amp_entity("&amp;"), lt_entity("&lt;"),
        gt_entity("&gt;");
    nb::object text = nb::borrow(c[1]);
    for (auto [from, to] :
         {std::pair{&amp, &amp_entity}, std::pair{&lt, &lt_entity}, std::pair{&gt, &gt_entity}}) {
        PyObject* replaced = PyUnicode_Replace(text.ptr(), from->get(), to->get(), -1);
        if (!replaced) raise_current();
        text = nb::steal(replaced);
    }
    return text;
}

// The five results are constants, the same objects on every call.
nb::handle symbol_pair(const char* symbol, const char* container) {
    PyObject* pair = Py_BuildValue("(ss)", symbol, container);
    if (!pair) raise_current();
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
        if (r < 0) raise_current();
        return r == 1;
    };
    if (contains(n_diff_del_left) && truthy(is_left)) return nb::borrow(del_left);
    if (contains(n_diff_add_right) && !truthy(is_left)) return nb::borrow(add_right);
    if (contains(n_diff_replace_left) && truthy(is_left)) return nb::borrow(replace_left);
    if (contains(n_diff_replace_right) && !truthy(is_left)) return nb::borrow(replace_right);
    return nb::borrow(plain);
}

// The full page: the view module's names, the instance's script, every row in the document.
class FullForm : public PageForm {
public:
    explicit FullForm(const Call& c) : c_(c) {}
    nb::object global(const Name& name) const override { return c_.global(name); }
    void write_native_rows(Page& page, nb::handle self, PyObject* lines1, PyObject* lines2,
                           const std::vector<seqmatch::Opcode>& ops) const override {
        PageRows rows(page, self, lines1, lines2);
        NativeRows(rows, lines1, lines2).write(ops);
    }
    void write_instance_rows(Panel& panel, nb::handle self, const std::vector<Row>& rows,
                             bool is_left) const override {
        write_rows(panel, self, rows, is_left);
    }
    nb::object script(nb::handle self) const override {
        return call_method(self, n_get_javascript, {});
    }

private:
    const Call& c_;
};

nb::object generate_html(Call& c) {
    nb::handle self = c[0], auto_open = c[2];
    nb::object output_file = write_page(c, FullForm(c), self, nb::borrow(c[1]));
    if (truthy(auto_open)) {
        nb::object absolute =
            call(getattr(getattr(c.global(n_os), n_path), n_abspath), {output_file});
        call(getattr(c.global(n_webbrowser), n_open), {file_uri(c, absolute)});
    }
    return output_file;
}

// ---- compare ----

nb::object is_file(const Call& c, nb::handle path) {
    nb::object os_path = getattr(c.global(n_os), n_path);
    nb::object exists = call(getattr(os_path, n_exists), {path});
    if (!truthy(exists)) return exists;
    return call(getattr(os_path, n_isfile), {path});
}

nb::object compare(Call& c) {
    nb::handle arg1 = c[0], arg2 = c[1], output_file = c[2], auto_open = c[3];
    nb::object is_file1 = is_file(c, arg1);
    nb::object is_file2 = is_file(c, arg2);
    nb::object cls = c.global(n_BeautifulHtmlDiff);
    nb::object comparer = truthy(is_file1) && truthy(is_file2)
                              ? call(cls, {}, {{n_file1, arg1}, {n_file2, arg2}})
                              : call(cls, {}, {{n_text1, arg1}, {n_text2, arg2}});
    return call(getattr(comparer, n_generate_html), {},
                {{n_output_file, output_file}, {n_auto_open, auto_open}});
}

// ---- declarations ----

// Parameters as the methods declare them: exact str, str or None, and the rest untyped.
Param str_param(const char* name) {
    return {.name = name, .annotation = "str", .check = Check::Str};
}
Param str_or_none(const char* name) {
    return {.name = name, .annotation = "str | None", .check = Check::StrOrNone};
}
const Param self{.name = "self"}, is_left{.name = "is_left", .annotation = "bool"},
    auto_open{.name = "auto_open", .annotation = "bool"};

}  // namespace

const char* const class_doc = docstring(R"(

    A class to generate beautiful HTML diff between two texts or files.

    This class takes either two text strings or two file paths and generates
    an interactive HTML view showing the differences with character-level
    highlighting.
    )");

const FunctionSpec init_spec{.name = "__init__",
                             .body = init,
                             .params = {self, str_or_none("text1"), str_or_none("text2"),
                                        str_or_none("file1"), str_or_none("file2")},
                             .returns = "None",
                             .doc = docstring(R"(

        Initialize with either two text strings or two file paths.

        Args:
            text1 (str | None): First text content. Required if file1 not provided.
            text2 (str | None): Second text content. Required if file2 not provided.
            file1 (str | None): First file path. Required if text1 not provided.
            file2 (str | None): Second file path. Required if text2 not provided.

        Raises:
            ValueError: If neither text pair nor file pair is provided.
        )")};

const FunctionSpec read_file_spec{.name = "_read_file",
                                  .body = read_file,
                                  .params = {self, str_param("filepath")},
                                  .returns = "list[str]",
                                  .result = Check::ListOrNone,
                                  .doc = docstring(R"(

        Read file content with encoding fallback.

        Args:
            filepath (str): Path to the file to read.

        Returns:
            list[str]: List of lines from the file, including line endings.

        Raises:
            Exception: If file cannot be read with any supported encoding.
        )")};

const FunctionSpec char_level_diff_spec{.name = "_char_level_diff",
                                        .body = char_level_diff,
                                        .params = {self, str_param("text1"), str_param("text2")},
                                        .returns = "tuple[str, str]",
                                        .doc = docstring(R"(

        Compare two texts at character level and return HTML marked strings.

        Uses difflib.SequenceMatcher to identify character-level differences
        and wraps them in HTML spans with appropriate classes.

        Args:
            text1 (str): First text to compare.
            text2 (str): Second text to compare.

        Returns:
            tuple[str, str]: A tuple containing (marked_text1, marked_text2) with HTML spans:
                - <span class="char-equal"> for unchanged characters
                - <span class="char-del"> for deleted characters
                - <span class="char-add"> for added characters
        )")};

const FunctionSpec get_custom_css_spec{.name = "_get_custom_css",
                                       .body = get_custom_css,
                                       .params = {self},
                                       .returns = "str",
                                       .doc = docstring(R"(

        Generate custom CSS styles for the HTML diff view.

        Returns:
            str: CSS string with minimal padding for full-screen display.
        )")};

const FunctionSpec get_javascript_spec{.name = "_get_javascript",
                                       .body = get_javascript,
                                       .params = {self},
                                       .returns = "str",
                                       .doc = docstring(R"(

        Generate JavaScript for interactive features.

        Returns:
            str: JavaScript string with view mode switching, line jumping, and diff navigation.
        )")};

const FunctionSpec escape_html_spec{.name = "_escape_html",
                                    .body = escape_html,
                                    .params = {self, str_param("text")},
                                    .returns = "str",
                                    .doc = docstring(R"(

        Escape HTML special characters to prevent XSS.

        Args:
            text (str): Raw text that may contain HTML special characters.

        Returns:
            str: Escaped text safe for HTML insertion.
        )")};

const FunctionSpec get_symbol_and_class_spec{.name = "_get_symbol_and_class",
                                             .body = get_symbol_and_class,
                                             .params = {self, str_param("css_class"), is_left},
                                             .returns = "tuple[str, str]",
                                             .doc = docstring(R"(

        Get diff symbol and container class based on CSS class.

        Args:
            css_class (str): CSS class name from the line.
            is_left (bool): Whether this line belongs to the left panel.

        Returns:
            tuple[str, str]: A tuple containing:
                - symbol: The diff symbol ('+', '-', or ' ')
                - container_class: Additional CSS class for the line container.
        )")};

const FunctionSpec generate_html_spec{.name = "generate_html",
                                      .body = generate_html,
                                      .params = {self, str_or_none("output_file"), auto_open},
                                      .returns = "str",
                                      .doc = docstring(R"(

        Generate HTML diff view and save to file.

        This method performs the actual diff computation and generates
        the complete HTML file with all styles and scripts.

        Args:
            output_file (str | None): Path where the HTML file will be saved.
                        If None, creates a temporary file.
            auto_open (bool): If True, automatically opens the generated HTML
                      in the default browser.

        Returns:
            str: Path to the generated HTML file.

        Example:
            >>> diff = BeautifulHtmlDiff(text1=text_a, text2=text_b)
            >>> html_path = diff.generate_html(auto_open=True)
        )")};

const FunctionSpec compare_spec{
    .name = "compare",
    .body = compare,
    .params = {str_param("arg1"), str_param("arg2"), str_or_none("output_file"), auto_open},
    .returns = "str",
    .result = Check::StrOrNone,
    .doc = docstring(R"(

    Compare two files or text strings and generate an HTML diff view.

    This function automatically detects whether the inputs are file paths
    (by checking if they exist on disk) or text content, and handles them
    accordingly.

    Args:
        arg1 (str): First input - either a file path or text content.
        arg2 (str): Second input - either a file path or text content.
        output_file (str | None): Path where the HTML file will be saved.
                    If None, creates a temporary file.
        auto_open (bool): If True, automatically opens the generated HTML
                  in the default browser.

    Returns:
        str: Path to the generated HTML file.

    Examples:
        >>> # Compare two files
        >>> html_path = compare('file1.txt', 'file2.txt', auto_open=True)

        >>> # Compare two text strings
        >>> text_a = "Hello\nWorld"
        >>> text_b = "Hello\nPython"
        >>> html_path = compare(text_a, text_b, auto_open=True)
    )")};

void define_diff_viewer(Module& mod) {
    nb::handle none = Py_None;
    mod.set("BeautifulHtmlDiff",
            ClassBuilder(mod, "BeautifulHtmlDiff", class_doc)
                .method(init_spec, {none, none, none, none})
                .methods({&read_file_spec, &char_level_diff_spec, &get_custom_css_spec,
                          &get_javascript_spec, &escape_html_spec})
                .method(get_symbol_and_class_spec, {Py_True})
                .method(generate_html_spec, {none, Py_True})
                .static_attributes({"lines1", "lines2", "name1", "name2"})
                .make(reinterpret_cast<PyObject*>(&PyType_Type), nb::tuple()));
    mod.def(compare_spec, {none, Py_True});
    remember_at_load(mod.get("difflib"));
    remember_page_methods(mod.get("BeautifulHtmlDiff"), mod.globals());
    check_page_assets();
}

}  // namespace pelorix::view
