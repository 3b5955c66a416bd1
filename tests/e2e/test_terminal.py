"""cvxfer at a terminal: line editing with a history and Tab completion,
Ctrl-C and Ctrl-D at the prompt, and the progress line of slow transfers,
which a pipe never gets."""
import os
import re
import stat

import pexpect

from session import (PROMPT, Terminal, at_terminal, cvadmin, home, login, place,  # noqa: F401
                     run, server, slow_server)

QUEUE = "SYSTEM.DEFAULT.LOCAL.QUEUE"
UP = "\x1b[A"


def test_history_recalls_lines_across_sessions_and_keeps_no_password(home, server):
    url = "ftp://%s:%s@127.0.0.1:%d/" % (server.user, server.password, server.port)
    term = Terminal(home, ["-n"])
    try:
        term.expect(PROMPT)
        for line in login(server):
            term.line(line)
        assert '257 "/"' in term.line("pwd")
        term.child.send(UP + "\r")
        assert '257 "/"' in term.expect(PROMPT)
        term.line("close")
        assert "230" in term.line("open " + url)
        term.line("cvqdepth")
    finally:
        term.close()
    path = os.path.join(home, ".cvxfer_history")
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
    text = open(path).read()
    assert "pwd" in text and "cvqdepth" in text
    assert server.password not in text
    os.chmod(path, 0o644)
    term = Terminal(home, ["-n"])
    try:
        term.expect(PROMPT)
        term.child.send(UP + UP + "\r")  # bye, then cvqdepth of the last session
        assert "Queue depth for" in term.expect(PROMPT)
    finally:
        term.close()
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o600


def test_tab_completes_command_names_and_remote_names(home, server):
    for name in ("hello.txt", "my file.txt", os.path.join("sub", "inner.dat")):
        os.makedirs(os.path.dirname(os.path.join(server.root, name)), exist_ok=True)
        with open(os.path.join(server.root, name), "w") as f:
            f.write("hello")
    cvadmin(home, "put", QUEUE, data=b"queued")
    term = Terminal(home, ["-n"])
    try:
        term.expect(PROMPT)
        term.child.send("cvq\t\r")
        assert "Queue depth for" in term.expect(PROMPT)
        for line in login(server) + ["binary"]:
            term.line(line)
        term.child.send("get hel\t\r")
        assert "[hello.txt] 5 bytes received" in term.expect(PROMPT)
        term.child.send("get my\t\r")  # quoted, to be one word
        assert "[my file.txt] 5 bytes received" in term.expect(PROMPT)
        # A store and a cd change what is listed: the names are fetched again.
        term.line("put new.dat")
        term.child.send("size ne\t\r")
        assert "213 6" in term.expect(PROMPT)
        term.line("cd sub")
        term.child.send("get in\t\r")
        assert "[inner.dat] 5 bytes received" in term.expect(PROMPT)
    finally:
        term.close()


def test_ctrl_c_gives_a_fresh_prompt_and_ctrl_d_ends_the_session(home):
    term = Terminal(home, ["-n"])
    try:
        term.expect(PROMPT)
        term.child.send("cvqdep")
        term.expect("cvqdep")
        term.child.sendintr()
        term.expect(PROMPT)
        term.child.send("status\r")
        out = term.expect(PROMPT)
        assert "Passive Mode:" in out and "no such command" not in out
        term.child.send("\x04")
        term.child.expect(pexpect.EOF)
    finally:
        term.child.close()
    assert term.child.exitstatus == 0


SLOW = 640 * 1024  # two and a half seconds at the throttle
DRAWN = re.compile(r"\r +[\d.]+ KiB +[\d.]+ KiB/s")  # the server does not say the size
CLEARED = re.compile(r"\r +\r")


def test_progress_line_on_a_terminal_and_never_in_a_pipe(home, slow_server):
    # (A store of this size vanishes into loopback socket buffers at once;
    # the unit tests cover the line of a known size.)
    place(slow_server, "big.bin", os.urandom(SLOW))
    out = at_terminal(home, slow_server, "get big.bin")
    drawn = list(DRAWN.finditer(out))
    cleared = list(CLEARED.finditer(out))
    assert drawn and cleared, out
    assert drawn[-1].end() <= cleared[-1].start() < out.index("226 Transfer"), out
    assert "[big.bin] %d bytes received" % SLOW in out

    status, out = run(home, ["-n", "-p"],
                        login(slow_server) + ["binary", "get big.bin", "put up.bin", "bye"])
    assert status == 0, out
    assert "bytes received" in out and "bytes sent" in out
    assert "B/s" not in out and not CLEARED.search(out), out
