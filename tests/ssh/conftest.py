"""Fixtures of the SSH client's tests: an empty home folder for every test, and Debian's OpenSSH
sshd on 127.0.0.1 (key login for the current user, sudo answered with "correct horse") for each
test module that asks for it."""

import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import ssh_servers


@pytest.fixture(autouse=True)
def home(tmp_path, monkeypatch):
    """The client's home folder, empty: the trusted hosts and keys of whoever runs the tests stay
    out of them."""
    folder = tmp_path / "home"
    folder.mkdir()
    monkeypatch.setenv("HOME", str(folder))
    return folder


@pytest.fixture(scope="module")
def sshd(tmp_path_factory):
    server = ssh_servers.OpenSSHServer(tmp_path_factory.mktemp("sshd"), "correct horse")
    yield server
    server.stop()
