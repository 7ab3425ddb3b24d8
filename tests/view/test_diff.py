"""The diff viewer of pelorix.toolkit.view: inputs and file reading, character marking, the row
model, the exact page, its output file and browser hand-off, overrides and rebinding, compare."""

import datetime
import difflib
import html
import html.parser
import inspect
import json
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import urllib.parse
import urllib.request

import pytest
from browsing import PAGE_FUNCTIONS
from hypothesis import given, settings
from hypothesis import strategies as st

from pelorix.toolkit import view

BHD = view.BeautifulHtmlDiff


# ---- reading the page back ----


class Node:
    def __init__(self, tag, attrs):
        self.tag, self.attrs, self.children, self.text = tag, dict(attrs), [], ""

    @property
    def classes(self):
        return self.attrs.get("class", "").split()

    def find_all(self, cls):
        found = [self] if cls in self.classes else []
        for child in self.children:
            found += child.find_all(cls)
        return found

    def find(self, cls):
        return self.find_all(cls)[0]

    def all_text(self):
        return self.text + "".join(c.all_text() + c.tail for c in self.children)


class PageParser(html.parser.HTMLParser):
    VOID = frozenset({"meta", "input"})

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.root = Node("#root", {})
        self.stack = [self.root]
        self.root.tail = ""

    def handle_starttag(self, tag, attrs):
        node = Node(tag, attrs)
        node.tail = ""
        self.stack[-1].children.append(node)
        if tag not in self.VOID:
            self.stack.append(node)

    def handle_endtag(self, tag):
        assert self.stack[-1].tag == tag, f"</{tag}> closes <{self.stack[-1].tag}>"
        self.stack.pop()

    def handle_data(self, data):
        top = self.stack[-1]
        if top.children:
            top.children[-1].tail += data
        else:
            top.text += data


def parse(page):
    parser = PageParser()
    parser.feed(page)
    parser.close()
    assert parser.stack == [parser.root], "unclosed elements"
    return parser.root


def rows_of(panel):
    """(number, symbol, classes, content element) of every row of a panel."""
    out = []
    for row in panel.find_all("line_container"):
        out.append(
            (
                row.find("line_num_text").all_text(),
                row.find("diff_symbol").all_text(),
                row.classes,
                row.find("line_content"),
            )
        )
    return out


@pytest.fixture
def no_browser(monkeypatch):
    """The browser hand-off, recorded instead of starting a browser."""
    opened = []

    class Browser:
        @staticmethod
        def open(url):
            opened.append(url)
            return False

    monkeypatch.setattr(view, "webbrowser", Browser)
    return opened


def page_of(diff, tmp_path, name="page.html"):
    path = diff.generate_html(output_file=str(tmp_path / name), auto_open=False)
    return pathlib.Path(path).read_bytes().decode("utf-8")


def panels(diff, tmp_path):
    root = parse(page_of(diff, tmp_path))
    left, right = root.find_all("diff_panel")
    return rows_of(left), rows_of(right)


# ---- module and interface ----


def test_module_namespace_in_load_order():
    public = [k for k in vars(view) if not k.startswith("__")]
    assert public == [
        "difflib",
        "os",
        "tempfile",
        "webbrowser",
        "datetime",
        "np",
        "display_tree",
        "display_array",
        "BeautifulHtmlDiff",
        "compare",
    ]
    assert view.datetime is datetime.datetime and view.difflib is difflib
    assert view.__doc__ is None


CLASS_DOC = """
    A class to generate beautiful HTML diff between two texts or files.

    This class takes either two text strings or two file paths and generates
    an interactive HTML view showing the differences with character-level
    highlighting.
    """


def test_class_is_a_plain_class_with_methods_in_order(docstring):
    assert BHD.__bases__ == (object,) and type(BHD) is type
    assert [k for k in vars(BHD) if not k.startswith("__") or k == "__init__"] == [
        "__init__",
        "_read_file",
        "_char_level_diff",
        "_get_custom_css",
        "_get_javascript",
        "_escape_html",
        "_get_symbol_and_class",
        "generate_html",
    ]
    assert BHD.__doc__ == docstring(CLASS_DOC)


