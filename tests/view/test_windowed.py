"""The windowed page (pelorix.toolkit._windowed), the page of `pelorix diff` and show_diff, in a
real headless Chromium: its rows are pairs, a filler facing each deleted or inserted line, made by
the row model natively or through overridden methods; one scroller moves both panels; Next and
Prev step by change; "Diff only" shows each change with its context and a marker row per hidden
run; Go to line shows the counterpart; Find counts its matches and scrolls sideways; the keys; a
page of a million lines. Its data outside the browser: test_windowed_data.py."""

import difflib

import pytest
from browsing import drawn_rows
from windowed_pages import Custom, mid_pair, million_line_pair, str_subclass_lines, texts, write

from pelorix.toolkit import _windowed, view

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.actions.wheel_input import ScrollOrigin
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support import expected_conditions
from selenium.webdriver.support.ui import WebDriverWait

# The ways the row model runs: natively, through overridden methods, through the methods for
# lines that are not exact str.
ROW_MODELS = {
    "native": (view.BeautifulHtmlDiff, lambda d: d),
    "overridden methods": (Custom, lambda d: d),
    "lines not str": (view.BeautifulHtmlDiff, str_subclass_lines),
}

# Every position of the page as [left cell, right cell]: a line ({number, lit, and with
# `detail` its classes, symbol and content}), a filler ({filler, lit}) or a marker row
# ({marker: its text}). The scroller is moved a screenful at a time, each scroll handled at
# once; both panels must draw the same positions.
PAIRS = """
const detail = arguments[0];
const view = document.querySelector('.diff_view');
const layers = [...view.querySelectorAll('.panel_rows')];
const cell = e => {
    if (e.classList.contains('diff_skipped')) {
        return { marker: e.textContent };
    }
    const lit = e.classList.contains('highlight');
    if (e.classList.contains('diff_filler')) {
        return { filler: true, lit: lit, numbered: !!e.querySelector('.line_num_text') };
    }
    const c = { number: +e.querySelector('.line_num_text').textContent, lit: lit };
    if (detail) {
        c.classes = [...e.classList].filter(k => k !== 'highlight');
        c.symbol = e.querySelector('.diff_symbol').textContent;
        c.content = [...e.querySelector('.line_content').childNodes].map(node =>
            [node.nodeType === Node.TEXT_NODE ? null : node.className, node.textContent]);
    }
    return c;
};
const rows = new Map();
const read = () => {
    const [left, right] = layers.map(l => [...l.children]);
    if (layers[0].offsetTop !== layers[1].offsetTop || left.length !== right.length) {
        throw new Error('the panels draw different rows');
    }
    const first = Math.round(layers[0].offsetTop / 20);
    left.forEach((e, i) => rows.set(first + i, [cell(e), cell(right[i])]));
};
const go = top => {
    view.scrollTo({ top: top, behavior: 'instant' });
    view.dispatchEvent(new Event('scroll'));
};
const start = view.scrollTop;
for (let top = 0; top < view.scrollHeight; top += view.clientHeight) {
    go(top);
    read();
}
go(start);
return [...rows.keys()].sort((a, b) => a - b).map(k => rows.get(k));
"""

# The cells in view, per panel: [number (null: filler, text: marker), top edge against the
# scroller's]; the scroller's scrollTop; and each panel's own scrollTop and view height.
IN_VIEW = """
const done = arguments[arguments.length - 1];
requestAnimationFrame(() => requestAnimationFrame(() => {
    const view = document.querySelector('.diff_view');
    const box = view.getBoundingClientRect();
    const cells = [...view.querySelectorAll('.panel_rows')].map(layer =>
        [...layer.children].filter(e => e.getBoundingClientRect().bottom > box.top + 0.5 &&
                                        e.getBoundingClientRect().top < box.top + view.clientHeight)
        .map(e => [e.classList.contains('diff_skipped') ? e.textContent
                   : e.classList.contains('diff_filler') ? null
                   : +e.querySelector('.line_num_text').textContent,
                   Math.round(e.getBoundingClientRect().top - box.top)]));
    done([cells, view.scrollTop,
          [...view.querySelectorAll('.panel_content')].map(c => [c.scrollTop, c.clientHeight])]);
}));
"""


def summary(cell):
    if "marker" in cell:
        return cell["marker"]
    return None if cell.get("filler") else cell["number"]


