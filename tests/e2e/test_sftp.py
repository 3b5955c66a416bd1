"""sftp:// against a real OpenSSH sshd on loopback: the commands, the
logins, the host key checks, a stalled server, kills in mid-transfer and
byte-exact round trips through the queue."""
import hashlib
import os
import random
import signal
import socket
import subprocess
import threading
import time

import pytest

import sshd
from session import (cvadmin, depth, home, place, run as piped, ssh_dir,  # noqa: F401
                     start, wait_until)
from test_bridge import properties
from test_rel_crash import drain

MIB = 1 << 20
QUEUE = "SYSTEM.DEFAULT.LOCAL.QUEUE"
# The large round trip; 300 MiB with CVXFER_SFTP_LARGE=1.
LARGE = (300 if os.environ.get("CVXFER_SFTP_LARGE") else 64) * MIB


@pytest.fixture(scope="module")
def srv(tmp_path_factory):
    if sshd.unavailable():
        pytest.skip(sshd.unavailable())
    with sshd.sshd(str(tmp_path_factory.mktemp("sshd"))) as server:
        yield server


@pytest.fixture
def root(srv, monkeypatch):
    """The served directory, emptied; no ssh-agent of the caller's."""
    monkeypatch.delenv("SSH_AUTH_SOCK", raising=False)
    subprocess.run("rm -rf %s/* %s/.[!.]*" % (srv.root, srv.root), shell=True, timeout=60)
    return srv.root


def session(home, srv, commands, flags=(), url=None):
    """cvxfer opening srv (by password unless url says otherwise) and running commands."""
    return piped(home, ["-t", "20"] + list(flags),
                 ["open " + (url or srv.url())] + commands + ["bye"])


def put_files(srv, files):
    """Places files (name -> bytes) the server's user may change."""
    for name, data in files.items():
        place(srv, name, data, 0o666)


COMMANDS = [
    # (files on the server, commands, what the output holds, exit status, files left)
    ({"a.txt": b"1", "b.txt": b"22"}, ["ls", "dir", "pwd"],
     ["a.txt\nb.txt\ncvxfer: 12 bytes received.\n", " b.txt\n", "Remote directory: ROOT\n"],
     0, ["a.txt", "b.txt"]),
    ({}, ["mkdir d", "cd d", "pwd", "cd ..", "rmdir d", "cd nowhere", "rmdir nowhere"],
     ["Remote directory: ROOT/d\n", "cvxfer: [nowhere] No such file\n"], 6, []),
    ({"a": b"xyz"}, ["size a", "rename a b", "delete b", "delete b", "size b"],
     ["cvxfer: [a] 3 bytes\n", "cvxfer: [b] No such file\n"], 6, []),
    ({"a": b"1", "b": b"2"}, ["rename a b"], [], 0, ["b"]),  # replaces, as FTP servers do
    ({}, ["status", "ascii", "type", "system"],
     ["Protocol: SFTP version 3 over SSH\n", "Server host key: ssh-ed25519 SHA256:",
      "Safe put renames: atomically", "Using binary mode to transfer files.\n",
      "system: an FTP command; not available over sftp.\n"], 1, []),
    ({}, ["get missing"], ["cvxfer: [missing] No such file\n"], 6, []),
]


@pytest.mark.parametrize("files,commands,expected,status,left", COMMANDS)
def test_commands(home, srv, root, files, commands, expected, status, left):
    put_files(srv, files)
    ssh_dir(home, srv)
    code, out = session(home, srv, commands)
    for text in expected:
        assert text.replace("ROOT", root) in out, out
    assert code == status, out
    assert sorted(os.listdir(root)) == left
    if "b" in left:
        assert open(os.path.join(root, "b"), "rb").read() == b"1"


def test_round_trips_are_byte_exact(home, srv, root):
    sizes = [0, 1, MIB - 1, MIB, MIB + 1, LARGE]
    bodies = [os.urandom(size) for size in sizes]
    put_files(srv, {"in%d" % i: data for i, data in enumerate(bodies)})
    cvadmin(home, "define", "BIG", "--maxmsgl", str(LARGE))
    ssh_dir(home, srv)
    code, out = session(home, srv, ["cvopen BIG"] + ["get in%d" % i for i in range(len(sizes))] +
                        ["safeput"] + ["put out%d" % i for i in range(len(sizes))])
    assert code == 0, out
    for i, data in enumerate(bodies):
        assert "cvxfer: [in%d] %d bytes received.\n" % (i, len(data)) in out
        assert ".part : %d bytes sent.\n" % len(data) in out  # stored under a temporary name
        assert open(os.path.join(root, "out%d" % i), "rb").read() == data
    assert depth(home, "BIG") == 0
    # No temporary file left.
    assert sorted(os.listdir(root)) == sorted(["in%d" % i for i in range(6)] +
                                              ["out%d" % i for i in range(6)])


