"""The conversation keeps one clock, -t: a pause inside a listing shorter
than -t is waited for and the listing is whole; a longer pause, in a reply
or a listing, fails that command with the time-out class, and every later
command still reads its own reply. Replies that come a byte at a time read
as any other."""
import re
import time

import pytest

from scripted import ScriptedServer
from session import PROMPT, depth, home, login, run  # noqa: F401

FILES = {"a": b"alpha", "a.csv": b"1,2\n", "b.csv": b"3,4\n"}
# The first reply codes each command may get.
OWN = {"USER": "331", "PWD": "257", "DELE": "250|550", "NLST": "150|425|450",
       "LIST": "150|425|450", "RETR": "150", "CWD": "250"}

# name -> (server options, passive, command, exit status); NLST and LIST
# read a listing alike, so each data mode is paused once over -t. (A reply
# paused less than -t: ftp_ctrl_test.)
CASES = {
    "reply paused 4 s": ({"pauses": {"PASS": 4}}, True, "pwd", 8),
    "NLST paused 2 s, passive": ({"list_pause": ("a.csv", 2)}, True, "ls", 0),
    "LIST paused 2 s, active": ({"list_pause": ("a.csv", 2)}, False, "dir", 0),
    "NLST paused 4 s, passive": ({"list_pause": ("a.csv", 4)}, True, "ls", 8),
    "LIST paused 4 s, active": ({"list_pause": ("a.csv", 4)}, False, "dir", 8),
    "every byte apart": ({"split": True, "pauses": {"PASS": 0}}, True, "get a", 0),
}


def replies(out):
    """(verb, first reply line or None) of each command echoed with -d."""
    pairs = []
    for line in out.replace(PROMPT, "").splitlines():
        if line.startswith("--> "):
            pairs.append([line[4:].split(" ")[0], None])
        elif pairs and pairs[-1][1] is None and re.match(r"\d{3}[ -]", line):
            pairs[-1][1] = line
    return pairs


@pytest.mark.parametrize("name", list(CASES))
def test_one_clock(home, name):
    options, passive, command, expected = CASES[name]
    with ScriptedServer(dict(FILES), **options) as srv:
        again = ["close"] + login(srv) + ["delete b.csv", "pwd"]
        began = time.monotonic()
        status, out = run(home, ["-n", "-d", "-t", "3"] + (["-p"] if passive else []),
                          login(srv) + ["binary", command, "delete a", "pwd"] + again + ["bye"])
        took = time.monotonic() - began
    assert status == expected, out
    # Every command that got a reply got its own, never an earlier one's.
    for verb, reply in replies(out):
        if verb in OWN and reply is not None:
            assert re.match(OWN[verb], reply), (verb, reply, out)
    assert [(verb, (reply or "")[:3]) for verb, reply in replies(out)[-3:]] == \
        [("DELE", "250"), ("PWD", "257"), ("QUIT", "221")], out
    if expected == 0:
        assert took >= options.get("list_pause", ("", 0))[1], "the server did not pause"
        if command in ("ls", "dir"):
            assert all(out.count(n + "\r\n") == 1 for n in FILES), out
        else:
            assert depth(home) == 1


def test_mget_takes_nothing_from_a_listing_cut_by_a_pause(home):
    with ScriptedServer(dict(FILES), list_pause=("a.csv", 4)) as srv:
        status, out = run(home, ["-n", "-p", "-t", "3"], login(srv) + ["binary", "mget *.csv",
                                                                        "bye"])
    assert status in (7, 8), out
    assert "cvxfer: mget: 1 files" not in out
    assert depth(home) == 0
