"""Files to messages and back, byte for byte, over a covering set of server
x data mode x type x queue manager x TLS (each pair meets in some row), at
the sizes where the store and transfers change how they carry bytes, up to
300 MiB; and files longer than the queue's messages, as groups of segments."""
import base64
import contextlib
import hashlib
import os
import subprocess

import pytest

import ftpservers
from scripted import EPSV_ONLY, ScriptedServer
from session import (CVXFER, broker_url, browse, cvadmin, depth, env_with_home,  # noqa: F401
                     place, random_file, run, script, sha256_of, start, url, vsftpd)

QUEUE = "STREAM.Q"
KIB, MIB = 1024, 1024 * 1024
EDGES = [0, 1, 128 * KIB - 1, 128 * KIB, 128 * KIB + 1, MIB - 1, MIB, MIB + 1]
BIG = 300 * MIB

# server (host), data mode, type, queue manager, TLS (version), 300 MiB too
ROWS = [
    ("pyftpdlib ::1", "active", "binary", "local", None, False),
    ("pyftpdlib", "passive", "ascii", "amqp", None, False),
    ("pyftpdlib", "active", "ascii", "local", "explicit 1.3", False),
    ("pyftpdlib ::1", "passive", "binary", "amqp", "explicit", False),
    ("vsftpd", "passive", "binary", "local", None, True),
    ("vsftpd", "active", "ascii", "amqp", None, False),
    ("vsftpd", "active", "binary", "local", "explicit 1.3", False),
    ("vsftpd", "passive", "binary", "amqp", "explicit 1.2", True),
    ("vsftpd", "passive", "ascii", "local", "implicit", False),
    ("vsftpd", "active", "binary", "amqp", "implicit", False),
    ("epsv-only", "passive", "binary", "local", None, False),
    ("epsv-only", "active", "ascii", "amqp", None, False),
]


@pytest.fixture
def qhome(request, tmp_path):
    """A data directory whose default queue manager is of the row's kind, QUEUE taking 512 MiB."""
    path = str(tmp_path / "corvane")
    kind = request.node.callspec.params["row"][3]
    amqp = ["--amqp", request.getfixturevalue("broker_url")] if kind == "amqp" else []
    cvadmin(path, "create", "QM", "--default", *amqp)
    cvadmin(path, "define", QUEUE, "--maxmsgl", str(512 * MIB))
    cvadmin(path, "clear", QUEUE)
    yield path
    cvadmin(path, "clear", QUEUE, check=False)
    cvadmin(path, "undefine", QUEUE, check=False)


def contents(size, text):
    """size random bytes, or with text lines without CR (which ascii would not give back)."""
    piece = os.urandom(size)
    return base64.encodebytes(piece)[:size] if text else piece


@contextlib.contextmanager
def started(kind, tls, tmp_path, files):
    """The server of the row, serving files (name -> bytes)."""
    host = "::1" if kind.endswith("::1") else "127.0.0.1"
    if host == "::1" and ftpservers.loopback_ipv6_unavailable():
        pytest.skip(ftpservers.loopback_ipv6_unavailable())
    mode, _, version = (tls or "").partition(" ")
    if kind == "epsv-only":
        with ScriptedServer(files, refuse=EPSV_ONLY) as srv:
            yield srv
        return
    if kind.startswith("vsftpd"):
        context = vsftpd(tls=mode or None, tls_version=version or None)
    else:
        (tmp_path / "ftp").mkdir()
        context = ftpservers.pyftpdlib_server(str(tmp_path / "ftp"), host=host, tls=bool(mode),
                                              tls_version=version or None)
    with context as srv:
        for name, data in files.items():
            place(srv, name, data)
        srv.files = None
        yield srv


def stored(srv, name):
    """The bytes srv holds under name."""
    if srv.files is not None:
        return srv.files[name]
    with open(os.path.join(srv.root, name), "rb") as f:
        return f.read()


@pytest.mark.parametrize("row", ROWS, ids=["-".join(r[:4] + (r[4] or "plain", "300MiB" * r[5]))
                                           for r in ROWS])
