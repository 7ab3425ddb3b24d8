"""What the windowed page's tests share: a BeautifulHtmlDiff with its page methods overridden,
lines that are not exact str, texts that the escaping, the marking and the data writer must get
right, a page of a million lines, and writing a page of two lists of lines."""

import random

from pelorix.toolkit import _windowed, view


class Custom(view.BeautifulHtmlDiff):
    """Page methods overridden: every escaped run in markup of its own, the left text of a marked
    pair underlined, other gutter symbols and an extra class on every row."""

    def _escape_html(self, text):
        return f"<i>{super()._escape_html(text)}</i>"

    def _char_level_diff(self, text1, text2):
        left, right = super()._char_level_diff(text1, text2)
        return f"<u>{left}</u>", right

    def _get_symbol_and_class(self, css_class, is_left=True):
        symbol, container = super()._get_symbol_and_class(css_class, is_left=is_left)
        return symbol * 2, f"{container} custom".strip()


class Line(str):
    """A line that is not an exact str: aligned through the interpreter's equality."""


def str_subclass_lines(diff):
    diff.lines1 = [Line(s) for s in diff.lines1]
    diff.lines2 = [Line(s) for s in diff.lines2]
    return diff


# Lines that try to end the script element holding the rows, or that the escaping and the
# marking must get right: markup, quotes, backslashes, control characters (also within the
# 16-byte blocks the data writer copies on its fast path: a tab, a CR or FF at the end of a
# shown text of 48 characters), line separators, non-ASCII and characters outside the BMP (which
# JavaScript counts as two).
SPECIAL = [
    "</script><script>alert(1)</script>",
    "<!-- <script>",
    "a & b &amp; <i>x</i>",
    "say \"hi\" \\ 'x' \\u003c",
    "tab\there",
    "tab\there, in a row of sixteen characters and more\x01",
    "a carriage return ends this row of 48 characters".ljust(47, ".") + "\r",
    "a form feed ends this row of 48 characters".ljust(47, ".") + "\x0c",
    "caf\u00e9 \u4e00\u4e8c",
    "\U0001f600 smile \U0001f601",
    "line\u2028separator\u2029",
    "form\x0cfeed",
    "",
    "   ",
]


def mid_pair(lines=1200, seed=7):
    """Two texts of about `lines` lines: special lines (frequent ones among them), deletions,
    insertions and replaced lines (some with characters outside the BMP), and a few lines ending
    in CR LF on the right."""
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


def texts(lines):
    return "".join(f"{line}\n" for line in lines)


def write(tmp_path, left, right, cls=view.BeautifulHtmlDiff, name="page.html"):
    diff = cls(text1=texts(left), text2=texts(right))
    return _windowed.write_page(diff, str(tmp_path / name))


def million_line_pair():
    """A million lines against a copy with every thousandth line changed and one "needle"."""
    left = [f"{i:07d} reading {i % 977}\n" for i in range(1_000_000)]
    right = list(left)
    for i in range(500, 1_000_000, 1000):
        right[i] = f"{i:07d} reading changed\n"
    right[900_123] = "a needle in the haystack\n"
    return "".join(left), "".join(right)
