"""Transfers stream: byte-exact round trips through both kinds of queue
manager, in ascii and binary, at the sizes where the store and the
transfers change how they carry bytes, up to 300 MiB; a file longer than
the queue takes is refused as soon as that is known, the limit itself is
taken."""
import base64
import contextlib
import hashlib
import os

import pytest

import ftpservers
from session import broker_url, cvadmin, depth, home, run  # noqa: F401

QUEUE = "STREAM.Q"
KIB, MIB = 1024, 1024 * 1024
EDGES = [0, 1, 128 * KIB - 1, 128 * KIB, 128 * KIB + 1, MIB - 1, MIB, MIB + 1]
BIG = 300 * MIB


@pytest.fixture(scope="module")
def vsftpd():
    """vsftpd, which sends and stores bytes as they are in both types and
    announces a retrieval's size."""
    reason = ftpservers.vsftpd_unavailable()
    if reason:
        pytest.skip(reason)
    with ftpservers.vsftpd_server() as srv:
        yield srv


@pytest.fixture(params=["local", "amqp"])
def qhome(request, tmp_path):
    """A data directory whose default queue manager is of the kind asked
    for, with QUEUE taking messages of up to 512 MiB."""
    path = str(tmp_path / "corvane")
    if request.param == "amqp":
        url = request.getfixturevalue("broker_url")
        cvadmin(path, "create", "QM", "--default", "--amqp", url)
    else:
        cvadmin(path, "create", "QM", "--default")
    cvadmin(path, "define", QUEUE, "--maxmsgl", str(512 * MIB))
    yield path
    cvadmin(path, "clear", QUEUE, check=False)
    cvadmin(path, "undefine", QUEUE, check=False)


def write_file(srv, name, size, text=False):
    """A file of size random bytes in srv's root, written in pieces, or with
    text, random lines (no CR, which a server's ascii conversion would not
    give back); returns its SHA-256."""
    digest = hashlib.sha256()
    path = os.path.join(srv.root, name)
    with open(path, "wb") as f:
        for at in range(0, size, MIB):
            n = min(MIB, size - at)
            piece = base64.encodebytes(os.urandom(n))[:n] if text else os.urandom(n)
            f.write(piece)
            digest.update(piece)
    os.chmod(path, 0o644)
    return digest.hexdigest()


def file_hash(srv, name):
    digest = hashlib.sha256()
    with open(os.path.join(srv.root, name), "rb") as f:
        for piece in iter(lambda: f.read(MIB), b""):
            digest.update(piece)
    return digest.hexdigest()


def transfer(home, srv, *commands):
    status, out = run(home, ["-n"], ["open 127.0.0.1 %d" % srv.port,
                                       "user %s %s" % (srv.user, srv.password),
                                       "cvopen " + QUEUE] + list(commands) + ["bye"])
    return status, out


@pytest.mark.parametrize("mode", ["ascii", "binary"])
def test_round_trips_keep_every_byte(qhome, vsftpd, mode):
    sizes = EDGES + [BIG]
    digests = [write_file(vsftpd, "in%d" % i, size, mode == "ascii")
               for i, size in enumerate(sizes)]
    gets = ["get in%d" % i for i in range(len(sizes))]
    status, out = transfer(qhome, vsftpd, mode, *gets)
    assert status == 0, out
    if mode == "binary":  # in ascii the server sends CR LF for LF
        for i, size in enumerate(sizes):
            assert "cvxfer: [in%d] %d bytes received.\n" % (i, size) in out
    assert depth(qhome, QUEUE) == len(sizes)
    puts = ["put out%d" % i for i in range(len(sizes))]
    status, out = transfer(qhome, vsftpd, mode, *puts)
    assert status == 0, out
    for i, size in enumerate(sizes):
        if mode == "binary":
            assert "out%d : %d bytes sent.\n" % (i, size) in out
        assert file_hash(vsftpd, "out%d" % i) == digests[i], "size %d" % size
        os.unlink(os.path.join(vsftpd.root, "in%d" % i))
        os.unlink(os.path.join(vsftpd.root, "out%d" % i))
    assert depth(qhome, QUEUE) == 0


@pytest.mark.parametrize("server", ["vsftpd", "pyftpdlib"])
def test_a_file_longer_than_the_queue_takes_is_refused_early(qhome, vsftpd, tmp_path, server):
    limit = 256 * KIB
    cvadmin(qhome, "define", "SMALL.Q", "--maxmsgl", str(limit))
    root = tmp_path / "py"
    root.mkdir()
    with contextlib.ExitStack() as stack:
        srv = vsftpd if server == "vsftpd" else stack.enter_context(
            ftpservers.pyftpdlib_server(str(root)))
        for name, size in (("exact", limit), ("over", limit + 1), ("huge", 64 * MIB)):
            write_file(srv, name, size)
        status, out = run(qhome, ["-n"], [
            "open 127.0.0.1 %d" % srv.port, "user %s %s" % (srv.user, srv.password),
            "binary", "cvopen SMALL.Q", "get over", "get huge", "get exact", "bye"])
        for name in ("exact", "over", "huge"):
            os.unlink(os.path.join(srv.root, name))
    assert status == 9, out  # the queue refused
    assert out.count("too large for one message (more than %d bytes)" % limit) == 2, out
    assert out.count("Not putted on queue CVRC_MSG_TOO_BIG_FOR_Q\n") == 2
    # Given up at once: after the limit, or before a byte where the server
    # announces the size.
    received = int(out.split("cvxfer: [huge] ")[1].split(" bytes")[0])
    assert received <= (0 if server == "vsftpd" else limit + 1), out
    assert "cvxfer: [exact] %d bytes received.\n" % limit in out
    assert depth(qhome, "SMALL.Q") == 1
    cvadmin(qhome, "clear", "SMALL.Q")
    cvadmin(qhome, "undefine", "SMALL.Q")