def test_round_trip(qhome, tmp_path, row):
    kind, mode, type_, backend, tls, big = row
    sizes = EDGES + ([BIG] if big else [])
    files = {"in %d" % i: contents(size, type_ == "ascii") for i, size in enumerate(sizes)}
    digests = [hashlib.sha256(files["in %d" % i]).digest() for i in range(len(sizes))]
    with started(kind, tls, tmp_path, files) as srv:
        flags = ["-e"] + (["-p"] if mode == "passive" else [])
        if tls:
            flags += ["--cacert", srv.ca, url(srv, "ftps" if srv.implicit else "ftpes")]
        else:
            flags += ["-n", srv.host, srv.port]
        login = [] if tls else ["user %s %s" % (srv.user, srv.password)]
        session = login + [type_, "cvopen " + QUEUE]
        real = kind != "epsv-only"  # multi-line replies to SYST and HELP
        status, out = run(qhome, flags, session + ["ls", "dir", "status"] +
                          (["system", "rhelp"] if real else []) +
                          ['get "in %d"' % i for i in range(len(sizes))] + ["bye"])
        assert status == 0, out
        assert out.count("in %d\r\n" % (len(sizes) - 1)) == 2, out  # ls and dir
        assert not real or ("215 " in out and "214" in out)
        if tls:
            assert "Data connections: protected" in out
            if " " in tls:
                assert "Control connection: protected, TLSv%s" % tls.split()[1] in out
        if srv.host == "::1":
            assert "Peer: ::1 port %d" % srv.port in out
        # ascii: the server sends CR LF for LF, the message keeps what it sent.
        converted = type_ == "ascii" and real
        lengths = [size + (files["in %d" % i].count(b"\n") if converted else 0)
                   for i, size in enumerate(sizes)]
        for i, length in enumerate(lengths):
            assert "cvxfer: [in %d] %d bytes received.\n" % (i, length) in out
        assert depth(qhome, QUEUE) == len(sizes)
        if backend == "local":  # a broker shows a message only by delivering it
            assert [(int(m[1]), m[2], m[3]) for m in browse(qhome, QUEUE)] == [
                (length, '"CVSTR   "' if type_ == "ascii" else '"        "', "persistent")
                for length in lengths]
        status, out = run(qhome, flags, session + ['put "out %d"' % i for i in range(len(sizes))] +
                          ["bye"])
        assert status == 0, out
        for i in range(len(sizes)):
            assert hashlib.sha256(stored(srv, "out %d" % i)).digest() == digests[i], sizes[i]
        if kind == "epsv-only":  # PASV or PORT once a session; then only the extended one
            classic = "PASV" if mode == "passive" else "PORT"
            assert srv.verbs().count(classic) == 2, srv.verbs()
        elif tls and tls.startswith("explicit"):
            commands = srv.commands()
            assert commands[0] == "AUTH TLS", commands
            assert commands.index("PROT P") < commands.index("USER %s" % srv.user)
    assert depth(qhome, QUEUE) == 0


@pytest.mark.parametrize("row", [("vsftpd", "", "", "amqp"), ("pyftpdlib", "", "", "local"),
                                 ("vsftpd", "", "", "local", "explicit")],
                         ids=["vsftpd-amqp", "pyftpdlib-local", "vsftpd-local-tls"])