@pytest.mark.parametrize(
    "func, signature",
    [
        (
            BHD.__init__,
            (
                "(self, text1: 'str | None' = None, text2: 'str | None' = None, "
                "file1: 'str | None' = None, file2: 'str | None' = None) -> 'None'"
            ),
        ),
        (BHD._read_file, "(self, filepath: 'str') -> 'list[str]'"),
        (BHD._char_level_diff, "(self, text1: 'str', text2: 'str') -> 'tuple[str, str]'"),
        (
            BHD._get_symbol_and_class,
            "(self, css_class: 'str', is_left: 'bool' = True) -> 'tuple[str, str]'",
        ),
        (
            BHD.generate_html,
            "(self, output_file: 'str | None' = None, auto_open: 'bool' = True) -> 'str'",
        ),
        (
            view.compare,
            (
                "(arg1: 'str', arg2: 'str', output_file: 'str | None' = None, "
                "auto_open: 'bool' = True) -> 'str'"
            ),
        ),
    ],
)
def test_signatures(func, signature):
    assert str(inspect.signature(func)) == signature


GENERATE_HTML_DOC = """
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
        """

COMPARE_DOC = """
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
        >>> text_a = "Hello\\nWorld"
        >>> text_b = "Hello\\nPython"
        >>> html_path = compare(text_a, text_b, auto_open=True)
    """


def test_docstring_layout_keeps_its_indentation(docstring):
    assert BHD.generate_html.__doc__ == docstring(GENERATE_HTML_DOC)
    assert view.compare.__doc__ == docstring(COMPARE_DOC)


# ---- constructor and file reading ----


