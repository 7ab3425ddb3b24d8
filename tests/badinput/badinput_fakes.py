"""Harmless stand-ins for everything the native modules could use to touch the outside world
(processes, signals, terminals, browsers, SSH), installed in the harness's worker process before
any native module is imported, and the per-module knowledge the harness needs to get past the
first argument check: valid base arguments, instance factories and platform variants."""

import os
import signal
import subprocess
import sys
import types

import numpy as np


class FakeError(Exception):
    pass


# ---- psutil: nothing is ever signalled ----


def make_psutil():
    m = types.ModuleType("psutil")

    class NoSuchProcess(Exception):
        pass

    class TimeoutExpired(Exception):
        pass

    class AccessDenied(Exception):
        pass

    class Addr:
        def __init__(self, port):
            self.port = port

    class Conn:
        def __init__(self, port, status, pid):
            self.laddr = Addr(port)
            self.status = status
            self._pid = pid

        @property
        def pid(self):
            if self._pid == "gone":
                raise NoSuchProcess("vanished")
            return self._pid

    class Process:
        def __init__(self, pid):
            if not isinstance(pid, int) or pid < 0 or pid == 2:
                raise NoSuchProcess(f"process no longer exists (pid={pid})")
            self.pid = pid

        def terminate(self):
            pass

        def wait(self, timeout=None):
            if self.pid == 1:
                raise TimeoutExpired(timeout)

        def kill(self):
            pass

    def net_connections(kind="inet"):
        return [
            Conn(22, "ESTABLISHED", 5),
            Conn(22, "LISTEN", 1),
            Conn(80, "LISTEN", None),
            Conn(8080, "LISTEN", "gone"),
            Conn(8080, "LISTEN", 7),
            Conn(9, "LISTEN", 2),
        ]

    m.NoSuchProcess, m.TimeoutExpired, m.AccessDenied = NoSuchProcess, TimeoutExpired, AccessDenied
    m.Process, m.net_connections = Process, net_connections
    return m


# ---- paramiko: connections succeed only for the host "a", and nothing goes on the wire ----


def make_paramiko():
    m = types.ModuleType("paramiko")

    class SSHException(Exception):
        pass

    class AutoAddPolicy:
        pass

    class RSAKey:
        @staticmethod
        def from_private_key_file(path, password=None):
            if not os.path.isfile(path):
                raise FileNotFoundError(2, "No such file or directory", path)
            return RSAKey()

    class Channel:
        """The command's channel: output already buffered, end of output already seen."""

        closed = False
        eof_received = True

        def __init__(self, out, err):
            self.out, self.err = [out], [err]
            self.pipe = os.pipe()
            os.close(self.pipe[1])  # readable at once: poll never waits

        def __del__(self):
            os.close(self.pipe[0])

        def fileno(self):
            return self.pipe[0]

        def recv_ready(self):
            return bool(self.out)

        def recv(self, size):
            return self.out.pop()

        def recv_stderr_ready(self):
            return bool(self.err)

        def recv_stderr(self, size):
            return self.err.pop()

        def shutdown_write(self):
            return None

        def recv_exit_status(self):
            return 0

    class ChannelFile:
        def __init__(self, channel, data=b""):
            self.channel, self.data = channel, data

        def read(self, *args):
            return self.data

        def write(self, data):
            return None

        def flush(self):
            return None

    class RemoteFile:
        def stat(self):
            return types.SimpleNamespace(st_uid=0, st_gid=0, st_size=0)

        def close(self):
            return None

    class SFTP:
        """Only the remote file "a" exists (empty); new remote files may be made anywhere."""

        def get_channel(self):
            return types.SimpleNamespace(closed=False)

        def lstat(self, path):
            if path != "a":
                raise FileNotFoundError(2, "No such file", path)
            return types.SimpleNamespace(st_mode=0o100644, st_uid=0, st_gid=0)

        stat = lstat

        def listdir_attr(self, path="."):
            return [types.SimpleNamespace(filename="a", longname="-rw-r--r--    1 a a 0 a")]

        def open(self, path, mode="r"):
            return RemoteFile()

        def put(self, local, remote, callback=None):
            if not os.path.isfile(local):
                raise FileNotFoundError(2, "No such file or directory", local)

        def getfo(self, remote, fl, callback=None):
            if remote != "a":
                raise FileNotFoundError(2, "No such file", remote)
            return 0

        def get(self, remote, local, callback=None):
            with open(local, "wb") as fl:
                self.getfo(remote, fl, callback)

        def chmod(self, path, mode):
            return None

        def remove(self, path):
            return None

        def posix_rename(self, old, new):
            return None

    class Transport:
        def is_active(self):
            return True

        def close(self):
            return None

    class SSHClient:
        def __init__(self):
            self.transport = Transport()

        def get_transport(self):
            return self.transport

        def load_system_host_keys(self, filename=None):
            return None

        def set_missing_host_key_policy(self, policy):
            return None

        def connect(self, hostname, port=22, username=None, password=None, pkey=None, **kw):
            if hostname != "a":
                raise ConnectionRefusedError(111, "Connection refused")

        def exec_command(self, command, *args, **kw):
            out, err = "out é\n".encode(), b"\xff\xfe" if "x" in command else b"err"
            channel = Channel(out, err)
            return ChannelFile(channel), ChannelFile(channel, out), ChannelFile(channel, err)

        def open_sftp(self):
            return SFTP()

        def close(self):
            return None

    m.SSHException, m.AutoAddPolicy, m.RSAKey, m.SSHClient = (
        SSHException,
        AutoAddPolicy,
        RSAKey,
        SSHClient,
    )
    return m


