"""display_tree prints through the real Rich console; display_array hands LaTeX to the real IPython
display machinery."""

import collections
import inspect
import json
import os
import subprocess
import sys
import textwrap
import types

import numpy as np
import pytest
from IPython.core.interactiveshell import InteractiveShell
from IPython.utils.capture import capture_output

from pelorix.toolkit import view


@pytest.fixture
def tree(capsys, monkeypatch):
    """Calls display_tree and returns the printed lines, trailing blanks removed."""
    for var in ("FORCE_COLOR", "TTY_COMPATIBLE", "TTY_INTERACTIVE", "JUPYTER_COLUMNS"):
        monkeypatch.delenv(var, raising=False)
    monkeypatch.setenv("COLUMNS", "80")

    def show(*args, **kw):
        capsys.readouterr()
        view.display_tree(*args, **kw)
        return [line.rstrip() for line in capsys.readouterr().out.splitlines()]

    return show


class Plain(dict):
    pass


EXAMPLE = {"a": 1, "b": {"c": 2, "d": 3}}


@pytest.mark.parametrize("args, kw, lines", [
    ((EXAMPLE,), {},
     ["root", "├── a: 1", "│", "└── b", "    ├── c: 2", "    │", "    └── d: 3", ""]),
    ((EXAMPLE,), {"end": ""}, ["root", "├── a: 1", "└── b", "    ├── c: 2", "    └── d: 3"]),
    (({},), {}, ["root"]),
    (({}, "Config"), {}, ["Config"]),
    (({"x": {}},), {}, ["root", "└── x"]),
    (({"a": {"b": {}}, "c": {}},), {}, ["root", "├── a", "│   └── b", "└── c"]),
    (({3: None, (1, 2): 0.5, None: True},), {"end": ""},
     ["root", "├── 3: None", "├── (1, 2): 0.5", "└── None: True"]),
    # mappings that are not dicts are leaves; dict subclasses nested inside are branches
    (({"m": types.MappingProxyType({"k": 1}), "u": collections.UserDict(k=1),
       "o": collections.OrderedDict(k=1)},), {"end": ""},
     ["root", "├── m: {'k': 1}", "├── u: {'k': 1}", "└── o", "    └── k: 1"]),
    (({"k": "v"},), {"end": " <"}, ["root", "└── k: v <"]),
    (({"k": "v"}, "[italic]run [red]7[/red][/italic]"), {}, ["run 7", "└── k: v", ""]),
], ids=["docstring-example", "no-end", "empty", "title", "empty-branch", "nested-empty",
        "non-str-keys", "mappings", "custom-end", "title-is-markup"])
def test_tree_layout(tree, args, kw, lines):
    assert tree(*args, **kw) == lines


@pytest.mark.parametrize("data, lines", [
    ({"[red]x": "[/x]"}, ["└── [red]x: [/x]"]),
    ({"[/green][/bold]": "[bold]v[/bold]"}, ["└── [/green][/bold]: [bold]v[/bold]"]),
    ({"[b]": {"[/b]": "[/#00ff00aa]"}}, ["└── [b]", "    └── [/b]: [/#00ff00aa]"]),
    # a trailing backslash must not swallow the closing tag of the label
    ({"path": "C:\\", "next": 1}, ["├── path: C:\\", "└── next: 1"]),
], ids=["tags", "closing-tags", "nested", "trailing-backslash"])
def test_keys_and_values_are_shown_as_typed(tree, data, lines):
    assert tree(data, end="") == ["root", *lines]


def test_keys_are_bold_green_and_the_title_bold(capsys, monkeypatch):
    monkeypatch.setenv("FORCE_COLOR", "1")
    view.display_tree({"a": 1, "b": {"c": "[red]x"}}, end="")
    out = capsys.readouterr().out
    assert "\x1b[1mroot\x1b[0m" in out
    for key in "abc":
        assert f"\x1b[1;32m{key}\x1b[0m" in out
    assert "[red]x" in out and "\x1b[31m" not in out


@pytest.mark.parametrize("args, kw, param", [
    ((Plain(),), {}, "d"),
    ((None,), {}, "d"),
    (([("a", 1)],), {}, "d"),
    (({}, None), {}, "title"),
    (({}, type("S", (str,), {})("x")), {}, "title"),
    (({},), {"end": 0}, "end"),
    ((), {"d": {}, "title": "t", "end": b"\n"}, "end"),
])
def test_tree_refuses_inexact_types_before_importing(tree, monkeypatch, args, kw, param):
    monkeypatch.setitem(sys.modules, "rich.console", None)
    with pytest.raises(TypeError, match=f"argument '{param}' must be"):
        view.display_tree(*args, **kw)


