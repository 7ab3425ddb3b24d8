"""The full diff page in a real headless Chromium: view modes, previous/next navigation with its
counter, the go-to-line box with its alerts, highlights and scroll positions, and the layout. The
tests act through the toolbar and read the rows as drawn. The windowed page pairs its rows and
steps by change rather than by line: its controls are tested in test_windowed.py."""

import difflib
from pathlib import Path

import pytest
from browsing import LEFT, PAGE_FUNCTIONS, RIGHT, STOPS, WINDOWED_FUNCTIONS, drawn_rows

from pelorix.toolkit import _windowed, view

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support import expected_conditions
from selenium.webdriver.support.ui import WebDriverWait


def renumbered(html, side, tail, number, text):
    """The page with the number span of one row (found by side, class tail and number) set to
    `text`."""
    row = (
        f'<div class="line_container {tail}">\n<div class="line_number">\n'
        f'<span class="line_num_text">{number}</span>'
    )
    right = html.index('<div class="diff_divider">')
    at = html.index(row, right if side == "R" else 0, None if side == "R" else right)
    return html[:at] + row.replace(f">{number}<", f">{text}<") + html[at + len(row) :]


class Page:
    def __init__(self, driver, tmp_path, left, right, form="full", numbers=()):
        """`form`: "full" or "windowed". `numbers`: (side, class tail, line number, new text)
        edits of line-number spans made in the written full page before it is loaded, for pages
        the generator never writes."""
        text1, text2 = "\n".join(left) + "\n", "\n".join(right) + "\n"
        diff = view.BeautifulHtmlDiff(text1=text1, text2=text2)
        output = str(tmp_path / "page.html")
        if form == "full":
            path = diff.generate_html(output_file=output, auto_open=False)
        else:
            path = _windowed.write_page(diff, output)
        if numbers:
            html = Path(path).read_text(encoding="utf-8")
            for side, tail, number, text in numbers:
                html = renumbered(html, side, tail, number, text)
            Path(path).write_text(html, encoding="utf-8")
        self.driver, self.form = driver, form
        driver.get("file://" + path)

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def click(self, selector):
        self.driver.find_element(By.CSS_SELECTOR, selector).click()

    @property
    def counter(self):
        return self.driver.find_element(By.ID, "diff-counter").text

    def rows(self, side):
        """The rows the panel ("L" or "R") shows, in order, as drawn_rows gives them."""
        return drawn_rows(self.driver, side, scan=self.form == "windowed")

    @property
    def highlighted(self):
        """[("L" or "R", line number), ...] of the highlighted rows shown, in page order."""
        return [
            (side, row["number"])
            for side in "LR"
            for row in self.rows(side)
            if "highlight" in row["classes"]
        ]

    def scroll_tops(self):
        return self.js(
            "return [...document.querySelectorAll('.panel_content')].map(c => c.scrollTop)"
        )

    def goto(self, value, enter=False):
        field = self.driver.find_element(By.ID, "goto-input")
        field.clear()
        if enter:
            field.send_keys(value + Keys.ENTER)
        else:
            field.send_keys(value)
            self.click(".goto-line button")

    def alert_text(self):
        alert = WebDriverWait(self.driver, 5).until(expected_conditions.alert_is_present())
        text = alert.text
        alert.accept()
        return text

    def settled(self):
        """Scroll positions once the smooth scrolling has come to rest."""
        last = [None]

        def still(_):
            now = self.scroll_tops()
            done, last[0] = now == last[0], now
            return done

        self.js("return new Promise(r => setTimeout(r, 50))")
        WebDriverWait(self.driver, 5, poll_frequency=0.2).until(still)
        return last[0]

    def row_at_top(self, side, number):
        """True when that row's top edge is at the top of its panel's scrolling area, or, when
        the area cannot scroll that far, the area is scrolled to its end with the row in view."""
        self.settled()
        return self.js(
            "const panel = document.querySelector('.diff_view')[arguments[0]];"
            "const row = [...panel.querySelectorAll('.line_container')].find("
            "r => +r.querySelector('.line_num_text').textContent === arguments[1]);"
            "const area = panel.querySelector('.panel_content');"
            "const gap = row.getBoundingClientRect().top - area.getBoundingClientRect().top;"
            "const atEnd = area.scrollTop >= area.scrollHeight - area.clientHeight - 1;"
            "return Math.abs(gap) <= 1 || (atEnd && gap > 0 && gap < area.clientHeight)",
            "firstElementChild" if side == "L" else "lastElementChild",
            number,
        )


@pytest.fixture(params=["full"])
def form(request):
    return request.param


@pytest.fixture
def page(browser, tmp_path, form):
    return Page(browser, tmp_path, LEFT, RIGHT, form)


