"""cvadmin around the store: what a command leaves behind, listing no queue
manager, and a database that can no longer be read whole."""
import json
import os
import sqlite3
import subprocess

from session import CVADMIN, QUEUE, cvadmin, env_with_home, home  # noqa: F401


def leftovers(home):
    """Lock files and log files of the default queue manager."""
    qm = os.path.join(home, "CVQM.qm")
    return os.listdir(os.path.join(qm, "conn")) + \
        [f for f in os.listdir(qm) if f.startswith("store.db-")]


def test_every_command_ends_its_connection_however_it_ends(home, tmp_path):
    cvadmin(home, "define", "TINY", "--maxmsgl", "1")
    big = os.urandom(1 << 20)
    for args, data, status in (
            (["put", QUEUE], b"small", 0),
            (["put", QUEUE], big, 0),
            (["put", "TINY"], b"too long", 1),
            (["put", "NO.SUCH.QUEUE"], b"x", 1),
            (["depth", QUEUE], None, 0),
            (["depth", "NO.SUCH.QUEUE"], None, 1),
            (["browse", QUEUE], None, 0),
            (["queues"], None, 0),
            (["check"], None, 0),
            (["get", QUEUE, str(tmp_path / "small")], None, 0),
            (["get", "TINY"], None, 1),
            (["get", QUEUE, "/proc/no/such/file"], None, 1),
            (["delete-message", QUEUE, "--msgid", "ff" * 24], None, 1)):
        proc = cvadmin(home, *args, data=data, check=False)
        assert proc.returncode == status, (args, proc.stderr)
        assert leftovers(home) == [], args
    # A reader that goes away fails the write like any other: the message stays.
    reader = subprocess.Popen([CVADMIN, "get", QUEUE], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, env=env_with_home(home))
    reader.stdout.close()
    assert reader.stderr.read() == b"cvadmin: get: cannot write the message; it stays on the queue\n"
    assert reader.wait(timeout=30) == 1
    assert leftovers(home) == []
    assert cvadmin(home, "get", QUEUE).stdout == big


def test_listing_no_queue_manager_is_no_failure(home):
    cvadmin(home, "create", "ONLY")
    cvadmin(home, "delete", "ONLY")
    assert cvadmin(home, "list").stdout == b""
    assert json.loads(cvadmin(home, "list", "--json").stdout) == \
        {"default": None, "queue_managers": []}


def test_an_unreadable_database_fails_loudly_and_no_message_comes_out_twice(home, tmp_path):
    for i in range(15):
        cvadmin(home, "put", QUEUE, data=b"message %02d " % i * 30)
    db = os.path.join(home, "CVQM.qm", "store.db")
    with sqlite3.connect(db) as c:
        (page,), = c.execute("SELECT max(pageno) FROM dbstat WHERE name='messages'")
    with open(db, "r+b") as f:  # the last page of the messages, garbage
        f.seek((page - 1) * 4096)
        f.write(b"\xa5" * 4096)
    for command, words in (("browse", b"CVRC_OBJECT_DAMAGED"),
                           ("check", b"database: not every row can be read")):
        proc = cvadmin(home, command, QUEUE if command == "browse" else "CVQM", check=False)
        assert proc.returncode == 1 and words in proc.stdout + proc.stderr, proc
    taken, failures = [], 0
    for i in range(16):
        target = tmp_path / ("got%d" % i)
        proc = cvadmin(home, "get", QUEUE, str(target), check=False)
        if proc.returncode == 0:
            taken.append(target.read_bytes())
        else:
            failures += 1
            assert not target.exists(), proc.stderr  # a copy of a message not taken
    assert failures > 0 and len(set(taken)) == len(taken), taken