def test_mget_mput_and_where_a_file_came_from(home, srv, root):
    bodies = {"r%d.csv" % i: os.urandom(100 + i) for i in range(3)}
    put_files(srv, dict(bodies, **{"skip.txt": b"no"}))
    os.mkdir(os.path.join(root, "out"))
    os.chmod(os.path.join(root, "out"), 0o777)
    ssh_dir(home, srv)
    code, out = session(home, srv, ["mget -d *.csv"])
    assert code == 0 and "cvxfer: mget: 3 files, 303 bytes, 0 failed\n" in out, out
    assert properties(home)[0] == {"cv-file-name": "r0.csv", "cv-file-dir": root,
                                   "cv-file-size": "100", "cv-transfer-type": "binary",
                                   "cv-ftp-server": "sftp://127.0.0.1:%d" % srv.port,
                                   "cv-file-sha256": hashlib.sha256(bodies["r0.csv"]).hexdigest()}
    code, out = session(home, srv, ["cd out", "set verify hash", "mput"])
    assert code == 0 and "cvxfer: mput: 3 files, 303 bytes, 0 failed\n" in out, out
    assert out.count("the server computes no hash; verified by its size\n") == 3, out
    assert sorted(os.listdir(root)) == ["out", "skip.txt"]
    for name, data in bodies.items():
        assert open(os.path.join(root, "out", name), "rb").read() == data


@pytest.fixture
def agent(tmp_path, srv, monkeypatch):
    """An ssh-agent holding the server's client key, named by SSH_AUTH_SOCK."""
    sock = str(tmp_path / "agent.sock")
    proc = subprocess.Popen(["ssh-agent", "-D", "-a", sock], stdout=subprocess.DEVNULL)
    try:
        assert wait_until(lambda: os.path.exists(sock), 10)
        monkeypatch.setenv("SSH_AUTH_SOCK", sock)
        subprocess.run(["ssh-add", "-q", srv.client_key], check=True, timeout=30,
                       stderr=subprocess.DEVNULL)
        yield sock
    finally:
        proc.terminate()
        proc.wait(timeout=10)


@pytest.mark.parametrize("how,status", [
    ("password", 0), ("key", 0), ("identity", 0), ("agent", 0), ("netrc", 0),
    ("wrong password", 4), ("no key", 4)])
def test_logins(home, srv, root, request, how, status):
    ssh_dir(home, srv, key=how == "key")
    url = srv.url(password=how == "password")
    flags = []
    if how == "identity":
        flags = ["-i", srv.client_key]
    elif how == "agent":
        request.getfixturevalue("agent")
    elif how == "netrc":
        netrc = os.path.join(home, ".netrc")
        open(netrc, "w").write("machine 127.0.0.1 login %s password %s\n" % (srv.user, srv.password))
        os.chmod(netrc, 0o600)
        url = "sftp://127.0.0.1:%d" % srv.port
    elif how == "wrong password":
        url = url.replace(srv.password, "wrong")
    code, out = session(home, srv, ["pwd"], flags=flags, url=url)
    assert code == status, out
    assert ("Remote directory: %s\n" % root in out) == (status == 0), out
    if status:
        assert "Login incorrect.\n" in out


def test_reconnects_leave_no_socket_open(home, srv, root):
    # A months-long watch reconnects again and again, refused or not.
    ssh_dir(home, srv)
    wrong = srv.url().replace(srv.password, "wrong")
    code, out = session(home, srv, ["close", "open " + wrong, "open " + srv.url(),
                                    "!ls -l /proc/$PPID/fd | grep -c socket:"])
    assert "Login incorrect.\n" in out and "cvxfer> 1\n" in out, out


def fingerprint(public_line):
    out = subprocess.run(["ssh-keygen", "-lf", "-"], input=public_line.encode(),
                         stdout=subprocess.PIPE, check=True, timeout=30).stdout.decode()
    return out.split()[1]


