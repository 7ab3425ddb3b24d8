"""The terminal launcher's choices on Windows, macOS and Linux, seen through the process starts it
asks for. Windows and macOS cannot run here, so `platform`, `shutil`, `subprocess` and `os` are
rebound in the module namespace; the real emulators run in test_terminal_x11.py."""

import re
import subprocess
from pathlib import Path
from types import SimpleNamespace

import pytest

from pelorix.__main__ import main
from pelorix.toolkit import shell

WT = r"C:\Users\me\AppData\Local\Microsoft\WindowsApps\wt.exe"
CODE = r"C:\Users\me\AppData\Local\Programs\Microsoft VS Code\bin\code.cmd"
PS = r"C:\Windows\System32\WindowsPowerShell\v1.0\powershell.exe"
CMD = r"C:\Windows\System32\cmd.exe"
PATHS = {"wt": WT, "code": CODE, "powershell.exe": PS, "cmd.exe": CMD}
NEW_CONSOLE = 16
CREATE = {"creationflags": NEW_CONSOLE}
NOTICE = "⚙️ Currently running inside VSCode; using VSCode terminal is recommended."
SCRIPT = 'tell application "Terminal" to do script "'
IN_VSCODE = {"VSCODE_GIT_IPC_HANDLE": r"\\.\pipe\vscode-git"}


@pytest.fixture
def host(monkeypatch):
    """Rebinds the four modules; returns (configure, started) where started lists Popen calls."""
    started = []

    def popen(args, **kw):
        started.append((args, kw))

    def configure(system, programs=(), environ=None):
        found = {name: PATHS.get(name, "/usr/bin/" + name) for name in programs}
        monkeypatch.setattr(shell, "platform", SimpleNamespace(system=lambda: system))
        monkeypatch.setattr(shell, "shutil", SimpleNamespace(which=found.get))
        monkeypatch.setattr(
            shell, "subprocess", SimpleNamespace(Popen=popen, CREATE_NEW_CONSOLE=NEW_CONSOLE)
        )
        monkeypatch.setattr(shell, "os", SimpleNamespace(environ=dict(environ or {})))

    return configure, started


