"""What the browser tests, the browser benchmark and the README's picture share: Debian's
Chromium, headless, driven through chromedriver with one set of options; the text pair whose diff
page the browser tests drive, the global functions of the two forms of the page's script, and
the rows a page shows, read as drawn."""

import shutil

CHROMIUM, DRIVER = shutil.which("chromium"), shutil.which("chromedriver")

# 300 lines against 299: line 5 replaced, 40 deleted, an insertion that is right line 70,
# 150 deleted.
LEFT = [f"line {i}" for i in range(1, 301)]
RIGHT = list(LEFT)
RIGHT[4] = "line 5 changed"
del RIGHT[149], RIGHT[39]
RIGHT.insert(69, "inserted")
STOPS = [5, 40, 70, 150]

# The page script's global functions, which the page's handlers call, in the order it defines them.
PAGE_FUNCTIONS = [
    "setViewMode",
    "updateDiffLines",
    "findNearestDiff",
    "updateDiffCounter",
    "getCurrentLineNumber",
    "gotoPrevDiff",
    "gotoNextDiff",
    "gotoDiffByIndex",
    "gotoLine",
    "gotoLineEnter",
]

# The windowed page's script binds its toolbar itself and adds no global function.
WINDOWED_FUNCTIONS = []

# Every row a panel shows, in order. With `scan` (the windowed page, which draws only the rows
# near the view) the panel (on the windowed page, the scroller of both) is scrolled from top to
# bottom a screenful at a time, each scroll handled at once, and scrolled back at the end, and
# rows are told apart by their numbers; without, they are read in page order. Rows the style
# sheet hides, fillers and marker rows are left out.
DRAWN_ROWS = """
const [side, scan] = arguments;
const view = document.querySelector('.diff_view');
const panel = side === 'L' ? view.firstElementChild : view.lastElementChild;
// the windowed page scrolls both panels in the view around them
const area = view.querySelector('.panel_rows') ? view : panel.querySelector('.panel_content');
const rows = new Map();
const read = () => panel.querySelectorAll('.line_container').forEach((row, i) => {
    if (!row.offsetParent) {
        return;
    }
    const number = +row.querySelector('.line_num_text').textContent;
    rows.set(scan ? number : i, {
        number: number,
        classes: [...row.classList],
        symbol: row.querySelector('.diff_symbol').textContent,
        content: [...row.querySelector('.line_content').childNodes].map(node =>
            [node.nodeType === Node.TEXT_NODE ? null : node.className, node.textContent])
    });
});
const scrollTo = top => {
    area.scrollTo({ top: top, behavior: 'instant' });
    area.dispatchEvent(new Event('scroll'));
};
const start = area.scrollTop;
read();
for (let top = 0; scan && top < area.scrollHeight; top += area.clientHeight) {
    scrollTo(top);
    read();
}
if (scan) {
    scrollTo(start);
    return [...rows.values()].sort((a, b) => a.number - b.number);
}
return [...rows.values()];
"""


def drawn_rows(driver, side, scan):
    """The rows panel `side` ("L" or "R") shows: dicts of number, classes, symbol and content (a
    list of [class or None for text, text] for each child of the content cell)."""
    return driver.execute_script(DRAWN_ROWS, side, scan)


def start_chromium(profile, window="1280,800", *extra):
    """A headless Chromium with its own profile folder, `window` wide and high (CSS pixels) and
    `extra` command-line options. Needs chromium and chromedriver on PATH (RuntimeError if not)
    and selenium."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    if not (CHROMIUM and DRIVER):
        raise RuntimeError("needs chromium and chromedriver on PATH (Debian's chromium-driver)")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in (
        "--headless=new",
        "--no-sandbox",
        "--disable-dev-shm-usage",
        f"--window-size={window}",
        # Chromium gives sandboxed frames (show_diff's) a process of their own by default, and
        # chromedriver then misses their alerts: a click that raises one never returns.
        "--disable-features=IsolateSandboxedIframes",
        f"--user-data-dir={profile}",
        *extra,
    ):
        options.add_argument(arg)
    return webdriver.Chrome(options=options, service=Service(DRIVER))
