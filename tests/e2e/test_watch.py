"""The watch modes left to run by themselves: mget -w takes each complete
file exactly once however often its watchers are killed, mput -w serves
the queue through kills, outages and refusals, and SIGTERM ends either
cleanly."""
import contextlib
import hashlib
import os
import random
import re
import signal
import socket
import sqlite3
import subprocess
import time

import pytest

import ftpservers
from scripted import ScriptedServer
from session import (QUEUE, browse, cvadmin, depth, home, login, place,  # noqa: F401
                     random_file, real_server, run, server, sha256_of, start, take,
                     wait_until)

WATCH = "mget -w -d -i 1 -s 0 *.dat"
BIG = 200 << 20  # SIGTERM's transfer: about five seconds at the throttle
THROTTLE = 40 << 20


def stop(proc, timeout=30):
    """Ends a watch with SIGTERM; returns its exit status."""
    proc.send_signal(signal.SIGTERM)
    return proc.wait(timeout)


def claim_of(path, start=None):
    """The name a watcher of this host and CVQM, with this process's pid
    (and a start, when given: older claims have none), claims path under."""
    host = "".join("_" if c in "/ .\\" else c for c in socket.gethostname())
    return "%s.cvxfer-claim-%s-CVQM.%d%s" % (path, host, os.getpid(),
                                            "" if start is None else ".%d" % start)


def store(home):
    """A connection to CVQM's store database in home, closed after the block."""
    return contextlib.closing(sqlite3.connect(os.path.join(home, "CVQM.qm", "store.db"),
                                              timeout=10))


def leftovers(root):
    """The names in root, sorted."""
    return sorted(os.listdir(root))


def sha256(data):
    """The SHA-256 of data in hexadecimal, as cv-file-sha256 holds it."""
    return hashlib.sha256(data).hexdigest()


def killed_at_random(home, lines, runs, kills, rng, progress, total, most):
    """Starts runs of cvxfer on lines; kills times, once progress() rose by
    0 to most since the last kill (or reached total), kill -9 of one of them
    and a new one in its place. Returns the runs left."""
    procs = [start(home, ["-n", "-p"], lines) for _ in range(runs)]
    for _ in range(kills):
        mark = min(progress() + rng.randint(0, most), total)
        assert wait_until(lambda: progress() >= mark, timeout=60, step=0.001), "no progress"
        i = rng.randrange(runs)
        procs[i].kill()
        procs[i].wait(10)
        procs[i] = start(home, ["-n", "-p"], lines)
    return procs


def fill(home, bodies):
    """A message of each body named (cv-file-name) by its key, put on the
    queue by mget from a scripted server."""
    with ScriptedServer(files=dict(bodies)) as srv:
        status, out = run(home, ["-n", "-p"], ["open 127.0.0.1 %d" % srv.port,
                                               "user tester secret", "binary", "mget *", "bye"])
    assert status == 0 and depth(home) == len(bodies), out


def on_queue(home, queue=QUEUE):
    """(cv-file-name, length, cv-file-sha256) of each message of queue."""
    found = []
    for line in cvadmin(home, "browse", queue).stdout.decode().splitlines()[1:]:
        if line.startswith("    "):
            found[-1].update([line.strip().split("=", 1)])
        else:
            found.append({"length": int(line.split("\t")[1])})
    return sorted((m["cv-file-name"], m["length"], m["cv-file-sha256"]) for m in found)


def a_cycle(srv):
    """Waits for two more listings on srv: a whole cycle of the watch between."""
    listings = lambda: sum(c.split(" ")[0] in ("MLSD", "NLST", "LIST") for c in srv.commands())
    seen = listings()
    assert wait_until(lambda: listings() >= seen + 2, timeout=20)


@pytest.mark.parametrize("kind, listing", [("pyftpdlib", "MLSD"), ("vsftpd", "NLST"),
                                           ("sftp", "OPENDIR")])
