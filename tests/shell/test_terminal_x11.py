"""Real terminal emulators under Xvfb: the launcher's command really runs, in the asked directory,
and leaves an interactive shell open. Each test gets its own D-Bus session bus; everything it
started is found by a marker in its environment and stopped by pid."""

import os
import shutil
import subprocess
import time
import uuid
from types import SimpleNamespace

import psutil
import pytest

from pelorix.__main__ import main
from pelorix.toolkit import shell

EMULATORS = ["gnome-terminal", "konsole", "xfce4-terminal", "xterm"]
MARK = "PELORIX_TEST_SESSION"

pytestmark = [
    pytest.mark.skipif(not shutil.which("Xvfb"), reason="Xvfb is not installed"),
    pytest.mark.skipif(not shutil.which("dbus-daemon"), reason="dbus-daemon is not installed"),
    # The launcher leaves its terminal running on purpose; the dropped Popen says so when collected.
    pytest.mark.filterwarnings("ignore:subprocess .* is still running:ResourceWarning"),
]


@pytest.fixture(scope="module")
def display():
    # -displayfd: the server picks a free display number and writes it to us.
    xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
        stdout=subprocess.PIPE,
        text=True,
    )
    number = xvfb.stdout.readline().strip()
    assert number, "Xvfb did not start"
    yield ":" + number
    xvfb.terminate()
    xvfb.wait(timeout=10)
    xvfb.stdout.close()


def processes_marked(token):
    found = []
    for proc in psutil.process_iter():
        try:
            if proc.pid != os.getpid() and proc.environ().get(MARK) == token:
                found.append(proc)
        except psutil.Error:
            pass
    return found


@pytest.fixture
def session(display, tmp_path, monkeypatch):
    """A fresh desktop session on the shared display: own home, runtime dir and session bus."""
    token = uuid.uuid4().hex
    runtime = tmp_path / "runtime"
    runtime.mkdir(mode=0o700)
    home = tmp_path / "home"
    home.mkdir()
    for name, value in {
        MARK: token,
        "DISPLAY": display,
        "HOME": str(home),
        "XDG_RUNTIME_DIR": str(runtime),
        "XDG_CONFIG_HOME": str(home / ".config"),
        "XDG_DATA_HOME": str(home / ".local/share"),
        "XDG_CACHE_HOME": str(home / ".cache"),
        "NO_AT_BRIDGE": "1",  # no accessibility bus for the GTK emulators
    }.items():
        monkeypatch.setenv(name, value)
    monkeypatch.delenv("SESSION_MANAGER", raising=False)
    bus = subprocess.Popen(
        ["dbus-daemon", "--session", "--nofork", "--print-address=1",
         f"--address=unix:path={tmp_path}/bus"],
        stdout=subprocess.PIPE,
        text=True,
    )  # fmt: skip
    monkeypatch.setenv("DBUS_SESSION_BUS_ADDRESS", bus.stdout.readline().strip())
    yield token
    started = processes_marked(token)
    for proc in started:
        try:
            proc.terminate()
        except psutil.NoSuchProcess:
            pass
    _, alive = psutil.wait_procs(started, timeout=5)
    for proc in alive:
        proc.kill()
    psutil.wait_procs(alive, timeout=5)
    bus.wait(timeout=5)
    bus.stdout.close()


def only(emulator, monkeypatch):
    """Hides the other installed emulators from the launcher's program lookup."""
    if not shutil.which(emulator):
        pytest.skip(f"{emulator} is not installed")
    hidden = set(EMULATORS) - {emulator}
    monkeypatch.setattr(
        shell, "shutil", SimpleNamespace(which=lambda n: None if n in hidden else shutil.which(n))
    )


def wait_for(check, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        result = check()
        if result:
            return result
        time.sleep(0.1)
    return check()


def shells_in(token, directory):
    def check():
        found = []
        for proc in processes_marked(token):
            try:
                if proc.name() == "bash" and proc.cwd() == str(directory):
                    found.append(proc)
            except psutil.Error:
                pass
        return found

    return check


@pytest.fixture
def workdir(tmp_path):
    path = tmp_path / "a dir"
    path.mkdir()
    return path


@pytest.mark.parametrize("emulator", ["konsole", "xfce4-terminal", "xterm"])
def test_command_runs_in_directory(session, monkeypatch, workdir, emulator):
    only(emulator, monkeypatch)
    shell.terminal("pwd > MARKER", cwd=str(workdir))
    marker = workdir / "MARKER"
    assert wait_for(lambda: marker.exists() and marker.read_text()), f"{emulator} ran nothing"
    assert marker.read_text() == f"{workdir}\n"
    # "; exec bash" leaves an interactive shell in the window after the command.
    assert wait_for(shells_in(session, workdir))


def test_plain_window_starts_a_shell_in_directory(session, monkeypatch, workdir):
    only("xterm", monkeypatch)
    shell.terminal(cwd=str(workdir))
    assert wait_for(shells_in(session, workdir))


def test_command_line_uses_the_first_installed_emulator(session, workdir):
    if not any(shutil.which(e) for e in EMULATORS):
        pytest.skip("no terminal emulator installed")
    assert main(["terminal", "--cwd", str(workdir), "pwd > MARKER"]) == 0
    marker = workdir / "MARKER"
    assert wait_for(lambda: marker.exists() and marker.read_text())
    assert marker.read_text() == f"{workdir}\n"
