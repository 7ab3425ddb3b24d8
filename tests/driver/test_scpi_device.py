"""The SCPI template driver against real VISA stacks: pyvisa-sim playing the example instrument,
and pyvisa-py on a raw SCPI socket server on 127.0.0.1 that the tests steer (silent, hanging up,
answering garbage or late, reporting errors)."""

import gc
import os
import pathlib
import re
import socket
import subprocess
import sys
import textwrap
import time
import warnings

import numpy as np
import pytest
from native_modules import NATIVE_MODULES

from pelorix.driver.common.quantity import Quantity
from pelorix.driver.ScpiDevice import ScpiDevice

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import scpi_server

ROOT = pathlib.Path(__file__).resolve().parents[2]
SIM = f"{ROOT / 'examples' / 'scpi_source.yaml'}@sim"
TIMEOUT = 0.3

pytestmark = pytest.mark.timeout(60)


class Source(ScpiDevice):
    CHs = [1, 2]
    quants = [
        Quantity("Amplitude", 1.0, unit="V"),
        Quantity("Cycles", 1),
        Quantity("Output", False),
        Quantity("Function", "SIN"),
        Quantity("Waveform"),
        Quantity("Clock", "INT", ch="global"),
        Quantity("Label", "bench 3"),
    ]
    commands = {
        "Amplitude": "SOUR{ch}:VOLT",
        "Cycles": "SOUR{ch}:BURS:NCYC",
        "Output": "OUTP{ch}",
        "Function": "SOUR{ch}:FUNC",
        "Waveform": "SOUR{ch}:DATA",
        "Clock": "ROSC:SOUR",
    }


DEFAULTS = {q.name: q.default["value"] for q in Source.quants}


def block(header, data):
    size = str(len(data)).encode()
    return header + b" #" + str(len(size)).encode() + size + data + b"\n"


@pytest.fixture
def server():
    with scpi_server.ScpiServer() as s:
        yield s


@pytest.fixture
def source(server):
    with Source("127.0.0.1", port=server.port, timeout=TIMEOUT) as dev:
        yield dev


def test_round_trips_on_the_simulated_instrument():
    """Every type on both channels: each value comes back in its own type, on its own channel."""
    cases = [("Amplitude", 0.25), ("Cycles", 7), ("Output", True), ("Function", "SQU")]
    with Source("127.0.0.1", visa_library=SIM) as sim:
        for ch, other in ((1, 2), (2, 1)):
            for name, value in cases:
                before = sim.getValue(name, ch=other)
                sim.setValue(name, value, ch=ch)
                got = sim.getValue(name, ch=ch)
                assert (got, type(got)) == (value, type(value)), (name, ch)
                assert sim.getValue(name, ch=other) == before
        sim.setValue("Clock", "EXT", ch="global")
        assert sim.getValue("Clock", ch="global") == "EXT"
        assert sim.query("*IDN?") == "pelorix,SimSource,0,1.0"
        sim.check_errors = True
        with pytest.raises(RuntimeError, match=r'Amplitude: .* reports -222,"Data out of range" '
                                               r"after 'SOUR1:VOLT 99'"):
            sim.setValue("Amplitude", 99, ch=1)
        assert sim.config["Amplitude"][1]["value"] == 0.25


def test_readme_example_runs_on_the_simulated_instrument(monkeypatch, capsys):
    readme = (ROOT / "README.md").read_text()
    section = readme.split("\n## SCPI instruments\n", 1)[1].split("\n## ", 1)[0]
    code = re.search(r"```python\n(.*?)```", section, re.DOTALL).group(1)
    monkeypatch.chdir(ROOT)
    exec(compile(code, "README.md", "exec"), {"__name__": "readme"})  # running it is the point
    printed = capsys.readouterr().out
    assert printed == "0.25 True pelorix,SimSource,0,1.0\n"
    assert f"# {printed}" in code  # the output the README shows
    assert "`pip install 'pelorix[visa]' pyvisa-sim`" in section  # what the example needs