def test_after_load_all_lines_show_and_the_counter_reads_one_of_n(page):
    assert page.counter == "1/4" and page.highlighted == [] and page.scroll_tops() == [0, 0]
    assert page.js("return document.querySelector('.mode-btn.active').id") == "mode-all"
    assert [[r["number"] for r in page.rows(side)] for side in "LR"] == [
        list(range(1, 301)),
        list(range(1, 300)),
    ]


def test_the_full_pages_stops_are_its_diff_lines(browser, tmp_path):
    page = Page(browser, tmp_path, LEFT, RIGHT)
    assert page.js("return diffLines.map(e => e.lineNum)") == STOPS


# The full page's script adds the ten functions and two state variables the page specifies; the
# windowed one binds its toolbar itself and adds nothing.
ADDED = {
    "full": ([(name, "function") for name in PAGE_FUNCTIONS], ["currentDiffIndex", "diffLines"]),
    "windowed": ([(name, "function") for name in WINDOWED_FUNCTIONS], []),
}


@pytest.mark.parametrize("form", ADDED)
def test_the_script_adds_only_its_functions_and_state_variables(browser, tmp_path, form):
    blank_page = tmp_path / "blank.html"
    blank_page.write_text("<!DOCTYPE html><html><head></head><body></body></html>")
    browser.get(blank_page.as_uri())
    globals_of_page = "return Object.keys(window).map(k => [k, typeof window[k]])"
    blank = {name for name, _ in browser.execute_script(globals_of_page)}
    Page(browser, tmp_path, LEFT, RIGHT, form)
    added = [tuple(g) for g in browser.execute_script(globals_of_page) if g[0] not in blank]
    lexical = browser.execute_cdp_cmd("Runtime.globalLexicalScopeNames", {})["names"]
    assert (added, lexical) == ADDED[form]


def test_next_steps_through_the_changes_and_wraps(page):
    seen = []
    for _ in range(5):
        page.click("button[title='Next diff']")
        seen.append((page.counter, page.highlighted))
    assert seen == [
        ("1/4", [("L", 5), ("R", 5)]),
        ("2/4", [("L", 40), ("R", 40)]),
        ("3/4", [("L", 70), ("R", 70)]),
        ("4/4", [("L", 150), ("R", 150)]),
        ("1/4", [("L", 5), ("R", 5)]),
    ]
    assert page.driver.find_element(By.ID, "goto-input").get_attribute("value") == "5"


def test_a_step_scrolls_only_the_panel_of_the_change(page):
    page.click("button[title='Next diff']")
    page.click("button[title='Next diff']")
    assert page.row_at_top("L", 40)
    left_before = page.settled()[0]
    page.click("button[title='Next diff']")  # 70 is an insertion: a right-panel row
    assert page.row_at_top("R", 70) and page.settled()[0] == left_before


def test_previous_after_load_goes_to_the_last_change_and_wraps(page):
    page.click("button[title='Previous diff']")
    assert (page.counter, page.highlighted) == ("4/4", [("L", 150), ("R", 150)])
    assert page.row_at_top("L", 150)
    for _ in range(3):
        page.click("button[title='Previous diff']")
    assert (page.counter, page.highlighted[0]) == ("1/4", ("L", 5))
    page.click("button[title='Previous diff']")
    assert page.counter == "4/4"


def test_diff_only_hides_unchanged_lines_and_keeps_the_count(page):
    page.click("#mode-diff")
    assert [[r["number"] for r in page.rows(side)] for side in "LR"] == [[5, 40, 150], [5, 70]]
    assert page.counter == "1/4"
    assert page.js("return document.querySelector('.mode-btn.active').id") == "mode-diff"
    page.click("#mode-all")
    assert len(page.rows("L")) + len(page.rows("R")) == 599 and page.counter == "1/4"


def test_goto_line_on_both_sides_then_next_continues_from_there(page):
    page.goto("100")
    assert page.highlighted == [("L", 100), ("R", 100)] and page.counter == "3/4"
    assert page.row_at_top("L", 100) and page.row_at_top("R", 100)
    assert page.js("return document.activeElement.id") != "goto-input"
    page.click("button[title='Next diff']")
    assert (page.counter, page.highlighted[0]) == ("4/4", ("L", 150))


def test_goto_with_enter_on_a_line_only_the_left_side_has(page):
    page.goto("300", enter=True)
    assert page.highlighted == [("L", 300)]
    left, right = page.settled()
    assert (
        left
        == page.js(
            "const c = document.querySelector('.panel_content');"
            "return c.scrollHeight - c.clientHeight"
        )
        and right == 0
    )


@pytest.mark.parametrize("value", ["", "0", "-3"])
def test_invalid_line_numbers_alert_and_change_nothing(page, value):
    page.goto("100")
    before = page.settled()
    page.goto(value)
    assert page.alert_text() == "Please enter a valid line number (positive integer)"
    assert page.highlighted == [("L", 100), ("R", 100)] and page.settled() == before