def test_each_servers_listing_gives_what_the_watch_needs(home, tmp_path, kind, listing):
    # Facts come with MLSD and READDIR, from SIZE and MDTM after NLST; a
    # directory whose name matches is never taken; a symbolic link is taken
    # as the file it names, with that file's facts.
    with real_server(kind, home, tmp_path) as (srv, lines):
        bodies = {"a.dat": b"first", "b.dat": os.urandom(3000), "e.txt": b"linked"}
        for name, body in bodies.items():
            place(srv, name, body, 0o666)
        os.mkdir(os.path.join(srv.root, "c.dat"), 0o777)
        os.symlink("e.txt", os.path.join(srv.root, "d.dat"))
        proc = start(home, ["-n", "-p", "-d"], lines + ["binary", "mget -w -d -i 1 -s 1 *.dat"],
                     stdout=subprocess.PIPE)
        assert wait_until(lambda: leftovers(srv.root) == ["c.dat", "e.txt"], timeout=30)
        time.sleep(1.5)  # a cycle more: the directory stays
        assert stop(proc) == 0
        out = proc.stdout.read().decode(errors="replace")
        assert "--> " + listing in out, out
        assert "cvxfer: mget: 3 files, 3011 bytes, 0 failed\n" in out, out
        assert depth(home) == 3 and leftovers(srv.root) == ["c.dat", "e.txt"]
        assert sorted(take(home) for _ in range(3)) == sorted(bodies.values())


def test_a_watch_without_its_queue_claims_nothing_and_ends(home, server):
    place(server, "a.dat", b"stays")
    status, out = run(home, ["-n", "-p"], login(server) + [
        "binary", "cvopen NO.SUCH.QUEUE", "mget -w -i 1 -s 0 *.dat"], timeout=30)
    assert status == 9 and "Not putted on queue CVRC_HOBJ_ERROR" in out, out
    assert leftovers(server.root) == ["a.dat"]


def test_two_watchers_killed_at_random_take_every_file_once(home, server):
    rng = random.Random(22)
    bodies = {"f%03d.dat" % i: os.urandom(rng.randrange(0, 4000)) for i in range(200)}
    for name, body in bodies.items():
        place(server, name, body)
    # One claimed by a dead watcher whose pid a live process (this one) got
    # since: its start tells them apart.
    path = os.path.join(server.root, "f199.dat")
    os.rename(path, claim_of(path, start=1))
    procs = killed_at_random(home, login(server) + ["binary", WATCH], 2, 100, rng,
                             lambda: len(bodies) - len(os.listdir(server.root)), len(bodies), 3)
    assert wait_until(lambda: leftovers(server.root) == [], timeout=90), \
        "a file or a claim name (.cvxfer-claim-) left: %s" % leftovers(server.root)
    time.sleep(1)  # the last one restarted is watching too
    assert [stop(p) for p in procs] == [0, 0]
    assert on_queue(home) == sorted((n, len(b), sha256(b)) for n, b in bodies.items()), \
        "every file on the queue exactly once"


def test_files_that_keep_failing_keep_no_other_file_waiting(home, server):
    # A cycle's bound counts the files taken: 64 that fail (their journal
    # keys too long, in a deep directory), first in name order, must not
    # keep the last one from being taken.
    deep = os.path.join(*["d" * 100] * 9)
    os.makedirs(os.path.join(server.root, deep))
    for i in range(64):
        place(server, os.path.join(deep, "a%02d%s.dat" % (i, "x" * 120)), b"fails")
    place(server, os.path.join(deep, "zz.dat"), b"taken")
    proc = start(home, ["-n", "-p"], login(server) + ["binary", "mget -w -i 1 -s 0 %s/*.dat" % deep])
    assert wait_until(lambda: os.path.isdir(os.path.join(home, "CVQM.qm")), timeout=20)
    assert wait_until(lambda: depth(home) == 1, timeout=30), "never taken"
    assert stop(proc) == 0
    assert take(home) == b"taken"


def test_a_file_whose_record_another_watcher_holds_is_left_to_it(home, server):
    # Another watcher's unit of work holds the file's record (here one that
    # never ends): the file is that one's to delete once it commits.
    place(server, "a.dat", b"held")
    proc = start(home, ["-n", "-p"], login(server) + ["binary", "mget -w -d -i 1 -s 5 *.dat"])
    a_cycle(server)
    mtime = time.gmtime(os.stat(os.path.join(server.root, "a.dat")).st_mtime)
    key = b"cvxfer-in\n127.0.0.1:%d\n//a.dat\n4\n%s" % (
        server.port, time.strftime("%Y%m%d%H%M%S", mtime).encode())
    with store(home) as db, db:
        db.execute("INSERT INTO journal VALUES(?, NULL, ?, ?)",
                   (key, "%d-0000000000000000" % os.getpid(), b"taken"))
    assert wait_until(lambda: "RETR" in " ".join(server.commands()), timeout=20)
    a_cycle(server)
    assert stop(proc) == 0
    assert depth(home) == 0 and len(leftovers(server.root)) == 1, "deleted, and not queued"


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
    a_cycle(server)  # b.dat must stay
    assert stop(proc) == 0
    assert take(home) == b"done" and depth(home) == 0, "only the file with its done file"
    assert leftovers(server.root) == ["a.dat", "b.dat"]
    # a.dat's message was consumed: a new watcher does not take it again,
    # until it changes.
    proc = start(home, ["-n", "-p"], login(server) + ["binary", "mget -w -i 1 -s 0 a.dat"])
    a_cycle(server)
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
    a_cycle(server)
    assert stop(proc) == 0
    assert take(home) == b"A NEW VERSION"
    with store(home) as db:
        keys = [bytes(k) for (k,) in db.execute("SELECT key FROM journal")]
    assert sum(b"/a.dat\n" in k for k in keys) == 1, "a record of each version kept: %s" % keys


