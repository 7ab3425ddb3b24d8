"""SSHClient against a recording stand-in for paramiko bound into the module: the exact library
calls, what is cached, the printed lines, close, the type checks and the command rewriting."""

import functools
import inspect
import os
import re
import types

import pytest

from pelorix.toolkit import ssh


class FakeChannel:
    """Output already buffered and ended, as paramiko holds it after a quick command."""

    def __init__(self, log, out=b"", err=b"", closed=False, write_error=None):
        self.log, self.closed, self.eof_received = log, closed, True
        self._out, self._err, self.write_error = out, err, write_error
        self._r, self._w = os.pipe()
        os.write(self._w, b"x")

    def fileno(self):
        return self._r

    def recv_ready(self):
        return bool(self._out)

    def recv_stderr_ready(self):
        return bool(self._err)

    def recv(self, n):
        chunk, self._out = self._out[:n], self._out[n:]
        return chunk

    def recv_stderr(self, n):
        chunk, self._err = self._err[:n], self._err[n:]
        return chunk

    def shutdown_write(self):
        self.log.append(("shutdown_write",))

    def __del__(self):
        os.close(self._r)
        os.close(self._w)


class FakeStdin:
    def __init__(self, log, channel):
        self.log, self.channel = log, channel

    def write(self, *args, **kw):
        self.log.append(("write", args, kw))

    def flush(self, *args, **kw):
        self.log.append(("flush", args, kw))
        if self.channel.write_error is not None:
            self.channel.closed = self.channel.closed_on_error
            raise self.channel.write_error


class FakeStream:
    def __init__(self, channel):
        self.channel = channel


class FakeParamiko:
    """Records every call in `log`; `connect_error`, `sftp_error`, `out`, `err` steer it."""

    def __init__(self):
        self.log = []
        self.connect_error = self.sftp_error = self.transfer_error = self.host_keys_error = None
        self.channel_kw = {}
        fake = self

        class AutoAddPolicy:
            pass

        class RSAKey:
            @staticmethod
            def from_private_key_file(*args, **kw):
                fake.log.append(("from_private_key_file", args, kw))
                if not os.path.exists(args[0]):
                    raise FileNotFoundError(2, "No such file or directory", args[0])
                return "KEY"

        class RemoteFile:
            def stat(self):
                return types.SimpleNamespace(st_uid=0)

            def close(self):
                pass

        class SFTP:
            """A remote side on which no file exists yet; a download writes nothing."""

            def get_channel(self):
                return types.SimpleNamespace(closed=False)

            def fail(self):
                if fake.transfer_error:
                    fake.active = not fake.lose_connection
                    raise fake.transfer_error

            def lstat(self, *args, **kw):
                fake.log.append(("lstat", args, kw))
                raise FileNotFoundError(2, "No such file")

            def open(self, *args, **kw):
                fake.log.append(("open", args, kw))
                return RemoteFile()

            def posix_rename(self, *args, **kw):
                fake.log.append(("posix_rename", args, kw))

            def put(self, *args, **kw):
                fake.log.append(("put", args, kw))
                self.fail()

            def get(self, *args, **kw):
                fake.log.append(("get", args, kw))
                self.fail()
                open(args[1], "wb").close()

        class Transport:
            def is_active(self):
                return fake.active

        class SSHClient:
            def __init__(self, *args, **kw):
                fake.log.append(("SSHClient", args, kw))
                self.transport = Transport()

            def get_transport(self):
                return self.transport

            def load_system_host_keys(self, *args, **kw):
                fake.log.append(("load_system_host_keys", args, kw))
                if fake.host_keys_error:
                    raise fake.host_keys_error

            def set_missing_host_key_policy(self, *args, **kw):
                fake.log.append(("set_missing_host_key_policy", args, kw))

            def connect(self, *args, **kw):
                fake.log.append(("connect", args, kw))
                if fake.connect_error:
                    raise fake.connect_error

            def open_sftp(self, *args, **kw):
                fake.log.append(("open_sftp", args, kw))
                if fake.sftp_error:
                    raise fake.sftp_error
                return SFTP()

            def exec_command(self, *args, **kw):
                fake.log.append(("exec_command", args, kw))
                chan = FakeChannel(fake.log, **fake.channel_kw)
                chan.closed_on_error = fake.closed_on_error
                return FakeStdin(fake.log, chan), FakeStream(chan), FakeStream(chan)

            def close(self, *args, **kw):
                fake.log.append(("close", args, kw))

        self.AutoAddPolicy, self.RSAKey, self.SSHClient = AutoAddPolicy, RSAKey, SSHClient
        self.closed_on_error = True
        self.active = True
        self.lose_connection = False  # a failing transfer takes the connection with it

    def names(self):
        return [entry[0] for entry in self.log]


