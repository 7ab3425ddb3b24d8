"""setValue + getValue on a trivial driver: pelorix's InstrumentCore against a pure-Python base
class written from the same description (below), measured in the same run.

    python bench/driver_calls.py [CALLS]        (default: 100000)
"""

import sys
import time
from abc import ABC, abstractmethod
from copy import deepcopy
from datetime import datetime
from typing import Any

import numpy as np

from pelorix.driver.common.instrumentcore import InstrumentCore
from pelorix.driver.common.quantity import Quantity, newcfg


def decompress(values, lengths):
    return np.repeat(values, lengths)


def _exactly_str(value, name):
    if type(value) is not str:
        raise TypeError(f"{name} must be str, not {type(value).__name__}")


class PyInstrumentCore(ABC):
    """The driver base in plain Python: construction, identity, checks and quantity access."""

    segment: tuple = ("na", "103|104")
    # class-level lists shared by every driver that does not declare its own, as described
    CHs: "list[int | str]" = [1]
    quants: "list[Quantity]" = []

    def __init__(self, addr: str = "192.168.1.42", **kw):
        _exactly_str(addr, "addr")
        self.addr = addr
        self.host = kw.get("host", "127.0.0.1")
        self.port = kw.get("port", 0)
        self.timeout = kw.get("timeout", 3.0)
        self.model = kw.get("model", "None")
        self.srate = kw.get("srate", -1)
        self.config = newcfg(self.quants, self.CHs)
        self.quantities = {q.name: q for q in self.quants}

    def __repr__(self):
        return self.info()

    def __del__(self):
        try:
            self.close()
        except Exception as e:  # noqa: BLE001 - any failure to close is reported, not raised
            print(f"Failed to close {self}: {e}")

    def __enter__(self):
        self.open()
        return self

    def __exit__(self, exception_type, exception_value, traceback):
        self.close()

    def info(self):
        base = (f"\U0001f516Driver(addr={self.addr}, model={self.model}, srate={self.srate}, "
                f"host={self.host}, port={self.port})")
        try:
            return f"{base}<{sys.modules[self.__module__].__spec__.origin}>"
        except Exception:  # noqa: BLE001 - no module file to show: the identity without it
            return base

    def dict_from_quantity(self):
        conn, channel, chx = {}, {}, {}
        for q in deepcopy(self.quants):
            if q.default["ch"] == "global":
                chx[q.name] = q.default["value"]
            else:
                channel[q.name] = q.default["value"]
        for ch in self.CHs:
            conn["CH" + str(ch)] = channel
        conn["CHglobal"] = chx
        return conn

    @abstractmethod
    def open(self, **kw):
        """how device is opened
        """

    @abstractmethod
    def close(self, **kw):
        """how device is closed
        """

    @abstractmethod
    def write(self, name: str, value: Any, **kw):
        """write a command(specified by name and value) to the device
        """

    @abstractmethod
    def read(self, name: str, **kw):
        """read a value(specified by name) from the device
        """

    def cancel(self):  # noqa: B027 - an optional hook, as in the native class
        pass

    def check(self, name: str, channel: "int | str"):
        _exactly_str(name, "name")
        assert name in self.quantities, f"{self}: quantity({name}) not Found!"
        assert channel in self.CHs or channel == "global", f"{self}: channel({channel}) not found!"

    def update(self, name: str, value: Any, channel: "int | str" = 1):
        _exactly_str(name, "name")
        self.config[name][channel]["value"] = value

    def setValue(self, name: str, value: Any, **kw):
        _exactly_str(name, "name")
        channel = kw.get("ch", 1)
        self.check(name, channel)
        if name == "Waveform" and isinstance(value, tuple):
            value = decompress(*value)
        if kw.get("mode", "run") == "debug":
            time_text = datetime.now().strftime("%Y-%m-%d %H:%M:%S.%f")
            print(f"[{time_text}][SET][{kw.get('target', '')}]", name, value)
            return
        opc = self.write(name, value, **kw)
        self.update(name, opc, channel)

    def getValue(self, name: str, **kw):
        _exactly_str(name, "name")
        if name == "quantity":
            return self.dict_from_quantity()
        if hasattr(self, name):
            return getattr(self, name)
        channel = kw.get("ch", 1)
        self.check(name, channel)
        if kw.get("mode", "run") == "debug":
            time_text = datetime.now().strftime("%Y-%m-%d %H:%M:%S.%f")
            print(f"[{time_text}][GET][{kw.get('target', '')}]", name)
            return None
        value = self.read(name, **kw)
        if value is None:
            return self.config[name][channel]["value"]
        self.update(name, value, channel)
        return value


def trivial_driver(base):
    """The same trivial driver on either base: writes are recorded as given, reads answer None."""

    class Trivial(base):
        CHs = [1, 2]
        quants = [Quantity("Offset", 0.0), Quantity("Amplitude", 1.0),
                  Quantity("Clock", "internal", ch="global")]

        def open(self, **kw):
            pass

        def close(self, **kw):
            pass

        def write(self, name, value, **kw):
            return value

        def read(self, name, **kw):
            return None

    return Trivial()


def per_call(driver, calls):
    set_value, get_value = driver.setValue, driver.getValue
    start = time.perf_counter()
    for _ in range(calls):
        set_value("Offset", 0.5, ch=2)
        get_value("Offset", ch=2)
    return (time.perf_counter() - start) / calls


def main():
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    python, native = trivial_driver(PyInstrumentCore), trivial_driver(InstrumentCore)
    for d in (python, native):
        d.setValue("Offset", 0.25, ch=2)
        assert d.getValue("Offset", ch=2) == 0.25 and d.config["Offset"][2]["value"] == 0.25
    # interleaved rounds, so that a slow moment of the machine hits both sides alike
    rounds = [(per_call(python, calls), per_call(native, calls)) for _ in range(7)]
    baseline, mine = min(r[0] for r in rounds), min(r[1] for r in rounds)
    print(f"setValue + getValue: baseline (pure-Python base) {baseline * 1e9:.0f} ns, "
          f"pelorix {mine * 1e9:.0f} ns, ratio {baseline / mine:.1f}x")


if __name__ == "__main__":
    main()