@pytest.mark.parametrize(
    "kwargs, lines1, lines2",
    [
        ({"text1": "a\nb", "text2": "a\nc"}, ["a\n", "b"], ["a\n", "c"]),
        ({"text1": "", "text2": ""}, [], []),
        (
            {"text1": "x\r\ny\r\n", "text2": "p\fq\u2028r\x1cs"},
            ["x\r\n", "y\r\n"],
            ["p\f", "q\u2028", "r\x1c", "s"],
        ),
        ({"text1": "t", "text2": "u", "file1": "left.txt"}, ["t"], ["u"]),
        ({"text1": "t", "text2": "u", "file1": "left.txt", "file2": ""}, ["t"], ["u"]),
    ],
)
def test_text_mode(kwargs, lines1, lines2, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    d = BHD(**kwargs)
    assert (d.lines1, d.lines2, d.name1, d.name2) == (lines1, lines2, "Text 1", "Text 2")


@pytest.mark.parametrize(
    "kwargs",
    [{}, {"text1": "a"}, {"file1": "f", "text2": "b"}, {"file1": "", "file2": "", "text1": "a"}],
)
def test_neither_pair_is_refused(kwargs):
    with pytest.raises(ValueError, match="^Need to provide either two files or two text contents$"):
        BHD(**kwargs)


def test_file_mode_wins_and_names_are_base_names(tmp_path):
    (tmp_path / "sub").mkdir()
    a, b = tmp_path / "sub" / "old.cfg", tmp_path / "new.cfg"
    a.write_bytes(b"x\r\ny\fz\xe2\x80\xa8w\n")
    b.write_bytes(b"one\rtwo")
    d = BHD(text1="ignored", text2="ignored", file1=str(a), file2=str(b))
    assert d.lines1 == ["x\n", "y\fz\u2028w\n"]  # newline translation only; \f and U+2028 stay
    assert d.lines2 == ["one\n", "two"]
    assert (d.name1, d.name2) == ("old.cfg", "new.cfg")


@pytest.mark.parametrize(
    "data, expected",
    [
        ("héllo ✓\n".encode(), "héllo ✓\n"),
        ("中文配置\n".encode("gbk"), "中文配置\n"),
        (b"\xff\xfe\x80 raw\n", "\xff\xfe\x80 raw\n"),
    ],
)
def test_encoding_fallback(tmp_path, data, expected):
    path = tmp_path / "f.txt"
    path.write_bytes(data)
    assert BHD(file1=str(path), file2=str(path)).lines1 == [expected]


@pytest.fixture
def recorded_open(monkeypatch):
    """The builtin open, wrapped in the module namespace to record the encodings tried."""
    tried = []

    def recording(path, mode, encoding):
        tried.append(encoding)
        return open(path, mode, encoding=encoding)

    monkeypatch.setattr(view, "open", recording, raising=False)
    return tried


def test_encodings_are_tried_in_order_only_after_decode_errors(tmp_path, recorded_open):
    path = tmp_path / "latin.txt"
    path.write_bytes(b"\xff\xff\n")
    BHD(file1=str(path), file2=str(path))
    assert recorded_open == ["utf-8", "gbk", "latin-1"] * 2
    recorded_open.clear()
    with pytest.raises(FileNotFoundError):
        BHD(file1=str(tmp_path / "missing"), file2=str(path))
    assert recorded_open == ["utf-8"]
    with pytest.raises(IsADirectoryError):
        BHD(file1=str(tmp_path), file2=str(path))


def test_undecodable_everywhere_raises_plain_exception(tmp_path, monkeypatch):
    def undecodable(path, mode, encoding):
        raise UnicodeDecodeError(encoding, b"\xff", 0, 1, "bad")

    monkeypatch.setattr(view, "open", undecodable, raising=False)
    with pytest.raises(Exception) as info:
        BHD(file1="a b.txt", file2="c")
    assert type(info.value) is Exception
    assert str(info.value) == "Cannot read file a b.txt, tried multiple encodings"


def test_read_file_result_must_be_a_list(monkeypatch):
    class Handle:
        def __enter__(self):
            return self

        def __exit__(self, *exc):
            return False

        def readlines(self):
            return ("a", "b")

    monkeypatch.setattr(view, "open", lambda *a, **k: Handle(), raising=False)
    with pytest.raises(TypeError, match="_read_file"):
        BHD(file1="x", file2="y")


@pytest.mark.parametrize(
    "call, param",
    [
        (lambda: BHD(text1=b"a", text2="b"), "text1"),
        (lambda: BHD(text1="a", text2=type("S", (str,), {})("b")), "text2"),
        (lambda: BHD(file1=pathlib.Path("x"), file2="y"), "file1"),
        (lambda: BHD(text1="a", text2="b")._read_file(pathlib.Path("x")), "filepath"),
        (lambda: BHD(text1="a", text2="b")._escape_html(None), "text"),
        (lambda: BHD(text1="a", text2="b")._char_level_diff("a", None), "text2"),
        (lambda: BHD(text1="a", text2="b")._get_symbol_and_class(1), "css_class"),
        (lambda: BHD(text1="a", text2="b").generate_html(output_file=3), "output_file"),
        (lambda: view.compare("a", 1), "arg2"),
        (lambda: view.compare("a", "b", output_file=b"x"), "output_file"),
    ],
)
def test_exact_types_are_enforced(call, param):
    with pytest.raises(TypeError, match=f"'{param}'"):
        call()


# ---- escaping, character marking, symbols ----


@pytest.mark.parametrize(
    "text, expected",
    [
        ("a<b>&c", "a&lt;b&gt;&amp;c"),
        ("&lt;", "&amp;lt;"),
        ('"it\'s"\x00é', '"it\'s"\x00é'),
        ("", ""),
    ],
)
def test_escape_html(text, expected):
    assert BHD(text1="", text2="")._escape_html(text) == expected


def eq(s):
    return f'<span class="char-equal">{s}</span>'


def de(s):
    return f'<span class="char-del">{s}</span>'


def ad(s):
    return f'<span class="char-add">{s}</span>'


@pytest.mark.parametrize(
    "a, b, left, right",
    [
        ("x<y", "x<y", "x&lt;y", "x&lt;y"),
        ("", "", "", ""),
        ("abc", "abd", eq("ab") + de("c"), eq("ab") + ad("d")),
        ("", "abc", "", ad("abc")),
        ("abc", "", de("abc"), ""),
        (
            "set volt 5",
            "set new volt 5",
            eq("set") + eq(" volt 5"),
            eq("set") + ad(" new") + eq(" volt 5"),
        ),
        ("a<b", "a>b", eq("a") + de("&lt;") + eq("b"), eq("a") + ad("&gt;") + eq("b")),
        (
            "x" * 150 + "ab" + "y" * 100,
            "x" * 150 + "ac" + "y" * 100,
            eq("x" * 150 + "a") + de("b" + "y" * 100),
            eq("x" * 150 + "a") + ad("c" + "y" * 100),
        ),
    ],
)
def test_char_level_diff(a, b, left, right):
    assert BHD(text1="", text2="")._char_level_diff(a, b) == (left, right)


@pytest.mark.parametrize(
    "css_class, is_left, expected",
    [
        ("diff_del_left", True, ("-", "diff_del")),
        ("diff_del_left", False, (" ", "")),
        ("diff_add_right", False, ("+", "diff_add")),
        ("diff_add_right", True, (" ", "")),
        ("diff_replace_left", 1, ("-", "diff_replace")),
        ("diff_replace_right", None, ("+", "diff_replace")),
        ("diff_replace_right", "", ("+", "diff_replace")),
        ("diff_replace_left", "no", ("-", "diff_replace")),
        ("equal_line", True, (" ", "")),
        ("extra diff_del_left", True, ("-", "diff_del")),
    ],
)
def test_symbol_and_class(css_class, is_left, expected):
    d = BHD(text1="", text2="")
    result = d._get_symbol_and_class(css_class, is_left=is_left)
    assert result == expected
    assert result is d._get_symbol_and_class(css_class, is_left)


def test_side_truth_value_is_taken_only_after_a_match():
    class Loud:
        def __bool__(self):
            raise RuntimeError("asked")

    d = BHD(text1="", text2="")
    assert d._get_symbol_and_class("equal_line", Loud()) == (" ", "")
    with pytest.raises(RuntimeError, match="asked"):
        d._get_symbol_and_class("diff_del_left", Loud())


# ---- the row model ----


def summary(rows):
    return [(n, s, " ".join(c), el.all_text()) for n, s, c, el in rows]


def brief(rows):
    """Each row as "number symbol last-class text", e.g. "2 - diff_replace_left old"."""
    return [f"{n} {s} {c.split()[-1]} {t}" for n, s, c, t in summary(rows)]


@pytest.mark.parametrize(
    "a, b, left, right",
    [
        (
            "p\nq\n",
            "p\nq\n",
            ["1   equal_line p", "2   equal_line q"],
            ["1   equal_line p", "2   equal_line q"],
        ),
        ("", "a\nb", [], ["1 + diff_add_right a", "2 + diff_add_right b"]),
        (
            "k\nold\nz",
            "k\nnew\nnew2\nnew3\nz",
            ["1   equal_line k", "2 - diff_replace_left old", "3   equal_line z"],
            [
                "1   equal_line k",
                "2 + diff_replace_right new",
                "3 + diff_add_right new2",
                "4 + diff_add_right new3",
                "5   equal_line z",
            ],
        ),
        (
            "o1\no2\no3",
            "n1",
            ["1 - diff_replace_left o1", "2 - diff_del_left o2", "3 - diff_del_left o3"],
            ["1 + diff_replace_right n1"],
        ),
        (
            "gone1\ngone2\nkeep\n",
            "keep\n",
            ["1 - diff_del_left gone1", "2 - diff_del_left gone2", "3   equal_line keep"],
            ["1   equal_line keep"],
        ),
        ("x", "x\n", ["1 - diff_replace_left x"], ["1 + diff_replace_right x"]),
        (
            "a\r\nb",
            "a\nb",
            ["1 - diff_replace_left a\r", "2   equal_line b"],
            ["1 + diff_replace_right a", "2   equal_line b"],
        ),
        (
            "\n<&>\n",
            "\n<&>\n",
            ["1   equal_line  ", "2   equal_line <&>"],
            ["1   equal_line  ", "2   equal_line <&>"],
        ),
    ],
)
def test_rows(a, b, left, right, tmp_path):
    got_left, got_right = panels(BHD(text1=a, text2=b), tmp_path)
    assert (brief(got_left), brief(got_right)) == (left, right)
    tails = {
        "equal_line": "equal_line",
        "diff_del_left": "diff_del diff_del_left",
        "diff_add_right": "diff_add diff_add_right",
        "diff_replace_left": "diff_replace diff_replace_left",
        "diff_replace_right": "diff_replace diff_replace_right",
    }
    for _, _, classes, _ in summary(got_left + got_right):
        assert classes == "line_container " + tails[classes.split()[-1]]


def test_only_replaced_pairs_carry_character_spans(tmp_path):
    left, right = panels(BHD(text1="same<\nold<\nsurplus<\n", text2="same<\nnew<\n"), tmp_path)
    assert [[c.classes[0] for c in el.children] for *_, el in left] == [
        [],
        ["char-del", "char-equal"],
        [],
    ]
    assert [[c.classes[0] for c in el.children] for *_, el in right] == [
        [],
        ["char-add", "char-equal"],
    ]
    assert [el.all_text() for *_, el in left] == ["same<", "old<", "surplus<"]


# ---- the page ----


GOLDEN = pathlib.Path(__file__).parent / "golden"
STAMP = re.compile(r"(?<=\u23F1\uFE0F )(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)(?=</span>)")


def as_golden(d, page):
    """The page with its style sheet, script and timestamp replaced by the markers that stand for
    them in the golden files (those three are checked on their own)."""
    page = page.replace(d._get_custom_css(), "{css}", 1).replace(d._get_javascript(), "{js}", 1)
    return STAMP.sub("{timestamp}", page, count=1)


@pytest.mark.parametrize(
    "text1, text2, golden",
    [
        ("keep\nold & <b>\n\n", "keep\nnew & <b>\n\nadded\n", "exact_page.html"),
        ("", "", "empty_page.html"),
        ("a", "", "one_line_page.html"),
    ],
)
def test_exact_page(tmp_path, text1, text2, golden):
    d = BHD(text1=text1, text2=text2)
    before = datetime.datetime.now().replace(microsecond=0)
    raw = pathlib.Path(
        d.generate_html(output_file=str(tmp_path / "p.html"), auto_open=False)
    ).read_bytes()
    after = datetime.datetime.now()
    page = raw.decode("utf-8")
    stamp = STAMP.search(page).group(1)
    assert before <= datetime.datetime.strptime(stamp, "%Y-%m-%d %H:%M:%S") <= after
    assert as_golden(d, page) == (GOLDEN / golden).read_bytes().decode("utf-8")
    assert not raw.startswith(b"\xef\xbb\xbf") and b"\r" not in raw and page.endswith("</html>")


def test_style_sheet_and_script_are_wrapped_elements():
    d = BHD(text1="", text2="")
    css, js = d._get_custom_css(), d._get_javascript()
    assert css.startswith(
        "\n        <style>\n            * {\n                box-sizing: border-box;"
    )
    assert css.endswith("\n            }\n        </style>\n        ")
    assert js.startswith("\n        <script>\n            ") and js.endswith(
        "\n        </script>\n        "
    )
    body = css.split("\n")[2:-2]
    assert all(line.startswith(" " * 12) for line in body)
    rules = re.findall(r"^ {12}([^ /}\n][^{\n]*) \{$", css, re.MULTILINE)
    assert (
        len(rules) == 56
        and rules[0] == "*"
        and rules[-1] == ".panel_content::-webkit-scrollbar-thumb:hover"
    )
    assert ".line_container.highlight" in rules and rules.index(".diff_panel") < rules.index(
        ".diff_panel:last-child"
    )
    for name in PAGE_FUNCTIONS:
        assert f"function {name}(" in js
    assert css == d._get_custom_css() and js == d._get_javascript()


# ---- output and browser hand-off ----


def test_relative_output_file(tmp_path, monkeypatch, no_browser):
    monkeypatch.chdir(tmp_path)
    assert BHD(text1="a", text2="b").generate_html(output_file="out.html") == "out.html"
    assert (tmp_path / "out.html").read_text(encoding="utf-8").endswith("</html>")
    assert no_browser == ["file://" + str(tmp_path / "out.html")]


def test_temporary_page(tmp_path, monkeypatch, no_browser):
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    d = BHD(text1="a", text2="b")
    first, second = d.generate_html(), d.generate_html(None, True)
    for path in (first, second):
        name = os.path.basename(path)
        assert (
            os.path.dirname(path) == str(tmp_path)
            and name.startswith("diff_")
            and name.endswith(".html")
        )
        assert pathlib.Path(path).read_text(encoding="utf-8").startswith("<!DOCTYPE html>")
    assert first != second and no_browser == ["file://" + first, "file://" + second]


@pytest.mark.parametrize(
    "auto_open, opens",
    [
        (0, False),
        ("", False),
        (None, False),
        ([], False),
        (1, True),
        ("no", True),
        ([0], True),
        (object(), True),
    ],
)
def test_auto_open_is_used_by_truth_value(auto_open, opens, tmp_path, no_browser):
    BHD(text1="a", text2="b").generate_html(str(tmp_path / "p.html"), auto_open)
    assert len(no_browser) == int(opens)


@pytest.mark.parametrize("name", ["a b.html", "x#1.html", "what?.html", "100%.html", "ü.html"])
def test_browser_gets_a_proper_file_uri(name, tmp_path, no_browser):
    path = BHD(text1="a", text2="b").generate_html(str(tmp_path / name))
    (url,) = no_browser
    assert url.startswith("file:///") and not set(url[7:]) & set(" #?")
    assert urllib.request.url2pathname(urllib.parse.urlsplit(url).path) == path
    assert "file://" + urllib.parse.quote(path, safe="/") == url


def test_failures_leave_no_file_and_start_no_browser(tmp_path, monkeypatch, no_browser):
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    with pytest.raises(TypeError):
        BHD(text1="a", text2="b").generate_html(output_file=7)

    class Broken(BHD):
        def _get_javascript(self):
            raise KeyError("script")

    with pytest.raises(KeyError, match="script"):
        Broken(text1="a", text2="b").generate_html()
    assert list(tmp_path.iterdir()) == []
    with pytest.raises(IsADirectoryError):
        BHD(text1="a", text2="b").generate_html(output_file=str(tmp_path))
    with pytest.raises(FileNotFoundError):
        BHD(text1="a", text2="b").generate_html(output_file=str(tmp_path / "no" / "p.html"))
    assert no_browser == []


def test_file_names_cannot_add_markup(tmp_path):
    evil = "<img src=x onerror=alert(1)>.txt"
    (tmp_path / evil).write_text("a\n")
    (tmp_path / "b&c.txt").write_text("b\n")
    d = BHD(file1=str(tmp_path / evil), file2=str(tmp_path / "b&c.txt"))
    root = parse(page_of(d, tmp_path))
    names = root.find_all("file_name")
    assert [(n.all_text(), n.children) for n in names] == [(evil, []), ("b&c.txt", [])]
    assert not any(n.tag == "img" for n in walk(root))


def walk(node):
    yield node
    for child in node.children:
        yield from walk(child)


# ---- overrides and rebinding ----


def test_overrides_in_a_subclass_shape_the_page(tmp_path):
    calls = []

    class Shouting(BHD):
        def _escape_html(self, text):
            calls.append(text)
            return html.escape(text).upper()

        def _get_symbol_and_class(self, css_class, is_left=True):
            return ("L" if is_left else "R", "mine" if css_class != "equal_line" else "")

    d = Shouting(text1="same\nold'\n", text2="same\nnew'\n")
    assert d._char_level_diff("a'", "b'") == (de("A") + eq("&#X27;"), ad("B") + eq("&#X27;"))
    left, right = panels(d, tmp_path)
    assert summary(left) == [
        ("1", "L", "line_container equal_line", "SAME"),
        ("2", "L", "line_container mine diff_replace_left", "OLD'"),
    ]
    assert summary(right)[1][:3] == ("2", "R", "line_container mine diff_replace_right")
    assert "Text 1" in calls and "Text 2" in calls  # the panel names go through the override too

    class Marked(BHD):
        def _char_level_diff(self, text1, text2):
            return (f"<b>{text1}</b>", f"<i>{text2}</i>")

    left, right = panels(Marked(text1="x\n", text2="y\n"), tmp_path)
    assert (left[0][3].children[0].tag, right[0][3].children[0].tag) == ("b", "i")


def test_rebinding_module_names_is_honoured(tmp_path, monkeypatch, no_browser):
    class Matcher:
        def __init__(self, isjunk, a, b):
            self.a, self.b = a, b

        def get_opcodes(self):
            if isinstance(self.a, str):
                return [("replace", 0, len(self.a), 0, len(self.b))]
            return [["delete", 0, 1, 0, 0], ("nonsense", 0, 9, 0, 9), ("insert", 1, 1, 0, 1)]

    monkeypatch.setattr(view, "difflib", type("fake_difflib", (), {"SequenceMatcher": Matcher}))
    made = []

    class Temp:
        @staticmethod
        def mkstemp(suffix, prefix, dir):
            made.append((suffix, prefix, dir))
            return tempfile.mkstemp(suffix, "mine_", str(tmp_path))

    monkeypatch.setattr(view, "tempfile", Temp)
    d = BHD(text1="a\nb", text2="a\nc")
    assert d._char_level_diff("ab", "ac") == (de("ab"), ad("ac"))
    path = d.generate_html()
    assert made == [(".html", "diff_", None)] and os.path.basename(path).startswith("mine_")
    left, right = panels(d, tmp_path)
    assert [(n, " ".join(c)) for n, _, c, _ in left] == [
        ("1", "line_container diff_del diff_del_left")
    ]
    assert [(n, " ".join(c)) for n, _, c, _ in right] == [
        ("1", "line_container diff_add diff_add_right")
    ]
    assert no_browser == ["file://" + path]


# ---- compare ----


@pytest.fixture
def recorded_diffs(monkeypatch):
    made = []

    class Recorder:
        def __init__(self, **kwargs):
            made.append(kwargs)

        def generate_html(self, **kwargs):
            made.append(kwargs)
            return kwargs.get("output_file") or "page.html"

    monkeypatch.setattr(view, "BeautifulHtmlDiff", Recorder)
    return made


def test_compare_decides_per_argument(tmp_path, monkeypatch, recorded_diffs):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "a.txt").write_text("a")
    (tmp_path / "b.txt").write_text("b")
    (tmp_path / "dir").mkdir()
    os.symlink("a.txt", tmp_path / "link.txt")
    marker = object()
    cases = [
        (("a.txt", "b.txt"), "file"),
        (("link.txt", "a.txt"), "file"),
        (("a.txt", "plain"), "text"),
        (("dir", "b.txt"), "text"),
        (("", ""), "text"),
        (("x", "y"), "text"),
    ]
    for (a, b), mode in cases:
        assert view.compare(a, b, auto_open=marker) == "page.html"
        keys = ("file1", "file2") if mode == "file" else ("text1", "text2")
        assert recorded_diffs[-2:] == [
            dict(zip(keys, (a, b))),
            {"output_file": None, "auto_open": marker},
        ]


