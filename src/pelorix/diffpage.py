"""The two forms of the diff page, and which one a diff gets. The full page, the one `compare`
writes, holds every row in the document, each panel laid out on its own by the standard matcher;
a browser takes about a second to open it at a few thousand lines. The windowed page, the one
`pelorix diff` and `pelorix.notebook.show_diff` write, pairs the rows of the two files (a filler
faces each deleted or inserted line), aligned natively without the standard matcher's
popular-line heuristic, and holds them as data, drawing only those in view: it opens at any size,
and both panels scroll as one. Its rows are one line high (long lines scroll their panel
sideways), and the browser's own find sees only the drawn rows, so its toolbar has a Find box.
The native modules are imported only when a page is made, so the command line starts cheaply."""

import os

FORMS = ("full", "windowed")


def check_form(page):
    """`page` names a form ("full" or "windowed") or is None (the windowed page)."""
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


def write(diff, output_file=None, page=None):
    """Writes the page of `diff` in the form `page` (None: "windowed") to `output_file` (None: a
    new temporary diff_*.html), opening nothing. Returns the page's path and its form."""
    check_form(page)
    if page == "full":
        return diff.generate_html(output_file=output_file, auto_open=False), "full"
    from pelorix.toolkit import _windowed

    return _windowed.write_page(diff, output_file), "windowed"
