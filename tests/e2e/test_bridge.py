"""The everyday jobs of the bridge: many files onto the queue with the
originals cleaned up, stores that never leave a partial file under the
final name, and the remote housekeeping commands."""
import hashlib
import os
import random
import subprocess

import pytest

import ftpservers
from scripted import PAYLOAD, ScriptedServer
from session import (QUEUE, browse, cvadmin, depth, home, login, place, run, server,  # noqa: F401
                     start, take, wait_until)


def files_in(root):
    return sorted(os.listdir(root))


def test_housekeeping_commands(home, server):
    place(server, "a.txt", b"12345")
    status, out = run(home, ["-n", "-e"], login(server) + [
        "binary", "mkdir sub", "size a.txt", "rename a.txt sub/b.txt", "delete sub/b.txt", "rmdir sub",
        "bye"])
    assert status == 0, out
    assert "213 5" in out
    assert files_in(server.root) == []
    status, out = run(home, ["-n"], login(server) + ["delete missing.txt", "rename x", "bye"])
    assert status == 6, out  # the server refused; "rename x" is a usage error after it
    assert "usage: rename from-name to-name" in out


@pytest.mark.parametrize("after,left", [("-d", []), ("-m done", ["done"])])
def test_mget_takes_matching_files_and_cleans_up(home, server, after, left):
    os.mkdir(os.path.join(server.root, "in"))
    os.mkdir(os.path.join(server.root, "done"))
    bodies = {}
    for i in range(50):
        bodies["f%02d.csv" % i] = os.urandom(100 + i)
        place(server, os.path.join("in", "f%02d.csv" % i), bodies["f%02d.csv" % i])
    for keep in ("notes.txt", ".hidden.csv"):
        open(os.path.join(server.root, "in", keep), "wb").close()
    status, out = run(home, ["-n", "-p"], login(server) + [
        "binary", "mget %s in/*.csv" % after, "bye"])
    assert status == 0, out
    assert "cvxfer: mget: 50 files, %d bytes, 0 failed" % sum(map(len, bodies.values())) in out
    assert files_in(os.path.join(server.root, "in")) == [".hidden.csv", "notes.txt"]
    moved = files_in(os.path.join(server.root, "done"))
    assert moved == (sorted(bodies) if left else [])
    if left:
        assert sorted(take(home) for _ in range(50)) == sorted(bodies.values())
    else:  # and back out through mput, each message to the file it came from
        status, out = run(home, ["-n", "-e", "-p"], login(server) + ["binary", "cd done", "mput",
                                                                     "bye"])
        assert status == 0, out
        assert "cvxfer: mput: 50 files, %d bytes, 0 failed" % sum(map(len, bodies.values())) in out
        for name, body in bodies.items():
            with open(os.path.join(server.root, "done", name), "rb") as f:
                assert f.read() == body, name
    assert depth(home) == 0


def test_mget_reports_a_file_that_fails_and_goes_on(home, server):
    for name in ("a.bin", "b.bin"):
        place(server, name, b"x" * 10)
    # Each file needs a group of two segments; the queue holds one message.
    cvadmin(home, "define", "TINY.Q", "--maxmsgl", "5", "--maxdepth", "1")
    status, out = run(home, ["-n", "-p"], login(server) + [
        "binary", "cvopen TINY.Q", "mget -d *.bin", "bye"])
    assert status == 9, out  # the queue refused the messages
    assert depth(home, "TINY.Q") == 0, "half a group on the queue"
    assert "cvxfer: mget: 0 files, 0 bytes, 2 failed" in out
    assert files_in(server.root) == ["a.bin", "b.bin"], "nothing deleted that is not on the queue"


def test_safe_put_stores_under_a_temporary_name_then_renames(home, server):
    cvadmin(home, "put", QUEUE, data=b"whole file")
    status, out = run(home, ["-n", "-a", "-d"], login(server) + ["binary", "put final.txt", "bye"])
    assert status == 0, out
    assert files_in(server.root) == ["final.txt"]
    with open(os.path.join(server.root, "final.txt"), "rb") as f:
        assert f.read() == b"whole file"
    sent = [line for line in out.splitlines() if line.startswith("--> ") and "CV" not in line]
    temp = ".final.txt.cvxfer-"
    assert [line[:9 + len(temp)] for line in sent[-4:]] == \
        ["--> STOR " + temp, "--> SIZE " + temp, "--> RNFR " + temp, "--> RNTO final.txt"], sent


