"""A raw SCPI socket instrument on 127.0.0.1 for the SCPI driver's tests and benchmark: it keeps
what it is sent, answers queries from that state, takes IEEE 488.2 binary blocks, and can be told
to stay silent, hang up, answer garbage or report an instrument error.

Run as a program it serves until its standard input closes, after printing its port:
    python tests/driver/scpi_server.py
"""

import socket
import sys
import threading

NO_ERROR = '0,"No error"'
GARBAGE = "1.2.3 junk"


class ScpiServer:
    """One listening socket, a thread per connection, answers sent from that thread at once.

    `state` maps each header to the last value set (text, or bytes for a binary block);
    `received` holds every message as it came off the wire, terminator included; `events` holds
    "open" and "close" for every connection. `behaviour` is "normal", "silent" (queries get no
    answer), "garbage" (queries get GARBAGE), "late" (answers come `late_by` seconds late, and
    "late answer" joins `events` once one is sent) or "hangup" (the next message closes the
    connection unanswered); `errors` is the instrument's error queue, read by SYST:ERR?."""

    def __init__(self):
        self.state, self.received, self.events, self.errors = {}, [], [], []
        self.behaviour, self.late_by = "normal", 1.0
        self._changed = threading.Condition()
        self._connections, self._threads = [], []
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self._threads.append(threading.Thread(target=self._accept, daemon=True))
        self._threads[0].start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        _hang_up(self._listener)  # a shutdown wakes the thread waiting in accept; a close does not
        for thread in self._threads:
            if isinstance(thread, threading.Timer):
                thread.cancel()
        for conn in list(self._connections):
            _hang_up(conn)
        for thread in self._threads:
            thread.join(5)

    def wait_for(self, predicate, timeout=5.0):
        """Waits until predicate() holds (the server works in its own threads); False on timeout."""
        with self._changed:
            return self._changed.wait_for(predicate, timeout)

    def messages(self, count, timeout=5.0):
        """The first `count` messages received, once that many have arrived."""
        if not self.wait_for(lambda: len(self.received) >= count, timeout):
            raise AssertionError(f"the server got {self.received}, fewer than {count} messages")
        return self.received[:count]

    def _note(self, kind, value):
        with self._changed:
            getattr(self, kind).append(value)
            self._changed.notify_all()

    def _accept(self):
        while True:
            try:
                conn, _ = self._listener.accept()
            except OSError:  # the listener was closed: stop
                return
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self._connections.append(conn)
            self._note("events", "open")
            thread = threading.Thread(target=self._serve, args=(conn,), daemon=True)
            self._threads.append(thread)
            thread.start()

    def _serve(self, conn):
        buffer = b""
        try:
            while True:
                message, buffer = _split_message(buffer)
                if message is None:
                    chunk = conn.recv(65536)
                    if not chunk:
                        return
                    buffer += chunk
                    continue
                self._note("received", message)
                if self.behaviour == "hangup":
                    return
                answer = self._handle(message.rstrip(b"\n"))
                if answer is None:
                    continue
                if self.behaviour == "late":
                    late = threading.Timer(self.late_by, self._answer_late, (conn, answer))
                    self._threads.append(late)
                    late.start()
                else:
                    conn.sendall(answer.encode() + b"\n")
        except OSError:
            return
        finally:
            _hang_up(conn)
            self._note("events", "close")

    def _answer_late(self, conn, answer):
        try:
            conn.sendall(answer.encode() + b"\n")
        except OSError:
            return
        self._note("events", "late answer")

    def _handle(self, message):
        header, _, data = message.partition(b" ")
        header = header.decode()
        if not header.endswith("?"):
            self.state[header] = data if data.startswith(b"#") else data.decode()
            return None
        if self.behaviour == "silent":
            return None
        if self.behaviour == "garbage":
            return GARBAGE
        if header == "SYST:ERR?":
            return self.errors.pop(0) if self.errors else NO_ERROR
        value = self.state.get(header[:-1], "0")
        return value if isinstance(value, str) else "0"


def _split_message(buffer):
    """(first complete message, rest), or (None, buffer) while the first one is incomplete. A
    message is a line, unless its data is a definite-length block, which may hold any byte."""
    space = buffer.find(b" ")
    newline = buffer.find(b"\n")
    line_end = newline if newline >= 0 else len(buffer)
    if 0 <= space < line_end and buffer[space + 1:space + 2] == b"#":
        digits_at = space + 2
        if len(buffer) <= digits_at:
            return None, buffer
        digits = int(buffer[digits_at:digits_at + 1])
        size_end = digits_at + 1 + digits
        if len(buffer) < size_end:
            return None, buffer
        end = size_end + int(buffer[digits_at + 1:size_end]) + 1  # the data and the terminator
        if len(buffer) < end:
            return None, buffer
        return buffer[:end], buffer[end:]
    if newline < 0:
        return None, buffer
    return buffer[:newline + 1], buffer[newline + 1:]


def _hang_up(conn):
    try:
        conn.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    conn.close()


def main():
    server = ScpiServer()
    print(server.port, flush=True)
    sys.stdin.read()
    server.stop()


if __name__ == "__main__":
    sys.exit(main())
