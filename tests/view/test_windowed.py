"""The windowed page (pelorix.toolkit._windowed): the rows it draws are the full page's, made by
the same row model whether it runs natively or through overridden methods; scrolling draws the
right rows; Find; a page of a million lines; and how it fails, in files and in memory."""

import difflib
import os
import random
import tempfile
import tracemalloc
import types

import pytest
from browsing import drawn_rows

from pelorix.toolkit import _windowed, view

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support import expected_conditions
from selenium.webdriver.support.ui import WebDriverWait


class Custom(view.BeautifulHtmlDiff):
    """Page methods overridden: every escaped run in markup of its own, other gutter symbols and
    an extra class on every row."""

    def _escape_html(self, text):
        return f"<i>{super()._escape_html(text)}</i>"

    def _get_symbol_and_class(self, css_class, is_left=True):
        symbol, container = super()._get_symbol_and_class(css_class, is_left=is_left)
        return symbol * 2, f"{container} custom".strip()


def standin_difflib(monkeypatch):
    """view.difflib replaced by a stand-in: the rows are made through the instance's methods."""
    monkeypatch.setattr(
        view, "difflib", types.SimpleNamespace(SequenceMatcher=difflib.SequenceMatcher)
    )


# The ways the row model runs: natively, through overridden methods, or through the methods with
# another difflib.
ROW_MODELS = {
    "native": (view.BeautifulHtmlDiff, None),
    "overridden methods": (Custom, None),
    "another difflib": (view.BeautifulHtmlDiff, standin_difflib),
}

# Lines that try to end the script element holding the rows, or that the escaping and the
# marking must get right: markup, quotes, backslashes, tabs, line separators, non-ASCII and
# characters outside the BMP (which JavaScript counts as two).
SPECIAL = [
    "</script><script>alert(1)</script>",
    "<!-- <script>",
    "a & b &amp; <i>x</i>",
    "say \"hi\" \\ 'x' \\u003c",
    "tab\there",
    "caf\u00e9 \u4e00\u4e8c",
    "\U0001f600 smile \U0001f601",
    "line\u2028separator\u2029",
    "form\x0cfeed",
    "",
    "   ",
]