@pytest.fixture
def fake(monkeypatch):
    f = FakeParamiko()
    monkeypatch.setattr(ssh, "paramiko", f)
    return f


def client(**kw):
    args = {"username": "ann", "password": "pw", "host": "lab-host", "port": 2222}
    args.update(kw)
    return ssh.SSHClient(**args)


def printed(capsys):
    return capsys.readouterr().out


# What a password connection records: the client, the user's trusted host keys, the policy for
# unknown hosts, the connection itself.
CONNECTING = ["SSHClient", "load_system_host_keys", "set_missing_host_key_policy", "connect"]


def after_connecting(fake):
    """The calls recorded after a password connection, which must come first."""
    assert fake.names()[: len(CONNECTING)] == CONNECTING
    return fake.log[len(CONNECTING):]


# ---- the module and the class as Python code would define them ----

RUN_DOC = """run command on remote host

        e.g. 'bash -l -c "cd ~;ls -al"'
        e.g. "echo 'password' | sudo -S systemctl daemon-reload"

        Args:
            command (str): command to run
        """


def test_module_namespace_and_class_layout(docstring):
    assert [k for k in vars(ssh) if not k.startswith("__")] == [
        "cached_property", "paramiko", "SSHClient"]
    cls = ssh.SSHClient
    assert cls.__bases__ == (object,) and cls.__module__ == "pelorix.toolkit.ssh"
    assert [k for k in vars(cls) if not k.startswith("__") or k == "__init__"] == [
        "__init__", "upload", "download", "run", "close", "_SSHClient__sftp", "_SSHClient__client"]
    for key, name in [("_SSHClient__sftp", "__sftp"), ("_SSHClient__client", "__client")]:
        prop = vars(cls)[key]
        assert type(prop) is functools.cached_property and prop.attrname == key
        assert (prop.func.__name__, prop.func.__qualname__) == (name, "SSHClient." + name)
    assert str(inspect.signature(cls)) == (
        "(username: 'str', password: 'str', host: 'str', port: 'int' = 22, pkey_path=None)")
    assert [m.__doc__ for m in (cls.upload, cls.download, cls.close)] == [None] * 3
    assert cls.run.__doc__ == docstring(RUN_DOC)


@pytest.mark.parametrize("args, kw, param", [
    (("u", "p", "h"), {"port": True}, "port"),
    (("u", "p", "h"), {"port": "22"}, "port"),
    (("u", "p", None), {}, "host"),
    ((type("S", (str,), {})("u"), "p", "h"), {}, "username"),
    (("u", b"p", "h"), {}, "password"),
])
def test_constructor_refuses_inexact_types(fake, capsys, args, kw, param):
    with pytest.raises(TypeError, match=f"'{param}'"):
        ssh.SSHClient(*args, **kw)
    assert fake.log == [] and printed(capsys) == ""


@pytest.mark.parametrize("method, args, param", [
    ("run", (b"ls",), "command"),
    ("upload", ("a", None), "remote_path"),
    ("download", (os.curdir.encode(), "b"), "remote_path"),
])
def test_methods_refuse_inexact_types_before_connecting(fake, capsys, method, args, param):
    with pytest.raises(TypeError, match=f"'{param}'"):
        getattr(client(), method)(*args)
    assert fake.log == [] and printed(capsys) == ""


def test_construction_records_account_and_connects_nowhere(fake, capsys):
    c = ssh.SSHClient("u", "p", "h")
    assert vars(c) == {"username": "u", "password": "p", "host": "h", "port": 22, "pkey_path": None}
    assert fake.log == [] and printed(capsys) == ""


