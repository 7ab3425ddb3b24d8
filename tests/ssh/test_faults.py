"""SSHClient on a bad network: the tests' fault proxy between the client and a real OpenSSH sshd
cuts or stalls connections in the middle of connecting, commands and transfers.  No file is left
damaged under its destination's name, no call waits for ever, a silent command is not a dead one,
and a client whose connection was lost connects again on its next call.  The limits are shortened
through PELORIX_SSH_TIME_SCALE."""

import os
import pathlib
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from fault_proxy import DOWN, UP, FaultProxy

from pelorix.toolkit import ssh

PASSWORD = "correct horse"
SCALE = 0.1  # connect 3 s, no progress 6 s, keepalive every 1.5 s and unanswered after 7.5 s
CONNECT, NO_PROGRESS, KEEPALIVE_GONE = 30 * SCALE, 60 * SCALE, (15 + 75) * SCALE
SLACK = 5.0  # a busy two-core machine
BIG = 8 * 1024 * 1024
PARTIAL = r"\.run42\.h5\.[0-9a-f]{16}\.partial"

pytestmark = pytest.mark.timeout(120)


@pytest.fixture(autouse=True)
def short_limits(monkeypatch):
    monkeypatch.setenv("PELORIX_SSH_TIME_SCALE", str(SCALE))


@pytest.fixture
def proxy(sshd):
    p = FaultProxy(sshd.port)
    yield p
    p.stop()


@pytest.fixture
def connect(sshd, proxy, capsys):
    """A client through the proxy, connected, with its connection line already read."""
    def make():
        c = ssh.SSHClient(sshd.user, PASSWORD, "127.0.0.1", proxy.port, sshd.key_path)
        c.run("true")
        assert capsys.readouterr().out == f"{connected(sshd, proxy)}\n\n"
        return c
    return make


def connected(sshd, proxy):
    return f"Connected to 127.0.0.1:{proxy.port} as {sshd.user}"


def lines(capsys):
    return capsys.readouterr().out.splitlines()


# ---- transfers: nothing damaged under the destination's name ----

TRANSFER_FAULTS = {
    "download of a missing file": ("download", "missing", None),
    "download cut halfway": ("download", "cut", DOWN),
    "download stalled halfway": ("download", "stall", DOWN),
    "upload cut halfway": ("upload", "cut", UP),
    "upload stalled halfway": ("upload", "stall", UP),
}


@pytest.mark.parametrize("method, fault, direction", TRANSFER_FAULTS.values(),
                         ids=TRANSFER_FAULTS)