def test_missing_line_alerts_and_drops_the_highlight(page):
    page.goto("100")
    page.goto("999")
    assert page.alert_text() == "Line 999 not found"
    assert page.highlighted == []


def test_fractional_input_goes_to_its_integer_part(page):
    page.goto("2.7", enter=True)
    assert page.highlighted == [("L", 2), ("R", 2)]


def test_mode_switch_from_an_unchanged_line_moves_to_the_nearest_change(page):
    page.goto("100")
    page.click("#mode-diff")
    # 70 (30 away) beats 150; its row is the right one (its left namesake, unchanged, is hidden)
    assert page.counter == "3/4" and page.highlighted == [("R", 70)]
    assert page.row_at_top("R", 70)


def test_mode_switch_on_a_change_keeps_it(page):
    page.click("button[title='Next diff']")
    page.click("button[title='Next diff']")
    page.click("#mode-diff")  # right line 40 is unchanged: hidden now
    assert page.counter == "2/4" and page.highlighted == [("L", 40)]


def test_goto_a_hidden_line_marks_it_and_scrolls_to_the_top(page):
    page.goto("100")
    page.click("#mode-diff")
    page.goto("120")
    assert page.settled() == [0, 0] and page.highlighted == []
    if page.form == "full":  # hidden, but in the document
        assert page.js(
            "return [...document.querySelectorAll('.highlight .line_num_text')]"
            ".map(n => n.textContent)"
        ) == ["120", "120"]
    page.click("button[title='Next diff']")
    assert page.highlighted == [("L", 150)]


def test_identical_texts_have_nothing_to_navigate(browser, tmp_path, form):
    page = Page(browser, tmp_path, LEFT[:20], LEFT[:20], form)
    for button in ("Next diff", "Previous diff"):
        page.click(f"button[title='{button}']")
        assert (page.counter, page.highlighted) == ("0/0", [])


def test_a_line_number_changed_on_both_sides_is_one_stop_on_the_left(browser, tmp_path, form):
    # left 1 and 3 deleted, right 3 inserted
    page = Page(browser, tmp_path, ["d1", "a", "x", "b"], ["a", "b", "y"], form)
    assert page.counter == "1/2"
    page.click("button[title='Next diff']")
    page.click("button[title='Next diff']")
    assert page.highlighted == [("L", 3), ("R", 3)]
    if form == "full":
        assert page.js(
            "return diffLines.map(e => e.element.classList.contains('diff_del_left'))"
        ) == [True, True]


LONG_LINE = "x" * 2000

# A long line wraps in the full page's panel (the windowed page's scrolls sideways: see
# test_windowed.py).
LONG_LINE_LAYOUT = {"full": "return c.scrollWidth <= c.clientWidth && c.offsetHeight > 100"}


def test_layout(browser, tmp_path, form):
    page = Page(browser, tmp_path, LEFT[:60] + [LONG_LINE], ["short"], form)
    assert page.js("return document.documentElement.scrollHeight <= window.innerHeight")
    widths = page.js("return [...document.querySelectorAll('.diff_panel')].map(p => p.offsetWidth)")
    assert abs(widths[0] - widths[1]) <= 1
    page.goto("61")
    assert page.js(
        "const c = [...document.querySelectorAll('.line_content')].find(c =>"
        f" c.textContent === '{LONG_LINE}');" + LONG_LINE_LAYOUT[form]
    )
    page.click("button[title='Next diff']")
    assert (
        page.js("return getComputedStyle(document.querySelector('.highlight')).backgroundColor")
        == "rgb(255, 243, 191)"
    )


DEL, ADD = "diff_del diff_del_left", "diff_add diff_add_right"

# Pages whose line-number spans were edited after writing: what the stops become. Each stop is
# (line number, whether its row is a left-panel deletion row).
NUMBER_EDITS = {
    "a number that does not parse is no stop": (
        [("L", DEL, 40, "abc")],
        [(5, False), (70, False), (150, True)],
    ),
    "every number that does not parse is dropped": (
        [("L", DEL, 40, "x"), ("L", DEL, 150, "y")],
        [(5, False), (70, False)],
    ),
    # Deletions are collected before replacements, so the later row wins over line 5's own.
    "the first of a number in collection order stays, not in page order": (
        [("L", DEL, 150, "5")],
        [(5, True), (40, True), (70, False)],
    ),
    "the first of a number within one kind stays": (
        [("L", DEL, 150, "40")],
        [(5, False), (40, True), (70, False)],
    ),
    "numbers are read as the browser parses integers": (
        [("R", ADD, 70, " 12abc")],
        [(5, False), (12, False), (40, True), (150, True)],
    ),
}


