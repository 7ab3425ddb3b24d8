"""Port lookup and process termination against real child processes and real sockets."""

import inspect
import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import psutil
import pytest

from pelorix.__main__ import main
from pelorix.toolkit import shell

CHILD = Path(__file__).with_name("shell_child.py")


def ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


@pytest.fixture
def spawn():
    """Starts shell_child.py processes; returns (process, port); kills each by pid at the end."""
    started = []

    def start(role, port=0, ignore_term=False):
        argv = [sys.executable, str(CHILD), role, str(port)]
        if ignore_term:
            argv.append("--ignore-term")
        proc = subprocess.Popen(argv, stdout=subprocess.PIPE, text=True)
        started.append(proc)
        line = proc.stdout.readline()
        assert line, f"{role} child died before reporting its port"
        return proc, int(line)

    yield start
    for proc in started:
        if proc.poll() is None:
            os.kill(proc.pid, signal.SIGKILL)
        try:
            proc.wait(timeout=5)
        except ChildProcessError:
            pass  # already reaped by psutil inside kill()
        proc.stdout.close()


def unused_port():
    """A port no socket of any process uses, TCP or UDP: a port free for TCP may still be held by
    another program's UDP socket, which the lookup rightly reports."""
    while True:
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        if all(conn.laddr.port != port for conn in psutil.net_connections("inet")):
            return port


def lines(capsys):
    return capsys.readouterr().out.splitlines()


def gone(pid):
    try:
        return psutil.Process(pid).status() == psutil.STATUS_ZOMBIE
    except psutil.NoSuchProcess:
        return True


def missing_pid():
    return int(Path("/proc/sys/kernel/pid_max").read_text()) + 1


# ---- module ----


def test_namespace_order_and_no_psutil_at_import(tmp_path):
    # A fresh interpreter where psutil cannot be imported: the module still loads.
    code = (
        "import sys; sys.modules['psutil'] = None\n"
        "from pelorix.toolkit import shell\n"
        "print([n for n in vars(shell) if not n.startswith('__')], shell.__doc__)\n"
    )
    # The child imports the same build as this test, wherever it comes from.
    env = dict(os.environ, PYTHONPATH=str(Path(shell.__file__).parents[2]))
    out = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env=env,
        check=True,
    ).stdout
    assert out.split("\n")[0] == (
        "['os', 'platform', 'shutil', 'subprocess', 'terminal', 'find_process_by_port', 'kill']"
        " None"
    )


@pytest.mark.parametrize("call", ["find_process_by_port(80)", "kill(pid=12345)"])
def test_psutil_is_imported_at_every_call(monkeypatch, capsys, call):
    monkeypatch.setitem(sys.modules, "psutil", None)
    with pytest.raises(ImportError):
        eval(call, vars(shell))
    assert capsys.readouterr().out == ""


class Port(int):
    pass


@pytest.mark.parametrize(
    "call, param",
    [
        (lambda: shell.find_process_by_port(True), "port"),
        (lambda: shell.find_process_by_port("80"), "port"),
        (lambda: shell.find_process_by_port(None), "port"),
        (lambda: shell.find_process_by_port(80.0), "port"),
        (lambda: shell.find_process_by_port(Port(80)), "port"),
        (lambda: shell.kill(pid=None), "pid"),
        (lambda: shell.kill(port=True), "port"),
        (lambda: shell.kill("1"), "pid"),
    ],
)
def test_wrong_types_name_the_parameter(capsys, call, param):
    with pytest.raises(TypeError, match=f"'{param}'"):
        call()
    assert capsys.readouterr().out == ""


# ---- find_process_by_port ----


@pytest.mark.parametrize(
    "role",
    [
        "tcp4",
        pytest.param("tcp6", marks=pytest.mark.skipif(not ipv6_loopback(), reason="no ::1")),
        "udp",
    ],
)
def test_listener_is_found(spawn, role):
    proc, port = spawn(role)
    assert shell.find_process_by_port(port) == proc.pid
    assert shell.find_process_by_port(port=port) == proc.pid


