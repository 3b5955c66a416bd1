"""Reliability against hostile servers: at every step of a get or a put the
server answers 421, closes the connection, sends garbage, sends an
over-long line or answers slowly. cvxfer must end in bounded time without
crashing, report what failed, and neither lose nor duplicate a message."""
import time

import pexpect
import pytest

from scripted import FAULTS, PAYLOAD, RUN_TIMEOUT, SLOW, ScriptedServer
from session import CVXFER, cvadmin, depth, env_with_home, home, run, take  # noqa: F401

STEPS = ["greeting", "USER", "PASS", "TYPE", "PASV", "PORT", "transfer", "data", "final"]
BENIGN = ["overlong", "slow"]

# The exit status of a run whose server fails at a step: could not connect,
# login refused, command refused, transfer incomplete (a transfer command
# that gets no reply at all never started: incomplete, not refused).
FAULT_STATUS = {"greeting": 3, "USER": 4, "PASS": 4, "TYPE": 6, "PASV": 6, "PORT": 6,
                "transfer": {"421": 6, "close": 7, "garbage": 7}, "data": 7, "final": 7}

def cases():
    for direction in ("get", "put"):
        for step in STEPS:
            for behaviour in FAULTS + BENIGN:
                if step == "data" and behaviour == "overlong":
                    continue  # data has no lines
                yield direction, step, behaviour


@pytest.mark.parametrize("direction,step,behaviour", list(cases()))
def test_hostile_server(home, direction, step, behaviour):
    if direction == "put":
        cvadmin(home, "put", "SYSTEM.DEFAULT.LOCAL.QUEUE", data=PAYLOAD)
    flags = ["-n"] + (["-p"] if step != "PORT" else [])
    began = time.monotonic()
    with ScriptedServer({"remote.bin": PAYLOAD}, step, behaviour) as srv:
        status, out = run(home, flags, ["open 127.0.0.1 %d" % srv.port, "user tester secret",
                                        "binary", "%s remote.bin" % direction, "bye"],
                          timeout=RUN_TIMEOUT)
    took = time.monotonic() - began
    # The exit status names the first failure: what a script needs to know
    # (a sanitizer's report would change it too).
    expected = FAULT_STATUS[step] if behaviour in FAULTS else 0
    assert status == (expected[behaviour] if isinstance(expected, dict) else expected), out
    # The slowest case waits a few pauses of SLOW; nothing waits for a timeout.
    assert took < 8 * SLOW + 10, took

    done = behaviour not in FAULTS
    assert (("Putted on queue" if direction == "get" else "Message commited") in out) == done, out
    # The message is on the queue, whole, when a get is done or a put is not.
    assert depth(home) == (1 if done == (direction == "get") else 0), out
    assert depth(home) == 0 or take(home) == PAYLOAD
    if direction == "put":
        # Stored and kept is allowed only when what was stored is whole.
        assert srv.stored == PAYLOAD if done else srv.stored in (None, PAYLOAD)
        assert done or srv.partial is None or len(srv.partial) < len(PAYLOAD)


@pytest.mark.parametrize("step", ["greeting", "PASS", "data"])
def test_endless_replies_and_data_are_cut_off(home, step):
    # A reply that never ends is cut at a bound and the connection dropped;
    # an endless RETR stops when the queue is full of its segments.
    cvadmin(home, "define", "LIMITED.Q", "--maxmsgl", str(2 * len(PAYLOAD)), "--maxdepth", "3")
    with ScriptedServer({"remote.bin": PAYLOAD}, step, "endless") as srv:
        _, out = run(home, ["-n", "-p"], ["open 127.0.0.1 %d" % srv.port, "user tester secret",
                                          "binary", "cvopen LIMITED.Q", "get remote.bin", "bye"],
                     timeout=RUN_TIMEOUT)
    if step == "data":
        assert "Not putted on queue CVRC_Q_FULL" in out
    else:
        assert "cvxfer: reply longer than 1048576 bytes; connection closed." in out
    assert "Putted on queue" not in out
    assert depth(home, "LIMITED.Q") == 0


def test_names_cannot_inject_commands(home):
    # CR and LF in a name are refused before anything is sent; IAC is doubled.
    with ScriptedServer() as srv:
        _, out = run(home, ["-n", "-p"], [b"open 127.0.0.1 %d" % srv.port, b"user tester secret",
                                          b"get a\rDELE b", b"put a\rDELE b", b"cd x\xffy",
                                          b"bye"], timeout=RUN_TIMEOUT)
    assert out.count("cvxfer: a name cannot hold CR or LF; not sent.") == 2
    assert not any(line.startswith((b"RETR", b"STOR", b"DELE")) for line in srv.lines), srv.lines
    assert b"CWD x\xff\xffy\r\n" in srv.lines


@pytest.mark.parametrize("terminal", [True, False])
def test_server_text_cannot_drive_the_terminal(home, terminal):
    # Escape sequences in a reply are shown, not obeyed, on a terminal; a
    # pipe gets the bytes as sent.
    with ScriptedServer(step="greeting", behaviour="control") as srv:
        args = ["-n", "127.0.0.1", str(srv.port)]
        if terminal:
            child = pexpect.spawn(CVXFER, args, env=env_with_home(home), timeout=RUN_TIMEOUT)
            child.expect_exact(b"cvxfer> ")
            out = child.before
            child.sendline(b"bye")
            child.expect(pexpect.EOF)
            child.close()
        else:
            out = run(home, args, ["bye"], timeout=RUN_TIMEOUT)[1].encode()
    if terminal:
        assert b"220 ^[[2J^[]0;owned^G^Mclear" in out, out
        assert b"\x1b" not in out
    else:
        assert b"220 \x1b[2J\x1b]0;owned\x07\rclear\r\n" in out, out
