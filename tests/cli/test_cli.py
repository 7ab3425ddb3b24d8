"""The command line as users run it (python -m pelorix in a child process): exit statuses and
messages of kill, port and terminal, usage errors, the version from the package metadata, and
help text for every argument."""

import argparse
import os
import pathlib
import signal
import socket
import subprocess
import sys
import threading
import time
from importlib import metadata

import pytest

import pelorix
from pelorix.__main__ import build_parser

PACKAGE_ROOT = str(pathlib.Path(pelorix.__file__).resolve().parent.parent)
COMMANDS = ["diff", "port", "kill", "terminal"]

# A child that reports its pid and, for "listen", a listening TCP port, then waits to be ended;
# "stubborn" ignores the polite request as well.
CHILD = """
import os, signal, socket, sys, time
role = sys.argv[1]
if role == "stubborn":
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
port = 0
if role == "listen":
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen()
    port = server.getsockname()[1]
print(os.getpid(), port, flush=True)
while True:
    time.sleep(60)
"""


def environment(**changes):
    """This environment with the package under test importable; None as a value removes it."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE_ROOT, env.get("PYTHONPATH")]))
    for name, value in changes.items():
        if value is None:
            env.pop(name, None)
        else:
            env[name] = value
    return env


def pelorix_cli(*args, env=None):
    return subprocess.run(
        [sys.executable, "-P", "-m", "pelorix", *args],
        check=False,
        capture_output=True,
        text=True,
        env=env or environment(),
        timeout=60,
    )


@pytest.fixture
def child():
    """Starts CHILD processes; returns (process, pid, port); kills each by pid at the end."""
    started = []

    def start(role):
        proc = subprocess.Popen(
            [sys.executable, "-c", CHILD, role], stdout=subprocess.PIPE, text=True
        )
        started.append(proc)
        pid, port = map(int, proc.stdout.readline().split())
        # Reaped as soon as it ends, as a detached process would be: the command line watches
        # for the process to disappear, and an unreaped child would linger as a zombie.
        threading.Thread(target=proc.wait, daemon=True).start()
        return proc, pid, port

    yield start
    for proc in started:
        if proc.poll() is None:
            os.kill(proc.pid, signal.SIGKILL)
        proc.wait()
        proc.stdout.close()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def gone_pid():
    proc = subprocess.Popen([sys.executable, "-c", ""])
    proc.wait()
    return proc.pid


# ---- kill and port ----


def test_kill_by_pid_ends_the_process(child):
    proc, pid, _ = child("idle")
    r = pelorix_cli("kill", "--pid", str(pid))
    assert (r.returncode, r.stdout, r.stderr) == (0, f"Process {pid} terminated successfully\n", "")
    assert proc.wait(timeout=10) == -signal.SIGTERM


def test_kill_by_port_ends_the_listener(child):
    proc, pid, port = child("listen")
    r = pelorix_cli("kill", "--port", str(port))
    assert r.returncode == 0
    assert r.stdout.splitlines() == [
        f"Killing process {pid} on port {port}",
        f"Process {pid} terminated successfully",
    ]
    assert proc.wait(timeout=10) == -signal.SIGTERM


def test_kill_of_a_process_ignoring_the_request_succeeds_forcefully(child):
    proc, pid, _ = child("stubborn")
    r = pelorix_cli("kill", "--pid", str(pid))
    assert r.returncode == 0
    assert r.stdout.startswith(f"Process {pid} forcefully killed after timeout: ")
    assert proc.wait(timeout=10) == -signal.SIGKILL


@pytest.mark.parametrize(
    "args, message",
    [
        (lambda: ["--port", str(free_port())], "No process found on port {0[1]}\n"),
        (lambda: ["--pid", str(gone_pid())], "Process {0[1]} does not exist: "),
    ],
    ids=["nothing on the port", "no such pid"],
)
def test_kill_with_nothing_to_kill_fails(args, message):
    argv = args()
    r = pelorix_cli("kill", *argv)
    assert r.returncode == 1
    assert r.stdout.startswith(message.format(argv)) and r.stdout.count("\n") == 1
    assert r.stderr == ""


@pytest.mark.parametrize(
    "argv, complaint",
    [
        (["kill"], "one of the arguments --port --pid is required"),
        (["kill", "--pid", "0"], "argument --pid: not a process id"),
        (["kill", "--port", "65536"], "argument --port: not a port number"),
        (["kill", "--port", "1", "--pid", "1"], "not allowed with argument"),
        (["port", "0"], "argument port: not a port number"),
        (["launch"], "invalid choice: 'launch'"),
        (["diff", "a", "b", "--page", "paged"], "argument --page: invalid choice: 'paged'"),
    ],
)
def test_usage_errors_exit_2_with_argparse_message(argv, complaint):
    r = pelorix_cli(*argv)
    assert r.returncode == 2 and r.stdout == ""
    assert r.stderr.startswith("usage: pelorix") and complaint in r.stderr


def test_bare_command_lists_the_commands():
    r = pelorix_cli()
    assert r.returncode == 2 and r.stdout == ""
    assert r.stderr.startswith("usage: pelorix")
    assert "required" not in r.stderr
    listed = [line.split()[0] for line in r.stderr.splitlines() if line.startswith("    ")]
    assert listed == COMMANDS


# ---- terminal ----


@pytest.fixture
def emulators(tmp_path):
    """Stand-ins for the four emulators, first on PATH; each records its arguments and
    directory in `started`."""
    bindir = tmp_path / "bin"
    bindir.mkdir()
    record = tmp_path / "started"
    for name in ["gnome-terminal", "konsole", "xfce4-terminal", "xterm"]:
        script = bindir / name
        script.write_text(
            f'#!/bin/sh\nprintf "%s|" "$0" "$PWD" "$@" > "{record}.tmp"\n'
            f'mv "{record}.tmp" "{record}"\n'
        )
        script.chmod(0o755)
    return str(bindir) + os.pathsep + os.environ["PATH"], record


def test_terminal_without_display_fails_at_once(emulators):
    path, _ = emulators
    r = pelorix_cli("terminal", env=environment(PATH=path, DISPLAY=None, WAYLAND_DISPLAY=None))
    assert r.returncode == 1 and r.stdout == ""
    assert r.stderr == (
        "pelorix terminal: no graphical session found "
        "(neither DISPLAY nor WAYLAND_DISPLAY is set)\n"
    )


@pytest.mark.parametrize("variable", ["DISPLAY", "WAYLAND_DISPLAY"])
def test_terminal_with_a_display_starts_the_emulator(emulators, tmp_path, variable):
    path, record = emulators
    env = environment(PATH=path, **{"DISPLAY": None, "WAYLAND_DISPLAY": None} | {variable: ":7"})
    r = pelorix_cli("terminal", "--cwd", str(tmp_path), "ls", "-l", env=env)
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "")
    deadline = time.monotonic() + 30
    while not record.exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    program, cwd, *args = record.read_text().split("|")[:-1]
    assert (os.path.basename(program), cwd) == ("gnome-terminal", str(tmp_path))
    assert args == ["--", "bash", "-c", "ls -l; exec bash"]


@pytest.mark.parametrize(
    "make, reason",
    [(lambda p: p / "missing", "no such directory"), (lambda p: p / "file", "not a directory")],
)
def test_terminal_with_a_bad_directory_fails_in_one_line(emulators, tmp_path, make, reason):
    path, _ = emulators
    (tmp_path / "file").write_text("")
    cwd = make(tmp_path)
    r = pelorix_cli("terminal", "--cwd", str(cwd), "ls", env=environment(PATH=path, DISPLAY=":7"))
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr == f"pelorix terminal: {reason}: {cwd}\n"


# ---- version and help ----


def test_version_is_the_package_metadata():
    try:
        expected = (0, f"pelorix {metadata.version('pelorix')}\n")
    except metadata.PackageNotFoundError:
        expected = (1, "")
    r = pelorix_cli("--version")
    assert (r.returncode, r.stdout) == expected
    if expected[0]:
        assert "not installed" in r.stderr


def test_version_follows_the_installed_metadata(tmp_path):
    # A distribution record of another version, found first: the command reports what the
    # metadata says, not a number of its own.
    record = tmp_path / "pelorix-7.8.9.dist-info"
    record.mkdir()
    (record / "METADATA").write_text("Metadata-Version: 2.1\nName: pelorix\nVersion: 7.8.9\n")
    env = environment()
    env["PYTHONPATH"] = os.pathsep.join([str(tmp_path), env["PYTHONPATH"]])
    r = pelorix_cli("--version", env=env)
    assert (r.returncode, r.stdout) == (0, "pelorix 7.8.9\n")


def parsers():
    """The top-level parser and each command's, by name."""
    top = build_parser()
    [commands] = [a for a in top._actions if isinstance(a, argparse._SubParsersAction)]
    return {"pelorix": top, **commands.choices}


def test_every_argument_has_plain_help():
    missing = {
        (name, action.dest)
        for name, parser in parsers().items()
        for action in parser._actions
        if not action.help or action.help == argparse.SUPPRESS
    }
    assert missing == set()
    assert sorted(parsers()) == sorted(["pelorix", *COMMANDS])


@pytest.mark.parametrize(
    "command, done",
    [
        ("pelorix", "when the job was done"),
        ("diff", "when the page was written"),
        ("port", "when a process listens on the port"),
        ("kill", "when the process was ended"),
        ("terminal", "when the window was started"),
    ],
)
def test_each_help_ends_with_its_own_exit_statuses(command, done):
    text = " ".join(parsers()[command].format_help().split())
    assert "``" not in text and f"exit status: 0 {done}, 1 when " in text
    assert ("nothing to kill" in text) == (command == "kill")


def test_write_checks_the_form_itself(tmp_path):
    from pelorix import diffpage
    from pelorix.toolkit import view

    page = tmp_path / "page.html"
    with pytest.raises(ValueError, match="'Full'"):
        diffpage.write(view.BeautifulHtmlDiff(text1="a", text2="b"), str(page), page="Full")
    assert not page.exists()
