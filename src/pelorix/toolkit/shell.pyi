import os as os
import platform as platform
import shutil as shutil
import subprocess as subprocess

def terminal(command: str | None = None, cwd: str | None = None) -> None: ...

def find_process_by_port(port: int) -> int | None: ...

def kill(pid: int = 0, port: int = 0) -> None: ...