def test_safe_put_refused_rename_leaves_no_file(home, tmp_path):
    cvadmin(home, "put", QUEUE, data=b"precious")
    root = tmp_path / "norename"
    root.mkdir()
    # No "f" permission: RNFR is refused after a complete STOR.
    with ftpservers.pyftpdlib_server(str(root), perm="elradmwMT") as srv:
        status, out = run(home, ["-n", "-a"], login(srv) + ["binary", "put final.txt", "bye"])
    assert status == 6, out
    assert os.listdir(str(root)) == [], "the temporary file is deleted"
    assert "Message backed out" in out
    assert take(home) == b"precious"


def test_safe_put_cut_off_store_leaves_no_file_under_the_final_name(home):
    cvadmin(home, "put", QUEUE, data=PAYLOAD)
    with ScriptedServer(step="data", behaviour="close") as srv:
        status, out = run(home, ["-n", "-p", "-a"], login(srv) + ["binary", "put final.bin", "bye"])
    assert status == 7, out
    stored = [line for line in srv.lines if line.startswith(b"STOR")]
    assert len(stored) == 1 and stored[0].startswith(b"STOR .final.bin.cvxfer-"), stored
    assert not any(line.startswith((b"RNFR", b"RNTO")) for line in srv.lines)
    assert depth(home) == 1


def properties(home, queue=QUEUE):
    """The properties of each message on queue, as cvadmin browse shows them."""
    out = cvadmin(home, "browse", queue).stdout.decode()
    messages = []
    for line in out.splitlines()[1:]:
        if line.startswith("    "):
            name, _, value = line.strip().partition("=")
            messages[-1][name] = value
        else:
            messages.append({})
    return messages


def test_get_records_where_the_file_came_from(home, server):
    os.mkdir(os.path.join(server.root, "sub"))
    place(server, os.path.join("sub", "x.bin"), b"12345")
    status, out = run(home, ["-n"], login(server) + ["cd sub", "binary", "get x.bin", "bye"])
    assert status == 0, out
    assert "tester" not in str(properties(home)) and "secret" not in str(properties(home))
    assert properties(home) == [{"cv-file-name": "x.bin", "cv-file-dir": "/sub",
                                 "cv-file-size": "5", "cv-ftp-server": "127.0.0.1:%d" % server.port,
                                 "cv-transfer-type": "binary",
                                 "cv-file-sha256": hashlib.sha256(b"12345").hexdigest()}]


def test_mput_names_the_file_that_failed(home, tmp_path):
    source = tmp_path / "report.csv"
    source.write_bytes(b"r" * 100)
    cvadmin(home, "put", QUEUE, str(source))  # named after its file
    with ScriptedServer(refuse={"STOR": "553 Not allowed."}) as srv:
        status, out, err = run(home, ["-n", "-p"], login(srv) + ["mput", "bye"], err=True)
    assert status == 6, out
    assert "cvxfer: mput: 0 files, 0 bytes, 1 failed\ncvxfer: mput: failed: report.csv\n" in out
    assert err == "cvxfer: mput failed: report.csv: 553 Not allowed.\n"
    assert depth(home) == 1


@pytest.mark.parametrize("name", ["../etc/x", "a/b", "..", None])
def test_put_without_a_name_never_lets_a_message_choose_a_path(home, server, name):
    args = ["put", QUEUE] + (["--property", "cv-file-name=" + name] if name else [])
    cvadmin(home, *args, data=b"data")
    status, out = run(home, ["-n"], login(server) + ["binary", "put", "bye"])
    assert status == 1, out
    assert ("No file specified." if name is None else "cannot choose a directory") in out
    assert files_in(server.root) == []
    [msg] = browse(home)
    assert msg[5] == "0", "the message was not even taken"


def test_mput_moves_a_message_without_a_usable_name_aside_and_goes_on(home, server):
    """Such a message would come first again and stop every later mput."""
    cvadmin(home, "define", "BQ")
    cvadmin(home, "alter", QUEUE, "--backout-queue", "BQ")
    for props in (["cv-file-name=a.csv"], [], ["cv-file-name=../b.csv"], ["cv-file-name=c.csv"]):
        cvadmin(home, "put", QUEUE, *sum((["--property", p] for p in props), []), data=b"x" * 10)
    status, out = run(home, ["-n"], login(server) + ["binary", "mput", "bye"])
    assert status == 1, out
    assert out.count("moved to BQ (no usable cv-file-name)") == 2, out
    assert ("cvxfer: mput: 2 files, 20 bytes, 2 failed\n" +
            "cvxfer: mput: failed: a message without a usable name, moved to the backout queue\n" * 2
            ) in out
    assert files_in(server.root) == ["a.csv", "c.csv"]
    assert (depth(home), depth(home, "BQ")) == (0, 2)