# ---- connecting ----


@pytest.mark.parametrize("pkey_path, expect_key", [(None, False), ("", False), (__file__, True)])
def test_connect_passes_exactly_the_account_data(fake, capsys, pkey_path, expect_key):
    c = client(pkey_path=pkey_path)
    got = c._SSHClient__client
    assert isinstance(got, fake.SSHClient)
    assert fake.names()[:3] == CONNECTING[:3]
    assert fake.log[1] == ("load_system_host_keys", (), {})
    policy_args = fake.log[2][1]
    assert len(policy_args) == 1 and type(policy_args[0]) is fake.AutoAddPolicy
    auth = {"pkey": "KEY"} if expect_key else {"password": "pw"}
    # paramiko's per-phase time-outs back up the connection's own deadline
    limits = {"timeout": 31.0, "banner_timeout": 60.0, "auth_timeout": 60.0,
              "channel_timeout": 120.0}
    expected = [("connect", ("lab-host",), {"port": 2222, "username": "ann", **auth, **limits})]
    if expect_key:
        expected.insert(0, ("from_private_key_file", (pkey_path,), {}))
    assert fake.log[3:] == expected
    assert list(fake.log[-1][2]) == ["port", "username", *auth, *limits]  # in the written order
    assert printed(capsys) == "Connected to lab-host:2222 as ann\n"


@pytest.mark.parametrize("setup, reason, calls", [
    (lambda f: setattr(f, "connect_error", OSError("refused")), "refused", CONNECTING),
    (lambda f: setattr(f, "connect_error", EOFError()), "EOFError (no message)", CONNECTING),
    (lambda f: None, "[Errno 2] No such file or directory: '/no/such/key'",
     [*CONNECTING[:3], "from_private_key_file"]),
    # the user's trusted hosts cannot be read: no connection is tried without them
    (lambda f: setattr(f, "host_keys_error", UnicodeDecodeError("utf-8", b"\xff", 0, 1, "bad")),
     "'utf-8' codec can't decode byte 0xff in position 0: bad", CONNECTING[:2]),
])
def test_failed_connection_is_printed_and_cached_as_none(fake, capsys, setup, reason, calls):
    setup(fake)
    c = client(pkey_path="/no/such/key" if "Errno" in reason else None)
    assert c._SSHClient__client is None
    assert printed(capsys) == f"Failed to connect to lab-host:2222 - {reason}\n"
    assert fake.names() == calls
    assert c._SSHClient__client is None and vars(c)["_SSHClient__client"] is None
    c.run("ls")
    assert fake.names() == calls
    assert printed(capsys) == "SSH client is not connected.\n"


@pytest.mark.parametrize("error", [KeyboardInterrupt(), RuntimeError("policy")])
def test_errors_outside_the_handler_propagate_and_cache_nothing(fake, error):
    c = client()
    if isinstance(error, KeyboardInterrupt):
        fake.connect_error = error
    else:
        def broken_policy(*a):
            raise error
        fake.SSHClient.set_missing_host_key_policy = broken_policy
    with pytest.raises(type(error)):
        _ = c._SSHClient__client
    assert "_SSHClient__client" not in vars(c)


def test_paramiko_is_looked_up_at_every_connection(fake, monkeypatch, capsys):
    other = FakeParamiko()
    assert client()._SSHClient__client is not None
    monkeypatch.setattr(ssh, "paramiko", other)
    assert isinstance(client()._SSHClient__client, other.SSHClient)
    assert fake.names().count("connect") == 1 and other.names().count("connect") == 1


# ---- closing ----


def test_close_connects_first_then_closes_each_time_called(fake, capsys):
    c = client()
    assert c.close() is None
    c.close()
    assert fake.names() == [*CONNECTING, "close", "close"]
    assert printed(capsys) == ("Connected to lab-host:2222 as ann\n"
                               + "Connection to lab-host:2222 closed\n" * 2)
    assert isinstance(vars(c)["_SSHClient__client"], fake.SSHClient)


