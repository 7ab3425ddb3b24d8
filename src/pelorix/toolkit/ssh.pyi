from functools import cached_property as cached_property
from typing import Any

import paramiko as paramiko  # type: ignore[import-untyped]

class SSHClient(object):
    username: str
    password: str
    host: str
    port: int
    pkey_path: Any
    def __init__(
        self, username: str, password: str, host: str, port: int = 22, pkey_path: Any = None
    ) -> None: ...
    def upload(self, local_path: str, remote_path: str) -> None: ...
    def download(self, remote_path: str, local_path: str) -> None: ...
    def run(self, command: str) -> None:
        """run command on remote host

        e.g. 'bash -l -c "cd ~;ls -al"'
        e.g. "echo 'password' | sudo -S systemctl daemon-reload"

        Args:
            command (str): command to run
        """
    def close(self) -> None: ...
    @cached_property
    def __sftp(self) -> paramiko.SFTPClient | None: ...
    @cached_property
    def __client(self) -> paramiko.SSHClient | None: ...
