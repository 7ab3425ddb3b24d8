"""The two forms of the diff page, and which one a diff gets. The full page, the one `compare`
writes, holds every row in the document; a browser takes about a second to open it at a few
thousand lines, and minutes at a hundred thousand. The windowed page holds the same rows as data
and draws only those in view, so it opens at any size; its rows are one line high (long lines
scroll the panel sideways), and the browser's own find sees only the drawn rows, so its toolbar
has a Find box. `pelorix diff` and `pelorix.notebook.show_diff` choose the form here (the native
modules are imported only when a page is made, so the command line can read the threshold
cheaply)."""

import os

# Diffs with more rows than this, both panels together (one row per line of each side), get the
# windowed page. In headless Chromium on a 2-core machine the full page takes about a second to
# open at this size, and its load grows in proportion to the rows from there.
WINDOWED_ROWS = 5_000

FORMS = ("full", "windowed")


def check_form(page):
    """`page` names a form ("full" or "windowed") or is None (chosen by size)."""
    if page is not None and type(page) is not str:
        raise TypeError(f"page must be str or None, not {type(page).__name__}")
    if page is not None and page not in FORMS:
        raise ValueError(f"page must be 'full' or 'windowed', not {page!r}")


def comparer_for(arg1, arg2):
    """The BeautifulHtmlDiff that `compare` makes of its two inputs: two paths of existing regular
    files are compared by content, anything else as two texts."""
    from pelorix.toolkit import view

    for name, arg in (("arg1", arg1), ("arg2", arg2)):
        if type(arg) is not str:
            raise TypeError(f"{name} must be str, not {type(arg).__name__}")
    if all(os.path.exists(arg) and os.path.isfile(arg) for arg in (arg1, arg2)):
        return view.BeautifulHtmlDiff(file1=arg1, file2=arg2)
    return view.BeautifulHtmlDiff(text1=arg1, text2=arg2)


def form_for(diff, page=None):
    """The form of the page for `diff`: `page`, or when it is None, "windowed" above
    WINDOWED_ROWS rows and "full" up to it."""
    check_form(page)
    if page is not None:
        return page
    return "windowed" if len(diff.lines1) + len(diff.lines2) > WINDOWED_ROWS else "full"


def write(diff, output_file=None, page=None):
    """Writes the page of `diff` in the form `page` (None: chosen by size) to `output_file` (None:
    a new temporary diff_*.html), opening nothing. Returns the page's path and its form."""
    from pelorix.toolkit import _windowed

    form = form_for(diff, page)
    if form == "full":
        return diff.generate_html(output_file=output_file, auto_open=False), form
    return _windowed.write_page(diff, output_file), form
