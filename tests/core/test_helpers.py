"""The core's interpreter operations, seen through module functions that use them: unpacking gives
the interpreter's own errors, and defaults reach the parameters they belong to."""

import pathlib
import sys
import tempfile

import pytest

from pelorix.driver.common import instrumentcore as ic
from pelorix.toolkit import view


class GetitemOnly:
    """Iterable through the old sequence protocol only."""

    def __getitem__(self, i):
        if i < 3:
            return i
        raise IndexError(i)


class IterNone:
    __iter__ = None


class IterTypeError:
    def __iter__(self):
        raise TypeError("no iterating today")


class LenOnly:
    def __len__(self):
        return 2


class Boom(Exception):
    pass


def failing_after_one():
    yield "k"
    raise Boom("second item")


ITEMS = [
    pytest.param(lambda: 3, id="int"),
    pytest.param(lambda: None, id="None"),
    pytest.param(lambda: (1,), id="short-tuple"),
    pytest.param(lambda: [1, 2, 3], id="long-list"),
    pytest.param(lambda: "abc", id="long-str"),
    pytest.param(lambda: iter(()), id="empty-iterator"),
    pytest.param(GetitemOnly, id="getitem-only"),
    pytest.param(IterNone, id="iter-none"),
    pytest.param(IterTypeError, id="iter-raises-typeerror"),
    pytest.param(LenOnly, id="len-only"),
    pytest.param(failing_after_one, id="iterator-raises"),
    pytest.param(lambda: "ab", id="two-char-str"),
    pytest.param(lambda: iter(["k", 1]), id="two-item-iterator"),
]


class Items(dict):
    """A nested dict whose items() hands out one chosen item."""

    def __init__(self, item):
        super().__init__()
        self.item = item

    def items(self):
        return [self.item]


def outcome(action):
    try:
        action()
    except Exception as e:  # noqa: BLE001 - the outcome is what is compared
        return type(e), str(e)
    return "ok"


@pytest.mark.parametrize("make", ITEMS)
def test_unpacking_a_pair_fails_as_the_interpreter_does(make, capsys):
    def python():
        _key, _value = make()

    expected = outcome(python)
    assert outcome(lambda: view.display_tree({"node": Items(make())}, end="")) == expected
    capsys.readouterr()


class Browser:
    opened = []  # the record of one test

    @classmethod
    def open(cls, uri):
        cls.opened.append(uri)


@pytest.fixture
def browser(monkeypatch):
    Browser.opened = []
    monkeypatch.setattr(view, "webbrowser", Browser)
    return Browser


@pytest.mark.parametrize("fn", [view.compare, view.BeautifulHtmlDiff.generate_html],
                         ids=["compare", "generate_html"])
def test_two_different_defaults_each_reach_their_own_parameter(fn, browser, tmp_path):
    # output_file=None, auto_open=True: a new temporary page, opened
    assert fn.__defaults__ == (None, True)
    args = ("a\n", "b\n") if fn is view.compare else (view.BeautifulHtmlDiff(text1="a", text2="b"),)
    page = pathlib.Path(fn(*args))
    assert page.parent == pathlib.Path(tempfile.gettempdir()) and page.name.startswith("diff_")
    assert browser.opened == [page.resolve().as_uri()]
    page.unlink()
    # one passed, the other from its own default
    out = tmp_path / "given.html"
    assert fn(*args, str(out)) == str(out) and len(browser.opened) == 2
    temp = pathlib.Path(fn(*args, auto_open=False))
    assert temp.parent == pathlib.Path(tempfile.gettempdir()) and len(browser.opened) == 2
    temp.unlink()
    # replaced defaults are read at each call, still one per parameter
    saved = fn.__defaults__
    other = tmp_path / "default.html"
    fn.__defaults__ = (str(other), False)
    try:
        assert fn(*args) == str(other) and len(browser.opened) == 2
        fn.__defaults__ = (False,)  # only the last parameter has a default now
        missing = r"missing 1 required positional argument: 'output_file'"
        with pytest.raises(TypeError, match=missing):
            fn(*args)
    finally:
        fn.__defaults__ = saved


class Driver(ic.InstrumentCore):
    open = close = read = write = lambda self, *a, **kw: None


def made_at_run_time(name):
    """The name as `**options` read from a file gives it: equal to the literal, not interned."""
    made = "".join(list(name))
    assert made is not sys.intern(made)
    return made


class Name(str):
    pass


@pytest.mark.parametrize("make", [str, made_at_run_time, Name],
                         ids=["literal", "made-at-run-time", "str-subclass"])
@pytest.mark.parametrize("others", [{}, {"port": 7}], ids=["alone", "with-a-literal"])
def test_options_are_found_by_an_equal_name_however_it_was_made(make, others):
    for options in ({**others, make("timeout"): 5}, {make("timeout"): 5, **others}):
        d = Driver("a", **options)
        assert (d.timeout, d.port) == (5, others.get("port", 0))


class FailingFile:
    """A file whose reading fails, and whose __exit__ fails too, seeing what is being handled."""

    seen = None

    def __enter__(self):
        return self

    def readlines(self):
        raise KeyError("reading")

    def __exit__(self, *exc):
        self.seen = sys.exc_info()[1]
        raise ValueError("closing")


def test_an_error_raised_while_handling_another_has_it_as_context(monkeypatch):
    """_read_file's with block: __exit__ runs while the body's error is handled, as in Python."""
    file = FailingFile()
    monkeypatch.setattr(view, "open", lambda *a, **kw: file, raising=False)
    diff = view.BeautifulHtmlDiff(text1="a", text2="b")
    try:
        raise LookupError("outer")
    except LookupError as e:
        outer = e
        with pytest.raises(ValueError, match="closing") as raised:
            diff._read_file("setup.ini")
        assert sys.exc_info()[1] is outer  # the error handled before the call is handled again
    reading = raised.value.__context__
    assert isinstance(reading, KeyError) and file.seen is reading
    assert reading.__context__ is outer
