"""The driver base class: construction, identity, life cycle and quantity access."""

import abc
import gc
import inspect
import json
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from pelorix.driver.common import instrumentcore as ic
from pelorix.driver.common.quantity import Quantity, newcfg
from pelorix.driver.VirtualDevice import VirtualDevice

TIME = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}"
IDENTITY = "\U0001f516Driver(addr=192.168.1.42, model=None, srate=-1, host=127.0.0.1, port=0)"


class Recorder(ic.InstrumentCore):
    """A driver that records every hook call and answers reads from a table."""

    CHs = [1, 2]
    quants = [Quantity("Offset", 0.0), Quantity("Waveform"), Quantity("Clock", "int", ch="global")]

    def __init__(self, *args, **kw):
        self.calls = []
        self.answers = {}
        super().__init__(*args, **kw)

    def open(self, **kw):
        self.calls.append(("open", kw))

    def close(self, **kw):
        self.calls.append(("close", kw))

    def write(self, name, value, **kw):
        self.calls.append(("write", name, value, kw))
        return self.answers.get(("write", name), value)

    def read(self, name, **kw):
        self.calls.append(("read", name, kw))
        return self.answers.get(("read", name))


def run_python(code, *flags):
    """Runs code in a fresh interpreter that sees the same pelorix as this one."""
    return subprocess.run([sys.executable, "-P", *flags, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True,
                          env={"PYTHONPATH": ":".join(sys.path), "PAGER": "cat", "TERM": "dumb"})


@pytest.fixture
def dev():
    d = Recorder()
    yield d
    d.close = lambda **kw: None  # keep the finaliser quiet


# ---- module and class shape ----


def test_module_namespace_in_load_order():
    names = [n for n in vars(ic) if not n.startswith("__")]
    assert names == ["re", "sys", "ABC", "abstractmethod", "deepcopy", "datetime", "Any", "np",
                     "Quantity", "newcfg", "PATTERN", "compress", "decompress", "InstrumentCore"]
    assert ic.np is np and ic.Quantity is Quantity and ic.newcfg is newcfg
    assert ic.ABC is abc.ABC and ic.re is re and ic.sys is sys


def test_pattern_template_formats_into_the_address_expression():
    assert ic.PATTERN == r"^192\.168\.({seg})\.((2(5[0-5]|[0-4]\d))|[0-1]?\d{{1,2}})"
    rx = re.compile(ic.PATTERN.format(seg=ic.InstrumentCore.segment[1]))
    assert rx.pattern == r"^192\.168\.(103|104)\.((2(5[0-5]|[0-4]\d))|[0-1]?\d{1,2})"
    assert [bool(rx.match(a)) for a in ("192.168.103.255", "192.168.104.7", "192.168.105.1",
                                        "10.168.103.1")] == [True, True, False, False]


def test_class_shape(docstring):
    IC = ic.InstrumentCore
    assert type(IC) is abc.ABCMeta and IC.__bases__ == (abc.ABC,)
    assert IC.__doc__ == docstring("Base class for all drivers and methods open/close/read/write "
                                   "are required.\n\n    See template **VirtualDevice**\n    ")
    assert IC.__annotations__ == {"segment": "tuple", "CHs": "list[int | str]",
                                  "quants": "list[Quantity]"}
    assert IC.segment == ("na", "103|104") and IC.CHs == [1] and IC.quants == []
    methods = [n for n, v in vars(IC).items() if callable(v)]
    assert methods == ["__init__", "__repr__", "__del__", "__enter__", "__exit__", "info",
                       "dict_from_quantity", "open", "close", "write", "read", "cancel", "check",
                       "update", "setValue", "getValue"]
    assert IC.__abstractmethods__ == frozenset({"open", "close", "read", "write"})


def test_drivers_without_own_declarations_share_the_class_lists():
    class A(ic.InstrumentCore):
        pass

    class B(ic.InstrumentCore):
        pass

    assert A.CHs is B.CHs is ic.InstrumentCore.CHs
    assert A.quants is B.quants is ic.InstrumentCore.quants


@pytest.mark.parametrize("missing", ["open", "close", "read", "write"])
def test_a_driver_leaving_a_hook_abstract_cannot_be_built(missing):
    body = {h: (lambda self, *a, **kw: None) for h in ("open", "close", "read", "write")}
    del body[missing]
    Driver = type("Driver", (ic.InstrumentCore,), body)
    with pytest.raises(TypeError, match=missing):
        Driver()
    with pytest.raises(TypeError, match="abstract"):
        ic.InstrumentCore()


SIGNATURES = {
    "__init__": "(self, addr: 'str' = '192.168.1.42', **kw)",
    "__repr__": "(self)",
    "__del__": "(self)",
    "__enter__": "(self)",
    "__exit__": "(self, exception_type, exception_value, traceback)",
    "info": "(self)",
    "dict_from_quantity": "(self)",
    "open": "(self, **kw)",
    "close": "(self, **kw)",
    "write": "(self, name: 'str', value: 'Any', **kw)",
    "read": "(self, name: 'str', **kw)",
    "cancel": "(self)",
    "check": "(self, name: 'str', channel: 'int | str')",
    "update": "(self, name: 'str', value: 'Any', channel: 'int | str' = 1)",
    "setValue": "(self, name: 'str', value: 'Any', **kw)",
    "getValue": "(self, name: 'str', **kw)",
}

DOCS = {
    "__init__": "initialization of the driver\n\n        Args:\n            addr (str, optional): "
                "ip address of the device. Defaults to '192.168.1.42'.\n        ",
    "open": "how device is opened\n        ",
    "close": "how device is closed\n        ",
    "write": "write a command(specified by name and value) to the device\n        ",
    "read": "read a value(specified by name) from the device\n        ",
}


@pytest.mark.parametrize("name", SIGNATURES)
def test_method_signature_doc_and_names(name, docstring):
    f = vars(ic.InstrumentCore)[name]
    assert str(inspect.signature(f)) == SIGNATURES[name]
    assert f.__doc__ == (docstring(DOCS[name]) if name in DOCS else None)
    assert (f.__name__, f.__qualname__, f.__module__) == (
        name, "InstrumentCore." + name, "pelorix.driver.common.instrumentcore")


def test_codec_signatures():
    assert str(inspect.signature(ic.compress)) == "(value: 'Any')"
    assert str(inspect.signature(ic.decompress)) == "(values, lengths)"
    assert ic.compress.__doc__ is None and ic.decompress.__annotations__ == {}


def test_help_shows_parameters_and_docstrings():
    text = run_python("from pelorix.driver.common.instrumentcore import InstrumentCore\n"
                      "help(InstrumentCore)").stdout
    for name, sig in SIGNATURES.items():
        assert f"{name}{sig}" in text
    assert "how device is opened" in text and "See template **VirtualDevice**" in text


# ---- construction and identity ----


def test_construction_defaults_and_tables():
    d = Recorder()
    assert (d.addr, d.host, d.port, d.timeout, d.model, d.srate) == (
        "192.168.1.42", "127.0.0.1", 0, 3.0, "None", -1)
    assert d.config == newcfg(Recorder.quants, Recorder.CHs)
    assert d.quantities == {q.name: q for q in Recorder.quants}
    assert d.quantities["Offset"] is Recorder.quants[0]
    assert list(vars(d)) == ["calls", "answers", "addr", "host", "port", "timeout", "model",
                             "srate", "config", "quantities"]


def test_options_are_stored_unchanged_and_unknown_ones_ignored():
    d = Recorder("127.0.0.1", host="h", port=80, timeout=1, model="M", srate=None, colour="red")
    assert (d.addr, d.host, d.port, d.timeout, d.model, d.srate) == (
        "127.0.0.1", "h", 80, 1, "M", None)
    assert type(d.timeout) is int and not hasattr(d, "colour")


class Text(str):
    pass


@pytest.mark.parametrize("addr", [None, Text("192.168.1.1"), b"1.2.3.4", 5])
def test_addr_must_be_exactly_str(addr, capsys):
    with pytest.raises(TypeError, match="'addr'"):
        Recorder(addr)
    with pytest.raises(TypeError, match="'addr'"):
        Recorder(addr=addr)


def test_later_record_with_same_name_wins():
    class Dup(Recorder):
        quants = [Quantity("A", 1), Quantity("A", 2)]

    assert Dup().quantities["A"] is Dup.quants[1]


def test_repr_is_identity_text_with_module_file():
    d = VirtualDevice()
    import pelorix.driver.VirtualDevice as vd

    assert repr(d) == f"{IDENTITY}<{vd.__spec__.origin}>"
    assert str(d) == f"{d}" == repr(d)


def test_repr_without_a_loaded_module_is_the_base_text(dev):
    Recorder.__module__ = "no.such.module"
    try:
        assert repr(dev) == IDENTITY
    finally:
        Recorder.__module__ = __name__


def test_repr_uses_an_overridden_info():
    class Named(Recorder):
        def info(self):
            return "named"

    assert repr(Named()) == "named"


def test_info_formats_values_with_format():
    class Fmt:
        def __format__(self, format_spec):
            return "<fmt>"

    d = Recorder(model=Fmt())
    assert "model=<fmt>," in d.info()


class Logged:
    """A quantity record that logs every read of its name and default."""

    def __init__(self, log, name, ch=1):
        self._log, self._name, self._default = log, name, {"ch": ch, "value": 0}

    @property
    def name(self):
        self._log.append(f"{self._name}.name")
        return self._name

    @property
    def default(self):
        self._log.append(f"{self._name}.default")
        return self._default


class LoggedSys:
    def __init__(self, log):
        self._log = log

    @property
    def modules(self):
        self._log.append("sys.modules")
        return sys.modules


WATCHED = {"quants", "CHs", "addr", "model", "srate", "host", "port", "__module__"}

# What each step reads, in the order its Python statements read it (an assignment evaluates its
# right-hand side before the subscript it stores into; call arguments go left to right).
READS = {
    "__init__": ["self.quants", "self.CHs", "newcfg", "self.quants", "A.name", "G.name"],
    "info": ["self.addr", "self.model", "self.srate", "self.host", "self.port", "sys.modules",
             "self.__module__"],
    "dict_from_quantity": ["self.quants", "deepcopy", "A.default", "A.default", "A.name",
                           "G.default", "G.default", "G.name", "self.CHs"],
}


@pytest.mark.parametrize("step", READS)
def test_reads_happen_in_the_order_of_the_statements(step, monkeypatch):
    log = []

    class Watched(Recorder):
        quants = [Logged(log, "A"), Logged(log, "G", ch="global")]

        def __getattribute__(self, attr):
            if attr in WATCHED:
                log.append(f"self.{attr}")
            return super().__getattribute__(attr)

    monkeypatch.setattr(ic, "newcfg", lambda quants, chs: log.append("newcfg") or {})
    monkeypatch.setattr(ic, "deepcopy", lambda x: log.append("deepcopy") or x)
    monkeypatch.setattr(ic, "sys", LoggedSys(log))
    d = Watched()
    d.close = lambda **kw: None
    if step != "__init__":
        log.clear()
        getattr(d, step)()
    assert log == READS[step]


# ---- life cycle ----


def test_with_block_opens_and_closes_once_even_when_the_body_raises(dev):
    with pytest.raises(KeyError):
        with dev as entered:
            assert entered is dev
            assert dev.calls == [("open", {})]
            raise KeyError("body")
    assert dev.calls == [("open", {}), ("close", {})]


def test_failing_close_on_destruction_prints_one_line(capsys):
    class Broken(Recorder):
        def close(self, **kw):
            raise RuntimeError("x")

    d = Broken()
    text = repr(d)
    del d
    gc.collect()
    assert capsys.readouterr().out == f"Failed to close {text}: x\n"


def test_an_error_while_reporting_a_failed_close_has_the_failure_as_its_context(
    dev, monkeypatch
):
    def close(**kw):
        raise RuntimeError("stuck")

    def print(*args):
        raise ValueError("no output")

    dev.close = close
    monkeypatch.setattr(ic, "print", print, raising=False)
    with pytest.raises(ValueError) as raised:
        dev.__del__()
    assert isinstance(raised.value.__context__, RuntimeError)


def test_destruction_does_not_swallow_base_exceptions():
    r = run_python("""
        from pelorix.driver.common.instrumentcore import InstrumentCore
        class D(InstrumentCore):
            open = write = read = lambda self, *a, **k: None
            def close(self, **kw):
                raise KeyboardInterrupt
        d = D()
        del d
        print("after")
    """)
    assert r.stdout == "after\n" and "KeyboardInterrupt" in r.stderr and "Failed" not in r.stdout


# ---- quantity access ----


def test_set_value_writes_and_records_what_write_returns(dev):
    dev.answers["write", "Offset"] = 0.25
    assert dev.setValue("Offset", 0.5, ch=2, extra="x") is None
    assert dev.calls == [("write", "Offset", 0.5, {"ch": 2, "extra": "x"})]
    assert dev.config["Offset"][2]["value"] == 0.25
    assert dev.config["Offset"][1]["value"] == 0.0


def test_write_returning_none_records_none(dev):
    dev.answers["write", "Offset"] = None
    dev.setValue("Offset", 3)
    assert dev.getValue("Offset") is None


@pytest.mark.parametrize("op", ["set", "get"])
def test_debug_mode_traces_instead_of_touching_the_device(dev, capsys, op):
    before = repr(dev.config)
    if op == "set":
        assert dev.setValue("Offset", 0.5, ch=2, mode="debug", target="awg") is None
        pattern = rf"\[{TIME}\]\[SET\]\[awg\] Offset 0.5\n"
    else:
        assert dev.getValue("Offset", mode="debug") is None
        pattern = rf"\[{TIME}\]\[GET\]\[\] Offset\n"
    assert re.fullmatch(pattern, capsys.readouterr().out)
    assert dev.calls == [] and repr(dev.config) == before


def test_waveform_tuple_is_expanded_and_lists_are_not(dev, capsys):
    values, lengths = np.array([1.0, 2.0]), np.array([2, 3])
    dev.setValue("Waveform", (values, lengths))
    np.testing.assert_array_equal(dev.calls[-1][2], [1, 1, 2, 2, 2])
    pair = [values, lengths]
    dev.setValue("Waveform", pair)
    assert dev.calls[-1][2] is pair
    dev.setValue("Waveform", (values, lengths), mode="debug")
    assert capsys.readouterr().out.endswith("Waveform [1. 1. 2. 2. 2.]\n")
    with pytest.raises(TypeError):
        dev.setValue("Waveform", (values,))
    assert len(dev.calls) == 2


def test_waveform_expansion_uses_the_module_decompress_at_call_time(dev, monkeypatch):
    monkeypatch.setattr(ic, "decompress", lambda *a: ("expanded", a))
    dev.setValue("Waveform", (1, 2))
    assert dev.calls[-1][2] == ("expanded", (1, 2))


def test_get_value_reads_records_and_falls_back(dev):
    dev.setValue("Offset", 0.25, ch=1)
    dev.setValue("Offset", 0.5, ch=2)
    # read gives None: the setting recorded for the channel asked for
    assert dev.getValue("Offset", ch=2) == 0.5 and dev.getValue("Offset") == 0.25
    del dev.calls[:]
    dev.answers["read", "Offset"] = 0
    assert dev.getValue("Offset", ch=2, target="t") == 0
    assert dev.config["Offset"][2]["value"] == 0
    assert dev.calls[-1] == ("read", "Offset", {"ch": 2, "target": "t"})


def test_options_named_at_run_time_are_found(dev):
    """Keywords read from JSON or a settings file have names equal to "ch" or "mode" but are not
    the interned objects that literal keywords are."""
    dev.setValue("Offset", 0.25, **json.loads('{"ch": 2}'))
    dev.setValue("Offset", 0.75, **json.loads('{"ch": 1, "mode": "debug"}'))
    assert dev.config["Offset"][2]["value"] == 0.25 and dev.config["Offset"][1]["value"] == 0.0
    assert dev.getValue("Offset", **json.loads('{"ch": 2}')) == 0.25


def test_get_value_of_attributes_and_snapshot_needs_no_check(dev):
    assert dev.getValue("srate") == -1 and dev.getValue("addr") == "192.168.1.42"
    assert dev.getValue("open") == dev.open
    snap = dev.getValue("quantity")
    assert list(snap) == ["CH1", "CH2", "CHglobal"]
    assert snap["CH1"] is snap["CH2"] and snap["CH1"] == {"Offset": 0.0, "Waveform": None}
    assert snap["CHglobal"] == {"Clock": "int"}
    assert dev.calls == []


def test_get_value_attribute_lookup_errors_other_than_attribute_error_propagate():
    class Odd(Recorder):
        @property
        def Offset(self):  # noqa: N802 - named after its quantity
            raise ValueError("boom")

    with pytest.raises(ValueError, match="boom"):
        Odd().getValue("Offset")


def test_snapshot_values_are_deep_copies():
    class Lists(Recorder):
        quants = [Quantity("L", [1]), Quantity("L", [2]), Quantity("G", [3], ch="global")]

    snap = Lists().dict_from_quantity()
    assert snap["CH1"]["L"] == [2]
    snap["CH1"]["L"].append(9)
    assert Lists.quants[1].default["value"] == [2]
    assert Lists().dict_from_quantity() is not snap


def test_check_messages_and_the_global_channel(dev):
    with pytest.raises(AssertionError) as e:
        dev.setValue("Voltage", 1)
    assert str(e.value) == f"{dev}: quantity(Voltage) not Found!"
    with pytest.raises(AssertionError) as e:
        dev.getValue("Offset", ch=3)
    assert str(e.value) == f"{dev}: channel(3) not found!"
    dev.setValue("Offset", 1, ch="global")
    dev.setValue("Offset", 2, ch=2.0)  # membership by equality
    assert dev.config["Offset"]["global"]["value"] == 1
    assert [c[0] for c in dev.calls] == ["write", "write"]


class Entry:
    """A channel entry whose == first runs `effect` (on the list it sits in), then says no."""

    def __init__(self, effect):
        self.effect, self.chs = effect, None

    def __eq__(self, other):
        self.effect(self.chs)
        return False

    __hash__ = None


def entry_first(effect, *rest):
    chs = [Entry(effect), *rest]
    chs[0].chs = chs
    return chs


def text(*parts):
    return "".join(parts)  # an equal str that is not the interned constant


def no_comparison(chs):
    raise ValueError("no comparison")


CHANNEL_CASES = {  # CHs made afresh, channel
    "small int": (lambda: [1, 2], 2),
    "absent int": (lambda: [1, 2], 3),
    "big int, another object": (lambda: [1, int("9" * 30)], int("9" * 30)),
    "big int, other value": (lambda: [int("9" * 30)], int("8" * 30)),
    "str, another object": (lambda: [1, text("C", "H1")], text("CH", "1")),
    "str, other text": (lambda: [text("C", "H1")], text("CH", "2")),
    "int against str entries": (lambda: ["1", "2"], 1),
    "str against int entries": (lambda: [1, 2], "2"),
    "the global channel": (lambda: [1], text("glo", "bal")),
    "bool entry": (lambda: [True], 1),
    "float entry": (lambda: [1.0], 1),
    "int subclass channel": (lambda: [7], type("Int", (int,), {})(7)),
    "entry empties the list": (lambda: entry_first(list.clear, 5), 5),
    "entry raises": (lambda: entry_first(no_comparison, 2), 2),
}


@pytest.mark.parametrize("case", CHANNEL_CASES)
def test_channel_membership_is_python_membership(dev, case):
    """The channel check agrees with `channel in CHs or channel == "global"` on the same list."""
    make, channel = CHANNEL_CASES[case]
    outcomes = []
    for native in (False, True):
        chs = make()
        try:
            if native:
                dev.CHs = chs
                dev.check("Offset", channel)
                outcomes.append(True)
            else:
                outcomes.append(channel in chs or channel == "global")
        except AssertionError:
            outcomes.append(False)
        except Exception as e:  # noqa: BLE001 - the error itself is compared
            outcomes.append((type(e), str(e)))
    assert outcomes[0] == outcomes[1]


def test_check_runs_before_expansion_and_device_access(dev, monkeypatch):
    monkeypatch.setattr(ic, "decompress", lambda *a: pytest.fail("expanded"))
    with pytest.raises(AssertionError):
        dev.setValue("Waveform", (1, 2), ch=9)
    assert dev.calls == []


def test_overridden_hooks_are_honoured():
    seen = []

    class Custom(Recorder):
        def check(self, name, channel):
            seen.append(("check", name, channel))

        def update(self, name, value, channel=1):
            seen.append(("update", name, value, channel))

    d = Custom()
    d.setValue("Anything", 5, ch=7)
    d.answers["read", "Anything"] = 6
    assert d.getValue("Anything", ch=7) == 6
    assert seen == [("check", "Anything", 7), ("update", "Anything", 5, 7),
                    ("check", "Anything", 7), ("update", "Anything", 6, 7)]


def test_instance_attribute_shadowing_check_is_honoured(dev):
    dev.check = lambda name, channel: None
    with pytest.raises(KeyError):  # check skipped, so the table lookup fails after the write
        dev.setValue("Undeclared", 1)
    assert dev.calls[-1][:2] == ("write", "Undeclared")


def test_errors_from_hooks_propagate_unchanged_and_nothing_is_recorded(dev):
    err = OSError("device gone")

    def write(name, value, **kw):
        raise err

    dev.write = write
    with pytest.raises(OSError) as e:
        dev.setValue("Offset", 1)
    assert e.value is err and dev.config["Offset"][1]["value"] == 0.0


def test_update_and_cancel(dev):
    assert dev.update("Offset", 9) is None and dev.config["Offset"][1]["value"] == 9
    with pytest.raises(KeyError):
        dev.update("Nope", 1)
    assert dev.cancel() is None


def test_checks_are_skipped_when_assertions_are_disabled():
    r = run_python("""
        from pelorix.driver.VirtualDevice import VirtualDevice
        d = VirtualDevice()
        assert d.check("Nope", 99) is None
        try:
            d.setValue("Nope", 1)
        except KeyError as e:
            print("KeyError", e, d.log)
    """, "-O")
    assert r.stdout == "KeyError 'Nope' [('Nope', 1, 1)]\n", r.stderr


def test_virtual_device_round_trip():
    values, lengths = ic.compress(np.repeat([0.0, 1.0, 0.5], [3, 2, 4]))
    with VirtualDevice() as dev:
        assert dev.connected
        dev.setValue("Waveform", (values, lengths), ch=2)
        dev.setValue("ReferenceClock", "external", ch="global")
        np.testing.assert_array_equal(dev.getValue("Waveform", ch=2),
                                      [0, 0, 0, 1, 1, 0.5, 0.5, 0.5, 0.5])
        assert dev.getValue("ReferenceClock", ch="global") == "external"
        assert dev.getValue("Temperature", ch="global") == pytest.approx(25.2)
    assert not dev.connected


def test_changes_between_calls_are_seen_at_once(dev):
    """Nothing about a driver's attributes is remembered from one call to the next."""
    dev.setValue("Offset", 1, ch=2)
    dev.CHs = [1, 2, 3]  # instance attribute now shadows the class list
    dev.config["Offset"][3] = {"value": None}
    dev.setValue("Offset", 2, ch=3)
    Recorder.CHs = [1, 2, 4]
    try:
        del dev.CHs
        dev.config["Offset"][4] = {"value": None}
        dev.setValue("Offset", 3, ch=4)
        with pytest.raises(AssertionError, match=r"channel\(3\) not found"):
            dev.setValue("Offset", 4, ch=3)
    finally:
        Recorder.CHs = [1, 2]
    seen = []
    dev.check = lambda name, channel: seen.append(name)
    dev.getValue("Offset", ch=2)
    assert seen == ["Offset"]
    del dev.check
    original = Recorder.write
    Recorder.write = lambda self, name, value, **kw: "class-level"
    try:
        dev.setValue("Offset", 6, ch=2)
        assert dev.config["Offset"][2]["value"] == "class-level"
    finally:
        Recorder.write = original
    dev.quantities = {}
    with pytest.raises(AssertionError, match="not Found"):
        dev.setValue("Offset", 7, ch=2)
