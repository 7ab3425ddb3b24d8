"""The diff page and the character marking come out the same whether the standard matcher and
the page methods run natively or through the interpreter: pages are compared byte for byte with
the ones made while `view.difflib` is a stand-in, which forces every step through Python."""

import difflib
import html
import re
import subprocess
import sys
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from pelorix.toolkit import view

BHD = view.BeautifulHtmlDiff
TIMESTAMP = re.compile(rb'<span class="timestamp">[^<]*</span>')

# Items the sequences are made of; their order in a pool decides how often each one occurs.
SPECIAL_LINES = [
    "\n",
    "<a & b>\n",
    "caf\u00e9\n",
    "\U0001f600 ok\n",
    "line\r\n",
    "tail",
    "\n\n",
    "",
]
SPECIAL_CHARS = "<&> \u00e9\u4e00\U0001f600"


def related(rnd, pool_size, length, item):
    """Two sequences of `length` items or so, the second an edited copy of the first, drawn from a
    pool of `pool_size` items; periodic stretches and copied blocks give long diagonal runs, ties
    and popular items next to matches."""
    pool = [item(i) for i in range(pool_size)]
    period = rnd.choice([1, 2, 3, 5, 17])
    pattern = [rnd.choice(pool) for _ in range(period)]
    a = [pattern[i % period] if rnd.random() < 0.8 else rnd.choice(pool) for i in range(length)]
    b = list(a)
    for _ in range(rnd.randrange(length // 5 + 2)):
        at = rnd.randrange(len(b) + 1)
        op = rnd.randrange(4)
        if op == 0:
            b.insert(at, rnd.choice(pool))
        elif op == 1:
            del b[at : at + rnd.randrange(1, 4)]
        elif op == 2:
            b[at : at + 1] = [rnd.choice(pool)]
        else:
            src = rnd.randrange(len(a) + 1)
            b[at:at] = a[src : src + rnd.randrange(20)]
    return (b, a) if rnd.random() < 0.5 else (a, b)


SIZES = st.tuples(
    st.sampled_from([2, 3, 8, 30, 90, 400]), st.sampled_from([0, 5, 150, 199, 200, 260, 700])
)


def through_python():
    """A stand-in for the difflib module: the same matcher, but not the module itself."""
    return types.SimpleNamespace(SequenceMatcher=difflib.SequenceMatcher)


def outcome(make_page, tmp_path, name):
    path = tmp_path / name
    try:
        make_page(str(path))
    except Exception as e:  # noqa: BLE001 - the failure is the outcome being compared
        return type(e), str(e)
    return TIMESTAMP.sub(b"", path.read_bytes())


def both_ways(monkeypatch, tmp_path, diff):
    def page(path):
        diff.generate_html(output_file=path, auto_open=False)

    native = outcome(page, tmp_path, "native.html")
    with monkeypatch.context() as m:
        m.setattr(view, "difflib", through_python())
        python = outcome(page, tmp_path, "python.html")
    return native, python


def diff_of(lines1, lines2, cls=BHD):
    d = cls(text1="", text2="")
    d.lines1, d.lines2 = lines1, lines2
    return d


def line(i):
    return SPECIAL_LINES[i] if i < len(SPECIAL_LINES) else f"{i} <{i % 7}>\n"


@settings(max_examples=150, deadline=None)
@given(st.randoms(use_true_random=False), SIZES)
def test_pages_are_byte_identical(tmp_path_factory, rnd, sizes):
    a, b = related(rnd, *sizes, line)
    tmp_path = tmp_path_factory.mktemp("page")
    with pytest.MonkeyPatch.context() as mp:
        native, python = both_ways(mp, tmp_path, diff_of(a, b))
    assert native == python


def test_matcher_heuristics_on_a_big_page(monkeypatch, tmp_path):
    # long equal stretches and many popular lines: the long-run index, the popular-element
    # extension and the tie-breaking all decide the alignment here
    base = [f"line {i % 37}\n" if i % 5 else "\n" for i in range(3000)]
    other = base[:700] + ["new\n"] * 3 + base[690:2200] + base[2400:] + ["x\n"]
    native, python = both_ways(monkeypatch, tmp_path, diff_of(base, other))
    assert native == python and native.count(b"diff_replace_left") > 0


def char(i):
    return SPECIAL_CHARS[i] if i < len(SPECIAL_CHARS) else chr(0x41 + i)


@settings(max_examples=400, deadline=None)
@given(st.randoms(use_true_random=False), SIZES)
def test_character_marking_is_identical(rnd, sizes):
    t1, t2 = ("".join(t) for t in related(rnd, *sizes, char))
    d = BHD(text1="", text2="")
    native = d._char_level_diff(t1, t2)
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(view, "difflib", through_python())
        assert d._char_level_diff(t1, t2) == native


def test_popular_characters_do_not_anchor_a_match():
    t1, t2 = "x" * 150 + "ab" + "y" * 100, "x" * 150 + "ac" + "y" * 100
    assert BHD(text1="", text2="")._char_level_diff(t1, t2) == (
        f'<span class="char-equal">{"x" * 150}a</span><span class="char-del">b{"y" * 100}</span>',
        f'<span class="char-equal">{"x" * 150}a</span><span class="char-add">c{"y" * 100}</span>',
    )


class Shouting(BHD):
    def _escape_html(self, text):
        return super()._escape_html(text).upper()


class Plain(BHD):
    def _get_symbol_and_class(self, css_class, is_left=True):
        return (
            ("*", "")
            if "replace" in css_class
            else super()._get_symbol_and_class(css_class, is_left=is_left)
        )


class Stars(BHD):
    def _char_level_diff(self, text1, text2):
        return "*" + text1, "*" + text2


class Styled(BHD):
    def _get_custom_css(self):
        return "<style>p{}</style>"


@pytest.mark.parametrize(
    "cls, mark",
    [
        (Shouting, b"&LT;A &AMP; B&GT;"),
        (Plain, b'<span class="diff_symbol">*</span>'),
        (Stars, b'<div class="line_content">*x = 2</div>'),
        (Styled, b"<style>p{}</style>"),
    ],
)
def test_overrides_are_honoured(monkeypatch, tmp_path, cls, mark):
    a = ["<a & b>\n", "x = 1\n", "tail\n"] * 80
    b = a[:100] + ["x = 2\n"] + a[101:]
    native, python = both_ways(monkeypatch, tmp_path, diff_of(a, b, cls))
    assert native == python and mark in native


def test_an_instance_attribute_shadows_the_method(monkeypatch, tmp_path):
    d = diff_of(["a<\n"], ["b<\n"])
    d._escape_html = lambda text: text.replace("<", "[lt]")
    native, python = both_ways(monkeypatch, tmp_path, d)
    assert native == python and b"[lt]" in native


# A page method patched on the class before the windowed page's module is first imported: that
# module must not take the patched method for the class's own and write the rows natively.
PATCHED_BEFORE_LOAD = """
import sys
from pelorix.toolkit import view

view.BeautifulHtmlDiff.{name} = {patch}
from pelorix.toolkit import _windowed

d = view.BeautifulHtmlDiff(text1="same\\na\\n", text2="same\\nb\\n")
with open(_windowed.write_page(d, sys.argv[1]), encoding="utf-8") as f:
    sys.stdout.write(f.read())
"""


@pytest.mark.parametrize(
    "name, patch, mark",
    [
        ("_escape_html", "lambda self, text: '[' + text + ']'", "[same]"),
        ("_char_level_diff", "lambda self, a, b: ('LEFT', 'RIGHT')", "RIGHT"),
        ("_get_symbol_and_class", "lambda self, css_class, is_left=True: ('SYM', '')", "SYM"),
    ],
)
def test_a_method_patched_before_the_windowed_module_loads_is_used(tmp_path, name, patch, mark):
    script = PATCHED_BEFORE_LOAD.format(name=name, patch=patch)
    page = tmp_path / "page.html"
    run = subprocess.run(
        [sys.executable, "-c", script, str(page)], capture_output=True, text=True, timeout=120
    )
    assert run.returncode == 0, run.stderr
    assert mark in run.stdout


def test_a_patched_matcher_method_is_used(monkeypatch, tmp_path):
    calls = []
    original = difflib.SequenceMatcher.get_opcodes

    def get_opcodes(self):
        calls.append((self.a, self.b))
        return original(self)

    monkeypatch.setattr(difflib.SequenceMatcher, "get_opcodes", get_opcodes)
    diff_of(["a\n", "b\n"], ["a\n", "c\n"]).generate_html(str(tmp_path / "p.html"), False)
    assert calls == [(["a\n", "b\n"], ["a\n", "c\n"]), ("b", "c")]


@pytest.mark.parametrize(
    "lines",
    [("a", "b"), ["a", 1], ["a", type("S", (str,), {})("b")]],
    ids=["tuple", "non-str", "str-subclass"],
)
def test_sequences_other_than_lists_of_str_go_through_the_matcher(monkeypatch, tmp_path, lines):
    native, python = both_ways(monkeypatch, tmp_path, diff_of(lines, ["a", "c"]))
    assert native == python


def test_a_rebound_open_receives_the_page_in_one_write(monkeypatch, tmp_path):
    written = []

    class File:
        def __enter__(self):
            return self

        def __exit__(self, *exc):
            return False

        def write(self, text):
            written.append(text)

    monkeypatch.setattr(view, "open", lambda *a, **kw: File(), raising=False)
    d = diff_of(["a\n", "b\n"] * 150, ["a\n", "c\n"] * 150)
    d.generate_html(str(tmp_path / "unused.html"), False)
    monkeypatch.delattr(view, "open")
    d.generate_html(str(tmp_path / "real.html"), False)
    real = (tmp_path / "real.html").read_text(encoding="utf-8")
    assert len(written) == 1 and TIMESTAMP.sub(b"", written[0].encode()) == TIMESTAMP.sub(
        b"", real.encode()
    )


@pytest.mark.parametrize(
    "lines1, lines2",
    [
        (["ok\n", "lone \ud800 surrogate\n"], ["ok\n", "other\n"]),
        (["\ud83d\ude00 pair as two\n"], ["\ud83d\ude00 pair as two\n"]),
    ],
)
def test_unencodable_text_fails_as_the_one_text_write_fails(monkeypatch, tmp_path, lines1, lines2):
    native, python = both_ways(monkeypatch, tmp_path, diff_of(lines1, lines2))
    assert native == python and native[0] is UnicodeEncodeError


@pytest.mark.parametrize(
    "method, value, message",
    [
        ("_get_custom_css", None, "sequence item 12: expected str instance, NoneType found"),
        ("_get_custom_css", 42, "sequence item 12: expected str instance, int found"),
        ("_get_javascript", b"js", "sequence item 14: expected str instance, bytes found"),
    ],
)
def test_a_style_sheet_or_script_that_is_not_text_fails_as_the_join_fails(
    monkeypatch, tmp_path, method, value, message
):
    # the page is its entries joined by "\n": the join names the entry by its place in the list
    # of entries and separators
    cls = type("Odd", (BHD,), {method: lambda self: value})
    native, python = both_ways(monkeypatch, tmp_path, diff_of(["a\n"], ["b\n"], cls))
    assert native == python == (TypeError, message)
    assert not (tmp_path / "native.html").exists()


# ---- escaping: the native escaper, sixteen and eight bytes at a time, against the interpreter's


def line_contents(page):
    return re.findall(rb'<div class="line_content">(.*?)</div>', page)


@pytest.mark.parametrize("special", [">", "<", "&"])
def test_a_lone_special_character_is_escaped_at_every_offset(monkeypatch, tmp_path, special):
    # one character to escape in a long ASCII run, at every offset of the first three 16-byte
    # blocks and of the 8-byte tail, with nothing else near it that needs escaping
    lines = [f"{'x' * k}{special}{'y' * (47 - k)}\n" for k in range(48)]
    lines += [f"{'x' * k}{special}{'y' * (20 - k)}\n" for k in range(21)]
    native, python = both_ways(monkeypatch, tmp_path, diff_of(lines, lines[::-1]))
    entity = html.escape(special).encode()
    assert native == python
    assert all(content.count(entity) == 1 for content in line_contents(native))


ASCII_TEXT = st.text(
    st.characters(max_codepoint=127, exclude_characters="\n\r\x0b\x0c\x1c\x1d\x1e"), max_size=90
)


@settings(max_examples=150, deadline=None)
@given(st.lists(ASCII_TEXT, max_size=12), st.lists(ASCII_TEXT, max_size=12))
def test_ascii_pages_are_byte_identical(tmp_path_factory, lines1, lines2):
    tmp_path = tmp_path_factory.mktemp("ascii")
    lines1, lines2 = [t + "\n" for t in lines1], [t + "\n" for t in lines2]
    with pytest.MonkeyPatch.context() as mp:
        native, python = both_ways(mp, tmp_path, diff_of(lines1, lines2))
    assert native == python
    # unchanged lines are shown exactly as html.escape writes them
    path = tmp_path / "same.html"
    diff_of(lines1, lines1).generate_html(str(path), False)
    shown = [html.escape(t[:-1], quote=False).encode() or b" " for t in lines1]
    assert line_contents(path.read_bytes()) == shown * 2


@settings(max_examples=300, deadline=None)
@given(ASCII_TEXT, ASCII_TEXT)
def test_ascii_character_marking_is_identical(t1, t2):
    d = BHD(text1="", text2="")
    native = d._char_level_diff(t1, t2)
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(view, "difflib", through_python())
        assert d._char_level_diff(t1, t2) == native


# ---- ties between equally long matching runs ----


class OwnEscape(BHD):
    """Escapes through the interpreter while the alignment stays native."""

    def _escape_html(self, text):
        return super()._escape_html(text)


TIES = [
    ("abcdefghijKLMNOPQRST", "KLMNOPQRSTabcdefghij"),
    ("abXcd", "cdXab"),
    ("aaabbb", "bbbaaa"),
    ("ab", "ba"),
    ("xyzxyz", "zyxzyx"),
    ("12ab34ab", "ab12ab34"),
    ("<a>&<b>", "<b>&<a>"),
]


@pytest.mark.parametrize("a, b", TIES)
def test_equally_long_runs_tie_as_the_standard_matcher_breaks_them(monkeypatch, tmp_path, a, b):
    d = BHD(text1="", text2="")
    native = d._char_level_diff(a, b)
    escaped_by_instance = OwnEscape(text1="", text2="")._char_level_diff(a, b)
    with monkeypatch.context() as m:
        m.setattr(view, "difflib", through_python())
        python = d._char_level_diff(a, b)
    assert native == escaped_by_instance == python
    # the same sequences as lines: the line alignment breaks its ties the same way
    lines = both_ways(monkeypatch, tmp_path, diff_of([c + "\n" for c in a], [c + "\n" for c in b]))
    assert lines[0] == lines[1]


def test_the_earlier_of_two_equal_runs_is_kept():
    assert BHD(text1="", text2="")._char_level_diff(
        "abcdefghijKLMNOPQRST", "KLMNOPQRSTabcdefghij"
    ) == (
        '<span class="char-equal">abcdefghij</span><span class="char-del">KLMNOPQRST</span>',
        '<span class="char-add">KLMNOPQRST</span><span class="char-equal">abcdefghij</span>',
    )


# ---- row numbers come from the counters, whatever the opcodes say ----


def test_row_numbers_follow_the_counters_whatever_the_opcodes_say(monkeypatch, tmp_path):
    # a matcher whose blocks run backwards moves the counters back: numbers repeat, go negative
    # and count up again through zero and past a carry
    ops = [
        ("delete", 0, 1, 0, 0),
        ("replace", 3, 1, 0, 0),
        ("delete", 0, 3, 0, 0),
        ("replace", 9, 2, 0, 0),
        ("delete", 0, 16, 0, 0),
    ]
    matcher = types.SimpleNamespace(get_opcodes=lambda: ops)
    monkeypatch.setattr(view, "difflib", types.SimpleNamespace(SequenceMatcher=lambda *a: matcher))
    path = tmp_path / "p.html"
    diff_of([f"{i}\n" for i in range(16)], ["x\n"]).generate_html(str(path), False)
    numbers = [
        int(n)
        for n in re.findall(rb'<span class="line_num_text">(-?\d+)</span>', path.read_bytes())
    ]
    assert numbers == [1, 0, 1, 2, *range(-4, 12)]
