"""Stores that resume and commands that try again. A safe store cut short
keeps its temporary file and the next store of the same message sends only
the rest; with -r a get, put, mget or mput whose failure may pass connects
again and goes on where it stopped."""
import contextlib
import os
import re
import signal

import pytest

import ftpservers
import sshd
from scripted import PAYLOAD, ScriptedServer
from session import (QUEUE, cvadmin, depth, home, login, run, start, take,  # noqa: F401
                     vsftpd, wait_until)

TEMP = ".final.bin.cvxfer-"


def put_payload(home, body=PAYLOAD):
    """One message to be stored as final.bin."""
    cvadmin(home, "put", QUEUE, "--property", "cv-file-name=final.bin", data=body)


@pytest.mark.parametrize("refuse", [{}, {"REST": "502 Command not implemented."}],
                         ids=["REST", "no REST"])
def test_a_cut_safe_store_is_finished_by_the_next_put(home, refuse):
    put_payload(home)
    flags, lines = ["-n", "-p", "-a"], ["binary", "put", "bye"]
    with ScriptedServer(step="data", behaviour="close", refuse=refuse) as srv:
        status, out = run(home, flags, login(srv) + lines)
        assert status == 7 and depth(home) == 1, out
        [temp] = srv.files
        part = len(srv.files[temp])
        assert temp.startswith(TEMP) and 0 < part < len(PAYLOAD), srv.files.keys()
        assert srv.files[temp] == PAYLOAD[:part]
        first = len(srv.lines)
        status, out = run(home, flags, login(srv) + lines)
    assert status == 0, out
    assert srv.files == {"final.bin": PAYLOAD} and depth(home) == 0
    rests = [line for line in srv.lines[first:] if line.startswith(b"REST")]
    assert rests == [b"REST %d\r\n" % part], rests
    # Only the rest crosses the wire, unless the server cannot resume.
    assert len(srv.stored) == len(PAYLOAD) - (0 if refuse else part)
    assert ("cannot resume a store; sending it whole" in out) == bool(refuse), out


def test_a_refused_safe_store_leaves_nothing_to_resume(home):
    put_payload(home)
    with ScriptedServer(refuse={"STOR": "553 Not allowed."}) as srv:
        status, out = run(home, ["-n", "-p", "-a"], login(srv) + ["binary", "put", "bye"])
    assert status == 6 and depth(home) == 1, out
    assert "kept;" not in out and srv.files == {}


@contextlib.contextmanager
def real_server(kind, home, tmp_path):
    """pyftpdlib or vsftpd taking 256 KiB a second, or OpenSSH's sftp-server
    at full speed; yields the server and the lines that log in to it."""
    if kind == "sftp":
        if sshd.unavailable():
            pytest.skip(sshd.unavailable())
        (tmp_path / "sshd").mkdir()
        with sshd.sshd(str(tmp_path / "sshd")) as srv:
            os.makedirs(os.path.join(home, ".ssh"))
            with open(os.path.join(home, ".ssh", "known_hosts"), "w") as f:
                f.write(srv.known_hosts_line())
            yield srv, ["open " + srv.url()]
        return
    if kind == "vsftpd":
        context = vsftpd(max_rate=256 * 1024)
    else:
        (tmp_path / "ftp").mkdir()
        context = ftpservers.pyftpdlib_server(str(tmp_path / "ftp"), throttle=256 * 1024)
    with context as srv:
        yield srv, login(srv)


@pytest.mark.parametrize("kind,sig", [("pyftpdlib", signal.SIGINT), ("vsftpd", signal.SIGKILL),
                                      ("sftp", signal.SIGKILL)])
def test_a_stopped_safe_store_is_resumed_on_a_real_server(home, tmp_path, kind, sig):
    # Four seconds at the FTP servers' pace; more than SFTP's window in flight.
    body = os.urandom((32 if kind == "sftp" else 1) << 20)
    put_payload(home, body)
    flags = ["-n", "-p", "-a"]
    with real_server(kind, home, tmp_path) as (srv, opening):
        def part_size():
            parts = [n for n in os.listdir(srv.root) if n.startswith(TEMP)]
            return os.path.getsize(os.path.join(srv.root, parts[0])) if parts else 0

        proc = start(home, flags, opening + ["binary", "put"])
        assert wait_until(lambda: part_size() >= 128 * 1024)
        proc.send_signal(sig)
        assert proc.wait(30) == (130 if sig == signal.SIGINT else -sig)
        assert depth(home) == 1, "backed out"
        part = part_size()
        assert 0 < part < len(body)
        status, out = run(home, flags, opening + ["binary", "put", "bye"])
        assert status == 0, out
        # The server may still write what was in flight when it measured.
        at = int(re.search(r"resuming at byte (\d+) of %d\n" % len(body), out).group(1))
        assert part <= at < len(body), out
        assert ".part : %d bytes sent.\n" % (len(body) - at) in out
        assert os.listdir(srv.root) == ["final.bin"]
        with open(os.path.join(srv.root, "final.bin"), "rb") as f:
            assert f.read() == body
    assert depth(home) == 0


@pytest.mark.parametrize("retries", [0, 3])
def test_mget_tries_again_and_takes_each_file_once(home, retries):
    bodies = {"f%02d.bin" % i: os.urandom(5000 + i) for i in range(20)}
    # The listing and five files go through; the sixth file is cut and the
    # connection closed.
    with ScriptedServer(dict(bodies), step="data", behaviour="close", skip=6) as srv:
        flags = ["-n", "-p"] + (["-r", retries] if retries else [])
        status, out = run(home, flags, login(srv) + ["binary", "mget *.bin", "bye"])
        logins = srv.verbs().count("PASS")
    queued = sorted(take(home) for _ in range(depth(home)))
    if retries:
        assert status == 0, out
        assert queued == sorted(bodies.values()), "every file once"
        assert out.count("is on the queue already; not taken again") == 5, out
        assert "cvxfer: retrying mget in 1 s (1 of 3)\n" in out and logins == 2, out
    else:
        assert status in (7, 8) and len(queued) == 5, out
        assert "retrying" not in out and logins == 1


def test_put_that_timed_out_is_tried_again(home):
    cvadmin(home, "put", QUEUE, data=PAYLOAD)
    # The server takes none of the first store's bytes: -t 2 gives up on it.
    with ScriptedServer(step="data", behaviour="stall") as srv:
        status, out, err = run(home, ["-n", "-p", "-t", "2", "-r", "1"],
                               login(srv) + ["binary", "put out.bin", "bye"], err=True)
        files = dict(srv.files)
    assert status == 0, out + err
    assert "cvxfer: retrying put in 1 s (1 of 1)\n" in out and err == "", out + err
    assert files == {"out.bin": PAYLOAD} and depth(home) == 0