def test_rich_is_imported_at_every_call(tree, monkeypatch):
    assert tree({}) == ["root"]
    with monkeypatch.context() as m:
        m.setitem(sys.modules, "rich.tree", None)
        with pytest.raises(ImportError, match="rich.tree"):
            view.display_tree({})
    assert tree({}) == ["root"]


def test_rich_is_imported_through_the_builtin_import(tree, monkeypatch):
    import builtins

    seen = []
    real = builtins.__import__

    def spy(name, globals=None, locals=None, fromlist=(), level=0):
        seen.append((name, tuple(fromlist or ()), level, (globals or {}).get("__name__")))
        return real(name, globals, locals, fromlist, level)

    monkeypatch.setattr(builtins, "__import__", spy)
    tree({})
    assert seen[:2] == [("rich.console", ("Console",), 0, "pelorix.toolkit.view"),
                        ("rich.tree", ("Tree",), 0, "pelorix.toolkit.view")]


class Loud:
    def __format__(self, format_spec):
        raise ArithmeticError("no text for this value")


def test_errors_while_building_propagate_and_nothing_is_printed(tree, capsys):
    with pytest.raises(ArithmeticError, match="no text"):
        view.display_tree({"a": 1, "b": {"c": Loud()}})
    assert capsys.readouterr().out == ""


def test_title_stays_markup_so_broken_markup_in_it_fails(tree):
    from rich.errors import MarkupError

    with pytest.raises(MarkupError):
        view.display_tree({}, "[/x]")


def test_deep_nesting_is_a_recursion_error_not_a_crash(tree):
    d = {}
    for _ in range(100_000):
        d = {"k": d}
    with pytest.raises(RecursionError):
        view.display_tree(d)


# A thread with a small stack, in a child process so that a crash fails its case alone.
SMALL_STACK = textwrap.dedent("""
    import json, sys, threading
    from pelorix.toolkit import view

    limit, depth = json.loads(sys.argv[1])
    if depth is None:  # a dict that holds itself
        data = {}
        data["self"] = data
    else:  # `depth` dicts, each inside the one before
        data = {}
        for _ in range(depth - 1):
            data = {"k": data}
    outcome = []

    def walk():
        sys.setrecursionlimit(limit)
        try:
            view.display_tree(data, end="")
            outcome.append("printed")
        except RecursionError as e:
            outcome.append(str(e))

    threading.stack_size(512 * 1024)
    thread = threading.Thread(target=walk)
    thread.start()
    thread.join()
    print(json.dumps(outcome))
""")
TOO_DEEP = "maximum recursion depth exceeded while building a tree"


