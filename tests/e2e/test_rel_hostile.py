"""Reliability against hostile servers: at every step of a get or a put the
server answers 421, closes the connection, sends garbage, sends an
over-long line or answers slowly. cvxfer must end in bounded time without
crashing, report what failed, and neither lose nor duplicate a message."""
import os
import random
import socket
import subprocess
import threading
import time

import pexpect
import pytest

from cvxfer_proc import CVXFER, env_with_home
from session import cvadmin, depth, home, take  # noqa: F401

PAYLOAD = random.Random(7).randbytes(600 * 1024)  # more than one receive chunk
SLOW = 1.0          # seconds; well inside the wait for a continuation line
RUN_TIMEOUT = 40    # a whole session, even with every slow step

STEPS = ["greeting", "USER", "PASS", "TYPE", "PASV", "PORT", "transfer", "data", "final"]
FAULTS = ["421", "close", "garbage"]
BENIGN = ["overlong", "slow"]

# The exit status of a run whose server fails at a step: could not connect,
# login refused, command refused, transfer incomplete (a transfer command
# that gets no reply at all never started: incomplete, not refused).
FAULT_STATUS = {"greeting": 3, "USER": 4, "PASS": 4, "TYPE": 6, "PASV": 6, "PORT": 6,
                "transfer": {"421": 6, "close": 7, "garbage": 7}, "data": 7, "final": 7}

NORMAL = {"greeting": "220 hostile test server ready.", "USER": "331 Password required.",
          "PASS": "230 Logged in.", "TYPE": "200 Type set.", "PORT": "200 PORT command ok.",
          "transfer": "150 Opening data connection.", "final": "226 Transfer complete."}


