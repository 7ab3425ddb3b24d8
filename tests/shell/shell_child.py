"""A child process for the shell tests: opens one socket, prints its local port, then sleeps.

Usage: shell_child.py ROLE [PORT] [--ignore-term]
  tcp4 / tcp6   listen on 127.0.0.1 / ::1
  udp           a UDP socket bound to 127.0.0.1, no peer
  udp-peer      a UDP socket bound to 127.0.0.1 and connected to PORT
  client        a TCP connection to 127.0.0.1:PORT
  none          no socket (prints 0)
--ignore-term makes the process ignore SIGTERM, so only SIGKILL ends it.
"""

import signal
import socket
import sys
import time


def open_socket(role, port):
    if role == "tcp4":
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.bind(("127.0.0.1", 0))
        s.listen()
    elif role == "tcp6":
        s = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
        s.bind(("::1", 0))
        s.listen()
    elif role == "udp":
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("127.0.0.1", 0))
    elif role == "udp-peer":
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("127.0.0.1", 0))
        s.connect(("127.0.0.1", port))
    elif role == "client":
        s = socket.create_connection(("127.0.0.1", port))
    else:
        return None
    return s


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    if "--ignore-term" in sys.argv:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
    role = args[0]
    port = int(args[1]) if len(args) > 1 else 0
    s = open_socket(role, port)
    print(s.getsockname()[1] if s else 0, flush=True)
    while True:
        time.sleep(60)


if __name__ == "__main__":
    main()