# (system, programs found, environment, command, cwd) -> (argument vector, keywords)
ROWS = [
    # Windows Terminal wins, also inside VS Code; the directory goes through "-d" only.
    ("Windows", ["wt"], {}, None, None, [WT], CREATE),
    ("Windows", ["wt"], {}, None, r"C:\work", [WT, "-d", r"C:\work"], CREATE),
    ("Windows", ["wt"], {}, "dir", None, [WT, "powershell", "-NoExit", "-Command", "dir"], CREATE),
    (
        "Windows",
        ["wt", "code", "powershell.exe"],
        IN_VSCODE,
        "dir",
        r"C:\work",
        [WT, "-d", r"C:\work", "powershell", "-NoExit", "-Command", "dir"],
        CREATE,
    ),
    ("Windows", ["wt"], {}, "", "", [WT], CREATE),
    # Inside VS Code with its launcher: the editor's terminal, whatever was asked.
    ("Windows", ["code", "powershell.exe"], IN_VSCODE, "dir", r"C:\w", ["code", "-r", "."], {}),
    # PowerShell, then cmd.exe; cwd reaches the process unchanged, even when empty.
    (
        "Windows",
        ["code", "powershell.exe"],
        {},
        None,
        r"C:\w",
        [PS, "-NoExit"],
        {"cwd": r"C:\w"} | CREATE,
    ),
    (
        "Windows",
        ["powershell.exe"],
        IN_VSCODE,
        "dir",
        None,
        [PS, "-NoExit", "-Command", "dir"],
        {"cwd": None} | CREATE,
    ),
    ("Windows", ["powershell.exe", "cmd.exe"], {}, "", "", [PS, "-NoExit"], {"cwd": ""} | CREATE),
    ("Windows", ["cmd.exe"], {}, "dir", r"C:\w", [CMD, "/k", "dir"], {"cwd": r"C:\w"} | CREATE),
    ("Windows", ["cmd.exe"], {}, None, None, [CMD, "/k", ""], {"cwd": None} | CREATE),
    # macOS: the Terminal application; a directory without a command is not used.
    ("Darwin", [], {}, None, "/tmp", ["open", "-a", "Terminal"], {}),
    ("Darwin", [], {}, "", "/tmp", ["open", "-a", "Terminal"], {}),
    ("Darwin", [], {}, "ls", None, ["osascript", "-e", SCRIPT + 'ls"'], {}),
    ("Darwin", [], {}, "ls", "", ["osascript", "-e", SCRIPT + 'ls"'], {}),
    ("Darwin", [], {}, "ls", "/tmp", ["osascript", "-e", SCRIPT + 'cd /tmp;ls"'], {}),
    (
        "Darwin",
        [],
        {},
        r'say "hi" \o/',
        "/Users/me/My Files",
        ["osascript", "-e", SCRIPT + r"""cd '/Users/me/My Files';say \"hi\" \\o/" """.rstrip()],
        {},
    ),
    # Linux: the first emulator found, started by its bare name with its own "run" option.
    ("Linux", ["gnome-terminal", "xterm"], {}, None, None, ["gnome-terminal"], {"cwd": None}),
    (
        "Linux",
        ["gnome-terminal"],
        {},
        "ls",
        "/tmp",
        ["gnome-terminal", "--", "bash", "-c", "ls; exec bash"],
        {"cwd": "/tmp"},
    ),
    (
        "Linux",
        ["konsole", "xterm"],
        {},
        "ls",
        None,
        ["konsole", "-e", "bash", "-c", "ls; exec bash"],
        {"cwd": None},
    ),
    (
        "Linux",
        ["xfce4-terminal", "xterm"],
        {},
        "ls",
        "/tmp",
        ["xfce4-terminal", "-x", "bash", "-c", "ls; exec bash"],
        {"cwd": "/tmp"},
    ),
    ("Linux", ["xterm"], {}, "ls", "", ["xterm", "-e", "bash", "-c", "ls; exec bash"], {"cwd": ""}),
    ("Linux", ["xterm"], {}, "", "/tmp", ["xterm"], {"cwd": "/tmp"}),
]


@pytest.mark.parametrize("system, programs, environ, command, cwd, argv, keywords", ROWS)
def test_argument_vectors(host, capsys, system, programs, environ, command, cwd, argv, keywords):
    configure, started = host
    configure(system, programs, environ)
    assert shell.terminal(command, cwd) is None
    assert started == [(argv, keywords)]
    assert capsys.readouterr().out == (NOTICE + "\n" if argv[0] == "code" else "")


@pytest.mark.parametrize(
    "environ, inside",
    [
        ({"VSCODE_GIT_IPC_HANDLE": ""}, True),
        ({"VSCODE_GIT_IPC_HANDLE": "x", "TERM_PROGRAM": "iTerm.app"}, True),
        ({"TERM_PROGRAM": "vscode"}, True),
        ({"TERM_PROGRAM": "My-VSCode-Insiders"}, True),
        ({"TERM_PROGRAM": "VSCodium"}, False),
        ({"TERM_PROGRAM": "iTerm.app"}, False),
        ({}, False),
    ],
)
def test_vscode_detection(host, environ, inside):
    configure, started = host
    configure("Windows", ["code", "powershell.exe"], environ)
    shell.terminal("dir")
    assert (started[0][0][0] == "code") == inside


@pytest.mark.parametrize(
    "system, programs, message",
    [
        ("Windows", ["code"], "Neither PowerShell nor CMD found on system."),
        ("Linux", ["wt", "code", "bash"], "Linux: no supported terminal emulator found"),
        ("Darwin-ish", [], "Unsupported platform: Darwin-ish"),
        ("linux", ["xterm"], "Unsupported platform: linux"),
        ("", [], "Unsupported platform: "),
    ],
)
def test_runtime_errors(host, capsys, system, programs, message):
    configure, started = host
    configure(system, programs)
    with pytest.raises(RuntimeError) as err:
        shell.terminal("ls", "/tmp")
    assert str(err.value) == message
    assert started == [] and capsys.readouterr().out == ""