class Page:
    def __init__(self, browser, path):
        self.browser = browser
        browser.get("file://" + path)

    def js(self, script, *args):
        return self.browser.execute_script(script, *args)

    def click(self, element_id):
        self.browser.find_element(By.ID, element_id).click()

    def text(self, element_id):
        return self.browser.find_element(By.ID, element_id).text

    @property
    def counter(self):
        return self.text("diff-counter")

    def pairs(self, detail=False):
        return self.js(PAIRS, detail)

    def rows(self):
        """[(left, right)] of every position (line numbers, None for fillers), or the text of a
        marker row (the same on both sides)."""
        rows = [(summary(a), summary(b)) for a, b in self.pairs()]
        return [a if isinstance(a, str) and a == b else (a, b) for a, b in rows]

    def lit(self):
        """The highlighted positions as (left, right) and whether each side is lit."""
        return [
            (summary(a), summary(b), a.get("lit"), b.get("lit"))
            for a, b in self.pairs()
            if a.get("lit") or b.get("lit")
        ]

    def in_view(self):
        return self.browser.execute_async_script(IN_VIEW)

    def top_row(self):
        """The (left, right) of the first row in view, after checking that both panels show
        the same rows at the same heights."""
        (left, right), _, _ = self.in_view()
        assert [t for _, t in left] == [t for _, t in right]
        return left[0][0], right[0][0]

    def type_into(self, element_id, text, *keys):
        box = self.browser.find_element(By.ID, element_id)
        box.clear()
        box.send_keys(text, *keys)

    def keys(self, *keys):
        ActionChains(self.browser).send_keys(*keys).perform()

    def shifted(self, key):
        ActionChains(self.browser).key_down(Keys.SHIFT).send_keys(key).key_up(Keys.SHIFT).perform()


def open_page(browser, tmp_path, left, right, cls=view.BeautifulHtmlDiff):
    return Page(browser, write(tmp_path, left, right, cls))


def shown(line):
    return line.rstrip("\n")


def expected_cells(diff, browser, row_pairs):
    """The cells the row model makes of the page's own pairing, through the instance's methods
    in Python: equal pairs escaped, replaced pairs marked by _char_level_diff, deleted and
    inserted lines escaped, each with its class and symbol."""
    cells, markup = [], []
    for left, right in row_pairs:
        kinds = (
            ("equal_line", "equal_line")
            if left and right and diff.lines1[left - 1] == diff.lines2[right - 1]
            else ("diff_replace_left", "diff_replace_right")
            if left and right
            else ("diff_del_left", None)
            if left
            else (None, "diff_add_right")
        )
        marked = None
        if kinds[0] == "diff_replace_left":
            marked = diff._char_level_diff(
                shown(diff.lines1[left - 1]), shown(diff.lines2[right - 1])
            )
        for side, (number, kind) in enumerate(zip((left, right), kinds)):
            if number is None:
                cells.append({"filler": True, "lit": False, "numbered": False})
                continue
            lines = diff.lines2 if side else diff.lines1
            symbol, container = diff._get_symbol_and_class(kind, is_left=side == 0)
            tail = f"{container} {kind}" if container else kind
            markup.append(marked[side] if marked else diff._escape_html(shown(lines[number - 1])))
            cells.append(
                {
                    "number": number,
                    "lit": False,
                    "classes": ["line_container", *tail.split()],
                    "symbol": symbol,
                }
            )
    contents = browser.execute_script(
        "return arguments[0].map(h => { const d = document.createElement('div');"
        "d.innerHTML = h === '' ? ' ' : h;"
        "return [...d.childNodes].map(n => [n.nodeType === Node.TEXT_NODE ? null : n.className,"
        " n.textContent]); })",
        markup,
    )
    for cell in cells:
        if "number" in cell:
            cell["content"] = contents.pop(0)
    return cells


def changed_lines(a, b):
    ops = difflib.SequenceMatcher(None, a, b, autojunk=False).get_opcodes()
    return sum(max(i2 - i1, j2 - j1) for tag, i1, i2, j1, j2 in ops if tag != "equal")


