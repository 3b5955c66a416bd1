"""Stores that resume and commands that try again. A safe store cut short
keeps its temporary file and the next store of the same message sends only
the rest; with -r a get, put, mget or mput whose failure may pass connects
again and goes on where it stopped."""
import os
import re
import signal
import sqlite3
import time

import pytest

from scripted import PAYLOAD, ScriptedServer
from session import (QUEUE, cvadmin, depth, home, login, real_server, run, start, take,  # noqa: F401
                     wait_until)

SAFE = ["-n", "-p", "-a"]


def put_payload(home, body=PAYLOAD):
    """One message to be stored as final.bin."""
    cvadmin(home, "put", QUEUE, "--property", "cv-file-name=final.bin", data=body)


@pytest.mark.parametrize("refuse", [{}, {"REST": "502 Command not implemented."}],
                         ids=["REST", "no REST"])
def test_a_cut_safe_store_is_finished_by_the_next_put(home, refuse):
    put_payload(home)
    with ScriptedServer(step="data", behaviour="close", refuse=refuse) as srv:
        status, out = run(home, SAFE, login(srv) + ["binary", "put", "bye"])
        [(temp, part)] = srv.files.items()
        assert status == 7 and depth(home) == 1 and PAYLOAD.startswith(part), out
        first = len(srv.lines)
        status, out = run(home, SAFE, login(srv) + ["binary", "put", "bye"])
    assert status == 0 and srv.files == {"final.bin": PAYLOAD} and depth(home) == 0, out
    assert [line for line in srv.lines[first:] if line.startswith(b"REST")] == \
        [b"REST %d\r\n" % len(part)]
    # Only the rest crosses the wire, unless the server cannot resume.
    assert len(srv.stored) == len(PAYLOAD) - (0 if refuse else len(part))


def test_a_part_left_for_another_message_of_the_same_identifier_is_not_resumed(home):
    # A producer may set a message's identifier itself (and a broker's
    # foreign publishers leave it empty): the part a cut store of one message
    # left must never begin another file of the same name.
    put_payload(home)
    with ScriptedServer(step="data", behaviour="close") as srv:
        status, out = run(home, SAFE, login(srv) + ["binary", "put", "bye"])
        assert status == 7 and len(srv.files) == 1, out
        other = bytes(reversed(PAYLOAD))
        put_payload(home, other)
        with sqlite3.connect(os.path.join(home, "CVQM.qm", "store.db")) as c:
            (first,), (second,) = c.execute("SELECT msgid FROM messages ORDER BY id").fetchall()
            c.execute("UPDATE messages SET msgid=?1, md=replace(md, ?2, ?1) WHERE msgid=?2",
                      (first, second))
        assert take(home) == PAYLOAD  # consumed elsewhere; its part stays
        status, out = run(home, SAFE, login(srv) + ["binary", "put", "bye"])
        assert status == 0 and srv.files.get("final.bin") == other, out


@pytest.mark.parametrize("kind,sig", [("pyftpdlib", signal.SIGINT), ("vsftpd", signal.SIGKILL),
                                      ("sftp", signal.SIGKILL)])
def test_a_stopped_safe_store_is_resumed_on_a_real_server(home, tmp_path, kind, sig):
    # Four seconds at the FTP servers' pace; more than SFTP's window in flight.
    body = os.urandom((32 if kind == "sftp" else 1) << 20)
    put_payload(home, body)
    with real_server(kind, home, tmp_path, rate=256 << 10) as (srv, opening):
        def part_size():
            parts = [n for n in os.listdir(srv.root) if n.startswith(".final.bin.cvxfer-")]
            return os.path.getsize(os.path.join(srv.root, parts[0])) if parts else 0

        proc = start(home, SAFE, opening + ["binary", "put"])
        assert wait_until(lambda: part_size() >= 128 << 10)
        proc.send_signal(sig)
        assert proc.wait(30) == (130 if sig == signal.SIGINT else -sig)
        part = part_size()
        assert depth(home) == 1 and 0 < part < len(body)
        status, out = run(home, SAFE, opening + ["binary", "put", "bye"])
        assert status == 0 and os.listdir(srv.root) == ["final.bin"], out
        with open(os.path.join(srv.root, "final.bin"), "rb") as f:
            assert f.read() == body
    # The server may still have written what was in flight when it was measured.
    at = int(re.search(r"resuming at byte (\d+) of %d\n" % len(body), out).group(1))
    assert part <= at < len(body) and ".part : %d bytes sent.\n" % (len(body) - at) in out
    assert depth(home) == 0


def test_a_part_stored_in_ascii_is_not_resumed_in_binary(home, tmp_path):
    # The server wrote the ascii store's line ends its own way: its part is
    # not the message's first bytes, whatever its size.
    body = b"a line of text\r\n" * (1 << 16)
    put_payload(home, body)
    with real_server("pyftpdlib", home, tmp_path, rate=256 << 10) as (srv, opening):
        proc = start(home, SAFE, opening + ["ascii", "put"])
        assert wait_until(lambda: any(n.startswith(".final.bin") for n in os.listdir(srv.root)))
        time.sleep(0.5)
        proc.send_signal(signal.SIGINT)
        assert proc.wait(30) == 130 and depth(home) == 1
        status, out = run(home, SAFE, opening + ["binary", "put", "bye"])
        assert status == 0 and os.listdir(srv.root) == ["final.bin"], out
        with open(os.path.join(srv.root, "final.bin"), "rb") as f:
            assert f.read() == body


@pytest.mark.parametrize("retries", [0, 3])
def test_mget_tries_again_and_takes_each_file_once(home, retries):
    bodies = {"f%02d.bin" % i: os.urandom(5000 + i) for i in range(20)}
    # The listing and five files go through; the sixth is cut, the connection
    # closed; the first try to connect again is turned away.
    with ScriptedServer(dict(bodies), step="data", behaviour="close", skip=6,
                        then=("greeting", "421")) as srv:
        flags = ["-n", "-p"] + (["-r", retries] if retries else [])
        status, out = run(home, flags, login(srv) + ["binary", "mget *.bin", "bye"])
        logins = srv.verbs().count("PASS")
    queued = sorted(take(home) for _ in range(depth(home)))
    if retries:
        assert status == 0 and queued == sorted(bodies.values()) and logins == 2, out
        assert "retrying mget in 1 s (1 of 3)\n" in out and "(2 of 3)\n" in out, out
        assert out.count("is on the queue already; not taken again") == 5, out
    else:
        assert status in (7, 8) and len(queued) == 5 and logins == 1, out


# name -> (the server's fault, exit status, files left): the store times out
# once (the server takes nothing), or is refused for good (nothing kept).
PUT_CASES = {"timed out": ({"step": "data", "behaviour": "stall"}, 0, {"final.bin": PAYLOAD}),
             "refused": ({"refuse": {"STOR": "553 Not allowed."}}, 6, {})}


@pytest.mark.parametrize("name", list(PUT_CASES))
def test_put_is_tried_again_when_its_failure_may_pass(home, name):
    fault, expected, left = PUT_CASES[name]
    put_payload(home)
    with ScriptedServer(**fault) as srv:
        status, out = run(home, SAFE + ["-t", "2", "-r", "1"], login(srv) + ["binary", "put", "bye"])
        files = dict(srv.files)
    assert status == expected and files == left, out
    assert ("cvxfer: retrying put in 1 s (1 of 1)\n" in out) == (expected == 0), out
    assert depth(home) == (1 if expected else 0)
