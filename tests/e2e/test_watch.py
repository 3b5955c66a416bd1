"""The watch modes left to run by themselves: mget -w takes each complete
file exactly once however often its watchers are killed, mput -w serves
the queue through outages and refusals, and SIGTERM ends either cleanly."""
import contextlib
import os
import random
import signal
import subprocess
import time

import pytest

import sshd
from scripted import ScriptedServer
from session import (QUEUE, _pyftpdlib, browse, cvadmin, depth, home, login, place,  # noqa: F401
                     server, slow_server, start, take, vsftpd, wait_until)

WATCH = "mget -w -d -i 1 -s 0 *.dat"


def stop(proc, timeout=30):
    """Ends a watch with SIGTERM; returns its exit status."""
    proc.send_signal(signal.SIGTERM)
    return proc.wait(timeout)


def leftovers(root):
    return sorted(os.listdir(root))


@contextlib.contextmanager
def any_server(kind, tmp_path, home):
    """A server of kind with the command lines that open it."""
    if kind == "sftp":
        if sshd.unavailable():
            pytest.skip(sshd.unavailable())
        (tmp_path / "sshd").mkdir()
        with sshd.sshd(str(tmp_path / "sshd")) as srv:
            os.makedirs(os.path.join(home, ".ssh"))
            with open(os.path.join(home, ".ssh", "known_hosts"), "w") as f:
                f.write(srv.known_hosts_line())
            yield srv, ["open " + srv.url()]
    else:
        with (vsftpd() if kind == "vsftpd" else _pyftpdlib(tmp_path)) as srv:
            yield srv, login(srv)


@pytest.mark.parametrize("kind, listing", [("pyftpdlib", "MLSD"), ("vsftpd", "NLST"),
                                           ("sftp", "OPENDIR")])
def test_each_servers_listing_gives_what_the_watch_needs(home, tmp_path, kind, listing):
    # Facts come with MLSD and READDIR, from SIZE and MDTM after NLST; a
    # directory whose name matches is never taken.
    with any_server(kind, tmp_path, home) as (srv, lines):
        bodies = {"a.dat": b"first", "b.dat": os.urandom(3000)}
        for name, body in bodies.items():
            place(srv, name, body, 0o666)
        os.mkdir(os.path.join(srv.root, "c.dat"), 0o777)
        proc = start(home, ["-n", "-p", "-d"], lines + ["binary", "mget -w -d -i 1 -s 1 *.dat"],
                     stdout=subprocess.PIPE)
        assert wait_until(lambda: leftovers(srv.root) == ["c.dat"], timeout=30)
        time.sleep(1.5)  # a cycle more: the directory stays
        assert stop(proc) == 0
        out = proc.stdout.read().decode(errors="replace")
        assert "--> " + listing in out, out
        assert "cvxfer: mget: 2 files, 3005 bytes, 0 failed\n" in out, out
        assert depth(home) == 2 and leftovers(srv.root) == ["c.dat"]
        assert sorted(take(home) for _ in range(2)) == sorted(bodies.values())


def test_two_watchers_killed_at_random_take_every_file_once(home, server):
    rng = random.Random(22)
    bodies = {"f%03d.dat" % i: os.urandom(rng.randrange(0, 4000)) for i in range(60)}
    for name, body in bodies.items():
        place(server, name, body)
    lines = login(server) + ["binary", WATCH]
    procs = [start(home, ["-n", "-p"], lines) for _ in range(2)]
    for _ in range(20):
        time.sleep(rng.uniform(0.05, 0.4))
        i = rng.randrange(2)
        procs[i].kill()
        procs[i].wait(10)
        procs[i] = start(home, ["-n", "-p"], lines)
    assert wait_until(lambda: leftovers(server.root) == [], timeout=90), leftovers(server.root)
    time.sleep(1)  # the last one restarted is watching too
    assert [stop(p) for p in procs] == [0, 0]
    got = sorted(take(home) for _ in range(depth(home)))
    assert got == sorted(bodies.values()), "every file on the queue exactly once"