@pytest.mark.parametrize("name, patterns, claimed", [
    ("in/sub/a.dat", "in/*.dat in/sub/*.dat", False), ("a.dat", "*.dat", True)])
def test_a_file_left_in_place_keeps_its_record(home, server, name, patterns, claimed):
    # Left in place, a file is kept from being taken again by its record
    # alone: the listing of its parent directory (another pattern) and a
    # live watcher's claim of it hiding its name, even with a new file
    # under that name, must both leave it.
    os.makedirs(os.path.join(server.root, "in", "sub"), 0o777)
    place(server, name, b"once")
    proc = start(home, ["-n", "-p"], login(server) + ["binary", "mget -w -i 1 -s 0 " + patterns])
    a_cycle(server)  # taken, and given its name back
    path = os.path.join(server.root, name)
    if claimed:
        claim = claim_of(path)
        os.rename(path, claim)
        place(server, name, b"another")
        a_cycle(server)
        os.replace(claim, path)
    a_cycle(server)
    a_cycle(server)
    assert stop(proc) == 0
    assert depth(home) == 1 + claimed, "taken again"


def test_a_file_put_under_the_name_of_one_being_taken_stays(home, tmp_path):
    # Left in place, a file is given its name back once taken, but never
    # over a newer file that took the name meanwhile: that one is taken too.
    old, new = os.urandom(2 << 20), b"the new version"
    root = tmp_path / "ftp"
    root.mkdir()
    (root / "a.dat").write_bytes(old)
    with ftpservers.pyftpdlib_server(str(root), throttle=1 << 20) as srv:
        proc = start(home, ["-n", "-p"], login(srv) + ["binary", "mget -w -i 1 -s 0 a.dat"])
        assert wait_until(lambda: len(leftovers(root)) == 1 and "a.dat" not in leftovers(root))
        (root / "a.tmp").write_bytes(new)
        os.replace(root / "a.tmp", root / "a.dat")
        assert wait_until(lambda: depth(home) == 2, timeout=20), "the new file lost"
        assert stop(proc) == 0
    assert leftovers(root) == ["a.dat"] and (root / "a.dat").read_bytes() == new
    assert sorted([take(home), take(home)]) == sorted([old, new])


def test_a_connection_lost_at_a_delete_leaves_no_done_file_behind(home):
    # Left alone, a done file would mark the next file of its name complete
    # however much of it was written: it goes before its file's claim.
    files = {"a.dat": b"x", "a.dat.ok": b""}
    with ScriptedServer(files=files, step="DELE", behaviour="close") as srv:
        proc = start(home, ["-n", "-p"], ["open 127.0.0.1 %d" % srv.port, "user tester secret",
                                          "binary", "mget -w -d -i 1 -D .ok *.dat"])
        assert wait_until(lambda: not files, timeout=20), "left: %s" % sorted(files)
        assert stop(proc) == 0
    assert take(home) == b"x" and depth(home) == 0


def test_mput_watch_survives_kills_and_sends_refusals_to_the_backout_queue(home):
    cvadmin(home, "define", "BQ")
    cvadmin(home, "alter", QUEUE, "--backout-threshold", "2", "--backout-queue", "BQ")
    rng = random.Random(23)
    bodies = {"m%03d.txt" % i: os.urandom(rng.randrange(0, 4000)) for i in range(300)}
    fill(home, {**bodies, "bad.txt": b"refused"})
    files = {}
    with ScriptedServer(files=files, refuse={"RNTO bad.txt": "553 Not allowed."}) as srv:
        lines = ["open 127.0.0.1 %d" % srv.port, "user tester secret", "binary", "mput -w"]
        procs = killed_at_random(home, lines, 1, 60, rng, lambda: len(files), len(bodies), 8)
        assert wait_until(lambda: depth(home) == 0, timeout=60, step=0.2)
        assert stop(procs[0]) == 0
    assert sorted(files) == sorted(bodies), \
        "every message once under its final name, no temporary name"
    assert all(files[n] == b for n, b in bodies.items())
    assert len(browse(home, "BQ")) == 1
    props = cvadmin(home, "browse", "BQ").stdout.decode()
    for prop in ("cv-file-name=bad.txt", "cv-failure-reason=", "cv-failure-reply=553 Not allowed.",
                 "cv-failure-time="):
        assert prop in props, props