def test_a_file_longer_than_a_message_travels_as_one_group(qhome, tmp_path, row):
    # On the broker, as RabbitMQ 4 limits messages by default; pyftpdlib's
    # row sets a segment below the queue's limit.
    limit, huge = (16 * MIB, 100 * MIB) if row[3] == "amqp" else (256 * KIB, 8 * MIB + 5)
    segment = 128 * KIB if row[0] == "pyftpdlib" else limit
    cvadmin(qhome, "define", "SMALL.Q", "--maxmsgl", str(limit))
    files = {"exact": os.urandom(limit), "over": os.urandom(limit + 1), "huge": os.urandom(huge)}
    counts = {name: -(-len(data) // segment) for name, data in files.items()}
    try:
        tls = row[4] if len(row) > 4 else None
        with started(row[0], tls, tmp_path, files) as srv:
            flags = (["-s", "--cacert", srv.ca] if tls else []) + [
                "-n", "localhost" if tls else srv.host, srv.port]
            session = ["user %s %s" % (srv.user, srv.password), "binary", "cvopen SMALL.Q",
                       "set segment %d" % segment]
            # Two getters at once, as two watchers would be: their groups must
            # not interleave on a broker's queue. (pyftpdlib 1.5.7 may drop one
            # session's active data connection when another's closes: there
            # one after the other.)
            other = None
            if row[0] != "pyftpdlib":
                other = start(qhome, flags, session + ["get huge", "bye"], stdout=subprocess.PIPE)
            status, out = run(qhome, flags, session + ["get over", "get exact"] + [
                "get huge"] * (other is None) + ["bye"])
            assert status == 0, out
            if other is not None:
                other.stdin.close()
                assert other.wait(timeout=120) == 0, other.stdout.read().decode()
            # A file of exactly one segment is one message of its own; a broker
            # counts a group's first segment, its rest being on the group's queue.
            assert depth(qhome, "SMALL.Q") == (
                len(files) if row[3] == "amqp" else sum(counts.values()))
            if row[3] == "local":  # a broker shows a message only by delivering it
                groups = cvadmin(qhome, "groups", "SMALL.Q").stdout.decode().splitlines()[1:]
                assert sorted((g.split()[1:]) for g in groups) == sorted(
                    [str(n), str(n), "yes", str(len(files[name]))]
                    for name, n in counts.items() if n > 1)
            for name in files:
                os.unlink(os.path.join(srv.root, name))
            # Each comes back under its own name, in whatever order they went.
            status, out = run(qhome, flags, session + ["put"] * len(files) + ["bye"])
            assert status == 0, out
            for name, data in files.items():
                assert stored(srv, name) == data, name
        assert depth(qhome, "SMALL.Q") == 0
    finally:
        cvadmin(qhome, "clear", "SMALL.Q", check=False)
        cvadmin(qhome, "undefine", "SMALL.Q", check=False)


def run_measured(home, args, lines):
    """run(), through a parent of cvxfer's own that reports the peak RSS
    (bytes) of its one child; returns (exit status, output, peak)."""
    wrapper = ("import resource, subprocess, sys; r = subprocess.run(sys.argv[1:]); "
               "sys.stderr.write('peak %d\\n' % resource.getrusage(resource.RUSAGE_CHILDREN)"
               ".ru_maxrss); sys.exit(r.returncode)")
    proc = subprocess.run(["/usr/bin/python3", "-c", wrapper, CVXFER] + [str(a) for a in args],
                          input=script(lines), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=env_with_home(home), timeout=600)
    peak = int(proc.stderr.decode().rsplit("peak ", 1)[1]) * KIB
    return proc.returncode, proc.stdout.decode(errors="replace"), peak


@pytest.mark.parametrize("row", [("vsftpd", "", "", "local"), ("vsftpd", "", "", "amqp")],
                         ids=["local", "amqp"])
def test_a_gib_crosses_16_mib_messages_with_flat_memory(qhome, tmp_path, row):
    # 64 segments each way; memory is that of a segment's buffers, whatever
    # the file's length (a sanitizer's own bookkeeping grows with the bytes).
    cvadmin(qhome, "define", "SMALL.Q", "--maxmsgl", str(16 * MIB))
    try:
        with vsftpd() as srv:
            path = os.path.join(srv.root, "gib")
            want = random_file(path, 1024)
            flags = ["-n", srv.host, srv.port]
            session = ["user %s %s" % (srv.user, srv.password), "binary", "cvopen SMALL.Q"]
            status, out, got_peak = run_measured(qhome, flags, session + ["get gib", "bye"])
            assert status == 0, out
            os.unlink(path)
            assert depth(qhome, "SMALL.Q") == (1 if row[3] == "amqp" else 64)
            status, out, put_peak = run_measured(qhome, flags, session + ["put back", "bye"])
            assert status == 0, out
            assert depth(qhome, "SMALL.Q") == 0
            assert sha256_of(os.path.join(srv.root, "back")) == want
            os.unlink(os.path.join(srv.root, "back"))
        if "ASAN_OPTIONS" not in os.environ:
            assert max(got_peak, put_peak) <= 48 * MIB, (got_peak, put_peak)
    finally:
        cvadmin(qhome, "clear", "SMALL.Q", check=False)
        cvadmin(qhome, "undefine", "SMALL.Q", check=False)