def test_kills_during_mget_and_mput_lose_nothing_and_leave_no_partial_file(home, tmp_path):
    """Random kill -9 during mget -d, then during mput with safe stores: every
    file is whole on the server or on the queue (or both, after a kill between
    a put and its delete), and no final name ever holds a partial file."""
    rng = random.Random(11)
    root = tmp_path / "kills"
    (root / "out").mkdir(parents=True)
    bodies = {"k%02d.csv" % i: os.urandom(20000 + i) for i in range(30)}
    for name, body in bodies.items():
        (root / name).write_bytes(body)
    with ftpservers.pyftpdlib_server(str(root), throttle=400 * 1024) as srv:
        def run_killed(commands, kill_after):
            proc = start(home, ["-n", "-p", "-a"], login(srv) + ["binary"] + commands + ["bye"])
            try:
                proc.wait(timeout=kill_after)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout=30)

        for _ in range(3):
            run_killed(["mget -d *.csv"], rng.uniform(0.3, 1.2))
        run_killed(["mget -d *.csv"], 60)
        queued = [take(home) for _ in range(depth(home))]
        left = {p.name: p.read_bytes() for p in root.iterdir() if p.is_file()}
        assert left == {}, "the last run took every file"
        assert sorted(set(queued)) == sorted(bodies.values()), "nothing lost"
        # Back on the queue once each, then out through mput with kills.
        for body in sorted(set(queued)):
            name = [n for n, b in bodies.items() if b == body][0]
            cvadmin(home, "put", QUEUE, "--property", "cv-file-name=" + name, data=body)
        for _ in range(3):
            run_killed(["cd out", "mput"], rng.uniform(0.3, 1.2))
            for p in (root / "out").iterdir():
                if not p.name.startswith("."):
                    assert p.read_bytes() == bodies[p.name], "a partial file under " + p.name
        run_killed(["cd out", "mput"], 60)
    stored = {p.name: p.read_bytes() for p in (root / "out").iterdir() if not p.name.startswith(".")}
    assert stored == bodies and depth(home) == 0


def test_kills_during_safe_puts_of_two_messages_of_one_name(home):
    """A server that refuses RNTO onto an existing name, two messages named
    alike and of one size, and kills at random steps of mput's safe stores:
    each file under its final name is whole, the second dup.csv is never
    committed, and no temporary file outlives its message."""
    names = ["a.csv", "dup.csv", "c.csv", "dup.csv"]
    bodies = [os.urandom(n) for n in (5000, 6000, 7000, 6000)]
    for name, body in zip(names, bodies):
        cvadmin(home, "put", QUEUE, "--property", "cv-file-name=" + name, data=body)
    files, rng = {}, random.Random(5)
    # Replies a byte at a time make each store last long enough to be cut.
    with ScriptedServer(files=files, no_overwrite=True, split=True) as srv:
        for _ in range(10):
            proc = start(home, ["-n", "-p", "-a"], login(srv) + ["binary", "mput", "bye"])
            try:
                proc.wait(timeout=rng.uniform(0.2, 2.5))
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout=30)
            for name, data in list(files.items()):
                assert name.startswith(".") or data == bodies[names.index(name)], name
        status, out = run(home, ["-n", "-p", "-a"], login(srv) + ["binary", "mput", "bye"])
    assert status == 6, out  # the second dup.csv, refused again
    assert files == dict(zip(names[:3], bodies[:3]))
    assert [take(home) for _ in range(depth(home))] == bodies[3:]


def test_mget_does_not_take_a_file_again_whose_message_is_on_the_queue(home, server):
    """The state a kill between a put and its delete leaves: the messages are
    on the queue and the files still on the server. The next mget -d only
    finishes the clean-up."""
    for i in range(5):
        place(server, "d%d.csv" % i, b"row %d\n" % i)
    status, out = run(home, ["-n", "-e"], login(server) + ["binary", "mget *.csv", "bye"])
    assert status == 0 and depth(home) == 5, out
    status, out = run(home, ["-n", "-e"], login(server) + ["binary", "mget -d *.csv", "bye"])
    assert status == 0, out
    assert out.count("is on the queue already; not taken again") == 5
    assert "cvxfer: mget: 0 files, 0 bytes, 0 failed" in out
    assert files_in(server.root) == [] and depth(home) == 5
