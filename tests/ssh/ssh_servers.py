"""SSH servers on 127.0.0.1 for the client's tests: Debian's OpenSSH sshd with key login for the
current user (everything it needs lives in one temporary folder), and an in-process asyncssh
server with password login whose command handling the test chooses."""

import asyncio
import getpass
import os
import shutil
import signal
import socket
import subprocess
import threading
import time

import asyncssh

SSHD = "/usr/sbin/sshd"

# Stands in for sudo on the server: like `sudo -S` it prompts on standard error and reads one line
# from standard input; it runs the command only when that line is the expected password, and
# refuses to run without -S, as sudo does when there is no terminal.
FAKE_SUDO = """#!/bin/sh
if [ "$1" != "-S" ]; then echo "sudo: a terminal is required to read the password" >&2; exit 1; fi
shift
printf '[sudo] password for %s: ' "$(id -un)" >&2
IFS= read -r answer || { echo "sudo: no password was provided" >&2; exit 1; }
if [ "$answer" != "$(cat "$SUDO_PASSWORD_FILE")" ]; then echo "Sorry, try again." >&2; exit 1; fi
exec "$@"
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, proc, log_path, timeout=15.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            with open(log_path) as log:
                raise RuntimeError(f"sshd exited with {proc.returncode}: {log.read()}")
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"sshd did not listen on port {port}")


class OpenSSHServer:
    """sshd -D on a free port; `user`, `key_path` and `sudo_password` are what a client needs,
    `host_key` is the public key it answers with and `log_path` its log.  At log level "DEBUG"
    the log names every authentication method a client tries, but sshd also writes debug lines
    into the standard error of commands, so run no commands on such a server."""

    def __init__(self, folder, sudo_password, log_level="INFO", sftp_flags=""):
        if not os.path.exists(SSHD):
            raise RuntimeError(f"{SSHD} is missing: install openssh-server (.ci/apt-packages)")
        self.folder = str(folder)
        self.user = getpass.getuser()
        self.sudo_password = sudo_password
        self.log_level = log_level
        self.sftp_flags = sftp_flags  # options of internal-sftp, e.g. "-P posix-rename"
        self.port = free_port()
        self.key_path = os.path.join(self.folder, "id_rsa")
        self.log_path = self._path("sshd.log")
        self._write_files()
        os.makedirs("/run/sshd", exist_ok=True)  # sshd's privilege-separation folder
        # sshd's log goes to a file: a pipe nobody reads would fill up and stall the server
        with open(self.log_path, "w") as log:
            self.proc = subprocess.Popen([SSHD, "-D", "-e", "-f", self._path("sshd_config")],
                                         stdout=subprocess.DEVNULL, stderr=log)
        wait_for_port(self.port, self.proc, self.log_path)
        with open(self._path("host_key.pub")) as f:
            self.host_key = " ".join(f.read().split()[:2])

    def _path(self, name):
        return os.path.join(self.folder, name)

    def _write_files(self):
        keygen = ["ssh-keygen", "-q", "-N", ""]
        subprocess.run([*keygen, "-t", "ed25519", "-f", self._path("host_key")], check=True)
        subprocess.run([*keygen, "-t", "rsa", "-b", "2048", "-m", "PEM", "-f", self.key_path],
                       check=True)
        shutil.copy(self.key_path + ".pub", self._path("authorized_keys"))
        bin_dir = self._path("bin")
        os.mkdir(bin_dir)
        with open(os.path.join(bin_dir, "sudo"), "w") as f:
            f.write(FAKE_SUDO)
        os.chmod(os.path.join(bin_dir, "sudo"), 0o755)
        with open(self._path("sudo_password"), "w") as f:
            f.write(self.sudo_password)
        # The fake sudo comes first on the PATH; HOME is this folder so that the account's own shell
        # start-up files (which bash reads for every command run over SSH) stay out of the tests.
        env = [f"HOME={self.folder}", f"PATH={bin_dir}:/usr/bin:/bin",
               f"SUDO_PASSWORD_FILE={self._path('sudo_password')}"]
        config = f"""
            ListenAddress 127.0.0.1
            Port {self.port}
            HostKey {self._path("host_key")}
            PidFile {self._path("sshd.pid")}
            AuthorizedKeysFile {self._path("authorized_keys")}
            PermitRootLogin prohibit-password
            PasswordAuthentication no
            KbdInteractiveAuthentication no
            LogLevel {self.log_level}
            UsePAM no
            StrictModes no
            Subsystem sftp internal-sftp {self.sftp_flags}
            SetEnv {" ".join(env)}
        """
        with open(self._path("sshd_config"), "w") as f:
            f.write("\n".join(line.strip() for line in config.splitlines()) + "\n")

    def stop(self):
        os.kill(self.proc.pid, signal.SIGTERM)
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.kill(self.proc.pid, signal.SIGKILL)
            self.proc.wait()


class _PasswordLogin(asyncssh.SSHServer):
    def __init__(self, user, password, connections, passwords):
        self._user, self._password, self._connections = user, password, connections
        self._passwords = passwords

    def connection_made(self, conn):
        self._connections.add(conn)

    def begin_auth(self, username):
        return True

    def password_auth_supported(self):
        return True

    def validate_password(self, username, password):
        self._passwords.append(password)
        return username == self._user and password == self._password


class AsyncSSHServer:
    """An asyncssh server on its own event loop thread; `handler(process)` serves each command,
    and `sftp_factory` (an asyncssh.SFTPServer class), when given, the SFTP subsystem.
    `host_key` is the public key it answers with; `passwords` lists every password it was sent."""

    def __init__(self, user, password, handler, sftp_factory=None):
        self.user, self.password = user, password
        self.passwords = []
        self._key = asyncssh.generate_private_key("ssh-ed25519")
        self.host_key = " ".join(self._key.export_public_key().decode().split()[:2])
        self._connections = set()
        self._loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._loop.run_forever, daemon=True)
        self._thread.start()
        self._server = self._call(self._start(handler, sftp_factory))
        self.port = self._server.sockets[0].getsockname()[1]

    def _call(self, coro):
        return asyncio.run_coroutine_threadsafe(coro, self._loop).result(timeout=30)

    async def _start(self, handler, sftp_factory):
        return await asyncssh.create_server(
            lambda: _PasswordLogin(self.user, self.password, self._connections, self.passwords),
            "127.0.0.1", 0, server_host_keys=[self._key],
            process_factory=handler, sftp_factory=sftp_factory)

    def stop(self):
        async def close():
            self._server.close()
            for conn in self._connections:
                conn.close()
            await self._server.wait_closed()

        self._call(close())
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(timeout=10)
        self._loop.close()