@pytest.mark.parametrize("model", ROW_MODELS)
def test_the_rows_are_pairs_of_the_row_model(browser, tmp_path, model):
    cls, prepare = ROW_MODELS[model]
    diff = prepare(cls(*mid_pair()))
    page = Page(browser, _windowed.write_page(diff, str(tmp_path / "page.html")))
    pairs = page.pairs(detail=True)
    numbers = [(summary(a), summary(b)) for a, b in pairs]
    # every line of each side once, in order; a filler only opposite a line
    for side, lines in enumerate((diff.lines1, diff.lines2)):
        assert [n[side] for n in numbers if n[side] is not None] == list(range(1, len(lines) + 1))
    assert all(a is not None or b is not None for a, b in numbers)
    # no identical lines shown as changed, even the frequent ones: no more changed rows than
    # the standard matcher without its heuristic gives
    changed = [n for n, (a, _) in zip(numbers, pairs) if "equal_line" not in a.get("classes", [])]
    assert len(changed) <= changed_lines(diff.lines1, diff.lines2)
    drawn = [cell for pair in pairs for cell in pair]
    for cell in drawn:  # the HTML parser turns a CR in markup into a LF
        for part in cell.get("content", []):
            part[1] = part[1].replace("\r\n", "\n").replace("\r", "\n")
    expected = expected_cells(diff, browser, numbers)
    assert drawn == expected
    assert page.js("return document.querySelectorAll('.line_container').length") < 400


# left: same 1, old 2 (replaced), same 3, gone 4 (deleted), same 5, p, q, a block of three
# against two (two replaced, the third deleted); right: an insertion after same 5, r at the end.
PAIRED_LEFT = ["same 1", "old 2", "same 3", "gone 4", "same 5", "p", "q", "A1", "A2", "A3", "z"]
PAIRED_RIGHT = ["same 1", "new 2", "same 3", "same 5", "added", "p", "q", "B1", "B2", "z", "r"]
PAIRED_ROWS = [
    (1, 1), (2, 2), (3, 3), (4, None), (5, 4), (None, 5), (6, 6), (7, 7),
    (8, 8), (9, 9), (10, None), (11, 10), (None, 11),
]  # fmt: skip


def test_pairs_fillers_and_file_names(browser, tmp_path):
    a, b = tmp_path / "old <1>.txt", tmp_path / "new & 2.txt"
    a.write_text(texts(PAIRED_LEFT))
    b.write_text(texts(PAIRED_RIGHT))
    diff = view.BeautifulHtmlDiff(file1=str(a), file2=str(b))
    page = Page(browser, _windowed.write_page(diff, str(tmp_path / "page.html")))
    pairs = page.pairs(detail=True)
    assert [(summary(x), summary(y)) for x, y in pairs] == PAIRED_ROWS
    fillers = [c for pair in pairs for c in pair if c.get("filler")]
    assert len(fillers) == 4 and not any(c["numbered"] for c in fillers)
    kinds = [(x.get("classes", [None])[-1], y.get("classes", [None])[-1]) for x, y in pairs]
    assert kinds[1] == ("diff_replace_left", "diff_replace_right")
    assert kinds[8:11] == [
        ("diff_replace_left", "diff_replace_right"),
        ("diff_replace_left", "diff_replace_right"),
        ("diff_del_left", None),
    ]
    assert page.js(
        "return [...document.querySelectorAll('.panel_header .file_name')].map(e => e.textContent)"
    ) == [a.name, b.name]
    # a filler has a look of its own
    assert page.js(
        "return getComputedStyle(document.querySelector('.diff_filler')).backgroundImage"
    ).startswith("repeating-linear-gradient")


# 1,300 lines: a change of three rows (line 10 replaced, two lines inserted after it), line 50
# deleted, line 120 replaced, a line inserted after line 190.
def stepping_pair():
    left = [f"line {i}" for i in range(1, 1301)]
    right = list(left)
    right[190:190] = ["new after 190"]
    right[119] = "line 120 changed"
    del right[49]
    right[9:10] = ["line 10 changed", "new a", "new b"]
    return left, right


# The rows of each change, left and right lines, and the row three rows above its first one.
CHANGES = [
    [(10, 10), (None, 11), (None, 12)],
    [(50, None)],
    [(120, 121)],
    [(None, 192)],
]
TOPS = [(7, 7), (47, 49), (117, 118), (188, 189)]


def test_next_and_prev_step_by_change(browser, tmp_path):
    page = open_page(browser, tmp_path, *stepping_pair())
    assert page.counter == "1/4" and page.lit() == []
    seen = []
    for button in ["next-change"] * 5 + ["prev-change"] * 2:
        page.click(button)
        # the whole change lit on both sides, three rows below the top of the view
        lit = [(a, b) for a, b, lit_a, lit_b in page.lit() if lit_a and lit_b]
        seen.append((page.counter, lit, page.top_row()))
    order = [0, 1, 2, 3, 0, 3, 2]
    assert seen == [(f"{k + 1}/4", CHANGES[k], TOPS[k]) for k in order]
    page = open_page(browser, tmp_path, *stepping_pair())
    page.click("prev-change")  # from the top, Prev goes round to the last change
    assert page.counter == "4/4"