# ---- webbrowser and subprocess: record nothing, start nothing ----


def make_webbrowser():
    m = types.ModuleType("webbrowser")

    def open_url(url, new=0, autoraise=True):
        return True

    m.open = m.open_new = m.open_new_tab = open_url
    m.get = lambda using=None: types.SimpleNamespace(open=open_url)
    m.Error = FakeError
    return m


class FakePopen:
    def __init__(self, args, *rest, **kw):
        self.args = args
        self.pid = 0
        self.returncode = None

    def wait(self, timeout=None):
        return 0

    def poll(self):
        return 0


def _refuse(*args, **kw):
    raise PermissionError("signals are disabled in the bad-input harness")


def install_fakes():
    """Replaces every way out before the native modules are imported."""
    sys.modules["psutil"] = make_psutil()
    sys.modules["paramiko"] = make_paramiko()
    sys.modules["webbrowser"] = make_webbrowser()
    os.kill = os.killpg = signal.pthread_kill = _refuse
    subprocess.Popen = FakePopen
    os.system = os.execv = os.execvp = os.posix_spawn = os.posix_spawnp = _refuse
    if hasattr(os, "startfile"):
        os.startfile = _refuse


def _which(found):
    return lambda name, *a, **k: found.get(name)


# Platforms the terminal launcher is driven through, by rebinding `platform` and `shutil` in the
# module namespace (the module looks them up at call time).
SHELL_VARIANTS = [
    ("Linux", "Linux", None),
    ("Windows Terminal", "Windows", {"wt": "C:\\wt.exe", "code": "C:\\code.cmd"}),
    ("Windows code", "Windows", {"code": "C:\\code.cmd"}),
    ("Windows PowerShell", "Windows", {"powershell.exe": "C:\\powershell.exe"}),
    ("Windows cmd", "Windows", {"cmd.exe": "C:\\cmd.exe"}),
    ("Windows bare", "Windows", {}),
    ("Darwin", "Darwin", None),
    ("Plan 9", "Plan 9", None),
]


def shell_variants(module):
    """(label, setup) pairs; each setup rebinds what the terminal launcher looks at."""
    import shutil

    def setup_for(system, found):
        def setup():
            module.subprocess = types.SimpleNamespace(Popen=FakePopen, CREATE_NEW_CONSOLE=16)
            module.platform = types.SimpleNamespace(system=lambda: system)
            module.shutil = shutil if found is None else types.SimpleNamespace(which=_which(found))
            if system == "Windows":
                os.environ["VSCODE_GIT_IPC_HANDLE"] = "x"
            else:
                os.environ.pop("VSCODE_GIT_IPC_HANDLE", None)

        return setup

    return [(label, setup_for(system, found)) for label, system, found in SHELL_VARIANTS]


def module_variants(name, module):
    if name.endswith(".shell"):
        return shell_variants(module)
    return [("", lambda: None)]


