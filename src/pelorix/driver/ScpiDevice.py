"""A driver for SCPI instruments reached through VISA: the template to copy when the instrument on
the bench is a source, a scope or an AWG that speaks SCPI over LAN, USB, GPIB or a serial line.

A driver subclasses ``ScpiDevice`` and declares, besides its channels (``CHs``) and quantities
(``quants``), the SCPI header of each quantity in ``commands``, with ``{ch}`` for the channel:

    class Source(ScpiDevice):
        CHs = [1, 2]
        quants = [Quantity("Amplitude", 1.0, unit="V"), Quantity("Output", False),
                  Quantity("Clock", "INT", ch="global"), Quantity("Label", "")]
        commands = {"Amplitude": "SOUR{ch}:VOLT", "Output": "OUTP{ch}", "Clock": "ROSC:SOUR"}

    with Source("192.168.103.7") as src:
        src.setValue("Amplitude", 0.25, ch=2)      # sends "SOUR2:VOLT 0.25"
        src.getValue("Output", ch=1)               # queries "OUTP1?" and gives True or False

Address. ``addr`` is a VISA resource string ("TCPIP0::HOST::5025::SOCKET",
"TCPIP0::HOST::INSTR", "ASRL/dev/ttyUSB0::INSTR", "GPIB0::12::INSTR"). Anything without "::" is
taken for a host name or address and reached over the raw SCPI socket,
"TCPIP0::HOST::PORT::SOCKET", where PORT is the ``port`` option when it is set (not 0) and 5025
otherwise. The resource string is ``resource_name``; the open PyVISA resource is ``resource``.

VISA library. PyVISA with its pure-Python backend ("@py", pyvisa-py) unless the keyword option
``visa_library`` (or the class attribute of that name) says otherwise, for instance
"examples/scpi_source.yaml@sim" for pyvisa-sim, or a vendor library's path. ``open`` raises
``ModuleNotFoundError`` with the install line when "@py" or "@sim" names a backend that is not
installed, and ``ValueError`` quoting ``resource_name`` when it is not the resource string of a
message-based resource (one that reads and writes text, as the forms above do).

Writing. A quantity with no entry in ``commands`` is a host-side setting: it is recorded and never
sent. (``commands`` is read, and the query's bytes are made, when a quantity is first used on a
channel.) Otherwise ``write`` sends "HEADER VALUE": a number in the shortest text that reads back
as the same number ("0.1", "1e-05", "100" for 100.0; a float32 as a float32; INF, NINF and NAN for
the special values), a bool as 1 or 0, a string as it is. A NumPy array goes as an IEEE 488.2
definite-length binary block, "HEADER #" + digit count + byte count + the bytes, converted to
``waveform_dtype`` (little-endian float32 unless a subclass says otherwise). ``write`` returns
the value sent (for an array, the converted copy), which the base class records.

Reading. ``read`` queries "HEADER?" and converts the answer to the type of the quantity's default
value: float, int (also from an integral "5.0E+00"), bool (from 1, 0, ON or OFF) or str (for any
other default, None included). A waveform (the quantity "Waveform", or one whose default is an
array) and a host-side setting are not read: ``read`` returns None and ``getValue`` gives the
recorded setting. A quantity of the whole instrument (``ch="global"``) has a header without
``{ch}``; one that has it, or a request with ``ch="global"`` for a header that needs a channel,
is a ``ValueError`` naming the quantity.

Time-outs and terminations. The base class's ``timeout`` option (seconds; None waits for ever) is
handed to VISA in milliseconds when the device is opened, also as the time allowed for opening.
``read_termination`` and ``write_termination`` ("\\n") and ``encoding`` ("ascii") are class
attributes.

Errors. Each is raised where it happens, names the quantity (or the command given to ``query`` or
``send``) and leaves the device usable:
- a query with no answer: ``TimeoutError`` naming the command and the resource. A late answer
  must not be taken for the next one: on a raw socket through pyvisa-py, each query after a
  time-out first throws away whatever has come in; on other sessions the time-out is followed by
  VISA's device clear, where the backend has one;
- a device that is not open, or a connection that is lost: ``ConnectionError``, and ``open()``
  connects again. On a raw socket through pyvisa-py each write first looks (with a poll of a few
  microseconds) whether the instrument has closed the connection, which would swallow the write
  without a word, so a setting is never recorded as sent when it cannot arrive; a query sent
  into a closed connection is reported so once its time-out has run;
- an answer that does not parse: ``ValueError`` quoting the raw answer;
- with ``check_errors = True`` (class attribute or keyword option), ``error_query`` ("SYST:ERR?")
  is read after each write until it gives code 0, and any error is a ``RuntimeError`` with the
  instrument's own text.
In every case the base class records nothing.

Opening and closing. ``open`` connects (after letting go of an earlier connection); ``close`` lets
go of it and is safe on a lost connection, on a device never opened and when called twice. The
``with`` block and close-on-destruction come from the base class. ``query(command)`` and
``send(command)`` reach commands that are not quantities, such as "*IDN?" and "*RST".
"""

