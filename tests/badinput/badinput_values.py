"""Hostile argument values for the bad-input harness: every kind of object a careless or malicious
caller could hand to a native function, including objects whose special methods raise, lie about
their type or size, or mutate the containers the callee is walking."""

import collections
import functools
import pathlib
import sys
import types

import numpy as np


class Boom(Exception):
    """Raised by the hostile objects; seeing it come out of a call is fine."""


class BaseBoom(BaseException):
    """Like Boom, but not an Exception: code that handles only Exception must let it through."""


def _boom(*_args, **_kw):
    raise Boom("hostile special method")


def _base_boom(*_args, **_kw):
    raise BaseBoom("hostile special method")


class IntSub(int):
    pass


class StrSub(str):
    pass


class FloatSub(float):
    pass


class DictSub(dict):
    pass


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


class RaisesEq:
    __eq__ = __ne__ = __lt__ = __gt__ = _boom

    def __hash__(self):
        return hash("a")


class RaisesHash:
    __hash__ = _boom


class RaisesStr:
    __str__ = __repr__ = _boom


class RaisesFormat:
    __format__ = _boom


class RaisesBool:
    __bool__ = _boom


class RaisesBaseBoomStr:
    __str__ = __repr__ = __format__ = __bool__ = __eq__ = __hash__ = _base_boom


class RaisesLen:
    __len__ = _boom

    def __getitem__(self, i):
        raise Boom("getitem")


class HugeLen:
    def __len__(self):
        return sys.maxsize

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError(i)
        return i


class RaisesIter:
    __iter__ = _boom


class IterBreaks:
    def __iter__(self):
        yield 1
        raise Boom("iteration")


class RaisesGetattr:
    def __getattr__(self, name):
        raise Boom(name)


class RaisesGetattribute:
    def __getattribute__(self, name):
        raise Boom(name)


class RaisesNumber:
    __index__ = __int__ = __float__ = __complex__ = __neg__ = __abs__ = _boom
    __add__ = __radd__ = __sub__ = __rsub__ = __mul__ = __rmul__ = _boom


class RaisesFspath:
    __fspath__ = _boom


class RaisesArray:
    __array__ = _boom
    __len__ = _boom


class RaisesEverything:
    __eq__ = __ne__ = __lt__ = __gt__ = __hash__ = __str__ = __repr__ = __format__ = _boom
    __bool__ = __len__ = __iter__ = __getitem__ = __contains__ = __index__ = __int__ = _boom
    __float__ = __fspath__ = __array__ = __add__ = __radd__ = __sub__ = __rsub__ = _boom
    __mul__ = __rmul__ = __call__ = __getattr__ = _boom


class ReturnsWrongTypes:
    """Special methods that return the wrong kind of object."""

    def __str__(self):
        return 1  # noqa: PLE0307

    __repr__ = __format__ = __str__

    def __bool__(self):
        return 2  # noqa: PLE0304

    def __len__(self):
        return "x"  # noqa: PLE0303

    def __hash__(self):
        return "x"  # noqa: PLE0309

    def __eq__(self, other):
        return RaisesBool()

    def __index__(self):
        return 1.5  # noqa: PLE0305

    def __iter__(self):
        return 3


class StrSubRaisesEq(str):
    __eq__ = __ne__ = _boom

    def __hash__(self):
        return str.__hash__(self)


class StrSubRaisesHash(str):
    __hash__ = _boom


class StrSubBadStr(str):
    def __str__(self):
        return 42  # noqa: PLE0307


class IntSubRaisesStr(int):
    __str__ = __repr__ = __format__ = __index__ = _boom


class BadArray(np.ndarray):
    __getitem__ = __len__ = _boom


class Slotted:
    __slots__ = ("a",)


# Clearers stay alive after their container dropped them, so the container keeps its reference
# count and the harness's check for dropped references stays meaningful.
_struck = collections.deque(maxlen=64)


class Clearer:
    """Empties the container it sits in as soon as anyone looks at it, to catch native code that
    keeps borrowed pointers into a container while calling back into Python."""

    def __init__(self):
        self.target = None
        self.struck = False

    def _strike(self):
        if self.target is not None and not self.struck:
            self.struck = True
            _struck.append(self)
            self.target.clear()

    def __str__(self):
        self._strike()
        return "cleared"

    def __repr__(self):
        return self.__str__()

    def __format__(self, format_spec):
        return self.__str__()

    def __eq__(self, other):
        self._strike()
        return False

    def __hash__(self):
        self._strike()
        return 7

    def __bool__(self):
        self._strike()
        return True

    def __iter__(self):
        self._strike()
        return iter(())

    def __len__(self):
        self._strike()
        return 0


