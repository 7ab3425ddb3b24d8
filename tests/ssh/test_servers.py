"""SSHClient against real SSH servers on 127.0.0.1: Debian's OpenSSH sshd (key login) for commands,
sudo and SFTP, and an in-process asyncssh server where a test needs password login or decides
what the server side does."""

import hashlib
import os
import pathlib
import sys
import warnings

import pytest

with warnings.catch_warnings():
    warnings.simplefilter("ignore")  # asyncssh's import warns about DSA keys it never uses here
    sys.path.insert(0, str(pathlib.Path(__file__).parent))
    import asyncssh
    import paramiko
    import ssh_servers

from pelorix.toolkit import ssh

SUDO_PASSWORD = "correct horse"

# a command that waits for input which never ends would otherwise hang the run
pytestmark = pytest.mark.timeout(120)


@pytest.fixture(scope="module")
def watched_sshd(tmp_path_factory):
    """An sshd whose log shows every authentication a client attempts."""
    server = ssh_servers.OpenSSHServer(tmp_path_factory.mktemp("sshd"), SUDO_PASSWORD, "DEBUG")
    yield server
    server.stop()


@pytest.fixture
def remote(sshd, capsys):
    """A connected client of the sshd account whose password is what the fake sudo expects."""
    c = ssh.SSHClient(sshd.user, SUDO_PASSWORD, "127.0.0.1", sshd.port, sshd.key_path)
    assert c._SSHClient__client is not None
    assert capsys.readouterr().out == f"Connected to 127.0.0.1:{sshd.port} as {sshd.user}\n"
    yield c
    c.close()


def run(client, command, capsys):
    client.run(command)
    return capsys.readouterr().out


@pytest.fixture
def echo_server():
    """Password login; each command gets back what it read from standard input until EOF."""
    async def handler(process):
        data = await process.stdin.read()
        process.stdout.write(f"{process.command} got {data!r}\n")
        process.exit(0)

    server = ssh_servers.AsyncSSHServer("alice", "pa55", handler)
    yield server
    server.stop()


@pytest.fixture
def quitting_server():
    """Password login; every command ends and its channel closes before it reads anything."""
    server = ssh_servers.AsyncSSHServer("alice", "pa55", lambda process: process.exit(0))
    yield server
    server.stop()


@pytest.mark.parametrize("command, printed", [
    ("echo out; echo err >&2", "out\n\nerr\n\n"),
    ("printf ''", "\n"),
    ("echo only-err >&2", "\nonly-err\n\n"),
    ("printf 'ok \\377\\376 end\\n'; printf '\\200' >&2", "ok \ufffd\ufffd end\n\n\ufffd\n"),
    ("wc -c", f"{len(SUDO_PASSWORD) + 1}\n\n"),
    ("sudo id -un", "{user}\n\n[sudo] password for {user}: \n"),
    ("sudo -S id -un", "{user}\n\n[sudo] password for {user}: \n"),
    ("ls /etc/sudoers /etc/pseudo 2>/dev/null; echo listed", "listed\n\n"),
])
def test_command_output_as_printed(remote, sshd, capsys, command, printed):
    assert run(remote, command, capsys) == printed.format(user=sshd.user)


def test_sudo_with_the_wrong_account_password_is_refused(sshd, capsys):
    c = ssh.SSHClient(sshd.user, "wrong", "127.0.0.1", sshd.port, sshd.key_path)
    out = run(c, "sudo id -un", capsys)
    assert out.splitlines()[1:] == ["", f"[sudo] password for {sshd.user}: Sorry, try again.", ""]
    c.close()


@pytest.mark.timeout(60)
def test_ten_megabytes_on_stderr_do_not_stall_the_command(remote, capsys):
    out = run(remote, "head -c 10000000 /dev/zero | tr '\\0' e >&2; echo done", capsys)
    assert out == "done\n\n" + "e" * 10_000_000 + "\n"


