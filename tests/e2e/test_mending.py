"""Faults of the bridge mended: what a refusing remote definition counts,
and two mget -d runs on one directory at once."""
import os
import random
import subprocess

from session import (cvadmin, depth, home, login, place, run, server,  # noqa: F401
                     start, take)


def test_a_get_refused_by_a_remote_definition_counts_what_arrived(home, server):
    place(server, "f.txt", b"nineteen bytes here")
    cvadmin(home, "create", "CVQM", "--default")
    cvadmin(home, "create", "QM2")
    cvadmin(home, "-m", "QM2", "define", "SMALL", "--maxmsgl", "5")
    cvadmin(home, "define", "R.SMALL", "--remote", "QM2/SMALL")
    status, out = run(home, ["-n", "-p"], login(server) + [
        "binary", "cvopen R.SMALL", "debug", "get f.txt", "bye"])
    assert status == 9, out
    for line in ("[f.txt] 19 bytes received.", "--> CVPUT", "[f.txt] too large for one message",
                 "Not putted on queue CVRC_MSG_TOO_BIG_FOR_Q"):
        assert line in out, out


def test_two_mget_runs_at_once_take_each_file_once(home, server):
    rng = random.Random(27)
    bodies = {"c%03d.csv" % i: rng.randbytes(rng.randrange(1, 3000)) for i in range(80)}
    for name, body in bodies.items():
        place(server, name, body)
    procs = [start(home, ["-n", "-p"], login(server) + ["binary", "mget -d *.csv", "bye"],
                   stdout=subprocess.DEVNULL) for _ in range(2)]
    # A file the other run deleted between the listing and RETR is a failure
    # the run reports (6); under load the store may refuse a run's record in
    # the race (9, its file left to the other run). None is lost or taken twice.
    assert {p.wait(120) for p in procs} <= {0, 6, 9}
    assert os.listdir(server.root) == []
    assert sorted(take(home) for _ in range(depth(home))) == sorted(bodies.values())