def test_compare_end_to_end(tmp_path, no_browser):
    old, new = tmp_path / "old.ini", tmp_path / "new.ini"
    old.write_text("rate=1\n")
    new.write_text("rate=2\n")
    out = view.compare(str(old), str(new), output_file=str(tmp_path / "o.html"))
    root = parse(pathlib.Path(out).read_text(encoding="utf-8"))
    assert [n.all_text() for n in root.find_all("file_name")] == ["old.ini", "new.ini"]
    mixed = view.compare(str(old), "rate=2", output_file=str(tmp_path / "m.html"), auto_open=False)
    left = rows_of(parse(pathlib.Path(mixed).read_text(encoding="utf-8")).find("diff_panel"))
    assert [el.all_text() for *_, el in left] == [str(old)]
    assert no_browser == ["file://" + out]


@pytest.mark.parametrize(
    "result, ok", [("p", True), (None, True), (5, False), (type("S", (str,), {})("p"), False)]
)
def test_compare_checks_what_generate_html_returns(result, ok, monkeypatch):
    class Fake:
        def __init__(self, **kwargs):
            pass

        def generate_html(self, **kwargs):
            return result

    monkeypatch.setattr(view, "BeautifulHtmlDiff", Fake)
    if ok:
        assert view.compare("a", "b") == result
    else:
        with pytest.raises(TypeError, match="compare"):
            view.compare("a", "b")


