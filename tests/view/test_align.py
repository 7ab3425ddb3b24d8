"""The windowed page's line alignment, through the private hook _windowed._align: always a valid
alignment, minimal below the cut-offs (against a brute-force LCS), close to GNU diff --minimal
past them, and no line left unmatched because it is frequent."""

import random
import shutil
import subprocess

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from pelorix.toolkit import _windowed


def lcs_length(a, b):
    row = [0] * (len(b) + 1)
    for x in a:
        diagonal = 0
        for j, y in enumerate(b):
            diagonal, row[j + 1] = row[j + 1], diagonal + 1 if x == y else max(row[j + 1], row[j])
    return row[-1]


def changed_lines(a, b, ops):
    """Checks that `ops` is a valid alignment of a and b in the page's form and returns how many
    lines it changes (deleted plus inserted, a replaced pair counting two)."""
    i = j = 0
    changed = 0
    previous = None
    for tag, i1, i2, j1, j2 in ops:
        assert (i1, j1) == (i, j), f"{ops} skips or repeats lines"
        assert i1 <= i2 and j1 <= j2
        if tag == "equal":
            assert i2 - i1 == j2 - j1 > 0 and a[i1:i2] == b[j1:j2]
            assert previous != "equal", "adjacent equal opcodes are one"
        else:
            assert previous in (None, "equal"), "adjacent changes are one block"
            assert {"replace": i2 > i1 and j2 > j1, "delete": i2 > i1 and j1 == j2,
                    "insert": i1 == i2 and j2 > j1}[tag], (tag, i1, i2, j1, j2)
            # The k-th lines of a block face each other on the page: never two equal lines.
            assert all(a[i1 + k] != b[j1 + k] for k in range(min(i2 - i1, j2 - j1)))
            changed += i2 - i1 + j2 - j1
        previous = tag
        i, j = i2, j2
    assert (i, j) == (len(a), len(b)), "every line of each side, once"
    return changed


# Few distinct lines, so that equal lines repeat and the search has choices to make.
LINES = ["a\n", "b\n", "c\n", "d", "", "e\n", "f\n"]
small_texts = st.lists(st.sampled_from(LINES[:5]), max_size=30)


@st.composite
def text_pairs(draw):
    """Two unrelated texts, or a text and a copy with a few lines replaced, inserted or
    deleted (which the cut-offs misalign more often)."""
    a = draw(small_texts)
    if draw(st.booleans()):
        return a, draw(small_texts)
    b = list(a)
    for at, line in draw(st.lists(st.tuples(st.integers(0, 30), st.sampled_from(LINES)),
                                  max_size=8)):
        at = min(at, len(b))
        if line == "f\n" and at < len(b):
            del b[at]
        elif line == "e\n" and at < len(b):
            b[at] = draw(st.sampled_from(LINES))
        else:
            b.insert(at, line)
    return a, b


@settings(max_examples=500, deadline=None)
@given(text_pairs())
def test_exact_path_is_minimal(pair):
    a, b = pair
    assert changed_lines(a, b, _windowed._align(a, b)) == len(a) + len(b) - 2 * lcs_length(a, b)


@settings(max_examples=500, deadline=None)
@given(text_pairs(), st.integers(1, 3))
@example((["c", "c", "e", "e", "d", "a"], ["d", "c", "d", "e", "f", "b"]), 2)
def test_cut_off_path_is_valid(pair, cost_limit):
    changed_lines(*pair, _windowed._align(*pair, cost_limit))


def edited_source(count, seed, frequent=None):
    """`count` unique lines (every other one `frequent`, if given) and a copy with about 1% of the
    unique lines replaced, deleted or followed by a new line, spread over the text."""
    rnd = random.Random(seed)
    old = []
    for k in range(count):
        old.append(frequent if frequent and k % 2 else f"line {k} {rnd.random():.9f}\n")
    new = []
    for line in old:
        kind = rnd.randrange(100) if line != frequent else 99
        if kind == 0:
            new.append(f"replaced {rnd.random()}\n")
        elif kind == 1:
            new += [line, f"inserted {rnd.random()}\n"]
        elif kind != 2:
            new.append(line)
    return old, new


