"""Diff pages inside a notebook. Lab notebooks often run on the instrument PC and are viewed from
another machine, where `compare` would open its browser on the wrong one; `show_diff` puts the
same page into the notebook's output instead, as a frame that carries the whole page in itself."""

import html
import os
import re
import tempfile

from IPython.display import HTML

from pelorix import diffpage

# The page fills its frame and scrolls its panels itself. Around the rows its header, toolbar,
# panel headers and (on the windowed page) sideways scroll bars take about 124 pixels while the
# toolbar stays on one line (frames wider than about 800 pixels); every row is 20 pixels high
# unless a long line wraps (the windowed page's never do). The windowed page's rows are pairs,
# fillers included, and it says how many in its data; the full page has one per line of the
# longer side.
CHROME_PX = 130
ROW_PX = 20
LINE_COUNT = re.compile(r'<span class="line_count">(\d+) lines</span>')
PAIRED_ROWS = re.compile(r'"rows":(\d+)\}</script>')


def show_diff(arg1: str, arg2: str, *, max_height: int = 600, page: str | None = None) -> HTML:
    """Show the side-by-side diff page of two files or two texts in the notebook.

    The inputs are taken exactly as compare takes them: two paths of existing files are
    compared by content, anything else as two texts. The page is shown in a frame as wide as
    the output area and as high as the page needs, up to max_height pixels (the panels scroll
    beyond that). Nothing is written to disk or opened.

    page chooses its form. "windowed" (the default, also for None) pairs the rows side by
    side, a filler facing each deleted or inserted line, scrolls both panels together and
    draws only the rows in view, so it opens quickly at any size. Its lines are aligned
    natively, without the standard matcher's heuristic that leaves frequent lines unmatched,
    so an unchanged line is never shown as changed; view.difflib is not consulted for it. A
    BeautifulHtmlDiff subclass's own _escape_html, _char_level_diff and
    _get_symbol_and_class are honoured. "full" is the page compare writes, aligned by the
    standard matcher, with every row in the document and each panel on its own.
    """
    if type(max_height) is not int:
        raise TypeError(f"max_height must be int, not {type(max_height).__name__}")
    if max_height <= 0:
        raise ValueError(f"max_height must be positive, not {max_height}")
    diffpage.check_form(page)
    diff = diffpage.comparer_for(arg1, arg2)
    with tempfile.TemporaryDirectory(prefix="pelorix_diff_") as folder:
        path, _ = diffpage.write(diff, os.path.join(folder, "diff.html"), page)
        # newline="" reads the page back exactly as written, carriage returns in lines included.
        with open(path, encoding="utf-8", newline="") as f:
            document = f.read()
    paired = PAIRED_ROWS.search(document)
    if paired:
        rows = int(paired[1])
    else:
        rows = max((int(n) for n in LINE_COUNT.findall(document)), default=0)
    height = min(CHROME_PX + ROW_PX * rows, max_height)
    # A carriage return would be turned into a line feed by the HTML parser; as a character
    # reference it reaches the frame's document as it is in the page.
    srcdoc = html.escape(document).replace("\r", "&#13;")
    # Sandboxed: the page runs its own script (and its alerts) but cannot reach the notebook
    # around it.
    return HTML(
        '<div class="pelorix-diff">'
        f'<iframe srcdoc="{srcdoc}" title="diff page" sandbox="allow-scripts allow-modals" '
        f'style="box-sizing: border-box; width: 100%; height: {height}px; '
        'border: 1px solid #dee2e6"></iframe>'
        "</div>"
    )