class Text(str):
    pass


@pytest.mark.parametrize(
    "kwargs, param",
    [
        ({"command": b"ls"}, "command"),
        ({"command": Text("ls")}, "command"),
        ({"cwd": Path("/tmp")}, "cwd"),
        ({"cwd": 0}, "cwd"),
    ],
)
def test_wrong_types_start_nothing(host, kwargs, param):
    configure, started = host
    configure("Linux", ["xterm"])
    with pytest.raises(TypeError, match=f"'{param}'"):
        shell.terminal(**kwargs)
    assert started == []


def test_bad_directory_error_comes_from_the_process_start(monkeypatch, tmp_path):
    monkeypatch.setattr(shell, "platform", SimpleNamespace(system=lambda: "Linux"))
    monkeypatch.setattr(shell, "shutil", SimpleNamespace(which=lambda name: "/usr/bin/" + name))
    with pytest.raises(FileNotFoundError):
        shell.terminal("true", cwd=str(tmp_path / "missing"))


@pytest.mark.parametrize("dirname", ["it's here", 'say "x"', r"back\slash $HOME", "plain"])
def test_macos_script_runs_the_command_in_the_directory(host, tmp_path, dirname):
    # Undo the AppleScript string literal, then run the shell text as Terminal would.
    configure, started = host
    configure("Darwin")
    target = tmp_path / dirname
    target.mkdir()
    shell.terminal('echo "$PWD" > "where is"', cwd=str(target))
    script = started[0][0][2]
    assert script.startswith(SCRIPT) and script.endswith('"')
    literal = script[len(SCRIPT) : -1]
    assert not re.search(r'(?<!\\)(\\\\)*"', literal), "unescaped quote ends the literal early"
    text = re.sub(r"\\(.)", r"\1", literal)
    subprocess.run(["bash", "-c", text], cwd=tmp_path, check=True)
    assert (target / "where is").read_text() == f"{target}\n"


@pytest.fixture
def graphical(monkeypatch):
    """A graphical session for the command line's check, which reads the real environment."""
    monkeypatch.setenv("DISPLAY", ":0")
    monkeypatch.delenv("WAYLAND_DISPLAY", raising=False)


@pytest.mark.parametrize(
    "argv, command, cwd",
    [
        (["terminal"], None, None),
        (["terminal", "--cwd", "{tmp}/a b", "pwd > x"], "pwd > x", "{tmp}/a b"),
        (["terminal", "echo", "hi there"], "echo 'hi there'", None),
        (["terminal", "--", "ls", "-l"], "ls -l", None),
    ],
)
def test_cli_terminal(host, graphical, tmp_path, argv, command, cwd):
    configure, started = host
    configure("Linux", ["xterm"])
    (tmp_path / "a b").mkdir()
    argv = [word.format(tmp=tmp_path) for word in argv]
    assert main(argv) == 0
    expected = ["xterm"] + (["-e", "bash", "-c", command + "; exec bash"] if command else [])
    assert started == [(expected, {"cwd": cwd and cwd.format(tmp=tmp_path)})]


def test_cli_terminal_reports_missing_emulator(host, graphical):
    configure, _ = host
    configure("Linux", [])
    with pytest.raises(SystemExit, match="no supported terminal emulator"):
        main(["terminal", "ls"])


@pytest.mark.parametrize(
    "system, programs, argv",
    [("Windows", ["wt"], [WT]), ("Darwin", [], ["open", "-a", "Terminal"])],
)
def test_cli_terminal_needs_no_display_off_linux(host, monkeypatch, system, programs, argv):
    configure, started = host
    configure(system, programs)
    monkeypatch.delenv("DISPLAY", raising=False)
    monkeypatch.delenv("WAYLAND_DISPLAY", raising=False)
    assert main(["terminal"]) == 0
    assert [args for args, _ in started] == [argv]