def _fresh_text(text):
    return "".join(list(text))  # a new object each time, freed when its container lets go


def _clearing_list():
    items = [_fresh_text("first"), Clearer(), [_fresh_text("nested")], _fresh_text("last")]
    items[1].target = items
    return items


def _clearing_dict():
    d = {"a": _fresh_text("first"), "b": Clearer(), "c": {"d": _fresh_text("nested")}}
    d["b"].target = d
    d["e"] = [_fresh_text("last")]
    return d


def _self_list():
    items = [1]
    items.append(items)
    return items


def _self_dict():
    d = {"a": 1}
    d["self"] = d
    return d


@functools.cache
def _deep_list(depth=100_000):
    """Deep enough to overflow the C stack of any native code that recurses without a limit;
    built once, since building and freeing it dominates the harness's time otherwise."""
    node = []
    for _ in range(depth):
        node = [node]
    return node


@functools.cache
def _deep_dict(depth=100_000):
    node = {}
    for _ in range(depth):
        node = {"k": node}
    return node


def _raising_generator():
    yield "a"
    raise Boom("generator")


def _readonly_array():
    a = np.arange(5)
    a.setflags(write=False)
    return a


# (label, factory): every case gets fresh objects, so a consumed iterator or a container emptied
# by an earlier case never leaks into the next one.
VALUES = [
    ("None", lambda: None),
    ("True", lambda: True),
    ("False", lambda: False),
    ("0", lambda: 0),
    ("1", lambda: 1),
    ("-1", lambda: -1),
    ("22", lambda: 22),
    ("2**31", lambda: 2**31),
    ("2**63", lambda: 2**63),
    ("-2**63-1", lambda: -(2**63) - 1),
    ("10**100", lambda: 10**100),
    ("10**5000", lambda: 10**5000),  # str() of it raises ValueError (digit limit)
    ("IntSub(1)", lambda: IntSub(1)),
    ("IntSubRaisesStr(3)", lambda: IntSubRaisesStr(3)),
    ("0.5", lambda: 0.5),
    ("nan", lambda: float("nan")),
    ("inf", lambda: float("inf")),
    ("-inf", lambda: float("-inf")),
    ("-0.0", lambda: -0.0),
    ("FloatSub(nan)", lambda: FloatSub("nan")),
    ("complex(nan,1)", lambda: complex(float("nan"), 1)),
    ("''", lambda: ""),
    ("'a'", lambda: "a"),
    ("'b'", lambda: "b"),
    ("'x'*5000", lambda: "x" * 5000),
    ("lone surrogate", lambda: "\udc80"),
    ("NUL in str", lambda: "a\x00b"),
    ("non-ASCII str", lambda: "é中🙂\u200b"),
    ("'Waveform'", lambda: "Waveform"),
    ("'quantity'", lambda: "quantity"),
    ("'global'", lambda: "global"),
    ("'debug'", lambda: "debug"),
    ("'sudo'", lambda: "sudo"),
    ("printf directives", lambda: "%s%n%x%p%U%S%%"),
    ("format braces", lambda: "{0}{}{x}{"),
    ("line breaks", lambda: "a\nb\r\nc\rd\x0b\x0c\x1c\u2028"),
    ("html", lambda: "<script>&amp;\"'</script>"),
    ("StrSub('a')", lambda: StrSub("a")),
    ("StrSub('Waveform')", lambda: StrSub("Waveform")),
    ("StrSubRaisesEq('global')", lambda: StrSubRaisesEq("global")),
    ("StrSubRaisesHash('a')", lambda: StrSubRaisesHash("a")),
    ("StrSubBadStr('a')", lambda: StrSubBadStr("a")),
    ("b''", lambda: b""),
    ("b'\\xff\\xfe'", lambda: b"\xff\xfe"),
    ("bytearray", lambda: bytearray(b"ab")),
    ("memoryview", lambda: memoryview(b"ab")),
    ("()", lambda: ()),
    ("(1,)", lambda: (1,)),
    ("(array, lengths)", lambda: (np.array([1.0, 2.0]), np.array([2, 1]))),
    ("(array, negative lengths)", lambda: (np.array([1, 2]), np.array([-1, 2]))),
    ("('a', 'b')", lambda: ("a", "b")),
    ("(None, None)", lambda: (None, None)),
    ("(1, 2, 3)", lambda: (1, 2, 3)),
    ("TupleSub((array, lengths))", lambda: TupleSub((np.array([1]), np.array([3])))),
    ("(RaisesEverything, RaisesEverything)", lambda: (RaisesEverything(), RaisesEverything())),
    ("[]", list),
    ("[1, 2]", lambda: [1, 2]),
    ("[None]", lambda: [None]),
    ("['a', 'b']", lambda: ["a", "b"]),
    ("ListSub([1])", lambda: ListSub([1])),
    ("self-referencing list", _self_list),
    ("deep list", _deep_list),
    ("list emptied while read", _clearing_list),
    ("{}", dict),
    ("{'a': 1}", lambda: {"a": 1}),
    ("nested dict", lambda: {"a": {"b": {"c": [1, {"d": None}]}}, "e": "f"}),
    ("dict with odd keys", lambda: {1: 2, None: [], (1,): {}, 0.5: "x", b"k": np.arange(2)}),
    ("dict with hostile values", lambda: {"a": RaisesEverything(), "b": {"c": RaisesStr()}}),
    ("dict with hostile key", lambda: {RaisesEq(): 1, "b": 2}),
    ("self-referencing dict", _self_dict),
    ("deep dict", _deep_dict),
    ("dict emptied while read", _clearing_dict),
    ("DictSub", lambda: DictSub(a=1)),
    ("OrderedDict", lambda: collections.OrderedDict(a=1)),
    ("defaultdict", lambda: collections.defaultdict(list, a=[1])),
    ("mappingproxy", lambda: types.MappingProxyType({"a": 1})),
    ("set", lambda: {1, "a"}),
    ("frozenset", lambda: frozenset({1})),
    ("range(3)", lambda: range(3)),
    ("iterator", lambda: iter([1, 2])),
    ("raising generator", _raising_generator),
    ("empty array", lambda: np.array([])),
    ("int array", lambda: np.array([1, 1, 2, 2, 2, 3])),
    ("2-D array", lambda: np.arange(6).reshape(2, 3)),
    ("0-D array", lambda: np.array(5)),
    ("NaN array", lambda: np.array([np.nan, np.nan, 1.0])),
    ("str array", lambda: np.array(["a", "b", "b"])),
    ("complex array", lambda: np.array([1j, 1j, 2])),
    ("bool array", lambda: np.array([True, True, False])),
    ("object array with hostile items", lambda: np.array([RaisesEq(), 1, "a"], dtype=object)),
    ("structured array", lambda: np.zeros(3, dtype=[("a", "i4"), ("b", "f8")])),
    ("strided array", lambda: np.arange(10)[::3]),
    ("read-only array", _readonly_array),
    ("masked array", lambda: np.ma.masked_array([1, 2, 2], mask=[0, 1, 0])),
    ("big array", lambda: np.zeros(200_000)),
    ("BadArray", lambda: np.arange(4).view(BadArray)),
    ("np.float64(nan)", lambda: np.float64("nan")),
    ("np.int64(3)", lambda: np.int64(3)),
    ("np.bool_(True)", lambda: np.bool_(True)),
    ("RaisesEq", RaisesEq),
    ("RaisesHash", RaisesHash),
    ("RaisesStr", RaisesStr),
    ("RaisesFormat", RaisesFormat),
    ("RaisesBool", RaisesBool),
    ("RaisesBaseBoomStr", RaisesBaseBoomStr),
    ("RaisesLen", RaisesLen),
    ("HugeLen", HugeLen),
    ("RaisesIter", RaisesIter),
    ("IterBreaks", IterBreaks),
    ("RaisesGetattr", RaisesGetattr),
    ("RaisesGetattribute", RaisesGetattribute),
    ("RaisesNumber", RaisesNumber),
    ("RaisesFspath", RaisesFspath),
    ("RaisesArray", RaisesArray),
    ("RaisesEverything", RaisesEverything),
    ("ReturnsWrongTypes", ReturnsWrongTypes),
    ("Clearer", Clearer),
    ("object()", object),
    ("Slotted", lambda: Slotted.__new__(Slotted)),
    ("the type int", lambda: int),
    ("module sys", lambda: sys),
    ("a lambda", lambda: lambda *a, **k: None),
    ("Ellipsis", lambda: ...),
    ("NotImplemented", lambda: NotImplemented),
    ("slice", lambda: slice(1, None, -1)),
    ("Path('a')", lambda: pathlib.Path("a")),
    ("exception instance", lambda: Boom("x")),
]

# Values that stand in for a wrong `self` in unbound method calls.
SELF_LABELS = [
    "None",
    "1",
    "'a'",
    "{}",
    "[]",
    "()",
    "object()",
    "Slotted",
    "RaisesGetattr",
    "RaisesGetattribute",
    "RaisesEverything",
    "RaisesStr",
    "the type int",
    "module sys",
    "int array",
]

# Keyword names tried on functions that take **kw; several are read by the functions themselves.
KEYWORDS = ["ch", "mode", "target", "host", "port", "timeout", "model", "srate", "zz"]
