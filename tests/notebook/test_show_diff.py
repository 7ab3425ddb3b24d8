"""show_diff carries the very page `pelorix diff` writes (or, with page="full", the one compare
writes) inside an iframe's srcdoc: inputs decided as compare decides them, the text escaped so
that it arrives unchanged, a height that fits the page's rows up to the cap, nothing left on disk
and no browser started; and the example notebook in a real Jupyter kernel."""

import json
import os
import pathlib
import re
from html.parser import HTMLParser
from types import SimpleNamespace

import pytest
from IPython.display import HTML

from pelorix.notebook import show_diff
from pelorix.toolkit import _windowed, view

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
TIMESTAMP = re.compile(r'<span class="timestamp">[^<]*</span>')


class Frames(HTMLParser):
    """The attributes of every iframe, values unescaped as an HTML parser does."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.frames = []
        self.feed(text)
        self.close()

    def handle_starttag(self, tag, attrs):
        if tag == "iframe":
            self.frames.append(dict(attrs))


def frame_of(html_text):
    [frame] = Frames(html_text).frames
    return frame


def height_of(frame):
    return int(re.search(r"height: (\d+)px", frame["style"])[1])


def written_page(tmp_path, **inputs):
    """The page `pelorix diff` writes (the windowed one) of these inputs."""
    path = _windowed.write_page(view.BeautifulHtmlDiff(**inputs), str(tmp_path / "expected.html"))
    with open(path, encoding="utf-8", newline="") as f:
        return f.read()


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    pathlib.Path("old.ini").write_bytes(b'rate = 1\r\nname = "a & <b>"\r\n')
    pathlib.Path("new.ini").write_bytes(b"rate = 2\nname = 'a & <b>'\n")
    pathlib.Path("folder").mkdir()
    return tmp_path


# (arg1, arg2) -> how compare takes them
INPUTS = [
    (("old.ini", "new.ini"), "files"),
    (("old.ini", "not a file"), "texts"),
    (("folder", "new.ini"), "texts"),
    (("", ""), "texts"),
    (('a "q" & <i>\r\nb\rc\x0cd\n', "a 'q' &amp; <i>\nb\n"), "texts"),
]


@pytest.mark.parametrize("args, mode", INPUTS)
def test_frame_holds_the_page_the_command_line_writes(workdir, args, mode):
    shown = show_diff(*args)
    assert isinstance(shown, HTML)
    frame = frame_of(shown.data)
    inputs = dict(zip(["file1", "file2"] if mode == "files" else ["text1", "text2"], args))
    expected = written_page(workdir, **inputs)
    assert TIMESTAMP.sub("", frame["srcdoc"]) == TIMESTAMP.sub("", expected)
    assert frame["sandbox"] == "allow-scripts allow-modals"
    assert "width: 100%" in frame["style"]


@pytest.mark.parametrize(
    "lines1, lines2, max_height, page, height",
    [
        (0, 0, 600, None, 130),
        (3, 4, 600, None, 210),
        (24, 1, 600, None, 600),
        (1, 400, 600, None, 600),
        (400, 1, 10_000, None, 8130),
        (3, 4, 150, None, 150),
        (3, 4, 600, "full", 210),
    ],
)
def test_height_fits_the_rows_up_to_the_cap(lines1, lines2, max_height, page, height):
    text1, text2 = (
        "".join(f"{n} {i}\n" for i in range(k)) for n, k in [("a", lines1), ("b", lines2)]
    )
    shown = show_diff(text1, text2, max_height=max_height, page=page)
    assert height_of(frame_of(shown.data)) == height


def test_height_counts_the_fillers():
    # a deleted line, an equal pair, an inserted line: three rows of two lines each
    assert height_of(frame_of(show_diff("a\nsame\n", "same\nb\n").data)) == 130 + 3 * 20


@pytest.mark.parametrize(
    "args, kwargs, error, match",
    [
        ((b"a", "b"), {}, TypeError, "arg1"),
        (("a", None), {}, TypeError, "arg2"),
        (("a", "b"), {"max_height": 0}, ValueError, "max_height must be positive"),
        (("a", "b"), {"max_height": True}, TypeError, "max_height must be int"),
        (("a", "b"), {"max_height": 600.0}, TypeError, "max_height must be int"),
        (("a", "b", 600), {}, TypeError, "positional"),
        (("a", "b"), {"page": "paged"}, ValueError, "page must be 'full' or 'windowed'"),
        (("a", "b"), {"page": 1}, TypeError, "page must be str or None"),
    ],
)
def test_bad_arguments(args, kwargs, error, match):
    with pytest.raises(error, match=match):
        show_diff(*args, **kwargs)


# The windowed page at every size (the one write_page writes); the keyword forces either form.
@pytest.mark.parametrize(
    "lines1, lines2, page, windowed",
    [
        (3, 4, None, True),
        (2500, 2501, None, True),
        (3, 4, "windowed", True),
        (3000, 3000, "full", False),
    ],
)
def test_page_form_follows_the_size_or_the_keyword(tmp_path, lines1, lines2, page, windowed):
    text1, text2 = (
        "".join(f"{n} {i}\n" for i in range(k)) for n, k in [("a", lines1), ("b", lines2)]
    )
    srcdoc = frame_of(show_diff(text1, text2, page=page).data)["srcdoc"]
    diff = view.BeautifulHtmlDiff(text1=text1, text2=text2)
    path = tmp_path / "expected.html"
    if windowed:
        _windowed.write_page(diff, str(path))
    else:
        diff.generate_html(output_file=str(path), auto_open=False)
    expected = path.read_text(encoding="utf-8")
    assert TIMESTAMP.sub("", srcdoc) == TIMESTAMP.sub("", expected)
    assert ('id="find-input"' in srcdoc) == windowed


@pytest.mark.parametrize("args", [("x\n", "y\n"), (1, "y")])
def test_leaves_no_file_and_opens_no_browser(tmp_path, monkeypatch, args):
    opened = []
    monkeypatch.setattr(view, "webbrowser", SimpleNamespace(open=opened.append))
    monkeypatch.setattr("tempfile.tempdir", str(tmp_path))
    try:
        show_diff(*args)
    except TypeError:
        pass
    assert (os.listdir(tmp_path), opened) == ([], [])


@pytest.fixture(scope="module")
def example_cells(run_notebook):
    """The example notebook's code cells after a run in a kernel, as (source, outputs) pairs."""
    return run_notebook(EXAMPLES / "diff_inline.ipynb", EXAMPLES)


