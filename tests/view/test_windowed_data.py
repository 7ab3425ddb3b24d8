"""The windowed page's data, outside the browser: the rows the alignment gives frequent lines
(only the real change), lines compared with their endings, the standard matcher not consulted,
lines that are not str aligned through their own equality, and how writing fails, in files and
in memory."""

import json
import os
import re
import tempfile
import tracemalloc
import types

import pytest
from windowed_pages import Custom, mid_pair, million_line_pair, str_subclass_lines, write

from pelorix.toolkit import _windowed, view


def page_data(path):
    """The two panels' data of a written page."""
    with open(path, encoding="utf-8", newline="") as f:
        html = f.read()
    found = re.findall(r'<script type="application/json">(.*?)</script>', html, re.S)
    return [json.loads(text) for text in found]


def row_kinds(path):
    """Each row's kind: "=" equal, "r" replaced, "-" deleted, "+" inserted."""
    return "".join("=r-+"[run % 4] * (run // 4) for run in page_data(path)[0]["pairs"])


LONG = "value " * 60
ONLY_REAL_CHANGES = {
    "a data column": (["0.0"] * 150 + ["1.5"] + ["0.0"] * 150, 150, "r"),
    "frequent lines around a long one": (["x"] * 3000 + [LONG] + ["y"] * 3000, 3000, "r"),
    "one repeated line, one fewer": (["same"] * 500, 250, "-"),
}


@pytest.mark.parametrize("lines, at, kind", ONLY_REAL_CHANGES.values(), ids=ONLY_REAL_CHANGES)
def test_frequent_lines_show_only_the_real_change(tmp_path, lines, at, kind):
    changed = list(lines)
    if kind == "r":
        changed[at] = lines[at] + " changed"
    else:
        del changed[at]
    kinds = row_kinds(write(tmp_path, lines, changed))
    assert kinds.replace("=", "") == kind and len(kinds) == len(lines)


def test_crlf_against_lf_is_every_line_changed(tmp_path):
    diff = view.BeautifulHtmlDiff(text1="a\r\nb\r\nc\r\n", text2="a\nb\nc\n")
    assert row_kinds(_windowed.write_page(diff, str(tmp_path / "p.html"))) == "rrr"


def test_the_standard_matcher_is_not_consulted(tmp_path, monkeypatch):
    pair = mid_pair(300)
    before = page_data(_windowed.write_page(view.BeautifulHtmlDiff(*pair), str(tmp_path / "a")))
    monkeypatch.setattr(view, "difflib", types.SimpleNamespace())
    after = page_data(_windowed.write_page(view.BeautifulHtmlDiff(*pair), str(tmp_path / "b")))
    assert after == before


def test_lines_not_str_are_aligned_by_their_equality(tmp_path):
    pair = mid_pair(300)
    plain = page_data(_windowed.write_page(view.BeautifulHtmlDiff(*pair), str(tmp_path / "a")))
    diff = str_subclass_lines(view.BeautifulHtmlDiff(*pair))
    subclassed = page_data(_windowed.write_page(diff, str(tmp_path / "b")))
    assert subclassed[0]["pairs"] == plain[0]["pairs"]
    assert subclassed[0]["html"] and not plain[0]["html"]
    diff.lines2 = [*diff.lines2, ["unhashable"]]
    with pytest.raises(TypeError, match="unhashable"):
        _windowed.write_page(diff, str(tmp_path / "c"))


@pytest.mark.parametrize("cls", [view.BeautifulHtmlDiff, Custom], ids=["native", "markup"])
def test_a_lone_surrogate_fails_as_it_does_in_the_full_page(tmp_path, cls):
    diff = cls(text1="ok\nbad \ud800 line\n", text2="ok\n")
    with pytest.raises(UnicodeEncodeError, match="surrogates not allowed") as full:
        diff.generate_html(output_file=str(tmp_path / "full.html"), auto_open=False)
    with pytest.raises(UnicodeEncodeError, match="surrogates not allowed") as windowed:
        _windowed.write_page(diff, str(tmp_path / "windowed.html"))
    assert windowed.value.object[windowed.value.start] == full.value.object[full.value.start]


def test_without_a_path_the_page_is_a_new_temporary_file(tmp_path, monkeypatch):
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    path = _windowed.write_page(view.BeautifulHtmlDiff(text1="a\n", text2="b\n"))
    name = os.path.basename(path)
    assert os.path.dirname(path) == str(tmp_path) and name.startswith("diff_")
    with open(path, encoding="utf-8") as f:
        assert name.endswith(".html") and 'id="find-input"' in f.read()


def test_a_million_lines_are_written_without_an_object_per_row(tmp_path):
    diff = view.BeautifulHtmlDiff(*million_line_pair())
    tracemalloc.start()
    try:
        _windowed.write_page(diff, str(tmp_path / "page.html"))
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < 2_000_000