def test_a_failed_transfer_leaves_the_destination_as_it_was_and_the_next_connects_again(
        connect, sshd, proxy, tmp_path, capsys, method, fault, direction):
    old = os.urandom(950_000)
    source, folder = tmp_path / "source.bin", tmp_path / "dest"
    source.write_bytes(os.urandom(BIG))
    folder.mkdir()
    dest = folder / "run42.h5"
    dest.write_bytes(old)
    c = connect()
    given = tmp_path / "absent" if fault == "missing" else source
    if fault != "missing":
        proxy.fault(fault, direction, after=BIG // 2)
    started = time.monotonic()
    getattr(c, method)(str(given), str(dest))
    took = time.monotonic() - started
    (line,) = lines(capsys)
    assert re.fullmatch(f"failed to {method}: \\S.*", line)
    assert dest.read_bytes() == old
    left = [name for name in os.listdir(folder) if name != "run42.h5"]
    if method == "download":
        assert left == []  # removed; a partial upload stays where the connection went...
    assert all(re.fullmatch(PARTIAL, name) for name in left)  # ...and says whose it is
    if fault == "stall":
        assert took < NO_PROGRESS + SLACK
        assert "no progress for 6 s" in line
    proxy.fault("pass")
    getattr(c, method)(str(source), str(dest))
    again = [] if fault == "missing" else [connected(sshd, proxy)]
    assert lines(capsys) == [*again, f"{method} successfully: {source} -> {dest}"]
    assert dest.read_bytes() == source.read_bytes()


# ---- connecting within one deadline ----

CONNECT_FAULTS = {
    "refused": ("refuse", None, 0, None),
    "no banner": ("mute", None, 0, f"no answer within {CONNECT:g} s"),
    "stalled in the key exchange": ("stall", DOWN, 100, f"no answer within {CONNECT:g} s"),
}


@pytest.mark.parametrize("kind, direction, after, reason", CONNECT_FAULTS.values(),
                         ids=CONNECT_FAULTS)
def test_connecting_fails_by_the_deadline(sshd, proxy, capsys, kind, direction, after, reason):
    proxy.fault(kind, direction, after)
    c = ssh.SSHClient(sshd.user, PASSWORD, "127.0.0.1", proxy.port, sshd.key_path)
    started = time.monotonic()
    c.run("true")
    assert time.monotonic() - started < CONNECT + SLACK
    failed, rest = lines(capsys)
    assert failed.startswith(f"Failed to connect to 127.0.0.1:{proxy.port} - ")
    assert failed.endswith(f" - {reason}") if reason else re.search(" - \\S", failed)
    assert rest == "SSH client is not connected."
    assert vars(c)["_SSHClient__client"] is None  # never connected: None, as before


# ---- commands: silent is not dead, gone is found ----


def test_a_silent_command_outlasts_the_keepalive_limit(connect, capsys, monkeypatch):
    monkeypatch.setenv("PELORIX_SSH_TIME_SCALE", "0.05")  # gone after 4.5 s without answers
    c = connect()
    c.run("sleep 6; echo done")
    assert lines(capsys) == ["done", ""]


@pytest.mark.parametrize("kind", ["stall", "cut"])
def test_a_run_whose_connection_fails_prints_what_came_then_raises(
        connect, sshd, proxy, capsys, kind):
    c = connect()
    command = "echo before; sleep 2; echo after"
    timer = threading.Timer(1.0, proxy.fault, args=(kind, DOWN, 0))
    timer.start()
    started = time.monotonic()
    with pytest.raises(ConnectionError) as info:
        c.run(command)
    took = time.monotonic() - started
    timer.join()
    assert lines(capsys) == ["before", ""]
    why = "no answer to keepalives for 7.5 s" if kind == "stall" else "the connection was cut"
    assert str(info.value) == (
        f"connection to 127.0.0.1:{proxy.port} lost while running {command!r} ({why})")
    assert took < 1 + KEEPALIVE_GONE + SLACK
    proxy.fault("pass")
    c.run("echo again")
    assert lines(capsys) == [connected(sshd, proxy), "again", ""]


def test_a_lost_client_connects_again_even_after_a_failed_attempt(
        connect, sshd, proxy, tmp_path, capsys):
    c = connect()
    lost = vars(c)["_SSHClient__client"]
    proxy.fault("refuse")
    proxy.drop_all()
    deadline = time.monotonic() + 10
    while lost.get_transport().is_active() and time.monotonic() < deadline:
        time.sleep(0.05)
    c.run("echo two")
    c.upload(__file__, str(tmp_path / "copy.py"))
    failed = f"Failed to connect to 127.0.0.1:{proxy.port} - "
    out = lines(capsys)
    assert [line[:len(failed)] for line in out[::2]] == [failed, failed]
    assert out[1::2] == ["SSH client is not connected.", "failed to upload: not connected"]
    # still the lost client, not None (kept for clients that never connected): tried again
    assert vars(c)["_SSHClient__client"] is lost and "_SSHClient__sftp" not in vars(c)
    proxy.fault("pass")
    c.run("echo three")
    c.upload(__file__, str(tmp_path / "copy.py"))
    assert lines(capsys) == [connected(sshd, proxy), "three", "",
                             f"upload successfully: {__file__} -> {tmp_path / 'copy.py'}"]
    c.close()
    with pytest.raises((AttributeError, ssh.paramiko.SSHException)):
        c.run("true")  # closed by the user: that stays closed


# ---- Ctrl+C ----

CHILD = textwrap.dedent("""
    import sys, time
    from pelorix.toolkit import ssh
    user, port, key, source, dest = sys.argv[1:]
    c = ssh.SSHClient(user, "pw", "127.0.0.1", int(port), key)
    c.run("true")
    print("uploading", flush=True)
    try:
        c.upload(source, dest)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
        sys.stdin.readline()
        c.run("echo again")
        raise
""")


def test_ctrl_c_ends_a_stalled_upload_at_once_and_the_next_call_connects_again(
        sshd, proxy, tmp_path, monkeypatch):
    monkeypatch.delenv("PELORIX_SSH_TIME_SCALE")  # the full limits: only Ctrl+C can end it
    source, dest = tmp_path / "source.bin", tmp_path / "run42.h5"
    source.write_bytes(os.urandom(BIG))
    dest.write_bytes(b"old")
    proxy.fault("stall", UP, after=BIG // 2)
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, sshd.user, str(proxy.port), sshd.key_path, str(source),
         str(dest)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().splitlines() == [connected(sshd, proxy)]
        assert child.stdout.readline() == "\n" and child.stdout.readline() == "uploading\n"
        time.sleep(2)  # well into the stall
        os.kill(child.pid, signal.SIGINT)
        started = time.monotonic()
        assert child.stdout.readline() == "interrupted\n"
        assert time.monotonic() - started < 2.5
        assert dest.read_bytes() == b"old"
        proxy.fault("pass")
        out, err = child.communicate("\n", timeout=30)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert out.splitlines() == [connected(sshd, proxy), "again", ""]
    assert err.rstrip().endswith("KeyboardInterrupt") and child.returncode != 0
    assert dest.read_bytes() == b"old"
