"""A simulated instrument: the template to copy when writing a driver for a real device.

A driver subclasses ``InstrumentCore``, declares its channels (``CHs``) and quantities
(``quants``) as class attributes, and implements the four hooks ``open``, ``close``, ``write``
and ``read``.  The base class validates every ``setValue``/``getValue`` request against the
declarations, expands compressed waveforms, traces requests in debug mode and records every
value written in ``self.config``.

    >>> from pelorix.driver.VirtualDevice import VirtualDevice
    >>> with VirtualDevice("192.168.103.7") as dev:
    ...     dev.setValue("Amplitude", 0.25, ch=2)
    ...     dev.getValue("Amplitude", ch=2)
    0.25
"""

import numpy as np

from pelorix.driver.common.instrumentcore import InstrumentCore
from pelorix.driver.common.quantity import Quantity


class VirtualDevice(InstrumentCore):
    """Two-channel simulated signal source with a shared reference clock."""

    CHs = [1, 2]
    quants = [
        # per-channel settings
        Quantity("Amplitude", value=1.0, unit="V"),
        Quantity("Offset", value=0.0, unit="V"),
        Quantity("Output", value=False),
        Quantity("Waveform", value=None),
        # settings of the whole instrument
        Quantity("ReferenceClock", value="internal", ch="global"),
        Quantity("Temperature", value=25.0, ch="global", unit="degC"),
    ]

    def __init__(self, addr="192.168.1.42", **kw):
        super().__init__(addr, **kw)
        self.connected = False
        # what the simulated device holds: (quantity, channel) -> value
        self.registers = {}
        # every write the device received, in order: (quantity, channel, value)
        self.log = []

    def open(self, **kw):
        self.connected = True

    def close(self, **kw):
        self.connected = False

    def write(self, name, value, **kw):
        ch = kw.get("ch", 1)
        if name == "Waveform":
            # a real device would get the samples over the wire; keep a float copy
            value = np.asarray(value, dtype=float)
        self.registers[name, ch] = value
        self.log.append((name, ch, value))
        return value

    def read(self, name, **kw):
        if name == "Temperature":
            # a live reading instead of a stored setting
            return 25.0 + 0.1 * len(self.log)
        # None makes getValue return the last recorded setting
        return self.registers.get((name, kw.get("ch", 1)))
