"""What a transfer does to its destination, against the real sshd (its "remote" files live on this
machine too): a partial file moved onto the destination where that changes nothing but the
content, the data written in place where a move would change more (links, owner, group), the
modes an overwrite would keep, a copy into /dev/null, and a server that refuses or lacks the
atomic rename."""

import os
import pathlib
import sys
import warnings

import pytest

with warnings.catch_warnings():
    warnings.simplefilter("ignore")  # asyncssh's import warns about DSA keys it never uses here
    sys.path.insert(0, str(pathlib.Path(__file__).parent))
    import asyncssh
    import ssh_servers

from pelorix.toolkit import ssh

PASSWORD = "correct horse"
NEW = b"new content\n" * 1000

pytestmark = pytest.mark.timeout(120)


@pytest.fixture
def remote(sshd, capsys):
    c = ssh.SSHClient(sshd.user, PASSWORD, "127.0.0.1", sshd.port, sshd.key_path)
    c.run("true")
    capsys.readouterr()
    yield c
    c.close()


def umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def make_new(dest):
    return None


def make_private(dest):
    dest.write_bytes(b"old")
    dest.chmod(0o640)


def make_twin(dest):
    dest.write_bytes(b"old")
    os.link(dest, dest.with_name("twin"))


def make_foreign(dest):
    dest.write_bytes(b"old")
    os.chown(dest, 65534, 65534)


def make_shared(dest):
    dest.write_bytes(b"old")
    os.chown(dest, -1, 65534)


def make_link(dest):
    dest.with_name("real").write_bytes(b"old")
    dest.symlink_to("real")


# How the destination is made, and what must hold after the transfer besides its new content:
# `same_inode` where the data must be written in place.
DESTINATIONS = {
    "a new file": (make_new, lambda d: d.stat().st_mode & 0o777 == 0o666 & ~umask(), False),
    "a file of mode 0o640": (make_private, lambda d: d.stat().st_mode & 0o777 == 0o640, False),
    "a file with a second hard link": (
        make_twin, lambda d: d.with_name("twin").read_bytes() == NEW, True),
    "a file of another owner": (
        make_foreign, lambda d: (d.stat().st_uid, d.stat().st_gid) == (65534, 65534), True),
    "a file of another group": (make_shared, lambda d: d.stat().st_gid == 65534, True),
    "a symbolic link": (
        make_link, lambda d: d.is_symlink() and d.with_name("real").read_bytes() == NEW, False),
}


@pytest.mark.parametrize("method", ["upload", "download"])
@pytest.mark.parametrize("make, holds, same_inode", DESTINATIONS.values(), ids=DESTINATIONS)
def test_the_destination_keeps_what_an_overwrite_keeps(
        remote, tmp_path, capsys, method, make, holds, same_inode):
    source, folder = tmp_path / "source.bin", tmp_path / "dest"
    source.write_bytes(NEW)
    folder.mkdir()
    dest = folder / "run42.h5"
    make(dest)
    before = dest.stat().st_ino if dest.exists() else None
    getattr(remote, method)(str(source), str(dest))
    assert capsys.readouterr().out == f"{method} successfully: {source} -> {dest}\n"
    assert dest.read_bytes() == NEW and holds(dest)
    assert (dest.stat().st_ino == before) is same_inode
    assert not [name for name in os.listdir(folder) if name.endswith(".partial")]


def test_a_download_into_dev_null_succeeds(remote, tmp_path, capsys):
    source = tmp_path / "source.bin"
    source.write_bytes(NEW)
    remote.download(str(source), os.devnull)
    assert capsys.readouterr().out == f"download successfully: {source} -> {os.devnull}\n"


class NoPosixRename(asyncssh.SFTPServer):
    """A server without the atomic rename, answering as OpenSSH does for what it lacks."""

    def posix_rename(self, oldpath, newpath):
        raise asyncssh.SFTPOpUnsupported("Operation unsupported")


@pytest.fixture
def refusing_sshd(tmp_path_factory):
    server = ssh_servers.OpenSSHServer(tmp_path_factory.mktemp("sshd"), PASSWORD,
                                       sftp_flags="-P posix-rename")
    yield ssh.SSHClient(server.user, PASSWORD, "127.0.0.1", server.port, server.key_path)
    server.stop()


@pytest.fixture
def lacking_server():
    server = ssh_servers.AsyncSSHServer("alice", "pa55", lambda p: p.exit(0), NoPosixRename)
    yield ssh.SSHClient("alice", "pa55", "127.0.0.1", server.port)
    server.stop()


@pytest.mark.parametrize("server, outcome", [
    ("refusing_sshd", "failed to upload: [Errno 13] Permission denied"),  # old file kept
    ("lacking_server", "upload successfully: {source} -> {dest}"),  # removed, then renamed
])
def test_only_a_server_without_the_atomic_rename_gets_the_old_file_removed_first(
        request, tmp_path, capsys, server, outcome):
    client = request.getfixturevalue(server)
    source, dest = tmp_path / "source.bin", tmp_path / "run42.h5"
    source.write_bytes(NEW)
    dest.write_bytes(b"old")
    client.upload(str(source), str(dest))
    client.close()
    out = capsys.readouterr().out.splitlines()
    assert out[1:-1] == [outcome.format(source=source, dest=dest)]
    assert dest.read_bytes() == (b"old" if "failed" in outcome else NEW)
    assert sorted(os.listdir(tmp_path)) == ["home", "run42.h5", "source.bin"]