def prepare_module(name, module):
    """Rebinds the module's outward-facing names to the fakes, in case it kept its own copies."""
    if hasattr(module, "webbrowser"):
        module.webbrowser = sys.modules["webbrowser"]
    if hasattr(module, "paramiko"):
        module.paramiko = sys.modules["paramiko"]
    if hasattr(module, "subprocess"):
        module.subprocess = types.SimpleNamespace(Popen=FakePopen, CREATE_NEW_CONSOLE=16)


def write_fixture_files(tmp):
    """Files the path-taking functions may read: text, undecodable bytes, empty, a directory."""
    with open(os.path.join(tmp, "a"), "w", encoding="utf-8") as f:
        f.write("one\ntwo\nthree\n")
    with open(os.path.join(tmp, "b"), "wb") as f:
        f.write(b"one\n\xff\xfe\x81two\n")
    open(os.path.join(tmp, "empty"), "wb").close()
    os.makedirs(os.path.join(tmp, "dir"), exist_ok=True)
    bindir = os.path.join(tmp, "bin")
    os.makedirs(bindir, exist_ok=True)
    xterm = os.path.join(bindir, "xterm")
    with open(xterm, "w") as f:
        f.write("#!/bin/sh\nexit 0\n")
    os.chmod(xterm, 0o755)
    return bindir


def two_line_diff():
    from pelorix.toolkit import view

    return view.BeautifulHtmlDiff(text1="one\ntwo\n", text2="one\nthree\n")


# Valid arguments (after self) that get a callable past its first checks, so that swapping one
# argument at a time reaches the deeper code.  Keyed by "module:qualname"; anything not listed
# gets values derived from its annotations.
BASE_ARGS = {
    "instrumentcore:compress": lambda: (np.array([1, 1, 2, 2, 2, 3]),),
    "instrumentcore:decompress": lambda: (np.array([1.0, 2.0]), np.array([2, 1])),
    "instrumentcore:InstrumentCore.setValue": lambda: ("Amp", 0.5),
    "instrumentcore:InstrumentCore.getValue": lambda: ("Amp",),
    "instrumentcore:InstrumentCore.check": lambda: ("Amp", 1),
    "instrumentcore:InstrumentCore.update": lambda: ("Amp", 0.5, 1),
    "instrumentcore:InstrumentCore.write": lambda: ("Amp", 0.5),
    "instrumentcore:InstrumentCore.read": lambda: ("Amp",),
    "view:compare": lambda: ("one\ntwo\n", "one\nthree\n"),
    "view:BeautifulHtmlDiff.__init__": lambda: ("one\ntwo\n", "one\nthree\n"),
    "view:display_tree": lambda: ({"a": {"b": 1}, "c": [1, 2]},),
    "view:display_array": lambda: (np.arange(6).reshape(2, 3),),
    "view:BeautifulHtmlDiff._read_file": lambda: ("a",),
    "view:BeautifulHtmlDiff._escape_html": lambda: ("<a & b>",),
    "view:BeautifulHtmlDiff._char_level_diff": lambda: ("abcd", "abed"),
    "view:BeautifulHtmlDiff._get_symbol_and_class": lambda: ("diff_add",),
    "_windowed:write_page": lambda: (two_line_diff(), "page.html"),
    "ssh:SSHClient.run": lambda: ("ls",),
    "ssh:SSHClient.upload": lambda: ("a", "remote"),
    "ssh:SSHClient.download": lambda: ("a", "local"),
}

# Keyword arguments for building a working instance of a class, keyed like BASE_ARGS.
INIT_KWARGS = {
    "view:BeautifulHtmlDiff": lambda: {"text1": "one\ntwo\n", "text2": "one\nthree\n"},
    "ssh:SSHClient": lambda: {"username": "a", "password": "a", "host": "a"},
}


def class_namespace(key):
    """Extra class attributes for the concrete subclass the harness derives from a class."""
    if key == "instrumentcore:InstrumentCore":
        from pelorix.driver.common.quantity import Quantity

        return {
            "CHs": [1, 2],
            "quants": [
                Quantity("Amp", 0.0, unit="V"),
                Quantity("Waveform"),
                Quantity("Mode", "a", ch="global"),
            ],
        }
    return {}