@pytest.mark.parametrize("known,flags,status,said", [
    ("same", [], 0, None),
    ("none", [], 5, "is not known: ssh-ed25519 "),
    ("none", ["--accept-new-host-key"], 0, "is new: ssh-ed25519 "),
    ("other", [], 5, "WARNING: the host key of [127.0.0.1]:"),
    ("other", ["--accept-new-host-key"], 5, "ssh-keygen -R '[127.0.0.1]:"),
    ("elsewhere", [], 0, None),
])
def test_host_keys(home, srv, root, tmp_path, known, flags, status, said):
    path = ssh_dir(home, srv, known=known != "none")
    if known == "other":
        other = sshd.keygen(str(tmp_path / "other"))
        open(os.path.join(path, "known_hosts"), "w").write(srv.known_hosts_line(other))
    if known == "elsewhere":
        os.rename(os.path.join(path, "known_hosts"), str(tmp_path / "hosts"))
        flags = ["--known-hosts", str(tmp_path / "hosts")]
    code, out = session(home, srv, ["pwd"], flags=flags)
    assert code == status, out
    if said:
        assert said in out and fingerprint(srv.host_key) in out, out
    if "--accept-new-host-key" in flags:
        # Kept: the next open needs no option; a changed key is never kept.
        code, out = session(home, srv, ["pwd"])
        assert code == status, out


def test_a_server_that_never_speaks_times_out(home):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    accepted = []
    threading.Thread(target=lambda: accepted.append(listener.accept()), daemon=True).start()
    try:
        began = time.monotonic()
        code, out = piped(home, ["-t", "2"], [
            "open sftp://u:p@127.0.0.1:%d" % listener.getsockname()[1], "bye"])
        assert code == 8, out
        assert "timed out after 2 s waiting for the SSH handshake" in out
        assert time.monotonic() - began < 15
    finally:
        listener.close()
        for conn, _ in accepted:
            conn.close()


def test_a_stalled_sftp_server_times_out_through_keepalives(home, srv, root):
    # The server's SFTP side blocks opening a FIFO; sshd still sends its
    # keep-alives every second, which must not stretch the wait for an answer.
    fifo = os.path.join(root, "fifo")
    os.mkfifo(fifo, 0o666)
    ssh_dir(home, srv)
    try:
        code, out = piped(home, ["-t", "3"], ["open " + srv.url(), "get fifo", "bye"], timeout=30)
    finally:
        try:  # lets the blocked server go
            os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
        except OSError:
            pass
    assert code == 8 and "timed out after 3 s waiting for the server's answer\n" in out, out


@pytest.mark.parametrize("command,sig", [("get", signal.SIGKILL), ("put", signal.SIGKILL),
                                         ("put", signal.SIGINT)])
def test_stops_in_mid_transfer_lose_and_double_nothing(home, srv, root, command, sig):
    size, rounds = 32 * MIB, 5
    data = os.urandom(size)
    originals = [data[:-1] + bytes([i]) for i in range(rounds)]
    cvadmin(home, "define", "BIG", "--maxmsgl", str(size))
    ssh_dir(home, srv)
    put_files(srv, {"big.bin": data})
    # A whole get, timed: the stops fall anywhere within such a run.
    began = time.monotonic()
    code, out = session(home, srv, ["cvopen BIG", "get big.bin"])
    took = time.monotonic() - began
    assert code == 0 and drain(home, "BIG") == [data], out
    for body in originals if command == "put" else []:
        cvadmin(home, "put", "BIG", data=body)
    rng = random.Random(5)
    for i in range(rounds):
        lines = ["open " + srv.url(), "cvopen BIG",
                 "get big.bin" if command == "get" else "put f%d" % i, "bye"]
        proc = start(home, ["-t", "20"], lines)
        time.sleep(rng.uniform(0.2, 1.0) * took)
        proc.send_signal(sig)
        proc.wait(timeout=30)  # an interrupt ends a piped run by itself
        proc.stdin.close()
    bodies = drain(home, "BIG")
    if command == "get":
        assert all(body == data for body in bodies), "a partial file became a message"
        return
    stored = [open(os.path.join(root, n), "rb").read() for n in os.listdir(root) if n[0] == "f"]
    assert len(bodies) == len(set(bodies)) and set(bodies) <= set(originals)
    for i, body in enumerate(originals):
        # Each run takes the oldest message: whole on the server or back on the queue.
        assert body in bodies or body in stored, "message %d was lost" % i