# ---- command line ----

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def run_diff(*args, cwd, **env):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), **env)
    return subprocess.run(
        [sys.executable, "-m", "pelorix", "diff", *args],
        check=False,
        capture_output=True,
        text=True,
        env=env,
        cwd=cwd,
        timeout=60,
    )


def test_command_line_writes_opens_and_prints_the_page(tmp_path):
    browser = tmp_path / "browser"
    browser.write_text(f'#!/bin/sh\necho "$1" > {tmp_path}/opened\n')
    browser.chmod(0o755)
    out_dir = tmp_path / "my pages #1"
    out_dir.mkdir()
    r = run_diff(
        str(EXAMPLES / "setup_old.ini"),
        str(EXAMPLES / "setup_new.ini"),
        "-o",
        "my pages #1/d.html",
        cwd=tmp_path,
        BROWSER=str(browser),
    )
    assert (r.returncode, r.stdout, r.stderr) == (0, "my pages #1/d.html\n", "")
    assert (tmp_path / "opened").read_text() == "file://" + urllib.parse.quote(
        str(out_dir / "d.html")
    ) + "\n"
    page = (out_dir / "d.html").read_text(encoding="utf-8")
    root = parse(page)
    assert [n.all_text() for n in root.find_all("file_name")] == ["setup_old.ini", "setup_new.ini"]
    # the windowed page: its rows as data, replaced pairs and inserted lines among them
    pairs = json.loads(re.search(r'"pairs":(\[[0-9,]*\])', page)[1])
    assert {run % 4 for run in pairs} >= {1, 3}


