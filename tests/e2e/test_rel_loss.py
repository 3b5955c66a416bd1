"""Losses without a crash: a server that sends less than it announced, a
rename that does not overwrite, a listing's file that cannot be told from
the one taken before, names a listing cannot carry. In each, no file and
no message may go missing, and the terminal may not obey a name."""
import os

import pytest

from scripted import ScriptedServer
from session import QUEUE, at_terminal, cvadmin, depth, home, login, run, take  # noqa: F401

MB = 1000000
OLD, NEW = b"o" * 4000, b"n" * 4000  # two versions of one size


def truncated(home, srv, runs):
    (status, out), = runs
    assert status == 7, out  # the transfer is incomplete
    assert depth(home) == 0, "a cut file became a message"
    assert "big.bin" in srv.files, "the remote file was deleted"


def rename_refused(home, srv, runs):
    (first, out1), (second, out2) = runs
    assert first == 6, out1  # backed out
    assert "was stored whole before" not in out2, out2
    # The new content is on the queue still, or really stored.
    assert srv.files["report.csv"] == NEW or (depth(home) == 1 and take(home) == NEW), out2


def unprovable_match(home, srv, runs):
    queued = [take(home) for _ in range(depth(home))]
    assert NEW in queued or srv.files.get("a.csv") == NEW, "the new version is lost"


def cut_names(home, srv, runs):
    # "nul" itself is taken once; no name cut at a NUL or CR is retrieved or deleted.
    assert srv.lines.count(b"RETR nul\r\n") == 1 and srv.lines.count(b"DELE nul\r\n") == 1
    assert not [line for line in srv.lines if line.startswith((b"RETR cr", b"DELE cr"))]
    assert srv.files == {"nul\0tail.dat": b"t", "cr\rtail.dat": b"t"}, runs


def queued_report(home):
    """Puts NEW on the queue, to be stored as report.csv."""
    cvadmin(home, "put", QUEUE, "--property", "cv-file-name=report.csv", data=NEW)


# name -> (server options, cvxfer flags, what to do before, the runs (commands
# after the login; a function between runs changes the server's files), check)
CASES = {
    "150 and SIZE say 1000000, 500000 come": (
        {"files": {"big.bin": os.urandom(MB)}, "truncate": MB // 2}, [], None,
        [["get -d big.bin"]], truncated),
    "SIZE says 1000000, 500000 come, 150 says nothing": (
        {"files": {"big.bin": os.urandom(MB)}, "truncate": MB // 2, "announce": False}, [], None,
        [["get -d big.bin"]], truncated),
    "RNTO onto an existing name refused": (
        {"files": {"report.csv": OLD}, "no_overwrite": True}, ["-a"], queued_report,
        [["put"], ["put"]], rename_refused),
    "no SIZE, no MDTM: a new version of a taken file": (
        {"files": {"a.csv": OLD}, "refuse": {"SIZE": "502 No.", "MDTM": "502 No."}}, [], None,
        [["mget *.csv"], lambda files: files.update({"a.csv": NEW}), ["mget -d *.csv"]],
        unprovable_match),
    "NUL and CR in listed names": (
        {"files": {"nul": b"innocent", "nul\0tail.dat": b"t", "cr\rtail.dat": b"t"}}, [], None,
        [["mget -d *"]], cut_names),
}


@pytest.mark.parametrize("name", list(CASES))
def test_nothing_is_lost(home, name):
    options, flags, before, steps, check = CASES[name]
    if before:
        before(home)
    runs = []
    with ScriptedServer(**options) as srv:
        for step in steps:
            if callable(step):
                step(srv.files)
                continue
            runs.append(run(home, ["-n", "-p"] + flags, login(srv) + ["binary"] + step + ["bye"]))
    check(home, srv, runs)


def test_listed_names_cannot_drive_the_terminal(home):
    name = "\x1b]0;owned\x07\x1b[2J.dat"
    with ScriptedServer({name: b"x"}) as srv:
        out = at_terminal(home, srv, "mget *.dat")
    assert "mget: 1 files" in out, out
    assert "\x1b" not in out and "\x07" not in out, repr(out)