def test_a_file_is_taken_when_complete_and_once_until_it_changes(home, server):
    # A file still being written is not taken; a done file marks another.
    place(server, "a.dat", b"")
    place(server, "b.dat", b"no done file yet")
    place(server, "c.dat", b"done")
    place(server, "c.dat.ok", b"")
    proc = start(home, ["-n", "-p"], login(server) + ["binary", "mget -w -i 1 -s 2 a.dat"])
    for i in range(15):  # a byte every 200 ms for 3 s
        with open(os.path.join(server.root, "a.dat"), "ab") as f:
            f.write(b"%d" % (i % 10))
        time.sleep(0.2)
        assert depth(home) == 0, "taken before it was complete"
    assert wait_until(lambda: depth(home) == 1, timeout=20)
    assert stop(proc) == 0
    assert take(home) == b"012345678901234"
    proc = start(home, ["-n", "-p"], login(server) + ["binary", "mget -w -d -i 1 -D .ok *.dat"])
    assert wait_until(lambda: depth(home) == 1, timeout=20)
    time.sleep(2)  # another cycle or two: b.dat must stay
    assert stop(proc) == 0
    assert take(home) == b"done" and depth(home) == 0, "only the file with its done file"
    assert leftovers(server.root) == ["a.dat", "b.dat"]
    # a.dat's message was consumed: a new watcher does not take it again,
    # until it changes.
    proc = start(home, ["-n", "-p"], login(server) + ["binary", "mget -w -i 1 -s 0 a.dat"])
    time.sleep(3)
    assert depth(home) == 0, "a consumed file taken again"
    place(server, "a.dat", b"a new version")
    assert wait_until(lambda: depth(home) == 1, timeout=20)
    assert take(home) == b"a new version"
    # Another file under the same name, size and time: MLSD's unique fact
    # tells it apart.
    path = os.path.join(server.root, "a.dat")
    with open(path + ".new", "wb") as f:
        f.write(b"A NEW VERSION")
    before = os.stat(path)
    os.utime(path + ".new", ns=(before.st_atime_ns, before.st_mtime_ns))
    os.replace(path + ".new", path)
    assert wait_until(lambda: depth(home) == 1, timeout=20)
    assert stop(proc) == 0
    assert take(home) == b"A NEW VERSION"


def test_mput_watch_survives_kills_and_sends_refusals_to_the_backout_queue(home):
    cvadmin(home, "define", "BQ")
    cvadmin(home, "alter", QUEUE, "--backout-threshold", "2", "--backout-queue", "BQ")
    names = ["m%02d.txt" % i for i in range(30)]
    for name in names[:15] + ["bad.txt"] + names[15:]:
        cvadmin(home, "put", QUEUE, "--property", "cv-file-name=" + name, data=name.encode())
    files = {}
    rng = random.Random(23)
    refuse = {"RNTO bad.txt": "553 Not allowed."}
    with ScriptedServer(files=files, refuse=refuse) as srv:
        lines = ["open 127.0.0.1 %d" % srv.port, "user tester secret", "binary", "mput -w"]
        proc = start(home, ["-n", "-p"], lines)
        for _ in range(8):
            time.sleep(rng.uniform(0.05, 0.3))
            proc.kill()
            proc.wait(10)
            proc = start(home, ["-n", "-p"], lines)
        assert wait_until(lambda: depth(home) == 0, timeout=60)
        assert stop(proc) == 0
    assert sorted(files) == names, "every message once under its final name, no temporary name"
    assert all(files[n] == n.encode() for n in names)
    moved = browse(home, "BQ")
    assert len(moved) == 1
    props = cvadmin(home, "browse", "BQ").stdout.decode()
    for prop in ("cv-file-name=bad.txt", "cv-failure-reason=", "cv-failure-reply=553 Not allowed.",
                 "cv-failure-time="):
        assert prop in props, props


def test_an_outage_costs_a_message_one_back_out(home):
    cvadmin(home, "put", QUEUE, "--property", "cv-file-name=x.txt", data=b"x")
    with ScriptedServer(files={}, step="transfer", behaviour="421") as srv:
        proc = start(home, ["-n", "-p"], ["open 127.0.0.1 %d" % srv.port, "user tester secret",
                                          "binary", "mput -w 1", "bye"])
        assert proc.wait(60) == 0
        assert srv.files.get("x.txt") == b"x"
        assert srv.verbs().count("PASS") == 2, "logged in again by itself"
    assert browse(home) == [] and depth(home) == 0


@pytest.mark.parametrize("direction", ["get", "put"])
def test_sigterm_lets_the_transfer_in_flight_finish(home, slow_server, direction):
    body = os.urandom(1 << 20)  # four seconds at the server's pace
    if direction == "get":
        place(slow_server, "big.dat", body)
        command = "mget -w -d -i 1 -s 0 *.dat"
    else:
        cvadmin(home, "put", QUEUE, "--property", "cv-file-name=big.dat", data=body)
        command = "mput -w"
    proc = start(home, ["-n", "-p"], login(slow_server) + ["binary", command])
    time.sleep(1.5)
    assert stop(proc, timeout=60) == 0
    if direction == "get":
        assert take(home) == body and leftovers(slow_server.root) == []
    else:
        assert depth(home) == 0
        with open(os.path.join(slow_server.root, "big.dat"), "rb") as f:
            assert f.read() == body


def test_a_server_that_lists_mlst_but_refuses_mlsd_is_listed_with_nlst(home):
    files = {"a.dat": b"x"}
    with ScriptedServer(files=files, feat=["MLST size*;modify*;"]) as srv:
        proc = start(home, ["-n", "-p"], ["open 127.0.0.1 %d" % srv.port, "user tester secret",
                                          "binary", "mget -w -d -i 1 -s 0 *.dat"])
        assert wait_until(lambda: not files, timeout=20)
        assert stop(proc) == 0
        verbs = srv.verbs()
    assert verbs.count("MLSD") == 1 and "NLST" in verbs, verbs
    assert take(home) == b"x"
