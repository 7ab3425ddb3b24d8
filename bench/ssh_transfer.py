"""A 20 MB upload and download through SSHClient, against paramiko's own put and get doing the
same copies on the same connection, measured in the same run (medians of 5).

The server is the tests' OpenSSH sshd (tests/ssh/ssh_servers.py) on 127.0.0.1, started and
stopped here. SSHClient's SFTP channel is the one paramiko's put and get use too, so both sides
move the same bytes over the same connection; SSHClient adds the partial file, its checks and
the move onto the destination, and the worker thread the caller watches. Each round times both
sides back to back, paramiko first in one round and SSHClient first in the next, so that a busy
moment of the machine and the order hit both alike. SSHClient's printed lines are captured.

    python bench/ssh_transfer.py [ROUNDS]        (default: 5; BENCH_SAMPLES=1 prints every time)
"""

import contextlib
import hashlib
import io
import os
import pathlib
import statistics
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "ssh"))
import ssh_servers

from pelorix.toolkit.ssh import SSHClient

SIZE = 20 * 1024 * 1024


def timed(action):
    start = time.perf_counter()
    action()
    return time.perf_counter() - start


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    # In memory where there is a tmpfs: the disk's write-back of 20 MB files would add noise of
    # its own to both sides.
    memory = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryDirectory(dir=memory) as folder:
        home = pathlib.Path(folder, "home")
        home.mkdir()
        os.environ["HOME"] = str(home)  # no keys or trusted hosts of whoever runs it
        server = ssh_servers.OpenSSHServer(pathlib.Path(folder), "pw")
        try:
            run(server, pathlib.Path(folder), rounds)
        finally:
            server.stop()


def run(server, folder, rounds):
    source, remote, back = folder / "source.bin", folder / "remote.bin", folder / "back.bin"
    source.write_bytes(os.urandom(SIZE))
    client = SSHClient(server.user, "pw", "127.0.0.1", server.port, server.key_path)
    with contextlib.redirect_stdout(io.StringIO()):
        client.upload(str(source), str(remote))  # connects and opens the SFTP channel
    sftp = client._SSHClient__sftp
    times = {"paramiko put": [], "pelorix upload": [], "paramiko get": [], "pelorix download": []}
    steps = [("paramiko put", lambda: sftp.put(str(source), str(remote))),
             ("pelorix upload", lambda: client.upload(str(source), str(remote))),
             ("paramiko get", lambda: sftp.get(str(remote), str(back))),
             ("pelorix download", lambda: client.download(str(remote), str(back)))]
    for n in range(rounds):
        with contextlib.redirect_stdout(io.StringIO()) as out:
            for name, step in steps if n % 2 == 0 else steps[1::-1] + steps[:1:-1]:
                times[name].append(timed(step))
        assert "failed" not in out.getvalue(), out.getvalue()
    digest = hashlib.sha256(source.read_bytes()).digest()
    assert hashlib.sha256(back.read_bytes()).digest() == digest
    with contextlib.redirect_stdout(io.StringIO()):
        client.close()
    if os.environ.get("BENCH_SAMPLES"):
        for name, samples in times.items():
            print(name, [round(t * 1000) for t in samples])
    print(f"20 MB over SFTP to OpenSSH on 127.0.0.1, medians of {rounds}:")
    for baseline, contender in (("paramiko put", "pelorix upload"),
                                ("paramiko get", "pelorix download")):
        b = statistics.median(times[baseline])
        c = statistics.median(times[contender])
        print(f"  {baseline:13s} {b * 1000:8.1f} ms   {contender:17s} {c * 1000:8.1f} ms   "
              f"ratio {c / b:.3f}")


if __name__ == "__main__":
    main()
