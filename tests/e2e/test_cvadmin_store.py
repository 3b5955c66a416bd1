"""cvadmin around the store: what a command leaves behind (a message that
cannot be written out stays), the backout attributes, and a database that
can no longer be read whole."""
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


def test_backout_attributes_and_what_queues_shows_of_them(home):
    cvadmin(home, "define", "APP", "--backout-threshold", "3", "--backout-queue", "APP.BACK")
    cvadmin(home, "define", "APP.BACK")
    for queue in ("APP", "APP.BACK", "APP.BACK"):
        cvadmin(home, "put", queue, data=b"m")

    def shown():
        lines = cvadmin(home, "queues").stdout.decode().splitlines()
        assert lines[0].split("\t")[5:] == ["AGE", "BOTHRESH", "BOQUEUE", "BOQDEPTH"]
        table = {l.split("\t")[0]: l.split("\t")[5:] for l in lines[1:]}
        doc = {q["name"]: q for q in json.loads(cvadmin(home, "queues", "--json").stdout)["queues"]}
        return table, doc

    table, doc = shown()
    assert table["APP"][0].isdigit() and table["APP"][1:] == ["3", "APP.BACK", "2"]
    assert table[QUEUE] == ["-", "0", "-", "-"]  # empty, no backout queue
    assert (doc["APP"]["backout_threshold"], doc["APP"]["backout_queue"],
            doc["APP"]["backout_queue_depth"]) == (3, "APP.BACK", 2)
    assert doc["APP"]["oldest_age"] >= 0 and doc[QUEUE]["oldest_age"] is None
    cvadmin(home, "alter", "APP", "--backout-queue", "", "--maxdepth", "7")
    table, doc = shown()
    assert table["APP"][1:] == ["3", "-", "-"] and doc["APP"]["maxdepth"] == 7
    for args, words in ((["alter", "APP", "--backout-threshold", "-1"], b"bad --backout-threshold"),
                        (["alter", "APP", "--backout-queue", "a b"], b"CVRC_OBJECT_NAME_ERROR"),
                        (["alter", "NOPE", "--maxdepth", "1"], b"CVRC_UNKNOWN_OBJECT_NAME"),
                        (["define", "R", "--remote", "X/Y", "--backout-queue", "B"],
                         b"CVRC_Q_TYPE_ERROR")):
        proc = cvadmin(home, *args, check=False)
        assert proc.returncode == 1 and words in proc.stderr, (args, proc.stderr)


def test_groups_are_shown_and_only_a_complete_one_is_taken_whole(home, tmp_path):
    cvadmin(home, "put", QUEUE, data=b"plain")
    whole = os.urandom(2500000)
    (tmp_path / "whole").write_bytes(whole)
    ids = [cvadmin(home, "put-group", QUEUE, tmp_path / "whole", "--segment", "1000000")
           .stdout.decode().strip() for _ in range(2)]
    # The first group loses its segment 2: it is shown incomplete, and refused.
    doc = json.loads(cvadmin(home, "browse", QUEUE, "--json").stdout)["messages"]
    assert "group" not in doc[0] and doc[2]["group"] == {
        "id": ids[0], "segment": 2, "offset": 1000000, "last": False}
    cvadmin(home, "delete-message", QUEUE, "--msgid", doc[2]["msgid"])
    shown = cvadmin(home, "browse", QUEUE).stdout.decode().splitlines()
    assert shown[6] == "    group %s segment 3 offset 2000000 last" % ids[0]
    assert cvadmin(home, "groups", QUEUE).stdout.decode().splitlines() == [
        "GROUPID\tSEGMENTS\tOF\tCOMPLETE\tBYTES",
        "%s\t2\t3\tno\t1500000" % ids[0], "%s\t3\t3\tyes\t2500000" % ids[1]]
    proc = cvadmin(home, "get-group", QUEUE, ids[0], tmp_path / "first", check=False)
    assert proc.returncode == 1 and not (tmp_path / "first").exists()
    assert proc.stderr.decode() == (
        "cvadmin: get-group: CVRC_NO_MSG_AVAILABLE: group %s is not complete on %s "
        "(cvadmin groups shows what it has); nothing was taken\n" % (ids[0], QUEUE))
    cvadmin(home, "get-group", QUEUE, ids[1], tmp_path / "second")
    assert (tmp_path / "second").read_bytes() == whole
    assert json.loads(cvadmin(home, "groups", QUEUE, "--json").stdout)["groups"] == [
        {"id": ids[0], "segments": 2, "of": 3, "complete": False, "bytes": 1500000}]
    assert cvadmin(home, "get", QUEUE).stdout == b"plain"