def test_diff_only_shows_changes_with_context_and_marker_rows(browser, tmp_path):
    page = open_page(browser, tmp_path, *stepping_pair())
    page.click("mode-diff")
    assert page.rows() == [
        "\u22ef 6 unchanged lines",
        (7, 7), (8, 8), (9, 9), *CHANGES[0], (11, 13), (12, 14), (13, 15),
        "\u22ef 33 unchanged lines",
        (47, 49), (48, 50), (49, 51), *CHANGES[1], (51, 52), (52, 53), (53, 54),
        "\u22ef 63 unchanged lines",
        (117, 118), (118, 119), (119, 120), *CHANGES[2], (121, 122), (122, 123), (123, 124),
        "\u22ef 64 unchanged lines",
        (188, 189), (189, 190), (190, 191), *CHANGES[3], (191, 193), (192, 194), (193, 195),
        "\u22ef 1,107 unchanged lines",
    ]  # fmt: skip
    assert page.counter == "1/4" and page.top_row() == (7, 7)
    # Find sees only the rows shown (left lines 50 to 53; right 52 to 54, "line 51" to "line 53"),
    # from the current change down.
    page.type_into("find-input", "line 5", Keys.ENTER)
    assert page.text("find-count") == "1 of 7" and page.lit()[0][:2] == (50, None)
    # Go to line to a hidden row switches to All.
    page.type_into("goto-input", "300", Keys.ENTER)
    assert page.js("return document.querySelector('.mode-btn.active').id") == "mode-all"
    assert page.top_row() == (295, 297) and page.lit() == [(298, 300, True, True)]
    # Back to Diff only from right line 300: the nearest change is the last one.
    page.click("mode-diff")
    assert page.counter == "4/4"


@pytest.mark.parametrize(
    "line, change",
    [
        ("31", 0),  # right 31: 19 rows below the first change's last row, 21 above the second
        ("32", 0),  # 20 rows from both: the earlier wins
        ("33", 1),  # 21 below the first, 19 above the second
    ],
)
def test_diff_only_takes_the_nearest_change(browser, tmp_path, line, change):
    page = open_page(browser, tmp_path, *stepping_pair())
    page.type_into("goto-input", line, Keys.ENTER)
    page.click("mode-diff")
    assert page.counter == f"{change + 1}/4"
    assert [(a, b) for a, b, _, _ in page.lit()] == CHANGES[change]


def test_goto_line_shows_the_counterpart(browser, tmp_path):
    page = open_page(browser, tmp_path, *stepping_pair())
    got = []
    for line in ["192", "121", "1", "1302"]:
        page.type_into("goto-input", line, Keys.ENTER)
        got.append((page.lit(), page.top_row(), page.counter))
    assert got[:3] == [
        ([(None, 192, True, True)], (188, 189), "4/4"),  # an inserted line: a filler beside it
        ([(120, 121, True, True)], (117, 118), "3/4"),  # right 121 beside left 120
        ([(1, 1, True, True)], (1, 1), "1/4"),
    ]
    assert got[3][0] == [(1300, 1302, True, True)]  # the last rows: as far as the view goes
    page.type_into("goto-input", "1303", Keys.ENTER)
    alert = WebDriverWait(page.browser, 5).until(expected_conditions.alert_is_present())
    assert alert.text == "Line 1303 not found"
    alert.accept()
    # a line only the old (longer) file has
    page = open_page(browser, tmp_path, ["k1", "k2", "k3", "k4"], ["k1", "k2"])
    page.type_into("goto-input", "4", Keys.ENTER)
    assert page.lit() == [(4, None, True, True)]


END_REACHED = """
const v = document.querySelector('.diff_view');
return v.scrollTop >= v.scrollHeight - v.clientHeight - 1;
"""


def settled(page):
    """Waits until the scroller has come to rest (wheel and key scrolls are animated)."""
    last = [None]

    def still(_):
        top, last[0] = last[0], page.js("return document.querySelector('.diff_view').scrollTop")
        return top == last[0]

    WebDriverWait(page.browser, 20, poll_frequency=0.15).until(still)