@pytest.mark.parametrize(
    ("name", "value", "ch", "wire"),
    [
        ("Amplitude", 0.1, 1, b"SOUR1:VOLT 0.1\n"),
        ("Amplitude", 100.0, 2, b"SOUR2:VOLT 100\n"),
        ("Amplitude", 1e-5, 1, b"SOUR1:VOLT 1e-05\n"),
        ("Amplitude", -2.5e300, 1, b"SOUR1:VOLT -2.5e+300\n"),
        ("Amplitude", np.float32(0.1), 1, b"SOUR1:VOLT 0.1\n"),  # its own precision
        ("Amplitude", float("inf"), 1, b"SOUR1:VOLT INF\n"),
        ("Amplitude", float("-inf"), 1, b"SOUR1:VOLT NINF\n"),
        ("Amplitude", float("nan"), 1, b"SOUR1:VOLT NAN\n"),
        ("Cycles", 7, 2, b"SOUR2:BURS:NCYC 7\n"),
        ("Cycles", np.int64(-3), 1, b"SOUR1:BURS:NCYC -3\n"),
        ("Output", True, 2, b"OUTP2 1\n"),
        ("Output", False, 1, b"OUTP1 0\n"),
        ("Output", np.bool_(True), 1, b"OUTP1 1\n"),
        ("Function", "SQU", 1, b"SOUR1:FUNC SQU\n"),
        ("Function", '"a b"', 2, b'SOUR2:FUNC "a b"\n'),
        ("Clock", "EXT", "global", b"ROSC:SOUR EXT\n"),
        ("Clock", "EXT", 2, b"ROSC:SOUR EXT\n"),
    ],
)
def test_bytes_on_the_wire_and_what_is_recorded(source, server, name, value, ch, wire):
    source.setValue(name, value, ch=ch)
    assert server.messages(1) == [wire]
    assert source.config[name][ch]["value"] is value


@pytest.mark.parametrize(
    ("name", "answer", "expected"),
    [
        ("Amplitude", "+2.50000E-01", 0.25),
        ("Amplitude", "7", 7.0),
        ("Cycles", "12", 12),
        ("Cycles", "+1.2E+01", 12),
        ("Output", "1", True),
        ("Output", "OFF", False),
        ("Output", "on", True),
        ("Function", "RAMP", "RAMP"),
        ("Function", " RAMP \r", "RAMP"),
    ],
)
def test_answers_read_as_the_type_of_the_default(source, server, name, answer, expected):
    server.state[Source.commands[name].format(ch=2)] = answer
    got = source.getValue(name, ch=2)
    assert (got, type(got)) == (expected, type(expected))
    assert source.config[name][2]["value"] == expected
    assert server.messages(1) == [Source.commands[name].format(ch=2).encode() + b"?\n"]


def test_query_gives_the_answer_without_blanks_or_a_carriage_return(source, server):
    server.state["*IDN"] = " maker,model,0,1.0 \r"
    assert source.query("*IDN?") == "maker,model,0,1.0"


def test_an_answer_longer_than_a_read_chunk_comes_whole_and_without_warnings(source, server):
    source.resource.chunk_size = 4
    server.state["SOUR1:VOLT"] = "0.123456789"
    server.state["SOUR1:FUNC"] = "TRIANGLE"
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert source.getValue("Amplitude", ch=1) == 0.123456789
        assert source.query("SOUR1:FUNC?") == "TRIANGLE"
        assert source.getValue("Amplitude", ch=1) == 0.123456789


@pytest.mark.parametrize(
    ("dtype", "samples"),
    [(None, [0.0, 1.0, -0.5]), (">i2", [1, -2, 300]), (None, np.linspace(-1, 1, 2500))],
)
def test_waveform_goes_as_a_definite_length_block(server, dtype, samples):
    attrs = {} if dtype is None else {"waveform_dtype": dtype}
    Awg = type("Awg", (Source,), attrs)
    data = np.asarray(samples, dtype=dtype or "<f4").tobytes()
    with Awg("127.0.0.1", port=server.port, timeout=TIMEOUT) as awg:
        awg.setValue("Waveform", np.asarray(samples, dtype=float), ch=2)
        assert server.messages(1) == [block(b"SOUR2:DATA", data)]
        # a waveform is not read back: getValue gives what was sent, without asking
        got = awg.getValue("Waveform", ch=2)
        assert got.tobytes() == data and len(server.received) == 1
        # the compressed form is expanded by the base class before it is sent
        awg.setValue("Waveform", (np.array([0.0, 1.0]), np.array([2, 1])), ch=1)
        expanded = np.array([0, 0, 1], dtype=dtype or "<f4").tobytes()
        assert server.messages(2)[1] == block(b"SOUR1:DATA", expanded)