def gnu_minimal(a, b, folder):
    """The changed lines of GNU diff --minimal on the same lines."""
    paths = [folder / "a.txt", folder / "b.txt"]
    for path, lines in zip(paths, (a, b)):
        path.write_text("".join(lines), newline="")
    out = subprocess.run(
        ["/usr/bin/diff", "--minimal", *map(str, paths)], capture_output=True, text=True
    ).stdout
    return sum(line[:2] in ("< ", "> ") for line in out.splitlines())


@pytest.mark.skipif(not shutil.which("/usr/bin/diff"), reason="needs GNU diff")
@pytest.mark.parametrize("cost_limit", [None, 64, 4, 1])
@pytest.mark.parametrize(
    "pair",
    [
        edited_source(20_000, 1),
        edited_source(20_000, 2, frequent="x = 0\n"),
        # Every line occurs on one side only, or twice on the other: nothing to anchor on.
        ([f"{k % 7}\n" for k in range(3_000)], [f"{k % 5}\n" for k in range(3_000)]),
    ],
    ids=["scattered edits", "every other line the same", "no unique line"],
)
def test_close_to_gnu_diff_minimal(pair, cost_limit, tmp_path):
    a, b = pair
    ops = _windowed._align(a, b, cost_limit)
    changed, minimal = changed_lines(a, b, ops), gnu_minimal(a, b, tmp_path)
    # Below the cut-off the count is GNU's own; past it, within 5%.
    assert changed == minimal if cost_limit is None else changed <= 1.05 * minimal


# Inputs where a frequent line must not hide the real change: each shows exactly `changes`, as
# (tag, lines on the left, lines on the right).
COLUMN = ["0.0\n"] * 150 + ["1.5\n"] + ["0.0\n"] * 150
LONG = "z" * 5_000 + "\n"
XY = ["x\n"] * 3_000 + [LONG] + ["y\n"] * 3_000


@pytest.mark.parametrize("cost_limit", [None, 1])
@pytest.mark.parametrize(
    "a, b, changes",
    [
        (COLUMN, COLUMN[:150] + ["2.5\n"] + COLUMN[151:], [("replace", 1, 1)]),
        (XY, XY[:1_000] + ["w\n"] + XY[1_001:], [("replace", 1, 1)]),
        (XY, XY[:3_000] + ["z\n"] + XY[3_001:], [("replace", 1, 1)]),
        (XY, XY[:5_000] + XY[5_001:], [("delete", 1, 0)]),
        (["a\n"] * 500, ["a\n"] * 700, [("insert", 0, 200)]),
        (["a\n"] * 500, ["a\n"] * 250 + ["b\n"] + ["a\n"] * 249, [("replace", 1, 1)]),
        # Lines are compared with their endings.
        (["a\r\n", "b\r\n"], ["a\n", "b\n"], [("replace", 2, 2)]),
    ],
    ids=["column", "x/y, an x", "x/y, the long line", "x/y, a y deleted", "repeated line, longer",
         "repeated line, one changed", "CRLF against LF"],
)
def test_only_the_real_change(a, b, changes, cost_limit):
    ops = _windowed._align(a, b, cost_limit)
    assert [(t, i2 - i1, j2 - j1) for t, i1, i2, j1, j2 in ops if t != "equal"] == changes
    changed_lines(a, b, ops)


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((("a",), ["a"]), TypeError, "lists of str"),
        ((["a"], [b"a"]), TypeError, "lists of str"),
        ((["a"], ["a"], "3"), TypeError, "cost_limit must be int or None"),
        ((["a"], ["a"], 0), ValueError, "at least 1"),
        ((["a"], ["a"], 2**70), OverflowError, "too big"),
    ],
)
def test_bad_input(args, error, message):
    with pytest.raises(error, match=message):
        _windowed._align(*args)