def mid_pair(lines=1200, seed=7):
    """Two texts of about `lines` lines: special lines, deletions, insertions and replaced lines
    (some with characters outside the BMP), and a few lines ending in CR LF on the right."""
    rnd = random.Random(seed)
    left = [
        SPECIAL[i // 5 % len(SPECIAL)] if i % 5 == 0 else f"line {i} <{i % 7}>"
        for i in range(lines)
    ]
    right = []
    for i, line in enumerate(left):
        r = rnd.random()
        if r < 0.03:
            continue
        right.append(line.replace(" ", " \U0001f600", 1) + " & more" if r < 0.08 else line)
        if r > 0.97:
            right.append(f"new {i} <b>&</b>")
    ends = ["\r\n" if i % 97 == 0 else "\n" for i in range(len(right))]
    return "".join(f"{s}\n" for s in left), "".join(s + e for s, e in zip(right, ends))


def load(browser, path):
    browser.get("file://" + path)
    return browser


@pytest.mark.parametrize("model", ROW_MODELS)
def test_the_rows_drawn_are_the_full_pages(browser, tmp_path, monkeypatch, model):
    cls, setup = ROW_MODELS[model]
    if setup:
        setup(monkeypatch)
    diff = cls(*mid_pair())
    full = diff.generate_html(output_file=str(tmp_path / "full.html"), auto_open=False)
    windowed = _windowed.write_page(diff, str(tmp_path / "windowed.html"))
    load(browser, full)
    expected = [drawn_rows(browser, side, scan=False) for side in "LR"]
    load(browser, windowed)
    drawn = [drawn_rows(browser, side, scan=True) for side in "LR"]
    # The HTML parser turns a carriage return in the full page's text into a line feed; the
    # windowed page's rows are data, drawn as they are.
    for row in drawn[0] + drawn[1]:
        row["content"] = [
            [c, t.replace("\r\n", "\n").replace("\r", "\n")] for c, t in row["content"]
        ]
    assert [len(side) for side in expected] == [len(diff.lines1), len(diff.lines2)]
    assert drawn == expected
    assert (
        browser.execute_script("return document.querySelectorAll('.line_container').length") < 200
    )


def test_scrolling_either_panel_draws_its_rows_in_view(browser, tmp_path):
    diff = view.BeautifulHtmlDiff(
        text1="".join(f"left {i}\n" for i in range(600)),
        text2="".join(f"right {i}\n" for i in range(0, 800, 2)),
    )
    load(browser, _windowed.write_page(diff, str(tmp_path / "page.html")))
    # After a real scroll (its event handled in the next frame): the numbers drawn are
    # consecutive, and the rows in view are those at that height, every one 20 pixels high.
    in_view = """
    const [side, top, done] = arguments;
    const view = document.querySelector('.diff_view');
    const area = (side === 'L' ? view.firstElementChild : view.lastElementChild)
        .querySelector('.panel_content');
    area.scrollTo({ top: top, behavior: 'instant' });
    requestAnimationFrame(() => requestAnimationFrame(() => {
        const box = area.getBoundingClientRect();
        const rows = [...area.querySelectorAll('.line_container')];
        const numbers = rows.map(r => +r.querySelector('.line_num_text').textContent);
        const shown = rows.filter(r => r.getBoundingClientRect().bottom > box.top + 0.5 &&
                                       r.getBoundingClientRect().top < box.top + area.clientHeight);
        done([numbers.every((n, i) => i === 0 || n === numbers[i - 1] + 1),
              area.scrollTop,
              shown.map(r => [+r.querySelector('.line_num_text').textContent,
                              Math.round(r.getBoundingClientRect().top - box.top)])]);
    }));
    """
    for side, count, top in [("L", 600, 4321), ("R", 400, 2990), ("L", 600, 10**6), ("R", 400, 0)]:
        consecutive, scrolled, shown = browser.execute_async_script(in_view, side, top)
        first = scrolled // 20
        assert consecutive and shown[0] == [first + 1, first * 20 - scrolled]
        assert [n for n, _ in shown] == list(range(first + 1, shown[-1][0] + 1))
        assert shown[-1][0] == count or shown[-1][1] + 20 >= browser.execute_script(
            "return document.querySelector('.panel_content').clientHeight"
        )


class FindPage:
    def __init__(self, browser):
        self.browser = browser

    def find(self, text, enter=False):
        box = self.browser.find_element(By.ID, "find-input")
        box.clear()
        if enter:
            box.send_keys(text + Keys.ENTER)
        else:
            box.send_keys(text)
            self.browser.find_element(By.CSS_SELECTOR, ".find-box button").click()

    def state(self, scan=True):
        """The highlighted rows shown (only those drawn now, unless `scan`), the counter, and
        the text marked as found."""
        return (
            [
                (s, r["number"])
                for s in "LR"
                for r in drawn_rows(self.browser, s, scan=scan)
                if "highlight" in r["classes"]
            ],
            self.browser.find_element(By.ID, "diff-counter").text,
            self.browser.execute_script(
                "const h = CSS.highlights.get('find-match');return h ? [...h][0].toString() : null"
            ),
        )


# left: 1 alpha, 2 beta NEEDLE, 3 gamma (replaced), 4 needle delta (deleted), 5 eps, 6 zeta;
# right: 1 alpha, 2 beta NEEDLE, 3 gamma changed, 4 eps, 5 zeta, 6 (needle) (inserted).
# Stops: 3, 4 and 6.
FIND_LEFT = ["alpha", "beta NEEDLE", "gamma", "needle delta", "eps", "zeta"]
FIND_RIGHT = ["alpha", "beta NEEDLE", "gamma changed", "eps", "zeta", "(needle)"]


@pytest.mark.parametrize("cls", [view.BeautifulHtmlDiff, Custom], ids=["native", "markup"])
def test_find_goes_to_the_next_row_holding_the_text_on_either_side(browser, tmp_path, cls):
    diff = cls(text1="\n".join(FIND_LEFT) + "\n", text2="\n".join(FIND_RIGHT) + "\n")
    page = FindPage(load(browser, _windowed.write_page(diff, str(tmp_path / "page.html"))))
    seen = []
    for _ in range(5):
        page.find("needle")
        seen.append(page.state())
    assert seen == [
        ([("L", 2)], "1/3", "NEEDLE"),  # line order, the left row first, ignoring case
        ([("R", 2)], "1/3", "NEEDLE"),
        ([("L", 4)], "2/3", "needle"),
        ([("R", 6)], "3/3", "needle"),
        ([("L", 2)], "1/3", "NEEDLE"),  # round again
    ]
    page.find("(needle)", enter=True)  # the text as it is, not a pattern
    assert page.state() == ([("R", 6)], "3/3", "(needle)")
    page.browser.find_element(By.ID, "mode-diff").click()
    page.find("needle")  # unchanged rows are hidden: lines 2 are skipped
    assert page.state()[0] == [("L", 4)]
    page.browser.find_element(By.CSS_SELECTOR, "button[title='Next diff']").click()
    assert page.state()[:2] == ([("R", 6)], "3/3")  # Next goes on from the line found
    page.find("nothing like it")
    alert = WebDriverWait(page.browser, 5).until(expected_conditions.alert_is_present())
    assert alert.text == '"nothing like it" not found'
    alert.accept()


def million_line_pair():
    """A million lines against a copy with every thousandth line changed and one "needle"."""
    left = [f"{i:07d} reading {i % 977}\n" for i in range(1_000_000)]
    right = list(left)
    for i in range(500, 1_000_000, 1000):
        right[i] = f"{i:07d} reading changed\n"
    right[900_123] = "a needle in the haystack\n"
    return "".join(left), "".join(right)


def test_a_page_of_a_million_lines(browser, tmp_path):
    path = _windowed.write_page(
        view.BeautifulHtmlDiff(*million_line_pair()), str(tmp_path / "page.html")
    )
    load(browser, path)

    def counter():
        return browser.find_element(By.ID, "diff-counter").text

    rows_in = """
    const area = document.querySelectorAll('.panel_content')[arguments[0]];
    const box = area.getBoundingClientRect();
    return [...area.querySelectorAll('.line_container')].filter(r =>
        r.getBoundingClientRect().bottom > box.top + 0.5 &&
        r.getBoundingClientRect().top < box.top + area.clientHeight
    ).map(r => [+r.querySelector('.line_num_text').textContent,
                Math.round(r.getBoundingClientRect().top - box.top),
                Math.round(box.top + area.clientHeight - r.getBoundingClientRect().bottom)]);
    """
    assert counter() == "1/1001"
    assert (
        browser.execute_script("return document.querySelectorAll('.line_container').length") < 200
    )
    box = browser.find_element(By.ID, "goto-input")
    box.clear()
    box.send_keys("654321" + Keys.ENTER)
    left = browser.execute_script(rows_in, 0)
    assert left[0][:2] == [654321, 0] and browser.execute_script(rows_in, 1)[0][:2] == [654321, 0]
    browser.find_element(By.CSS_SELECTOR, "button[title='Next diff']").click()
    assert counter() == "655/1001" and browser.execute_script(rows_in, 0)[0][:2] == [654501, 0]
    page = FindPage(browser)
    page.find("needle")
    assert page.state(scan=False) == ([("R", 900124)], "901/1001", "needle")
    # the end of the scrolling area shows the last rows, the last one at the bottom
    browser.execute_script(
        "const a = document.querySelectorAll('.panel_content')[1];"
        "a.scrollTo({top: a.scrollHeight, behavior: 'instant'});"
        "a.dispatchEvent(new Event('scroll'))"
    )
    last = browser.execute_script(rows_in, 1)[-1]
    assert last[0] == 1_000_000 and abs(last[2]) <= 1


# ---- outside the browser ----


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