import contextlib
import importlib.util
import os
import select
import socket
import time

import numpy as np

try:
    import pyvisa
    from pyvisa.constants import BufferOperation, StatusCode
    from pyvisa.errors import Error as VisaError
    from pyvisa.errors import VisaIOError
    from pyvisa.rname import InvalidResourceName, parse_resource_name
except ModuleNotFoundError as e:
    e.add_note("ScpiDevice needs PyVISA and pyvisa-py: pip install 'pelorix[visa]'")
    raise

from pelorix.driver.common.instrumentcore import InstrumentCore

SCPI_PORT = 5025
# An instrument's error queue is finite; one that never answers "0,..." must not hang a write.
MAX_QUEUED_ERRORS = 32
# A read that filled its chunk (more may follow), and the other status that is no warning there.
MORE_TO_READ = StatusCode.success_max_count_read
READ_STATUSES = (StatusCode.success_device_not_present, MORE_TO_READ)
# Interfaces whose resources are read and written as registers or memory, not as text.
REGISTER_BASED = ("PXI", "VXI")


class ScpiDevice(InstrumentCore):
    """SCPI instrument over VISA: ``commands`` maps each quantity to its SCPI header."""

    commands: "dict[str, str]" = {}  # a template's table, replaced by subclasses
    visa_library = "@py"
    read_termination = "\n"
    write_termination = "\n"
    encoding = "ascii"
    waveform_dtype = "<f4"
    check_errors = False
    error_query = "SYST:ERR?"

    def __init__(self, addr="192.168.1.42", **kw):
        self.resource = self._watch = None
        self._late_answers = False
        super().__init__(addr, **kw)
        self.visa_library = kw.get("visa_library", self.visa_library)
        self.check_errors = kw.get("check_errors", self.check_errors)
        if "::" in addr:
            self.resource_name = addr
        else:
            self.resource_name = f"TCPIP0::{addr}::{self.port or SCPI_PORT}::SOCKET"
        for name, header in self.commands.items():
            if name not in self.quantities:
                raise ValueError(f"{type(self).__name__}.commands names {name}, which is not a "
                                 "quantity of the driver")
            if self.quantities[name].default["ch"] == "global" and "{ch}" in header:
                raise ValueError(f"{name} is a quantity of the whole instrument, but its command "
                                 f"{header!r} needs a channel")
        # (quantity, channel) -> (header, query, query's bytes, parse): how each is written and
        # read, worked out on first use so that a call does no more than it must
        self._plans = {}

    # -- the four hooks of the base class

    def open(self, **kw):
        self.close()
        timeout = None if self.timeout is None else self.timeout * 1000
        options = {} if timeout is None else {"open_timeout": timeout}
        manager = _resource_manager(self.visa_library)
        try:
            interface = parse_resource_name(self.resource_name).interface_type
        except InvalidResourceName:
            interface = None
        if interface in (None, *REGISTER_BASED):
            raise self._not_message_based()
        try:
            resource = manager.open_resource(
                self.resource_name, read_termination=self.read_termination,
                write_termination=self.write_termination, encoding=self.encoding, **options)
        except (VisaError, OSError) as e:
            raise ConnectionError(f"cannot open {self.resource_name}: {e}") from e
        resource.timeout = timeout
        sock = _raw_socket(resource)
        if sock is not None:
            # pyvisa-py connects without waiting for the outcome: a refused connection shows here
            failure = sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
            if failure:
                resource.close()
                raise ConnectionError(f"cannot open {self.resource_name}: {os.strerror(failure)}")
            # a request and its answer are a few bytes each: send them at once (VISA's
            # TCPIP_NODELAY, which pyvisa-py does not set itself)
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self._watch = _SocketWatch(sock)
        self.resource, self._late_answers = resource, False

    def close(self, **kw):
        resource, self.resource, self._watch = self.resource, None, None
        if resource is None:
            return
        try:
            resource.close()
        except (VisaError, OSError):
            pass  # the session or the connection is gone already: nothing is left to let go of

    def write(self, name, value, ch=1, **kw):
        header = (self._plans.get((name, ch)) or self._plan(name, ch))[0]
        if header is None:
            return value
        to_text = FORMATS.get(type(value))
        if to_text is None and isinstance(value, np.ndarray):
            value = np.array(value, dtype=self.waveform_dtype)
            sent = f"{header} #<{value.nbytes} bytes>"
            self._send(name, sent, self._block(header, value))
        else:
            sent = f"{header} {(to_text or _format_for(name, value))(value)}"
            self._send(name, sent, (sent + self.write_termination).encode(self.encoding))
        if self.check_errors:
            self._raise_instrument_errors(name, sent)
        return value

    def read(self, name, ch=1, **kw):
        _, query, message, parse = self._plans.get((name, ch)) or self._plan(name, ch)
        if parse is None:
            return None
        answer = self._query(name, query, message)
        try:
            return parse(answer.strip())
        except ValueError:
            kind = type(self.quantities[name].default["value"]).__name__
            raise ValueError(f"{name}: the answer {answer!r} to {query!r} from "
                             f"{self.resource_name} does not read as {kind}") from None

    # -- commands that are not quantities

    def query(self, command):
        """The instrument's answer to command (such as "*IDN?"), as text."""
        return self._query(command, command).strip()

    def send(self, command):
        """Sends command (such as "*RST"); with check_errors, raises the errors it causes."""
        self._send(command, command, (command + self.write_termination).encode(self.encoding))
        if self.check_errors:
            self._raise_instrument_errors(command, command)

    # -- the transport

    def _plan(self, name, ch):
        """How quantity name is written and read on channel ch: (header, query, the query's
        bytes, parse), None standing for what is not done (a host-side setting is neither sent
        nor read, a waveform is not read back)."""
        header = self.commands.get(name)
        if header is None:
            plan = (None, None, None, None)
        else:
            if "{ch}" in header:
                if ch == "global":
                    raise ValueError(f"{name}: the command {header!r} needs a channel, and "
                                     "ch='global' is none")
                header = header.replace("{ch}", str(ch))
            query = header + "?"
            plan = (header, query, (query + self.write_termination).encode(self.encoding),
                    _parser_for(name, self.quantities[name].default["value"]))
        self._plans[name, ch] = plan
        return plan

    def _block(self, header, array):
        data = array.tobytes()
        size = str(len(data))
        if len(size) > 9:
            raise ValueError(f"{header}: {len(data)} bytes do not fit a definite-length block")
        return (f"{header} #{len(size)}{size}".encode(self.encoding) + data
                + self.write_termination.encode(self.encoding))

    def _send(self, what, sent, message):
        """Sends message, the bytes of sent with the write termination (or of a block)."""
        resource = self.resource
        if resource is None:
            raise self._not_open(what)
        if self._watch is not None and self._watch.poll(0):
            self._settle(what, resource)
        try:
            resource.visalib.write(resource.session, message)  # what write_raw does, one call less
        except OSError as e:
            raise self._lost(what, f"{e.strerror or e} while sending {sent!r}") from e
        except VisaIOError as e:
            raise self._visa_error(what, sent, e) from e

    def _query(self, what, command, message=None):
        """The answer to command (message: its bytes with the write termination), as text."""
        resource = self.resource
        if resource is None:
            raise self._not_open(what)
        if self._late_answers and self._watch.poll(0):
            self._settle(what, resource)
        try:
            visalib, session = resource.visalib, resource.session
            if message is None:
                message = (command + self.write_termination).encode(self.encoding)
            visalib.write(session, message)
            if resource.query_delay > 0:
                time.sleep(resource.query_delay)
            # VISA's reads up to the read termination, a chunk at a time, as PyVISA's read does
            # them but without the layers around them that a short answer has no use for
            with visalib.ignore_warning(session, *READ_STATUSES):
                answer, status = visalib.read(session, resource.chunk_size)
                while status == MORE_TO_READ:
                    chunk, status = visalib.read(session, resource.chunk_size)
                    answer += chunk
            return answer.decode(self.encoding).removesuffix(self.read_termination)
        except OSError as e:
            raise self._lost(what, f"{e.strerror or e} while sending {command!r}") from e
        except VisaIOError as e:
            raise self._visa_error(what, command, e) from e

    def _settle(self, what, resource):
        """Input nobody asked for is waiting on the socket. An instrument that hung up would
        swallow the next message without a word: say so now, before a setting is recorded as
        sent. Anything else is a late answer to a query that timed out: throw it away."""
        if self._watch.discard(resource):
            raise self._lost(what, "the instrument closed the connection")

    def _not_message_based(self):
        return ValueError(f"{self.resource_name!r} is not the resource string of a message-based "
                          "VISA resource; these work: 'TCPIP0::HOST::PORT::SOCKET', "
                          "'TCPIP0::HOST::INSTR', 'USB0::VENDOR::PRODUCT::SERIAL::INSTR', "
                          "'GPIB0::ADDRESS::INSTR', 'ASRL/dev/ttyUSB0::INSTR', or a host name")

    def _not_open(self, what):
        return ConnectionError(f"{what}: {self.resource_name} is not open (call open() or use a "
                               "with block)")

    def _lost(self, what, why):
        name = self.resource_name
        self.close()
        return ConnectionError(f"{what}: lost the connection to {name} ({why}); call open() to "
                               "connect again")

    def _visa_error(self, what, command, error):
        if error.error_code == StatusCode.error_timeout:
            if self._watch is None:
                # VISA's device clear, where the backend has it (pyvisa-sim has not): the
                # instrument drops the query and its answer
                with contextlib.suppress(VisaError, OSError, NotImplementedError):
                    self.resource.clear()
            elif self._watch.discard(self.resource):
                return self._lost(what, f"no answer to {command!r}")
            else:
                # the answer may still come: from now on each query looks for it first
                self._late_answers = True
            return TimeoutError(f"{what}: no answer to {command!r} from {self.resource_name} "
                                f"within {self.timeout} s")
        if error.error_code == StatusCode.error_connection_lost:
            return self._lost(what, error.description)
        error.add_note(f"{what}: {command!r} to {self.resource_name}")
        return error

    def _raise_instrument_errors(self, what, sent):
        errors = []
        for _ in range(MAX_QUEUED_ERRORS):
            answer = self._query(what, self.error_query).strip()
            try:
                if int(answer.split(",", 1)[0]) == 0:
                    break
            except ValueError:
                raise ValueError(f"{what}: the answer {answer!r} to {self.error_query!r} from "
                                 f"{self.resource_name} has no error code") from None
            errors.append(answer)
        if errors:
            raise RuntimeError(f"{what}: {self.resource_name} reports {'; '.join(errors)} "
                               f"after {sent!r}")


