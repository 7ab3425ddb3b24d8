"""A TCP proxy on 127.0.0.1 in front of a real server that fails the way lab networks do: it can
pass traffic, cut the connection after N more bytes in one direction, stall after N more bytes
(forwarding nothing more either way while both sockets stay open), refuse connections, or accept
them and never send the server's banner."""

import socket
import struct
import threading

UP, DOWN = "up", "down"  # client to server, server to client


class _Link:
    """One proxied connection: two sockets and a pump thread per direction."""

    def __init__(self, proxy, client):
        self.proxy, self.client = proxy, client
        self.server = socket.create_connection(("127.0.0.1", proxy.target_port))
        self.stalled = threading.Event()
        self.closed = threading.Event()
        for source, sink, direction in ((client, self.server, UP), (self.server, client, DOWN)):
            threading.Thread(target=self._pump, args=(source, sink, direction), daemon=True).start()

    def _pump(self, source, sink, direction):
        while not self.closed.is_set():
            try:
                data = source.recv(65536)
            except OSError:
                data = b""
            if not data:
                self.close()
                return
            data, fault = self.proxy._take(direction, data)
            if self.stalled.is_set():
                self.closed.wait()  # held, never delivered
                return
            try:
                if data:
                    sink.sendall(data)
            except OSError:
                self.close()
                return
            if fault == "cut":
                self.close()
                return
            if fault == "stall":
                self.stalled.set()
                self.closed.wait()
                return

    def close(self):
        if self.closed.is_set():
            return
        self.closed.set()
        for s in (self.client, self.server):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()


class FaultProxy:
    """Listens on `port`; forwards to 127.0.0.1:`target_port` unless told to fail."""

    def __init__(self, target_port):
        self.target_port = target_port
        self._lock = threading.Lock()
        self._rule = ("pass", None, 0)
        self._links = []
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()

    def fault(self, kind="pass", direction=DOWN, after=0):
        """From now on: "pass"; "cut" or "stall" once `after` more bytes went `direction` (over
        the live connections and new ones); "refuse" new connections; "mute" (new connections
        get nothing from the server: no banner)."""
        with self._lock:
            self._rule = (kind, direction, after)
            if kind in ("cut", "stall") and after == 0:
                for link in self._links:
                    if kind == "cut":
                        link.close()
                    else:
                        link.stalled.set()

    def _take(self, direction, data):
        """The part of `data` to forward, and the fault it triggers ("cut", "stall" or None)."""
        with self._lock:
            kind, rule_direction, budget = self._rule
            if kind not in ("cut", "stall") or rule_direction != direction:
                return data, None
            if len(data) < budget:
                self._rule = (kind, direction, budget - len(data))
                return data, None
            return data[:budget], kind

    def _accept(self):
        while not self._stop.is_set():
            try:
                client, _ = self._listener.accept()
            except OSError:
                return
            with self._lock:
                kind = self._rule[0]
            if kind == "refuse":  # reset at once, as a closed port would answer
                client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                client.close()
                continue
            link = _Link(self, client)
            if kind == "mute" or (kind == "stall" and self._rule[2] == 0):
                link.stalled.set()
            with self._lock:
                self._links.append(link)

    def drop_all(self):
        """Cuts every live connection now, whatever the rule."""
        with self._lock:
            links, self._links = self._links, []
        for link in links:
            link.close()

    def stop(self):
        self._stop.set()
        self._listener.close()
        self.drop_all()
        self._thread.join(timeout=5)
