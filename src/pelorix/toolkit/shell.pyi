import os as os
import platform as platform
import shutil as shutil
import subprocess as subprocess

def terminal(command: str | None = None, cwd: str | None = None) -> None:
    """Open a new terminal window

    Args:
        command (str | None, optional): Optional shell command to run inside the terminal. Defaults to None.
        cwd (str | None, optional): Optional working directory to start the terminal in. Defaults to None.

    Supports:
        - Windows Terminal
        - VSCode integrated environment
        - PowerShell / CMD fallback
        - macOS Terminal
        - Linux terminals (GNOME, Konsole, XFCE, Xterm)

    Raises:
        RuntimeError: Neither PowerShell nor CMD found on system
        RuntimeError: Linux: no supported terminal emulator found
        RuntimeError: Unsupported platform
    """

def find_process_by_port(port: int) -> int | None:
    """Return the first process that occupies the specified port, or None if no such process exists."""

def kill(pid: int = 0, port: int = 0) -> None:
    """Kill a process by ID or port"""