@pytest.mark.timeout(60)
def test_fifty_megabytes_round_trip_over_sftp(remote, sshd, tmp_path, capsys):
    data = os.urandom(50 * 1024 * 1024)
    source, back = tmp_path / "source.bin", tmp_path / "back.bin"
    source.write_bytes(data)
    remote_path = os.path.join(sshd.folder, "uploaded.bin")
    remote.upload(str(source), remote_path)
    remote.download(remote_path, str(back))
    assert capsys.readouterr().out.splitlines() == [
        f"upload successfully: {source} -> {remote_path}",
        f"download successfully: {remote_path} -> {back}"]
    assert hashlib.sha256(back.read_bytes()).digest() == hashlib.sha256(data).digest()
    os.remove(remote_path)


def test_missing_files_are_reported_by_the_transfer(remote, sshd, tmp_path, capsys):
    remote.upload(str(tmp_path / "absent"), os.path.join(sshd.folder, "never"))
    remote.download(os.path.join(sshd.folder, "absent"), str(tmp_path / "never"))
    up, down = capsys.readouterr().out.splitlines()
    assert up == f"failed to upload: [Errno 2] No such file or directory: '{tmp_path / 'absent'}'"
    assert down.startswith("failed to download: [Errno 2] No such file")
    assert not (tmp_path / "never").exists() or (tmp_path / "never").stat().st_size == 0


def test_true_fifty_times_never_raises(remote, quitting_server, capsys):
    far = ssh.SSHClient("alice", "pa55", "127.0.0.1", quitting_server.port)
    for client in (remote, far):
        for _ in range(50):
            client.run("true")
    far.close()
    port = quitting_server.port
    assert capsys.readouterr().out.splitlines() == [""] * 50 + [
        f"Connected to 127.0.0.1:{port} as alice", *[""] * 50,
        f"Connection to 127.0.0.1:{port} closed"]


def test_password_login_and_end_of_input(echo_server, capsys):
    c = ssh.SSHClient("alice", "pa55", "127.0.0.1", echo_server.port)
    c.run("sudo cat")
    c.close()
    assert capsys.readouterr().out.splitlines() == [
        f"Connected to 127.0.0.1:{echo_server.port} as alice",
        "sudo -S cat got 'pa55\\n'", "",
        f"Connection to 127.0.0.1:{echo_server.port} closed"]


def test_closed_client_keeps_the_closed_connection(remote, capsys):
    remote.close()
    remote.close()
    port = remote.port
    assert capsys.readouterr().out == f"Connection to 127.0.0.1:{port} closed\n" * 2
    # paramiko's own complaint about a closed transport reaches the caller unchanged
    with pytest.raises((AttributeError, ssh.paramiko.SSHException)):
        remote.run("true")


@pytest.mark.parametrize("make, reason", [
    (lambda s, e: ssh.SSHClient("alice", "nope", "127.0.0.1", e.port),
     "Authentication failed."),
    (lambda s, e: ssh.SSHClient(s.user, "", "127.0.0.1", s.port, "/no/such/key"),
     "[Errno 2] No such file or directory: '/no/such/key'"),
    (lambda s, e: ssh.SSHClient("alice", "pa55", "127.0.0.1", ssh_servers.free_port()),
     "Unable to connect to port"),
])
def test_failed_connections_print_their_line(sshd, echo_server, capsys, make, reason):
    c = make(sshd, echo_server)
    c.run("true")
    c.upload(__file__, "/tmp/x")
    first, *rest = capsys.readouterr().out.splitlines()
    assert first.startswith(f"Failed to connect to 127.0.0.1:{c.port} - ") and reason in first
    assert rest == ["SSH client is not connected.", "SSH client is not connected.",
                    "failed to upload: 'NoneType' object has no attribute 'put'"]


# ---- host keys the user already trusts ----


def trust(home, text):
    """Writes the user's known_hosts file; returns every file under `home` with its bytes."""
    if text is not None:
        (home / ".ssh").mkdir()
        (home / ".ssh" / "known_hosts").write_text(text)
    return {path: path.read_bytes() for path in home.rglob("*") if path.is_file()}


STRANGER = " ".join(asyncssh.generate_private_key("ssh-ed25519").export_public_key()
                    .decode().split()[:2])

