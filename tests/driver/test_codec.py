"""The waveform codec: compress gives exactly what the NumPy chain gives, whichever route it
takes."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from pelorix.driver.common import instrumentcore as ic

NUMERIC = ["?", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8",
           "f2", "f4", "f8", "g", "c8", "c16", "G"]


def chain(a):
    """The codec as the plain NumPy steps define it."""
    index = np.r_[0, np.flatnonzero(np.diff(a)) + 1]
    return a[index], np.diff(np.r_[index, len(a)])


def assert_same(got, want):
    assert type(got) is tuple and len(got) == 2
    for g, w in zip(got, want):
        assert type(g) is type(w)
        assert g.dtype == w.dtype and g.shape == w.shape
        assert g.tobytes() == w.tobytes()  # bit for bit: -0.0, NaN payloads, bool bytes


def special_floats(dtype):
    # few distinct values, so runs form; the specials are the ones that decide where runs end
    return st.sampled_from([0.0, -0.0, 1.0, 1.5, np.inf, -np.inf, np.nan, 1e-300, 5e-324])


def elements(dtype):
    kind = np.dtype(dtype).kind
    if kind == "f":
        return special_floats(dtype).map(lambda v: np.array(v).astype(dtype)[()])
    if kind == "c":
        part = special_floats(dtype)
        return st.builds(complex, part, part).map(lambda v: np.array(v).astype(dtype)[()])
    if kind == "b":
        return st.booleans()
    info = np.iinfo(dtype)
    return st.sampled_from([0, 1, 2, info.min, info.max])


@st.composite
def waveforms(draw):
    dtype = np.dtype(draw(st.sampled_from(NUMERIC)))
    base = draw(hnp.arrays(dtype, st.integers(1, 120), elements=elements(dtype)))
    # long stretches of equal values, the shape real waveforms have
    a = np.repeat(base, draw(hnp.arrays("i8", base.shape, elements=st.integers(1, 70))))
    step = draw(st.sampled_from([1, 1, 2, -1, -3]))
    return a[::step]


@settings(max_examples=400, deadline=None)
@given(waveforms())
def test_compress_is_the_numpy_chain_and_decompress_restores(a):
    with np.errstate(all="ignore"):
        got, want = ic.compress(a), chain(a)
    assert_same(got, want)
    restored = ic.decompress(*got)
    # equal element by element: a -0.0 that joined a run of 0.0 comes back as 0.0
    assert restored.dtype == a.dtype and np.array_equal(restored, a, equal_nan=True)


@pytest.mark.parametrize("data, starts", [
    ([np.nan, np.nan, 1.0, 1.0], [0, 1, 2]),
    ([np.inf, np.inf, np.inf, -np.inf], [0, 1, 2, 3]),
    ([-0.0, 0.0, 0.0, 1.0], [0, 3]),
    ([complex(1, np.nan), complex(1, np.nan), 2j, 2j], [0, 1, 2]),
    ([complex(np.inf, 0), complex(np.inf, 0)], [0, 1]),
    ([7.0] * 100 + [8.0], [0, 100]),
])
def test_run_boundaries(data, starts):
    with np.errstate(invalid="ignore"):
        values, lengths = ic.compress(np.array(data))
    assert lengths.tolist() == np.diff(starts + [len(data)]).tolist()
    assert values.tobytes() == np.array(data)[starts].tobytes()


def test_booleans_differ_by_truth_value_and_keep_their_bytes():
    raw = np.array([2, 1, 0, 3, 1, 0, 0], np.uint8).view(bool)
    assert_same(ic.compress(raw), chain(raw))
    assert ic.compress(raw)[0].view(np.uint8).tolist() == [2, 0, 3, 0]


class Tagged(np.ndarray):
    pass


def outcome(f, *args):
    try:
        return f(*args)
    except Exception as e:  # noqa: BLE001 - the exception is the outcome being compared
        return type(e), str(e)


@pytest.mark.parametrize("make", [
    lambda: np.arange(6.0).astype(">f8"),                       # foreign byte order
    lambda: np.array([1, 1, 2], "M8[s]"),                        # no difference of its own kind
    lambda: np.array(["a", "a", "b"], object),                   # the chain's TypeError
    lambda: np.repeat([1.0, 2.0], 3).view(Tagged),               # subclass stays a subclass
    lambda: np.array([[1, 1], [1, 1]]),                          # two dimensions
    lambda: np.array([[1, 1], [1, 2]]),                          # ... selecting past the first axis
    lambda: np.array([], float),                                 # empty: the chain's IndexError
    lambda: np.array(3.0),                                       # 0-d: the chain's ValueError
], ids=["big-endian", "datetime", "object", "subclass", "2-d", "2-d-past", "empty", "0-d"])
def test_other_arrays_follow_the_chain(make):
    got, want = outcome(ic.compress, make()), outcome(chain, make())
    if isinstance(want, tuple) and isinstance(want[0], type):
        assert got == want
    else:
        assert_same(got, want)


def signaling_nan(dtype):
    """[1.0, sNaN, sNaN, 1.0] of `dtype`: a NaN whose quiet bit is clear, made from its bits (for a
    complex type, in the real part)."""
    a = np.ones(4, dtype)
    real = a.real if a.dtype.kind == "c" else a
    bits = {2: (np.uint16, 0x7D00), 4: (np.uint32, 0x7FA00000), 8: (np.uint64, 0x7FF4 << 48)}
    size = real.dtype.itemsize
    if size in bits:
        kind, pattern = bits[size]
        real[1:3] = np.array(pattern, kind).view(real.dtype)
    else:  # x86 extended precision: integer bit set, quiet bit clear, exponent all ones
        raw = bytearray(size)
        raw[:8] = (0xA000000000000000).to_bytes(8, "little")
        raw[8:10] = (0x7FFF).to_bytes(2, "little")
        real[1:3] = np.frombuffer(bytes(raw), real.dtype)[0]
    return a


@pytest.mark.parametrize("data", [
    [np.inf, np.inf, 1.0], [1e308, -1e308], [complex(0, np.inf)] * 2,
    np.array([60000, -60000], "f2"), np.array([np.inf, np.inf], "f2"), np.array([-np.inf] * 3, "g"),
    *[signaling_nan(t) for t in ("f2", "f4", "f8", "g", "c8", "c16")],
])
def test_floating_point_conditions_are_reported_as_numpy_reports_them(data):
    a = np.asarray(data)
    with np.errstate(all="raise"), pytest.raises(FloatingPointError):
        chain(a)
    with np.errstate(all="raise"), pytest.raises(FloatingPointError):
        ic.compress(a)
    with np.errstate(all="ignore"):
        assert_same(ic.compress(a), chain(a))


def python_calls(f, *args):
    """The names of the Python functions a call runs: NumPy's chain is Python code, the one-pass
    route runs none."""
    seen = []
    sys.setprofile(lambda frame, event, arg: event == "call" and seen.append(frame.f_code.co_name))
    try:
        f(*args)
    finally:
        sys.setprofile(None)
    return seen


@pytest.mark.parametrize("dtype", [*NUMERIC, ">f8", ">i4"])
def test_native_numeric_arrays_take_the_one_pass_route_and_others_the_chain(dtype):
    a = np.repeat(np.arange(3), 4).astype(dtype)
    for view in (a, a[::-2]):
        assert (python_calls(ic.compress, view) == []) == a.dtype.isnative


@pytest.mark.parametrize("value", [[1, 1, 2], (1.0,), 3, None])
def test_non_arrays_come_back_unchanged(value):
    assert ic.compress(value) is value


def test_a_rebound_np_or_a_patched_numpy_function_is_used(monkeypatch):
    calls = []

    def diff(a, *args, **kw):
        calls.append(len(a))
        return np.subtract(a[1:], a[:-1]) if a.ndim else np.diff(a)

    monkeypatch.setattr(np, "diff", diff)
    ic.compress(np.array([1.0, 1.0, 2.0]))
    assert calls == [3, 3]
    monkeypatch.undo()

    class Proxy:
        def __getattr__(self, name):
            calls.append(name)
            return getattr(np, name)

    monkeypatch.setattr(ic, "np", Proxy())
    assert_same(ic.compress(np.array([1.0, 1.0, 2.0])), chain(np.array([1.0, 1.0, 2.0])))
    assert calls[2:] == ["ndarray", "r_", "flatnonzero", "diff", "diff", "r_"]


def test_decompress_is_numpy_repeat():
    assert ic.decompress(np.array([1, 2]), np.array([3, 0])).tolist() == [1, 1, 1]
    with pytest.raises(ValueError):
        ic.decompress(np.array([1, 2]), np.array([1, -1]))


def test_an_import_tried_again_after_a_failure_keeps_numpy_once():
    # compress keeps numpy's functions from the module's load; a second load, after the first
    # failed at the sibling import, must let go of what the first one kept
    code = """
        import sys
        import numpy as np
        print(sys.getrefcount(np.flatnonzero))
        sys.modules["pelorix.driver.common.quantity"] = None
        try:
            import pelorix.driver.common.instrumentcore
        except ImportError:
            print(sys.getrefcount(np.flatnonzero))
        del sys.modules["pelorix.driver.common.quantity"]
        from pelorix.driver.common import instrumentcore as ic
        print(sys.getrefcount(np.flatnonzero))
        print(*ic.compress(np.array([2, 2, 5]))[1])
    """
    r = subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(code)], capture_output=True,
                       text=True, env={"PYTHONPATH": ":".join(sys.path)})
    before, failed, loaded, lengths = r.stdout.splitlines()
    kept = int(before) + 1
    assert (int(failed), int(loaded), lengths) == (kept, kept, "2 1"), r.stderr