def test_connections_that_do_not_listen_are_not_found(spawn):
    server, port = spawn("tcp4")
    _client, client_port = spawn("client", port)
    _udp_server, udp_port = spawn("udp")
    _peer, peer_port = spawn("udp-peer", udp_port)
    # The listener's port also carries the accepted connection and the client's remote end.
    assert shell.find_process_by_port(port) == server.pid
    assert shell.find_process_by_port(client_port) is None
    assert shell.find_process_by_port(peer_port) is None
    assert shell.find_process_by_port(unused_port()) is None


# ---- kill ----


def test_kill_by_pid_terminates_politely(spawn, capsys):
    proc, _ = spawn("none")
    assert shell.kill(proc.pid) is None
    assert lines(capsys) == [f"Process {proc.pid} terminated successfully"]
    assert gone(proc.pid)


def test_kill_by_port_wins_over_pid(spawn, capsys):
    bystander, _ = spawn("none")
    server, port = spawn("udp")
    shell.kill(pid=bystander.pid, port=port)
    assert lines(capsys) == [
        f"Killing process {server.pid} on port {port}",
        f"Process {server.pid} terminated successfully",
    ]
    assert gone(server.pid)
    assert bystander.poll() is None


def test_kill_after_grace_period(spawn, capsys):
    proc, port = spawn("tcp4", ignore_term=True)
    started = time.monotonic()
    shell.kill(port=port)
    elapsed = time.monotonic() - started
    out = lines(capsys)
    assert out[0] == f"Killing process {proc.pid} on port {port}"
    prefix = f"Process {proc.pid} forcefully killed after timeout: "
    assert out[1].startswith(prefix) and "3 seconds" in out[1] and f"pid={proc.pid}" in out[1]
    assert len(out) == 2
    assert 2.9 < elapsed < 10
    assert proc.wait(timeout=5) == -signal.SIGKILL


def test_kill_port_without_listener_signals_nothing(spawn, capsys):
    bystander, _ = spawn("none")
    port = unused_port()
    assert shell.kill(bystander.pid, port) is None
    assert lines(capsys) == [f"No process found on port {port}"]
    assert bystander.poll() is None


@pytest.mark.parametrize("found", [None, 0])
def test_kill_uses_the_lookup_bound_in_the_module(monkeypatch, capsys, found):
    asked = []
    monkeypatch.setattr(shell, "find_process_by_port", lambda port: asked.append(port) or found)
    shell.kill(port=4242)
    assert asked == [4242]
    assert lines(capsys) == ["No process found on port 4242"]


@pytest.mark.parametrize("args", [(), (missing_pid(),)])
def test_kill_of_a_missing_process_prints_psutil_reason(capsys, args):
    pid = args[0] if args else 0
    try:
        psutil.Process(pid)
    except psutil.NoSuchProcess as e:
        shell.kill(*args)
        assert lines(capsys) == [f"Process {pid} does not exist: {e}"]
        return
    # Where PID 0 exists, psutil itself refuses to signal it (that would hit our process group).
    with pytest.raises(ValueError):
        shell.kill(*args)
    assert lines(capsys) == []


# ---- command line ----


def test_cli_port_and_kill(spawn, capsys):
    server, port = spawn("tcp4")
    assert main(["port", str(port)]) == 0
    assert lines(capsys) == [str(server.pid)]
    assert main(["kill", "--port", str(port)]) == 0
    assert lines(capsys)[-1] == f"Process {server.pid} terminated successfully"
    assert main(["port", str(port)]) == 1
    assert lines(capsys) == [f"No process is listening on port {port}"]
    other, _ = spawn("none")
    main(["kill", "--pid", str(other.pid)])
    assert lines(capsys) == [f"Process {other.pid} terminated successfully"]


@pytest.mark.parametrize("name,signature,doc", [
    ("terminal", "(command: 'str | None' = None, cwd: 'str | None' = None)",
     "Open a new terminal window"),
    ("find_process_by_port", "(port: 'int')",
     "Return the first process that occupies the specified port"),
    ("kill", "(pid: 'int' = 0, port: 'int' = 0)", "Kill a process by ID or port"),
])
def test_signatures_and_docstrings(name, signature, doc):
    f = getattr(shell, name)
    assert str(inspect.signature(f)) == signature
    assert f.__doc__.startswith(doc) and f.__module__ == "pelorix.toolkit.shell"
    assert f.__qualname__ == name