class _SocketWatch:
    """Looks at the socket under a pyvisa-py SOCKET session for input nobody asked for: the
    instrument hanging up, or an answer that came after its query timed out. (pyvisa-py's own
    clear would spin for ever on a connection the instrument has closed.)"""

    def __init__(self, sock):
        self._sock = sock
        watch = select.poll()
        watch.register(sock, select.POLLIN)
        # poll(0): the events waiting, none when nothing came in unasked
        self.poll = watch.poll

    def discard(self, resource):
        """Throws away what is waiting, in pyvisa-py's buffer and on the socket, without waiting
        for more; True when the instrument has closed the connection."""
        resource.flush(BufferOperation.discard_read_buffer_no_io)
        while self.poll(0):
            try:
                if not self._sock.recv(65536, socket.MSG_DONTWAIT):
                    return True
            except BlockingIOError:
                return False
            except OSError:
                return True
        return False


# The packages of the backends a VISA library may name after its "@", which PyVISA imports as
# pyvisa_<name>.
BACKENDS = {"py": "pyvisa-py", "sim": "pyvisa-sim"}


def _resource_manager(library):
    """PyVISA's resource manager for library. A missing backend is named with the line that
    installs it, where PyVISA says only that it found no wrapper."""
    try:
        return pyvisa.ResourceManager(library)
    except ValueError as e:
        _, at, backend = library.rpartition("@")
        package, module = BACKENDS.get(backend) if at else None, f"pyvisa_{backend}"
        if package is None or importlib.util.find_spec(module) is not None:
            raise
        raise ModuleNotFoundError(f"the VISA library {library!r} needs {package}, which is not "
                                  f"installed: pip install {package}", name=module) from e