def test_close_after_failed_connection_prints_only_the_failure(fake, capsys):
    fake.connect_error = OSError("unreachable")
    c = client()
    assert c.close() is None
    assert "close" not in fake.names()
    assert printed(capsys) == "Failed to connect to lab-host:2222 - unreachable\n"


# ---- transfers ----


PARTIAL = r"\.there\.bin\.[0-9a-f]{16}\.partial"


@pytest.mark.parametrize("method, args, calls, line", [
    ("upload", ("here.bin", "/srv/there.bin"), ["lstat", "open", "put", "posix_rename"],
     "upload successfully: here.bin -> /srv/there.bin"),
    ("download", ("/srv/there.bin", "there.bin"), ["get"],
     "download successfully: /srv/there.bin -> there.bin"),
])
def test_transfer_goes_through_a_partial_file_source_first(
        fake, capsys, tmp_path, monkeypatch, method, args, calls, line):
    monkeypatch.chdir(tmp_path)
    c = client()
    assert getattr(c, method)(*args) is None
    getattr(c, method)(*args)
    log = after_connecting(fake)
    assert [entry[0] for entry in log] == ["open_sftp", *calls, *calls]
    source, target = args
    copy = next(entry for entry in log if entry[0] in ("put", "get"))
    folder = "/srv/" if method == "upload" else ""
    assert copy[1][0] == source and re.fullmatch(folder + PARTIAL, copy[1][1])
    assert list(copy[2]) == ["callback"]
    if method == "upload":
        assert log[2] == ("open", (copy[1][1], "wb"), {})
        assert log[4] == ("posix_rename", (copy[1][1], target), {})
    else:
        assert sorted(os.listdir(tmp_path)) == ["home", "there.bin"]  # the partial moved on
    assert printed(capsys).splitlines()[1:] == [line, line]


@pytest.mark.parametrize("method, word", [("upload", "upload"), ("download", "download")])
def test_transfer_failures_are_printed_not_raised(fake, capsys, method, word):
    c = client()
    fake.transfer_error = FileNotFoundError(2, "No such file or directory")
    getattr(c, method)("a", "b")
    assert printed(capsys).splitlines()[1:] == [
        f"failed to {word}: [Errno 2] No such file or directory"]


@pytest.mark.parametrize("method", ["upload", "download"])
@pytest.mark.parametrize("error, lose, reason", [
    (EOFError(), True, "EOFError (connection lost)"),
    (EOFError(), False, "EOFError (no message)"),
    (OSError(), True, "OSError (connection lost)"),
    (OSError("Socket is closed"), True, "Socket is closed"),
])
def test_a_failure_line_never_ends_in_an_empty_reason(
        fake, capsys, tmp_path, monkeypatch, method, error, lose, reason):
    monkeypatch.chdir(tmp_path)
    c = client()
    fake.transfer_error, fake.lose_connection = error, lose
    getattr(c, method)("a", "b")
    assert printed(capsys).splitlines()[1:] == [f"failed to {method}: {reason}"]


def test_transfer_without_connection_reports_once_then_fails_quietly(fake, capsys):
    fake.connect_error = OSError("down")
    c = client()
    c.upload("a", "b")
    c.upload("a", "b")
    missing = "failed to upload: 'NoneType' object has no attribute 'put'"
    assert printed(capsys).splitlines() == [
        "Failed to connect to lab-host:2222 - down", "SSH client is not connected.", missing,
        missing]
    assert vars(c)["_SSHClient__sftp"] is None