@pytest.mark.parametrize("limit, depth, outcome", [
    (1000, None, TOO_DEEP),
    (1000, 100_000, TOO_DEEP),
    (100, 150, TOO_DEEP),
    (100, 60, "printed"),
], ids=["self-referencing", "deep", "past-a-lowered-limit", "within-a-lowered-limit"])
def test_nesting_is_bounded_by_the_recursion_limit_in_a_small_thread(limit, depth, outcome):
    """Python code recursing through the dicts would stop at sys.getrecursionlimit(); so does the
    native walk, whatever the thread's stack size (512 KB here) and the interpreter allow."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    r = subprocess.run([sys.executable, "-c", SMALL_STACK, json.dumps([limit, depth])],
                       capture_output=True, text=True, env=env, timeout=120, check=False)
    assert r.returncode == 0, r.stderr
    assert json.loads(r.stdout.splitlines()[-1]) == [outcome]


def test_tree_signature_and_doc():
    f = view.display_tree
    assert str(inspect.signature(f)) == "(d: 'dict', title: 'str' = 'root', end: 'str' = '\\n')"
    assert f.__defaults__ == ("root", "\n")
    assert f.__annotations__ == {"d": "dict", "title": "str", "end": "str"}
    assert f.__doc__.startswith("print a dict as a tree in terminal or in Jupyter Notebook.\n\n")
    assert "end (str, optional): end character. Defaults to '\n'.\n\n    Example:\n" in f.__doc__
    assert f.__doc__.endswith("\n             └── d: 3\n    ")


# ---- display_array ----


@pytest.fixture(scope="module")
def shell():
    return InteractiveShell.instance()


MATH = "$\\displaystyle "


def displayed(cap):
    """The display calls seen by IPython, as (kind, LaTeX text) pairs."""
    out = []
    for o in cap.outputs:
        kind = o.data["text/plain"].rsplit(".", 1)[1].split()[0]
        text = o.data["text/latex"]
        if kind == "Math":
            assert text.startswith(MATH) and text.endswith("$")
            text = text[len(MATH):-1]
        out.append((kind, text))
    return out


@pytest.fixture
def latex(shell):
    """Calls display_array and returns the LaTeX text of its single formula."""

    def show(*args, **kw):
        with capture_output() as cap:
            view.display_array(*args, **kw)
        [(kind, text)] = displayed(cap)
        assert kind == "Math"
        return text

    return show


def pm(body, env="pmatrix"):
    return f"\\begin{{{env}}}{body}\\end{{{env}}}"


ROWS12 = [" & ".join(map(str, range(12 * i, 12 * i + 12))) for i in range(12)]


@pytest.mark.parametrize("args, kw, expected", [
    (([1, 2, 3],), {}, pm(r"1 \\ 2 \\ 3")),
    (([[1, 2], [3, 4]],), {}, pm(r"1 & 2 \\ 3 & 4")),
    ((np.arange(12),), {}, pm(r"0 \\ 1 \\ 2 \\ 3 \\ 4 \\ \vdots \\ 7 \\ 8 \\ 9 \\ 10 \\ 11")),
    (([[1, 2]], "bmatrix"), {}, pm("1 & 2", "bmatrix")),
    ((np.arange(12),), {"max_cols": 7}, pm(r"0 \\ 1 \\ 2 \\ \vdots \\ 8 \\ 9 \\ 10 \\ 11")),
    ((np.arange(3),), {"max_cols": 1}, pm(r" \\ \vdots \\ 2")),
    ((np.arange(24).reshape(8, 3),), {},
     pm(r" \\ ".join(f"{3 * i} & {3 * i + 1} & {3 * i + 2}" for i in range(8)))),
    ((np.arange(36).reshape(12, 3),), {},
     pm(r" \\ ".join([*(f"{3 * i} & {3 * i + 1} & {3 * i + 2}" for i in range(6)),
                      r"\vdots & \vdots & \vdots",
                      *(f"{3 * i} & {3 * i + 1} & {3 * i + 2}" for i in range(7, 12))]))),
    ((np.arange(36).reshape(3, 12),), {},
     pm(r" \\ ".join(f"{12 * i} & {12 * i + 1} & {12 * i + 2} & {12 * i + 3} & {12 * i + 4}"
                     rf" & \cdots & {12 * i + 7} & {12 * i + 8} & {12 * i + 9} & {12 * i + 10}"
                     f" & {12 * i + 11}" for i in range(3)))),
    # odd limits: 7 rows show 4 leading and 3 trailing, 5 columns 2 leading and 3 trailing
    ((np.arange(144).reshape(12, 12),), {"max_rows": 7, "max_cols": 5},
     pm(r" \\ ".join([*(rf"{12 * i} & {12 * i + 1} & \cdots & {12 * i + 9} & {12 * i + 10} & "
                        f"{12 * i + 11}" for i in (0, 1, 2, 3)),
                      r"\vdots & \vdots & \ddots &  & \vdots",
                      *(rf"{12 * i} & {12 * i + 1} & \cdots & {12 * i + 9} & {12 * i + 10} & "
                        f"{12 * i + 11}" for i in (9, 10, 11))]))),
    ((np.arange(6).reshape(3, 2),), {"max_rows": 0}, pm(r"0 & 1 \\ \vdots & \vdots")),
    ((np.array([0.5, np.nan, -np.inf]),), {}, pm(r"0.5 \\ nan \\ -inf")),
    ((np.array([[True, False]]), "vmatrix"), {}, pm("True & False", "vmatrix")),
    ((np.array([1 + 2j]),), {}, pm("(1+2j)")),
    ((np.array([]),), {}, pm("")),
    ((np.empty((0, 3)),), {}, pm("")),
    (([],), {}, pm("")),
], ids=["1d", "2d", "1d-long", "bmatrix", "1d-odd-limit", "1d-limit-1", "8x3", "12x3", "3x12",
        "12x12-odd-limits", "no-rows-limit", "floats", "bools", "complex", "empty-1d", "empty-2d",
        "empty-list"])
def test_array_latex(latex, args, kw, expected):
    assert latex(*args, **kw) == expected


def test_large_matrix_with_default_limits(latex):
    text = latex(np.arange(144).reshape(12, 12))
    assert text.startswith(r"\begin{pmatrix}") and text.endswith(r"\end{pmatrix}")
    rows = text[len(r"\begin{pmatrix}"):-len(r"\end{pmatrix}")].split(r" \\ ")
    head = [" & ".join(r.split(" & ")[:5] + [r"\cdots"] + r.split(" & ")[7:]) for r in ROWS12]
    assert rows == [*head[:6], r"\vdots & " * 5 + r"\ddots & " + r" & \vdots" * 4, *head[7:]]
    assert all(len(r.split(" & ")) == 11 for r in rows)


def test_title_is_shown_before_the_formula(shell):
    with capture_output() as cap:
        view.display_array([1], title="T")
        view.display_array([2])
        view.display_array([3], title="")
    assert displayed(cap) == [("Latex", "**T**"), ("Math", pm("1")), ("Math", pm("2")),
                              ("Math", pm("3"))]


@pytest.mark.parametrize("arr", [5, np.zeros((2, 2, 2)), [[[1]]]])
def test_only_one_or_two_dimensions(shell, arr):
    with capture_output() as cap, pytest.raises(AssertionError, match="^Only supports 1D or 2D"):
        view.display_array(arr, title="T")
    assert cap.outputs == []


@pytest.mark.parametrize("title", [None, 1, type("S", (str,), {})("T")])
def test_title_must_be_exactly_str(shell, title):
    with capture_output() as cap, pytest.raises(TypeError, match="argument 'title' must be str"):
        view.display_array([1], title=title)
    assert cap.outputs == []


def test_numpy_and_ipython_are_looked_up_at_call_time(latex, monkeypatch):
    monkeypatch.setattr(view, "np", types.SimpleNamespace(array=lambda a: np.array(a) * 10))
    assert latex([1, 2]) == pm(r"10 \\ 20")
    monkeypatch.setitem(sys.modules, "IPython.display", None)
    with pytest.raises(ImportError, match="IPython.display"):
        view.display_array([1])


def test_conversion_errors_propagate(shell):
    with capture_output() as cap, pytest.raises(ValueError):
        view.display_array([[1, 2], [3]], title="T")
    assert cap.outputs == []


ARRAY_DOC = """
    Display NumPy array, large arrays automatically simplified with ellipsis.

    Args:
        arr (numpy.ndarray): NumPy array to display.
        matrix_type (str): Matrix type 'bmatrix', 'pmatrix', 'vmatrix'.\x20
            Defaults to 'pmatrix'.
        max_rows (int): Maximum number of rows to display. Defaults to 10.
        max_cols (int): Maximum number of columns to display. Defaults to 10.
        title (str, optional): Display title. Defaults to ''.
    """


def test_array_signature_and_doc(docstring):
    f = view.display_array
    assert str(inspect.signature(f)) == (
        "(arr, matrix_type='pmatrix', max_rows=10, max_cols=10, title: 'str' = '')")
    assert f.__defaults__ == ("pmatrix", 10, 10, "")
    assert f.__annotations__ == {"title": "str"}
    assert f.__doc__ == docstring(ARRAY_DOC)


OPTIMIZED = textwrap.dedent("""
    import json
    from IPython.core.interactiveshell import InteractiveShell
    from IPython.utils.capture import capture_output
    import numpy as np
    from pelorix.toolkit import view

    InteractiveShell.instance()
    result = {}
    with capture_output() as cap:
        try:
            view.display_array(np.zeros((2, 2, 2)), title="T")
        except Exception as e:
            result["error"] = [type(e).__name__, str(e)]
        view.display_array([1, 2])
    result["shown"] = [o.data["text/latex"] for o in cap.outputs]
    print(json.dumps(result))
""")


UNBOUND = "cannot access local variable 'latex_str' where it is not associated with a value"


@pytest.mark.parametrize("flags, expected", [
    ([], {"error": ["AssertionError", "Only supports 1D or 2D arrays"],
          "shown": ["$\\displaystyle \\begin{pmatrix}1 \\\\ 2\\end{pmatrix}$"]}),
    (["-O"], {"error": ["UnboundLocalError", UNBOUND],
              "shown": ["**T**", "$\\displaystyle \\begin{pmatrix}1 \\\\ 2\\end{pmatrix}$"]}),
])
def test_dimension_check_follows_the_assertion_setting(flags, expected, tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    r = subprocess.run([sys.executable, *flags, "-c", OPTIMIZED], capture_output=True, text=True,
                       env=env, cwd=tmp_path, timeout=120, check=False)
    assert r.returncode == 0, r.stderr
    assert json.loads(r.stdout.splitlines()[-1]) == expected
