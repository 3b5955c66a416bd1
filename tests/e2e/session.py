"""Helpers for end-to-end sessions: cvxfer on a pseudo-terminal or on pipes,
cvadmin on the same data directory, and a pyftpdlib server per test."""
import os
import socket
import subprocess
import time

import pexpect
import pytest

import broker
import ftpservers
from cvxfer_proc import CVADMIN, CVXFER, env_with_home

PROMPT = "cvxfer> "


def _loopback_name():
    try:
        return socket.gethostbyaddr("127.0.0.1")[0]
    except OSError:
        return "127.0.0.1"


# cvxfer names the host as the resolver does.
CONNECTED = "Connected to %s\n" % _loopback_name()
TIMEOUT = 30


def cvadmin(home, *args, data=None, check=True):
    """Runs cvadmin on the queue managers in home; returns the finished run."""
    proc = subprocess.run([CVADMIN] + [str(a) for a in args], input=data,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=env_with_home(home), timeout=TIMEOUT)
    if check and proc.returncode != 0:
        raise AssertionError("cvadmin %s failed: %s" % (args, proc.stderr.decode()))
    return proc


def depth(home, queue="SYSTEM.DEFAULT.LOCAL.QUEUE"):
    """The current depth of queue as cvadmin reports it."""
    return int(cvadmin(home, "depth", queue).stdout)


def take(home, queue="SYSTEM.DEFAULT.LOCAL.QUEUE"):
    """Takes the oldest message of queue and returns its bytes."""
    return cvadmin(home, "get", queue).stdout


def browse(home, queue="SYSTEM.DEFAULT.LOCAL.QUEUE"):
    """The message lines of cvadmin browse, split into their tab fields
    (without the property lines, which start with 4 spaces)."""
    lines = cvadmin(home, "browse", queue).stdout.decode().splitlines()
    return [line.split("\t") for line in lines[1:] if not line.startswith("    ")]


def wait_until(condition, timeout=30):
    """Polls condition until it holds or timeout seconds pass; returns whether it held."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.02)
    return False


def piped(home, args, commands):
    """Runs cvxfer with the command lines on a pipe; returns (status, output)."""
    proc = subprocess.run([CVXFER] + list(args), input="".join(c + "\n" for c in commands).encode(),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=env_with_home(home), timeout=TIMEOUT)
    return proc.returncode, proc.stdout.decode(errors="replace")


def after(output, marker):
    """The output that follows the first occurrence of marker."""
    assert marker in output, output
    return output.split(marker, 1)[1]


class Terminal:
    """cvxfer on a pseudo-terminal, driven line by line."""

    def __init__(self, home, args=()):
        env = dict(env_with_home(home), TERM="xterm")  # the same key codes everywhere
        self.child = pexpect.spawn(CVXFER, list(args), env=env,
                                   encoding="utf-8", timeout=TIMEOUT)

    def expect(self, text):
        self.child.expect_exact(text)
        return self.child.before

    def line(self, text, until=PROMPT):
        """Types text and returns what cvxfer printed up to the next prompt."""
        self.child.sendline(text)
        return self.expect(until)

    def close(self):
        if self.child.isalive():
            self.child.sendline("bye")
            self.child.expect(pexpect.EOF)
        self.child.close()
        # A sanitizer's report at exit ends the program with SIGABRT.
        assert self.child.signalstatus is None, "cvxfer died of signal %d" % self.child.signalstatus


@pytest.fixture
def home(tmp_path):
    """A fresh data directory for the queue managers of one test."""
    path = tmp_path / "corvane"
    path.mkdir()
    return str(path)


@pytest.fixture
def server(tmp_path):
    """A pyftpdlib server on loopback with user "tester", password "secret"."""
    root = tmp_path / "ftp"
    root.mkdir()
    with ftpservers.pyftpdlib_server(str(root), user="tester", password="secret") as srv:
        yield srv


@pytest.fixture
def slow_server(tmp_path):
    """pyftpdlib taking 256 KiB per second on each data connection."""
    root = tmp_path / "slow"
    root.mkdir()
    with ftpservers.pyftpdlib_server(str(root), throttle=256 * 1024) as srv:
        yield srv


def place(srv, name, data):
    """Writes a file into srv's root that the server's user can read."""
    path = os.path.join(srv.root, name)
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, 0o644)


def read(srv, name):
    """The bytes of a file in srv's root."""
    with open(os.path.join(srv.root, name), "rb") as f:
        return f.read()


def login(srv):
    """The command lines that open srv without auto-login and log in."""
    return ["open 127.0.0.1 %d" % srv.port, "user %s %s" % (srv.user, srv.password)]


@pytest.fixture(scope="module")
def broker_url(tmp_path_factory):
    """A RabbitMQ node of the module's own; skips the test without one."""
    if broker.unavailable() is not None:
        pytest.skip(broker.unavailable())
    directory = str(tmp_path_factory.mktemp("rabbitmq"))
    try:
        with broker.rabbitmq(directory) as url:
            yield url
    except RuntimeError as e:
        pytest.skip("RabbitMQ cannot run here: %s" % e)