def test_command_line_without_a_browser_names_the_page_on_stderr(tmp_path):
    r = run_diff(
        str(EXAMPLES / "setup_old.ini"),
        str(EXAMPLES / "setup_new.ini"),
        "-o",
        "d.html",
        cwd=tmp_path,
        BROWSER="false",
    )
    assert (r.returncode, r.stdout, r.stderr) == (0, "d.html\n", "open d.html in a browser\n")
    assert (tmp_path / "d.html").is_file()


@pytest.mark.parametrize(
    "args, message",
    [
        (["missing.ini", "b.ini"], "pelorix diff: no such file: missing.ini"),
        ([".", "b.ini"], "pelorix diff: not a regular file: ."),
        (
            ["b.ini", "b.ini", "-o", "no/such/dir.html"],
            "pelorix diff: [Errno 2] No such file or directory: 'no/such/dir.html'",
        ),
    ],
)
def test_command_line_failures_are_one_line(tmp_path, args, message):
    (tmp_path / "b.ini").write_text("b\n")
    r = run_diff(*args, "--no-open", cwd=tmp_path)
    assert (r.returncode, r.stdout, r.stderr) == (1, "", message + "\n")


# The windowed page at every size; --page forces either form.
@pytest.mark.parametrize(
    "lines, args, windowed",
    [
        (3, [], True),
        (2501, [], True),
        (3, ["--page", "windowed"], True),
        (3, ["--page", "full"], False),
    ],
)
def test_command_line_chooses_the_page_form(tmp_path, lines, args, windowed):
    for name, word in (("old.txt", "old"), ("new.txt", "new")):
        (tmp_path / name).write_text(
            "".join(f"{i} {word if i % 99 == 0 else ''}\n" for i in range(lines))
        )
    r = run_diff("old.txt", "new.txt", "-o", "d.html", "--no-open", *args, cwd=tmp_path)
    page = (tmp_path / "d.html").read_text(encoding="utf-8")
    assert (r.returncode, r.stdout) == (0, "d.html\n")
    assert ('id="find-input"' in page, f"{lines} lines</span>" in page) == (windowed, True)