def test_a_quantity_with_an_array_default_is_not_read_back(server):
    class Awg(Source):
        quants = [*Source.quants, Quantity("Curve", np.zeros(3))]
        commands = {**Source.commands, "Curve": "SOUR{ch}:CURV"}

    with Awg("127.0.0.1", port=server.port, timeout=TIMEOUT) as awg:
        awg.setValue("Curve", np.array([0.5, 2.0]), ch=1)
        assert awg.getValue("Curve", ch=1).tolist() == [0.5, 2.0]
        assert server.messages(1) == [block(b"SOUR1:CURV", np.array([0.5, 2], "<f4").tobytes())]
        assert len(server.received) == 1


def test_host_side_settings_need_no_connection(server):
    dev = Source("127.0.0.1", port=server.port)
    dev.setValue("Label", "bench 4", ch=2)
    assert dev.getValue("Label", ch=2) == "bench 4"
    assert server.events == [] and server.received == []


def test_timeout_names_the_quantity_command_and_resource_then_the_next_call_works(source, server):
    server.state["SOUR1:VOLT"] = "0.5"
    server.behaviour = "silent"
    start = time.monotonic()
    with pytest.raises(TimeoutError) as e:
        source.getValue("Amplitude", ch=1)
    assert time.monotonic() - start < TIMEOUT + 1
    assert str(e.value) == (f"Amplitude: no answer to 'SOUR1:VOLT?' from "
                            f"{source.resource_name} within {TIMEOUT} s")
    assert source.config["Amplitude"][1]["value"] == 1.0
    server.behaviour = "normal"
    assert source.getValue("Amplitude", ch=1) == 0.5


@pytest.mark.parametrize("clear", ["records", "raises", "pyvisa-sim's own"])
def test_a_timeout_on_a_visa_session_clears_the_device_where_the_backend_can(monkeypatch, clear):
    """pyvisa-sim answers at once or never, so the spies stand for backends with and without the
    device clear that keeps a late answer from being taken for the next one."""
    calls = []

    def spy():
        calls.append("clear")
        if clear == "raises":
            raise NotImplementedError

    with Source("127.0.0.1", visa_library=SIM, timeout=TIMEOUT) as sim:
        if clear != "pyvisa-sim's own":
            monkeypatch.setattr(sim.resource, "clear", spy)
        with pytest.raises(TimeoutError) as e:
            sim.query("*RST")  # a command with no answer
        assert str(e.value) == (f"*RST: no answer to '*RST' from {sim.resource_name} within "
                                f"{TIMEOUT} s")
        assert calls == ([] if clear == "pyvisa-sim's own" else ["clear"])
        sim.setValue("Amplitude", 0.5, ch=1)
        assert sim.getValue("Amplitude", ch=1) == 0.5


def test_a_late_answer_is_not_taken_for_the_next_one(source, server):
    server.state["SOUR1:VOLT"] = "0.5"
    server.behaviour, server.late_by = "late", TIMEOUT + 0.3
    with pytest.raises(TimeoutError):
        source.getValue("Amplitude", ch=1)
    assert server.wait_for(lambda: "late answer" in server.events)
    server.behaviour, server.state["SOUR1:VOLT"] = "normal", "0.75"
    assert source.getValue("Amplitude", ch=1) == 0.75
    source.setValue("Amplitude", 0.25, ch=1)
    assert source.getValue("Amplitude", ch=1) == 0.25