# known_hosts contents, with {here} the server's "[127.0.0.1]:PORT" entry name, {hashed} that name
# hashed (as Debian's ssh writes it), {server} the server's real key and {rsa} a key of another
# type; and the key the client is refused for, or None when it connects.
TRUST_CASES = {
    "no known_hosts": (None, None),
    "other hosts only": ("lab-host {stranger}\n# a comment\n\n[127.0.0.1]:1 {stranger}\n", None),
    "the same address on port 22": ("127.0.0.1 {stranger}\n", None),
    "the server's key": ("lab-host {stranger}\n{here} {server}\n", None),
    "the server's key, hashed": ("{hashed} {server}\n", None),
    "another key": ("{here} {stranger}\n", "{stranger}"),
    "another key, hashed": ("{hashed} {stranger}\n", "{stranger}"),
    "a key of another type": ("{here} {rsa}\n", "{rsa}"),
}


@pytest.mark.parametrize("entries, refused_for", TRUST_CASES.values(), ids=TRUST_CASES)
def test_a_trusted_host_must_show_the_trusted_key(watched_sshd, home, capsys, entries,
                                                  refused_for):
    sshd = watched_sshd
    here = f"[127.0.0.1]:{sshd.port}"
    with open(sshd.key_path + ".pub") as f:
        rsa = " ".join(f.read().split()[:2])
    keys = {"here": here, "hashed": paramiko.HostKeys.hash_host(here), "server": sshd.host_key,
            "stranger": STRANGER, "rsa": rsa}
    files = trust(home, entries and entries.format(**keys))
    log_start = os.path.getsize(sshd.log_path)
    c = ssh.SSHClient(sshd.user, SUDO_PASSWORD, "127.0.0.1", sshd.port, sshd.key_path)
    c.close()
    with open(sshd.log_path) as log:
        log.seek(log_start)
        tried = log.read()
    if refused_for is None:
        assert capsys.readouterr().out.splitlines() == [
            f"Connected to 127.0.0.1:{sshd.port} as {sshd.user}",
            f"Connection to 127.0.0.1:{sshd.port} closed"]
        assert "method publickey" in tried  # so the log would show an attempt below
    else:
        got, expected = sshd.host_key.split()[1], refused_for.format(**keys).split()[1]
        reason = (f"Host key for server '127.0.0.1' does not match: got '{got}', "
                  f"expected '{expected}'")
        assert capsys.readouterr().out == f"Failed to connect to 127.0.0.1:{sshd.port} - {reason}\n"
        assert c._SSHClient__client is None
        assert "userauth-request" not in tried
    # unknown hosts are trusted for this connection only: nothing of the user's is written
    assert trust(home, None) == files


def test_known_hosts_the_library_cannot_read_fail_the_connection(watched_sshd, home, capsys):
    # Host-certificate lines are valid for OpenSSH but beyond the library; without the file no
    # host could be verified, so no connection is made at all.
    sshd = watched_sshd
    files = trust(home, f"@cert-authority *.lab {STRANGER}\n[127.0.0.1]:{sshd.port} {STRANGER}\n")
    log_start = os.path.getsize(sshd.log_path)
    c = ssh.SSHClient(sshd.user, SUDO_PASSWORD, "127.0.0.1", sshd.port, sshd.key_path)
    assert c._SSHClient__client is None
    line = capsys.readouterr().out
    assert line.startswith(f"Failed to connect to 127.0.0.1:{sshd.port} - ('@cert-authority *.lab ")
    with open(sshd.log_path) as log:
        log.seek(log_start)
        assert "127.0.0.1" not in log.read()  # not even a connection was opened
    assert trust(home, None) == files


@pytest.mark.parametrize("trusted_key, sent", [("server", ["pa55"]), ("stranger", [])])
def test_the_password_goes_only_to_the_trusted_key(echo_server, home, capsys, trusted_key, sent):
    key = echo_server.host_key if trusted_key == "server" else STRANGER
    trust(home, f"[127.0.0.1]:{echo_server.port} {key}\n")
    c = ssh.SSHClient("alice", "pa55", "127.0.0.1", echo_server.port)
    connected = c._SSHClient__client is not None
    c.close()
    assert (connected, echo_server.passwords) == (bool(sent), sent)
    assert capsys.readouterr().out.startswith(
        "Connected to " if sent
        else f"Failed to connect to 127.0.0.1:{echo_server.port} - Host key")