def test_one_scroller_moves_both_panels(browser, tmp_path):
    left = [f"left {i}" for i in range(600)]
    left[5] = "long " * 400  # a sideways scroll bar on the left panel only
    right = [f"right {i}" for i in range(0, 800, 2)]
    page = open_page(browser, tmp_path, left, right)
    scroller = browser.find_element(By.CSS_SELECTOR, ".diff_view")

    def wheel(side, dy):
        x, y = page.js(
            "const v = document.querySelector('.diff_view').getBoundingClientRect();"
            "const p = document.querySelectorAll('.diff_view .panel_content')[arguments[0]]"
            ".getBoundingClientRect();"
            "return [Math.round(p.left + p.width / 2), Math.round(v.top + v.height / 2)]",
            side,
        )
        ActionChains(browser).scroll_from_origin(ScrollOrigin.from_viewport(x, y), 0, dy).perform()

    moves = [
        lambda: wheel(0, 1000),
        lambda: wheel(1, 3000),
        lambda: wheel(1, -2000),
        lambda: (scroller.click(), page.keys(Keys.PAGE_DOWN)),
        lambda: page.js("document.querySelector('.diff_view').scrollTop = 4321"),
        lambda: page.keys(Keys.END),
    ]
    tops = []
    for move in moves:
        move()
        settled(page)
        (lcells, rcells), top, own = page.in_view()
        tops.append(top)
        # the same rows at the same heights, the rows at that height of the whole list
        first = top // 20
        assert [t for _, t in lcells] == [t for _, t in rcells]
        assert lcells[0][1] == first * 20 - top and own[0] == [0, own[1][1]] and own[1][0] == 0
        assert len(lcells) == len(rcells) >= 20 and own[0][1] == own[1][1]
    # each panel's sideways scroll bar below the scroller, both as high
    assert page.js(
        "return [...document.querySelectorAll('.panel_bar')].map(b => b.offsetHeight)"
    ) == [10, 10]
    assert len(set(tops)) == len(tops) and 0 not in tops and page.js(END_REACHED)


FIND_LEFT = ["alpha", "needle beta NEEDLE", "gamma", "needle delta", "eps", "zeta after alpha"]
FIND_RIGHT = ["alpha", "needle beta NEEDLE", "gamma changed", "eps", "zeta after alpha", "(needle)"]


@pytest.mark.parametrize("cls", [view.BeautifulHtmlDiff, Custom], ids=["native", "markup"])
def test_find_counts_matches_row_by_row_left_first(browser, tmp_path, cls):
    page = open_page(browser, tmp_path, FIND_LEFT, FIND_RIGHT, cls)

    def state():
        return (
            page.text("find-count"),
            [(a, b) for a, b, _, _ in page.lit()],
            page.js(
                "const h = CSS.highlights.get('find-match');"
                "if (!h) return null; const r = [...h][0];"
                "return [r.toString(), r.startContainer.parentElement.closest('.diff_panel')"
                " === document.querySelector('.diff_view').firstElementChild ? 'L' : 'R',"
                " r.startOffset]"
            ),
        )

    page.type_into("find-input", "alpha", Keys.ENTER)  # from the top: the very first row
    assert state()[:2] == ("1 of 4", [(1, 1)])
    seen = []
    page.type_into("find-input", "needle", Keys.ENTER)  # the second row holds four
    seen.append(state())
    for _ in range(5):
        page.keys(Keys.ENTER)
        seen.append(state())
    page.shifted(Keys.ENTER)
    seen.append(state())
    assert [s[:2] for s in seen] == [
        ("1 of 6", [(2, 2)]),
        ("2 of 6", [(2, 2)]),
        ("3 of 6", [(2, 2)]),
        ("4 of 6", [(2, 2)]),
        ("5 of 6", [(4, None)]),
        ("6 of 6", [(None, 6)]),
        ("5 of 6", [(4, None)]),
    ]
    assert [s[2][:2] for s in seen[:4]] == [
        ["needle", "L"], ["NEEDLE", "L"], ["needle", "R"], ["NEEDLE", "R"]
    ]
    page.type_into("find-input", "(needle)", Keys.ENTER)  # the text as it is, not a pattern
    assert state()[:2] == ("1 of 1", [(None, 6)])
    page.type_into("find-input", "nothing like it", Keys.ENTER)
    assert page.text("find-count") == "0 of 0"