@pytest.mark.parametrize("call", ["set", "get"])
def test_a_dropped_connection_is_a_clear_error_and_open_connects_again(source, server, call):
    server.behaviour = "hangup"
    with pytest.raises(ConnectionError, match="lost the connection to TCPIP0::127.0.0.1::"):
        source.setValue("Amplitude", 0.5, ch=1)
        # the hang-up came after the write was sent: the next call finds it
        assert server.wait_for(lambda: "close" in server.events)
        if call == "set":
            source.setValue("Cycles", 3, ch=1)
        else:
            source.getValue("Cycles", ch=1)
    assert source.config["Cycles"][1]["value"] == 1  # nothing recorded for the failed call
    with pytest.raises(ConnectionError, match=r"Cycles: .* is not open \(call open\(\)"):
        source.getValue("Cycles", ch=1)
    source.close()
    server.behaviour = "normal"
    source.open()
    source.setValue("Cycles", 4, ch=1)
    assert source.getValue("Cycles", ch=1) == 4
    assert server.events.count("open") == 2


def test_a_hang_up_while_waiting_for_an_answer_is_a_connection_error(source, server):
    server.behaviour = "hangup"
    with pytest.raises(ConnectionError, match=r"Amplitude: lost .* \(no answer to 'SOUR1:VOLT\?'"):
        source.getValue("Amplitude", ch=1)
    assert source.resource is None


@pytest.mark.parametrize(
    ("name", "answer"),
    [
        ("Amplitude", scpi_server.GARBAGE),
        ("Cycles", scpi_server.GARBAGE),
        ("Output", scpi_server.GARBAGE),
        ("Cycles", "2.5"),
        ("Output", "2"),
    ],
)
def test_an_unreadable_answer_names_the_quantity_and_quotes_it(source, server, name, answer):
    header = Source.commands[name].format(ch=2)
    server.state[header] = answer
    with pytest.raises(ValueError, match=rf"^{name}: the answer {re.escape(repr(answer))} to "):
        source.getValue(name, ch=2)
    assert source.config[name][2]["value"] == DEFAULTS[name]
    server.state[header] = "1"
    assert source.getValue(name, ch=2) == 1


def test_instrument_errors_are_raised_with_their_own_text(server):
    with Source("127.0.0.1", port=server.port, timeout=TIMEOUT, check_errors=True) as dev:
        server.errors += ['-222,"Data out of range"', '-113,"Undefined header"']
        with pytest.raises(RuntimeError) as e:
            dev.setValue("Amplitude", 99, ch=1)
        assert str(e.value) == (f'Amplitude: {dev.resource_name} reports -222,"Data out of '
                                f"range\"; -113,\"Undefined header\" after 'SOUR1:VOLT 99'")
        assert dev.config["Amplitude"][1]["value"] == 1.0
        dev.setValue("Amplitude", 2, ch=1)
        assert dev.config["Amplitude"][1]["value"] == 2
        assert server.messages(6) == [b"SOUR1:VOLT 99\n"] + [b"SYST:ERR?\n"] * 3 + [
            b"SOUR1:VOLT 2\n", b"SYST:ERR?\n"]
        server.behaviour = "garbage"
        with pytest.raises(ValueError, match="SYST:ERR.* has no error code"):
            dev.send("*RST")
    with Source("127.0.0.1", port=server.port, timeout=TIMEOUT) as quiet:
        server.behaviour = "normal"
        server.errors.append('-222,"Data out of range"')
        quiet.setValue("Amplitude", 99, ch=1)
        assert quiet.query("*OPC?") == "0"
    assert b"SYST:ERR?\n" not in server.received[8:]


def test_misuse_is_a_clear_error_before_anything_is_sent(source, server):
    with pytest.raises(ValueError, match=r"^Amplitude: the command 'SOUR\{ch\}:VOLT' needs a "
                                         "channel"):
        source.setValue("Amplitude", 1.0, ch="global")
    with pytest.raises(TypeError, match="^Amplitude: cannot send a list"):
        source.setValue("Amplitude", [1.0, 2.0])
    with pytest.raises(ConnectionError, match="is not open"):
        Source("127.0.0.1", port=server.port).setValue("Amplitude", 1.0)
    assert server.received == []

    class Global(Source):
        commands = {"Clock": "ROSC{ch}:SOUR"}

    class Typo(Source):
        commands = {"Amplitdue": "SOUR{ch}:VOLT"}

    with pytest.raises(ValueError, match="^Clock is a quantity of the whole instrument"):
        Global("127.0.0.1")
    with pytest.raises(ValueError, match="^Typo.commands names Amplitdue"):
        Typo("127.0.0.1")