def test_failed_sftp_channel_is_reported_and_retried(fake, capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    c = client()
    fake.sftp_error = OSError("subsystem refused")
    c.download("a", "b")
    fake.sftp_error = None
    c.download("a", "b")
    assert [entry[0] for entry in after_connecting(fake)] == ["open_sftp", "open_sftp", "get"]
    assert printed(capsys).splitlines()[1:] == [
        "failed to download: subsystem refused", "download successfully: a -> b"]


# ---- commands ----


@pytest.mark.parametrize("command, sent", [
    ("ls", "ls"),
    ("sudo ls", "sudo -S ls"),
    ("sudo -S ls", "sudo -S ls"),
    ("sudo --stdin ls", "sudo --stdin ls"),
    ("cat /etc/sudoers", "cat /etc/sudoers"),
    ("pseudo; visudo -c; sudo_x", "pseudo; visudo -c; sudo_x"),
    ("sudo", "sudo -S"),
    ("cd /tmp && sudo make install|sudo tee log",
     "cd /tmp && sudo -S make install|sudo -S tee log"),
    ("/usr/bin/sudo\tid", "/usr/bin/sudo -S\tid"),
    ("échosudo; (sudo id)", "échosudo; (sudo -S id)"),
    # '.' and '-' continue a word: file names and other programs are left alone
    ("cat /etc/sudo.conf", "cat /etc/sudo.conf"),
    ("sudo.conf sudo-foo ~/.sudo x-sudo", "sudo.conf sudo-foo ~/.sudo x-sudo"),
    ("visudo; sudoedit /etc/hosts; sudoreplay -l", "visudo; sudoedit /etc/hosts; sudoreplay -l"),
    ("/usr/bin/sudo -k", "/usr/bin/sudo -S -k"),
    ("sudo\t-S id; sudo\n--stdin id", "sudo\t-S id; sudo\n--stdin id"),
])
def test_sudo_as_a_word_is_made_to_read_stdin(fake, capsys, command, sent):
    client().run(command)
    assert after_connecting(fake)[0] == ("exec_command", (sent,), {})


def test_run_sends_the_password_then_ends_input_and_prints_both_streams(fake, capsys):
    fake.channel_kw = {"out": b"a.txt\nb.txt\n", "err": b"warning\n"}
    assert client().run("ls") is None
    assert after_connecting(fake) == [("exec_command", ("ls",), {}), ("write", ("pw\n",), {}),
                            ("flush", (), {}), ("shutdown_write",)]
    assert printed(capsys).splitlines()[1:] == ["a.txt", "b.txt", "", "warning", ""]


@pytest.mark.parametrize("out, err, lines", [
    (b"", b"", [""]),
    (b"", b"oops\n", ["", "oops", ""]),
    (b"caf\xc3\xa9 \xff\xfe\n", b"bad \x80\n", ["café \ufffd\ufffd", "", "bad \ufffd", ""]),
])
def test_run_prints_output_even_empty_or_invalid(fake, capsys, out, err, lines):
    fake.channel_kw = {"out": out, "err": err}
    client().run("x")
    assert printed(capsys).splitlines()[1:] == lines


@pytest.mark.parametrize("closed_before, closed_on_error, raises", [
    (True, True, False),   # finished before the password was written: nothing is written
    (False, True, False),  # finished while writing
    (False, False, True),  # a real write failure on a live channel
])
def test_password_write_on_a_finished_command_is_no_failure(
        fake, capsys, closed_before, closed_on_error, raises):
    fake.channel_kw = {"out": b"done\n", "closed": closed_before,
                       "write_error": OSError("Socket is closed")}
    fake.closed_on_error = closed_on_error
    c = client()
    if raises:
        with pytest.raises(OSError, match="Socket is closed"):
            c.run("true")
        return
    c.run("true")
    assert ("write" in fake.names()) is not closed_before
    assert printed(capsys).splitlines()[1:] == ["done", ""]


def unpacking_error(value):
    """The error the interpreter raises for `stdin, stdout, stderr = value`."""
    try:
        _stdin, _stdout, _stderr = value
    except (TypeError, ValueError) as e:
        return e
    raise AssertionError(f"{value!r} unpacks into three")


@pytest.mark.parametrize("result", [
    lambda: (1, 2), lambda: [1, 2, 3, 4], lambda: iter("ab"), lambda: (n for n in range(4)),
    lambda: None, lambda: 3, lambda: "four", lambda: b"",
])
def test_odd_exec_command_results_raise_as_unpacking_does(fake, capsys, result):
    expected = unpacking_error(result())
    fake.SSHClient.exec_command = lambda self, command: result()
    with pytest.raises(type(expected)) as info:
        client().run("ls")
    assert str(info.value) == str(expected)
