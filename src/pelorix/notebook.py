"""Diff pages inside a notebook. Lab notebooks often run on the instrument PC and are viewed from
another machine, where `compare` would open its browser on the wrong one; `show_diff` puts the
same page into the notebook's output instead, as a frame that carries the whole page in itself."""

import html
import os
import re
import tempfile

from IPython.display import HTML

from pelorix import diffpage

# The page fills its frame and scrolls its two panels itself. Above the rows its header, toolbar
# and panel headers take about 114 pixels while the toolbar stays on one line (frames wider than
# about 520 pixels, some 220 more with the windowed page's Find box); below, every row is 20
# pixels high unless a long line wraps (the windowed page's never do).
CHROME_PX = 120
ROW_PX = 20
LINE_COUNT = re.compile(r'<span class="line_count">(\d+) lines</span>')


def show_diff(arg1: str, arg2: str, *, max_height: int = 600, page: str | None = None) -> HTML:
    """Show the side-by-side diff page of two files or two texts in the notebook.

    The inputs are taken exactly as compare takes them: two paths of existing files are
    compared by content, anything else as two texts. The page is shown in a frame as wide as
    the output area and as high as the page needs, up to max_height pixels (the panels scroll
    beyond that). Nothing is written to disk or opened.

    page chooses its form: "full" is the page compare writes, "windowed" the one that draws
    only the rows in view; None (the default) takes the windowed page above
    pelorix.diffpage.WINDOWED_ROWS rows (both sides together), the full one up to it.
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