# Inside the panel's visible box: right of the line numbers, left of the panel's right edge.
MATCH_IN_VIEW = """
const r = [...CSS.highlights.get('find-match')][0].getBoundingClientRect();
const area = document.querySelectorAll('.diff_view .panel_content')[arguments[0]];
const box = area.getBoundingClientRect();
return [r.width > 0 && r.left >= box.left + 60 && r.right <= box.right &&
        r.top >= box.top && r.bottom <= document.querySelector('.diff_view')
            .getBoundingClientRect().bottom, area.scrollLeft];
"""


def test_find_scrolls_sideways_and_the_place_is_kept(browser, tmp_path):
    left = [f"row {i}" for i in range(300)]
    right = list(left)
    right[5] = "x" * 3000 + " needle " + "y" * 2000
    left[250] = "z" * 1000 + " pin"
    page = open_page(browser, tmp_path, left, right)
    page.type_into("find-input", "needle", Keys.ENTER)
    inside, scrolled = page.js(MATCH_IN_VIEW, 1)
    assert inside and scrolled > 20000
    # the long row leaves the drawn range and comes back: the panel stays where it was
    page.js("document.querySelector('.diff_view').scrollTop = 4000")
    page.in_view()
    page.js("document.querySelector('.diff_view').scrollTop = 0")
    page.in_view()
    assert page.js(MATCH_IN_VIEW, 1) == [True, scrolled]
    page.type_into("find-input", "pin", Keys.ENTER)  # a match in the other panel scrolls it
    assert page.js(MATCH_IN_VIEW, 0)[0]


def test_keys(browser, tmp_path):
    page = open_page(browser, tmp_path, *stepping_pair())
    steps = [
        ("n", "1/4"),
        (Keys.F7, "2/4"),
        ("n", "3/4"),
        ("p", "2/4"),
        ("shift F7", "1/4"),
    ]
    for key, counter in steps:
        if key == "shift F7":
            page.shifted(Keys.F7)
        else:
            page.keys(key)
        assert page.counter == counter
    page.keys("/")
    assert page.js("return document.activeElement.id") == "find-input"
    page.keys("np")  # typed into the box, not taken as commands
    assert page.counter == "1/4"
    assert page.js("return document.activeElement.value") == "np"
    page.keys(Keys.ESCAPE)
    assert page.js("return document.activeElement.id") != "find-input"
    page.keys("n")
    assert page.counter == "2/4"
    page.click("goto-input")
    page.keys("7n", Keys.ESCAPE, "n")  # the go-to box takes numbers only
    assert page.counter == "3/4"


def test_one_row_and_identical_texts(browser, tmp_path):
    page = open_page(browser, tmp_path, ["only"], ["only changed"])
    assert page.rows() == [(1, 1)] and page.counter == "1/1"
    page.click("mode-diff")
    assert page.rows() == [(1, 1)]
    page = open_page(browser, tmp_path, ["same"] * 3, ["same"] * 3)
    page.click("next-change")
    assert (page.counter, page.lit()) == ("0/0", [])
    page.click("mode-diff")
    assert page.rows() == ["\u22ef 3 unchanged lines"]


def test_a_page_of_a_million_lines(browser, tmp_path):
    path = _windowed.write_page(
        view.BeautifulHtmlDiff(*million_line_pair()), str(tmp_path / "page.html")
    )
    page = Page(browser, path)
    assert page.counter == "1/1001"
    assert page.js("return document.querySelectorAll('.line_container').length") < 400
    page.type_into("goto-input", "654321", Keys.ENTER)
    assert page.top_row() == (654318, 654318)
    page.click("next-change")
    assert page.counter == "655/1001" and page.top_row() == (654498, 654498)
    page.type_into("find-input", "needle", Keys.ENTER)
    assert page.text("find-count") == "1 of 1" and page.counter == "901/1001"
    assert page.top_row() == (900121, 900121)
    page.keys(Keys.ESCAPE, Keys.END)
    settled(page)
    (left, right), _, _ = page.in_view()
    assert left[-1][0] == right[-1][0] == 1_000_000
    assert abs(left[-1][1] + 20 - page.js(
        "return document.querySelector('.diff_view').clientHeight")) <= 1


def test_drawn_rows_of_the_suite_read_the_windowed_page(browser, tmp_path):
    page = open_page(browser, tmp_path, PAIRED_LEFT, PAIRED_RIGHT)
    numbers = [[r["number"] for r in drawn_rows(browser, side, scan=True)] for side in "LR"]
    assert numbers == [list(range(1, 12)), list(range(1, 12))] and page.counter == "1/5"