# ---- any texts: rows, numbering and no markup from the texts ----

PIECES = [
    "a",
    "b",
    "<",
    ">",
    "&",
    "&lt;",
    "\r",
    "\r\n",
    "\n",
    "\f",
    "\u2028",
    "\x1c",
    " ",
    "é",
    '"',
    "'",
]
texts = st.lists(st.sampled_from(PIECES), max_size=30).map("".join)
names = st.text(st.sampled_from(["<", ">", "&", "x", '"', " ", "b"]), max_size=8)


@settings(max_examples=150, deadline=None)
@given(a=texts, b=texts, name1=names, name2=names)
def test_any_texts_give_one_row_per_line_and_no_markup(a, b, name1, name2, tmp_path_factory):
    d = BHD(text1=a, text2=b)
    d.name1, d.name2 = name1, name2
    root = parse(page_of(d, tmp_path_factory.mktemp("p")))
    left, right = root.find_all("diff_panel")
    for panel, lines, name in ((left, d.lines1, name1), (right, d.lines2, name2)):
        rows = rows_of(panel)
        assert [n for n, *_ in rows] == [str(i) for i in range(1, len(lines) + 1)]
        for (_, _, _, content), line in zip(rows, lines):
            assert all(
                c.tag == "span"
                and len(c.classes) == 1
                and not c.children
                and c.classes[0] in ("char-equal", "char-del", "char-add")
                for c in content.children
            )
            assert content.all_text() == (line.rstrip("\n") or " ")
        file_name = panel.find("file_name")
        assert file_name.children == [] and file_name.all_text() == name
    assert [c.classes for c in root.find("diff_view").children] == [
        ["diff_panel"],
        ["diff_divider"],
        ["diff_panel"],
    ]