@pytest.mark.parametrize(
    ("addr", "kw", "resource_name"),
    [
        ("10.1.2.3", {}, "TCPIP0::10.1.2.3::5025::SOCKET"),
        ("scope-3.lab", {"port": 5555}, "TCPIP0::scope-3.lab::5555::SOCKET"),
        ("TCPIP0::10.1.2.3::INSTR", {"port": 5555}, "TCPIP0::10.1.2.3::INSTR"),
        ("ASRL/dev/ttyUSB0::INSTR", {}, "ASRL/dev/ttyUSB0::INSTR"),
        ("GPIB0::12::INSTR", {}, "GPIB0::12::INSTR"),
    ],
)
def test_resource_string(addr, kw, resource_name):
    # construction alone connects to nothing
    assert Source(addr, **kw).resource_name == resource_name


@pytest.mark.parametrize("library", ["@py", SIM], ids=["py", "sim"])
@pytest.mark.parametrize("addr", ["foo::bar::baz", "PXI0::1::BACKPLANE", "VXI0::1::INSTR"])
def test_a_resource_string_of_no_message_based_resource_is_a_value_error(addr, library):
    dev = Source(addr, visa_library=library)
    with pytest.raises(ValueError, match=rf"^'{re.escape(addr)}' is not the resource string of a "
                                         r"message-based VISA resource; these work: "
                                         r"'TCPIP0::HOST::PORT::SOCKET', .*, or a host name$"):
        dev.open()
    assert dev.resource is None


@pytest.mark.parametrize(("library", "package"), [(SIM, "pyvisa-sim"), ("@py", "pyvisa-py")],
                         ids=["sim", "py"])
def test_a_missing_backend_is_named_with_the_line_that_installs_it(monkeypatch, library, package):
    import pyvisa.highlevel

    backend = library.rpartition("@")[2]
    monkeypatch.setitem(sys.modules, f"pyvisa_{backend}", None)  # as if it were not installed
    monkeypatch.delitem(pyvisa.highlevel._WRAPPERS, backend, raising=False)
    with pytest.raises(ModuleNotFoundError) as e:
        Source("127.0.0.1", visa_library=library).open()
    assert str(e.value) == (f"the VISA library {library!r} needs {package}, which is not "
                            f"installed: pip install {package}")
    assert e.value.name == f"pyvisa_{backend}"


def test_with_opens_and_closes_the_socket_and_close_is_always_safe(server):
    dev = Source("127.0.0.1", port=server.port, timeout=1.5)
    dev.close()  # never opened
    with dev:
        assert server.wait_for(lambda: server.events == ["open"])
        assert dev.resource.timeout == 1500
    assert server.wait_for(lambda: server.events == ["open", "close"])
    dev.close()  # twice
    dev.open()
    server.behaviour = "hangup"
    dev.send("*RST")
    assert server.wait_for(lambda: server.events.count("close") == 2)
    dev.close()  # the connection is gone already
    dev.open()
    del dev
    gc.collect()
    assert server.wait_for(lambda: server.events.count("close") == 3)
    assert server.events.count("open") == 3


def test_a_refused_connection_is_a_clear_error():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]  # bound, never listening: connections are refused
        with pytest.raises(ConnectionError, match=f"cannot open TCPIP0::127.0.0.1::{port}::"
                                                  "SOCKET: Connection refused"):
            Source("127.0.0.1", port=port).open()


def test_only_the_scpi_driver_needs_pyvisa():
    code = textwrap.dedent("""
        import importlib, sys
        sys.modules["pyvisa"] = None  # as if it were not installed
        for name in sys.argv[1:]:
            importlib.import_module(name)
        try:
            import pelorix.driver.ScpiDevice
        except ModuleNotFoundError as e:
            print(e.__notes__)
    """)
    # every native module, and the template driver that needs no instrument library
    names = [*NATIVE_MODULES, "pelorix.driver.VirtualDevice"]
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    out = subprocess.run([sys.executable, "-c", code, *names], capture_output=True, text=True,
                         check=True, env=env).stdout
    assert out == "[\"ScpiDevice needs PyVISA and pyvisa-py: pip install 'pelorix[visa]'\"]\n"