def shown_frame(cells, needle):
    [outputs] = [out for source, out in cells if needle in source]
    [html] = [o.data["text/html"] for o in outputs if "text/html" in o.get("data", {})]
    assert all(o.output_type != "error" for o in outputs)
    return frame_of(html)


def test_a_hundred_thousand_lines_in_a_kernel_get_the_windowed_page(run_notebook, tmp_path):
    nbformat = pytest.importorskip("nbformat")
    source = (
        "from pelorix.notebook import show_diff\n"
        "old = ''.join(f'{i} reading\\n' for i in range(100_000))\n"
        "show_diff(old, old.replace('77 reading', '77 changed'))"
    )
    notebook = nbformat.v4.new_notebook(cells=[nbformat.v4.new_code_cell(source)])
    nbformat.write(notebook, tmp_path / "large.ipynb")
    [(_, outputs)] = run_notebook(tmp_path / "large.ipynb", tmp_path)
    srcdoc = shown_frame([(source, outputs)], "show_diff")["srcdoc"]
    assert 'id="find-input"' in srcdoc and srcdoc.count("100000 lines") == 2
    assert len(srcdoc) < 6_000_000


def test_example_notebook_shows_the_pages(example_cells, tmp_path):
    files = shown_frame(example_cells, "setup_old.ini")
    expected = written_page(
        tmp_path, file1=str(EXAMPLES / "setup_old.ini"), file2=str(EXAMPLES / "setup_new.ini")
    )
    assert TIMESTAMP.sub("", files["srcdoc"]) == TIMESTAMP.sub("", expected)
    texts = shown_frame(example_cells, "show_diff(recorded, current)")
    assert '<span class="file_name">Text 1</span>' in texts["srcdoc"]
    data = re.findall(r'<script type="application/json">(.*?)</script>', texts["srcdoc"], re.S)
    assert json.loads(data[1])["marks"]  # a replaced pair, marked character by character
    assert height_of(shown_frame(example_cells, "max_height=300")) == 300