class HostileServer:
    """A one-session FTP server on 127.0.0.1 that misbehaves once: at step,
    in the manner of behaviour. After garbage it answers every command with
    500, like a server that has lost track of the conversation."""

    def __init__(self, step, behaviour):
        self.step, self.behaviour = step, behaviour
        self.stored = None      # the bytes of a completed STOR
        self.partial = None     # the bytes of a STOR that was cut off
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(RUN_TIMEOUT)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def close(self):
        self.thread.join(RUN_TIMEOUT)
        self.listener.close()

    # One reply at a step: None when the session is over.
    def _reply(self, conn, step, text=None):
        text = text or NORMAL[step]
        if step != self.step:
            conn.sendall(text.encode() + b"\r\n")
            return True
        if self.behaviour == "421":
            conn.sendall(b"421 Service not available, closing control connection.\r\n")
            return None
        if self.behaviour == "close":
            return None
        if self.behaviour == "garbage":
            conn.sendall(b"\x00\xffgarbage, no reply code here\r\n")
            self.confused = True
            return True
        if self.behaviour == "overlong":
            code = text[:3]
            conn.sendall(code.encode() + b"-" + b"x" * 3000 + b"\r\n" +
                         text.encode() + b" " + b"y" * 3000 + b"\r\n")
            return True
        if self.behaviour == "control":
            conn.sendall(text[:4].encode() + b"\x1b[2J\x1b]0;owned\x07\rclear" + b"\r\n")
            return True
        if self.behaviour == "endless":
            # A multi-line reply that never reaches its last line.
            code = text[:3].encode()
            try:
                while True:
                    conn.sendall(code + b"-" + b"e" * 1000 + b"\r\n")
            except OSError:
                return None
        if self.behaviour == "slow":
            code = text[:3]
            time.sleep(SLOW)
            conn.sendall(code.encode() + b"-taking my time\r\n")
            time.sleep(SLOW)
            conn.sendall(text.encode() + b"\r\n")
            return True
        raise AssertionError(self.behaviour)

    def _serve(self):
        self.confused = False
        self.lines = []
        try:
            conn, _ = self.listener.accept()
        except OSError:
            return
        conn.settimeout(RUN_TIMEOUT)
        data_listener = None
        active_target = None
        with conn:
            if not self._reply(conn, "greeting"):
                return
            reader = conn.makefile("rb")
            while True:
                line = reader.readline()
                if not line:
                    return
                self.lines.append(line)
                words = line.decode(errors="replace").strip().split(" ", 1)
                verb = words[0].upper()
                arg = words[1] if len(words) > 1 else ""
                if verb == "QUIT":
                    conn.sendall(b"221 Goodbye.\r\n")
                    return
                if self.confused:
                    conn.sendall(b"500 Command not understood.\r\n")
                    continue
                if verb in ("USER", "PASS", "TYPE"):
                    if not self._reply(conn, verb):
                        return
                elif verb == "PASV":
                    data_listener = socket.create_server(("127.0.0.1", 0))
                    data_listener.settimeout(RUN_TIMEOUT)
                    port = data_listener.getsockname()[1]
                    text = "227 Entering Passive Mode (127,0,0,1,%d,%d)." % (port >> 8, port & 255)
                    if not self._reply(conn, "PASV", text):
                        return
                elif verb == "PORT":
                    fields = [int(f) for f in arg.split(",")]
                    host = ".".join(str(f) for f in fields[:4])
                    assert host == "127.0.0.1", host
                    active_target = (host, fields[4] * 256 + fields[5])
                    if not self._reply(conn, "PORT"):
                        return
                elif verb in ("RETR", "STOR"):
                    if not self._transfer(conn, verb, data_listener, active_target):
                        return
                    data_listener = active_target = None
                else:
                    conn.sendall(b"502 Command not implemented.\r\n")

    def _open_data(self, data_listener, active_target):
        if data_listener is not None:
            data, _ = data_listener.accept()
            data_listener.close()
        else:
            data = socket.create_connection(active_target, timeout=RUN_TIMEOUT)
        data.settimeout(RUN_TIMEOUT)
        return data

    def _transfer(self, conn, verb, data_listener, active_target):
        if not self._reply(conn, "transfer"):
            return False
        if self.confused:
            return True
        data = self._open_data(data_listener, active_target)
        half = len(PAYLOAD) // 2
        with data:
            if verb == "RETR" and self.step == "data" and self.behaviour == "endless":
                try:
                    while True:
                        data.sendall(PAYLOAD)
                except OSError:
                    pass
                return self._reply(conn, "final") is not None
            if verb == "RETR":
                data.sendall(PAYLOAD[:half])
                if self.step == "data" and self.behaviour in FAULTS:
                    return self._data_fault(conn, data)
                if self.step == "data" and self.behaviour == "slow":
                    time.sleep(SLOW)
                data.sendall(PAYLOAD[half:])
            else:
                received = bytearray()
                while len(received) < half or not (self.step == "data" and
                                                   self.behaviour in FAULTS):
                    chunk = data.recv(65536)
                    if not chunk:
                        break
                    received += chunk
                    if self.step == "data" and self.behaviour == "slow" and len(received) >= half:
                        time.sleep(SLOW)
                        self.behaviour = "slow-done"
                if self.step == "data" and self.behaviour in FAULTS:
                    self.partial = bytes(received)
                    return self._data_fault(conn, data)
                self.stored = bytes(received)
        return self._reply(conn, "final") is not None

    def _data_fault(self, conn, data):
        """The data connection breaks off half-way."""
        data.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        data.close()
        if self.behaviour == "421":
            conn.sendall(b"421 Service not available, closing control connection.\r\n")
            return False
        if self.behaviour == "close":
            return False
        conn.sendall(b"426 Connection closed; transfer aborted.\r\n")
        return True


def cases():
    for direction in ("get", "put"):
        for step in STEPS:
            for behaviour in FAULTS + BENIGN:
                if step == "data" and behaviour == "overlong":
                    continue  # data has no lines
                yield direction, step, behaviour


def run_session(home, srv, direction, step):
    flags = ["-n"] + (["-p"] if step != "PORT" else [])
    commands = ["open 127.0.0.1 %d" % srv.port, "user tester secret", "binary",
                "get remote.bin" if direction == "get" else "put remote.bin", "bye"]
    start = time.monotonic()
    proc = subprocess.run([CVXFER] + flags, input="".join(c + "\n" for c in commands).encode(),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=env_with_home(home), timeout=RUN_TIMEOUT)
    return proc, time.monotonic() - start