def _raw_socket(resource):
    """The socket under a pyvisa-py SOCKET session; None for every other kind of session."""
    session = getattr(resource.visalib, "sessions", {}).get(resource.session)
    sock = getattr(session, "interface", None)
    return sock if isinstance(sock, socket.socket) else None


def _format_float(value):
    # str gives the shortest digits that read back as the same number, in the value's own
    # precision (a float32 as a float32); an integral value needs no ".0"
    text = str(value)
    if text[-2:] == ".0":
        return text[:-2]
    return SPECIAL_FLOATS.get(text, text)


def _format_bool(value):
    return "1" if value else "0"


def _format_int(value):
    return str(int(value))


def _format_str(value):
    return value


def _parse_int(text):
    try:
        return int(text)
    except ValueError:
        number = float(text)
        if number.is_integer():
            return int(number)
        raise


def _parse_bool(text):
    try:
        return BOOLS[text.upper()]
    except KeyError:
        raise ValueError(text) from None


# How a value is sent, by its type, and how an answer is read, by the type of the quantity's
# default: exact types through the tables, subclasses and NumPy scalars through KINDS, where bool
# comes before int since True is an int too.
FORMATS = {float: _format_float, int: _format_int, bool: _format_bool, str: _format_str}
PARSERS = {float: float, int: _parse_int, bool: _parse_bool, str: str}
KINDS = ((bool, (bool, np.bool_)), (int, (int, np.integer)), (float, (float, np.floating)),
         (str, str))
SPECIAL_FLOATS = {"nan": "NAN", "inf": "INF", "-inf": "NINF"}
BOOLS = {"1": True, "0": False, "ON": True, "OFF": False}


def _format_for(name, value):
    for kind, types in KINDS:
        if isinstance(value, types):
            return FORMATS[kind]
    raise TypeError(f"{name}: cannot send a {type(value).__name__} as a SCPI parameter (give a "
                    "number, a bool, a str or a NumPy array)")


def _parser_for(name, default):
    """How to read the quantity; None for a waveform, which is not read back."""
    if name == "Waveform" or isinstance(default, np.ndarray):
        return None
    for kind, types in KINDS:
        if isinstance(default, types):
            return PARSERS[kind]
    return str