@pytest.mark.parametrize("edits, stops", NUMBER_EDITS.values(), ids=NUMBER_EDITS)
def test_stops_follow_the_numbers_in_the_page(browser, tmp_path, edits, stops):
    page = Page(browser, tmp_path, LEFT, RIGHT, numbers=edits)
    got = page.js(
        "return diffLines.map(e => [e.lineNum, e.element.classList.contains('diff_del_left')])"
    )
    assert [tuple(x) for x in got] == stops and page.counter == f"1/{len(stops)}"
    page.click("#mode-diff")
    page.click("#mode-all")
    assert page.js("return diffLines.map(e => e.lineNum)") == [n for n, _ in stops]


def test_a_duplicated_number_leads_to_the_row_collected_first(browser, tmp_path):
    page = Page(browser, tmp_path, LEFT, RIGHT, numbers=[("L", DEL, 150, "5")])
    page.click("button[title='Next diff']")
    # the left row at page position 149 (line 150 renumbered), and the right line 5
    assert page.js(
        "return [...document.querySelectorAll('.highlight')].map(r =>"
        " [...r.parentElement.children].indexOf(r))"
    ) == [149, 4]
    assert page.settled()[0] > 0


def test_goto_a_duplicated_number_goes_to_the_first_row_of_each_side(browser, tmp_path):
    page = Page(browser, tmp_path, LEFT, RIGHT, numbers=[("L", "equal_line", 100, "7")])
    page.goto("7")
    assert page.highlighted == [("L", 7), ("R", 7)]
    assert page.js(
        "return [...document.querySelectorAll('.highlight')].map(r =>"
        " [...r.parentElement.children].indexOf(r))"
    ) == [6, 6]
    assert page.row_at_top("L", 7)


def test_goto_and_navigation_after_switching_the_mode_back_and_forth(page):
    for mode in ("#mode-diff", "#mode-all", "#mode-diff"):
        page.click(mode)
    page.goto("40")
    assert page.highlighted == [("L", 40)] and page.counter == "2/4"
    assert page.row_at_top("L", 40)
    page.goto("300", enter=True)  # only the left side has it; it is hidden in this mode
    assert page.highlighted == [] and page.counter == "4/4"
    page.click("button[title='Previous diff']")
    assert page.highlighted == [("L", 150)] and page.counter == "4/4"
    page.click("#mode-all")
    page.goto("100")
    page.click("button[title='Next diff']")
    assert page.highlighted == [("L", 150), ("R", 150)]


def test_a_stop_only_one_side_has_is_highlighted_alone(browser, tmp_path, form):
    page = Page(browser, tmp_path, ["a", "b"], ["a", "b", "c", "d"], form)
    page.click("button[title='Next diff']")
    assert (page.counter, page.highlighted) == ("1/2", [("R", 3)])
    page.click("button[title='Previous diff']")
    assert (page.counter, page.highlighted) == ("2/2", [("R", 4)])


STEP_ALL = """
const [button, times] = arguments;
const seen = [];
for (let i = 0; i < times; i++) {
    document.querySelector(`button[title='${button} diff']`).click();
    const rows = [...document.querySelectorAll('.line_container.highlight')];
    seen.push([document.getElementById('diff-counter').textContent,
               rows.map(r => +r.querySelector('.line_num_text').textContent)]);
}
return seen;
"""


def test_a_page_with_many_changes_steps_through_every_one_in_both_modes(browser, tmp_path, form):
    # 600 lines; every 7th replaced, every 11th deleted, a line inserted after every 13th
    left = [f"line {i}" for i in range(1, 601)]
    right = []
    for i, line in enumerate(left, 1):
        if i % 11 == 0:
            continue
        right.append(line + " changed" if i % 7 == 0 else line)
        if i % 13 == 0:
            right.append(f"new {i}")
    stops = set()
    matcher = difflib.SequenceMatcher(None, left, right)
    for tag, i1, i2, j1, j2 in matcher.get_opcodes():
        if tag != "equal":
            stops |= set(range(i1 + 1, i2 + 1)) | set(range(j1 + 1, j2 + 1))
    stops = sorted(stops)
    n = len(stops)
    page = Page(browser, tmp_path, left, right, form)
    assert page.counter == f"1/{n}"
    forward = page.js(STEP_ALL, "Next", n + 1)
    assert [(c, h[0]) for c, h in forward] == [(f"{k + 1}/{n}", s) for k, s in enumerate(stops)] + [
        (f"1/{n}", stops[0])
    ]
    assert all(len(h) <= 2 and set(h) == {h[0]} for _, h in forward)
    page.click("#mode-diff")
    backward = page.js(STEP_ALL, "Previous", n)
    assert [h[0] for _, h in backward] == stops[::-1]