def test_an_outage_costs_the_message_in_flight_one_back_out(home, tmp_path):
    # A 421 reply to the first store, then the server down for 20 s
    # (connections refused) while messages wait.
    bodies = {"o%02d.txt" % i: os.urandom(5000) for i in range(40)}
    fill(home, bodies)
    files, out, backouts = {}, tmp_path / "out", {}

    def look():
        rows = browse(home)
        for row in rows:
            backouts[row[-1]] = max(backouts.get(row[-1], 0), int(row[5]))
        return len(rows)

    first = ScriptedServer(files=files, step="transfer", behaviour="421")
    with open(out, "wb") as f:
        proc = start(home, ["-n", "-p"], ["open 127.0.0.1 %d" % first.port, "user tester secret",
                                          "binary", "mput -w"], stdout=f)
    try:
        assert wait_until(lambda: "o00.txt" in files and len(files) >= 5, timeout=30)
        first.close()
        with pytest.raises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", first.port), timeout=5)
        wait_until(lambda: look() < 0, timeout=20, step=0.2)  # down for 20 s
        with ScriptedServer(files=files, port=first.port) as again:
            assert wait_until(lambda: look() == 0, timeout=90, step=0.2), "not back by itself"
            assert stop(proc) == 0
    finally:
        proc.kill()
    assert sorted(backouts.values())[-2:] == [0, 1], \
        "the message in flight backed out once, no other"
    assert out.read_text().count("Message backed out") == 2, "at the 421 and at the outage only"
    assert "PASS" in again.verbs(), "logged in again by itself"
    assert sorted(files) == sorted(bodies) and all(files[n] == b for n, b in bodies.items())


def test_a_server_that_fails_each_store_is_asked_less_and_less_often(home, tmp_path):
    fill(home, {"a.txt": b"x"})
    out = tmp_path / "out"
    with ScriptedServer(files={}, refuse={"STOR": "452 Insufficient storage space."}) as srv, \
            open(out, "wb") as f:
        proc = start(home, ["-n", "-p"], ["open 127.0.0.1 %d" % srv.port, "user tester secret",
                                          "binary", "mput -w"], stdout=f)
        announced = lambda: re.findall(r"connecting again in (\d+) s", out.read_text())
        assert wait_until(lambda: len(announced()) >= 3, timeout=20)
        assert stop(proc) == 0
    assert int(announced()[2]) >= 2, "no back-off: %s" % announced()
    assert depth(home) == 1


@pytest.mark.parametrize("direction", ["get", "put"])
def test_sigterm_lets_the_transfer_in_flight_finish(home, tmp_path, direction):
    # More than a message holds: a group of segments on the queue.
    big = tmp_path / "big.dat"
    digest = random_file(big, BIG >> 20)
    root = tmp_path / "ftp"
    root.mkdir()
    if direction == "get":
        os.rename(big, root / "big.dat")
        command, verb = WATCH, "RETR"
    else:
        cvadmin(home, "put-group", QUEUE, big)
        os.remove(big)
        command, verb = "mput -w", "STOR"
    with ftpservers.pyftpdlib_server(str(root), throttle=THROTTLE) as srv:
        proc = start(home, ["-n", "-p"], login(srv) + ["binary", command])
        assert wait_until(lambda: any(c.startswith(verb) for c in srv.commands()), timeout=30)
        time.sleep(1)
        proc.send_signal(signal.SIGTERM)
        with open(srv.log_path) as log:
            assert "completed=" not in log.read(), "SIGTERM after the transfer"
        assert proc.wait(60) == 0
    parts = [root / "big.dat"]
    if direction == "get":
        assert leftovers(root) == []
        parts = [tmp_path / ("part%d" % i) for i in range(depth(home))]
        for part in parts:
            cvadmin(home, "get", QUEUE, part)
    else:
        assert leftovers(root) == ["big.dat"] and depth(home) == 0
    assert sha256_of(*parts) == digest


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