@pytest.mark.parametrize("direction,step,behaviour", list(cases()))
def test_hostile_server(home, direction, step, behaviour):
    if direction == "put":
        cvadmin(home, "put", "SYSTEM.DEFAULT.LOCAL.QUEUE", data=PAYLOAD)
    srv = HostileServer(step, behaviour)
    try:
        proc, took = run_session(home, srv, direction, step)
    finally:
        srv.close()
    out = proc.stdout.decode(errors="replace")
    # The exit status names the first failure: what a script needs to know.
    expected = FAULT_STATUS[step] if behaviour in FAULTS else 0
    if isinstance(expected, dict):
        expected = expected[behaviour]
    assert proc.returncode == expected, (proc.returncode, out, proc.stderr.decode(errors="replace"))
    assert b"Sanitizer" not in proc.stderr and b"runtime error" not in proc.stderr, proc.stderr
    # The slowest case waits a few pauses of SLOW; nothing waits for a timeout.
    assert took < 8 * SLOW + 10, took

    if behaviour in FAULTS:
        if direction == "get":
            assert "Putted on queue" not in out, out
            assert depth(home) == 0, out
        else:
            assert "Message commited" not in out, out
            assert depth(home) == 1, out
            assert take(home) == PAYLOAD
            # Stored and kept is allowed only when what was stored is whole.
            if srv.stored is not None:
                assert srv.stored == PAYLOAD
            if srv.partial is not None:
                assert len(srv.partial) < len(PAYLOAD)
    else:
        if direction == "get":
            assert "Putted on queue" in out, out
            assert depth(home) == 1
            assert take(home) == PAYLOAD
        else:
            assert "Message commited" in out, out
            assert depth(home) == 0
            assert srv.stored == PAYLOAD


@pytest.mark.parametrize("step", ["greeting", "PASS", "data"])
def test_endless_replies_and_data_are_cut_off(home, step):
    """A reply that never ends is cut after a bounded size and the connection
    dropped; an endless RETR stops at the queue's maximum message length."""
    cvadmin(home, "define", "LIMITED.Q", "--maxmsgl", str(2 * len(PAYLOAD)))
    srv = HostileServer(step, "endless")
    try:
        commands = ["open 127.0.0.1 %d" % srv.port, "user tester secret", "binary",
                    "cvopen LIMITED.Q", "get remote.bin", "bye"]
        proc = subprocess.run([CVXFER, "-n", "-p"],
                              input="".join(c + "\n" for c in commands).encode(),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=env_with_home(home), timeout=RUN_TIMEOUT)
    finally:
        srv.close()
    out = proc.stdout.decode(errors="replace")
    if step == "data":
        assert "too large for one message (more than %d bytes)" % (2 * len(PAYLOAD)) in out
        assert "Not putted on queue CVRC_MSG_TOO_BIG_FOR_Q" in out
    else:
        assert "cvxfer: reply longer than 1048576 bytes; connection closed." in out
    assert "Putted on queue" not in out
    assert depth(home, "LIMITED.Q") == 0


def test_names_cannot_inject_commands(home):
    """CR and LF in a name are refused before anything is sent; an IAC byte
    is doubled on the wire."""
    srv = HostileServer("none", "none")
    try:
        commands = [b"open 127.0.0.1 %d" % srv.port, b"user tester secret",
                    b"get a\rDELE b", b"put a\rDELE b", b"cd x\xffy", b"bye"]
        proc = subprocess.run([CVXFER, "-n", "-p"], input=b"".join(c + b"\n" for c in commands),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=env_with_home(home), timeout=RUN_TIMEOUT)
    finally:
        srv.close()
    out = proc.stdout.decode(errors="replace")
    assert out.count("cvxfer: a name cannot hold CR or LF; not sent.") == 2
    assert not any(line.startswith((b"RETR", b"STOR", b"DELE")) for line in srv.lines), srv.lines
    assert b"CWD x\xff\xffy\r\n" in srv.lines


@pytest.mark.parametrize("terminal", [True, False])
def test_server_text_cannot_drive_the_terminal(home, terminal):
    """Escape sequences in a reply are shown, not obeyed, on a terminal; a
    pipe gets the bytes as sent."""
    srv = HostileServer("greeting", "control")
    try:
        args = ["-n", "127.0.0.1", str(srv.port)]
        if terminal:
            child = pexpect.spawn(CVXFER, args, env=env_with_home(home), timeout=RUN_TIMEOUT)
            child.expect_exact(b"cvxfer> ")
            out = child.before
            child.sendline(b"bye")
            child.expect(pexpect.EOF)
            child.close()
        else:
            out = subprocess.run([CVXFER] + args, input=b"bye\n", stdout=subprocess.PIPE,
                                 env=env_with_home(home), timeout=RUN_TIMEOUT).stdout
    finally:
        srv.close()
    if terminal:
        assert b"220 ^[[2J^[]0;owned^G^Mclear" in out, out
        assert b"\x1b" not in out
    else:
        assert b"220 \x1b[2J\x1b]0;owned\x07\rclear\r\n" in out, out
