"""Helpers of end-to-end sessions: cvxfer on pipes or a terminal, cvadmin, server fixtures."""
import contextlib
import hashlib
import os
import socket
import subprocess
import time
import urllib.parse

import pexpect
import pytest

import broker
import ftpservers
import sshd

BIN_DIR = os.environ.get(
    "CVXFER_BIN_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build", "bin"))
CVXFER = os.path.join(BIN_DIR, "cvxfer")
CVADMIN = os.path.join(BIN_DIR, "cvadmin")
QUEUE = "SYSTEM.DEFAULT.LOCAL.QUEUE"
PROMPT = "cvxfer> "
TIMEOUT = 60


def _loopback_name():
    """The name the resolver gives 127.0.0.1 (the address itself without one)."""
    try:
        return socket.gethostbyaddr("127.0.0.1")[0]
    except OSError:
        return "127.0.0.1"


# cvxfer names the host as the resolver does.
CONNECTED = "Connected to %s\n" % _loopback_name()


def env_with_home(home, extra=None):
    """The environment of a child whose queue managers and dot files are in home."""
    env = dict(os.environ, CORVANE_HOME=home, HOME=home)
    env.update(extra or {})
    return env


def script(lines):
    """The lines (str or bytes) as standard input, each ended by LF."""
    return b"".join((line if isinstance(line, bytes) else line.encode()) + b"\n"
                    for line in lines)


def run(home, args, lines, env=None, timeout=TIMEOUT, err=False):
    """Runs cvxfer with the lines (str or bytes) on a pipe; returns (exit
    status, standard output as text), and standard error too when err."""
    proc = subprocess.run([CVXFER] + [str(a) for a in args], input=script(lines),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=env_with_home(home, env), timeout=timeout)
    out = proc.returncode, proc.stdout.decode(errors="replace")
    return out + (proc.stderr.decode(errors="replace"),) if err else out


def start(home, args, lines, stdout=subprocess.DEVNULL, env=None):
    """cvxfer running the lines, its standard input left open (for kills
    and interrupts); returns the Popen."""
    proc = subprocess.Popen([CVXFER] + [str(a) for a in args], stdin=subprocess.PIPE,
                            stdout=stdout, stderr=subprocess.DEVNULL, env=env_with_home(home, env))
    proc.stdin.write(script(lines))
    proc.stdin.flush()
    return proc


def cvadmin(home, *args, data=None, check=True):
    """Runs cvadmin on the queue managers in home; returns the finished run."""
    proc = subprocess.run([CVADMIN] + [str(a) for a in args], input=data,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=env_with_home(home), timeout=TIMEOUT)
    if check and proc.returncode != 0:
        raise AssertionError("cvadmin %s failed: %s" % (args, proc.stderr.decode()))
    return proc


def depth(home, queue=QUEUE):
    """The current depth of queue as cvadmin reports it."""
    return int(cvadmin(home, "depth", queue).stdout)


def take(home, queue=QUEUE):
    """Takes the oldest message of queue and returns its bytes."""
    return cvadmin(home, "get", queue).stdout


def browse(home, queue=QUEUE):
    """The message lines of cvadmin browse (not its property lines), split at tabs."""
    lines = cvadmin(home, "browse", queue).stdout.decode().splitlines()
    return [line.split("\t") for line in lines[1:] if not line.startswith("    ")]


def wait_until(condition, timeout=30, step=0.02):
    """Polls condition every step seconds until it holds or timeout seconds
    pass; returns whether it held."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(step)
    return False


def after(output, marker):
    """The output that follows the first occurrence of marker."""
    assert marker in output, output
    return output.split(marker, 1)[1]


def place(srv, name, data, mode=0o644):
    """Writes a file of mode into srv's root."""
    path = os.path.join(srv.root, name)
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, mode)


def read(srv, name):
    """The bytes of a file in srv's root."""
    with open(os.path.join(srv.root, name), "rb") as f:
        return f.read()


def login(srv):
    """The command lines that open srv without auto-login and log in."""
    return ["open %s %d" % (srv.host, srv.port), "user %s %s" % (srv.user, srv.password)]


def url(srv, scheme="ftp", host=None):
    """A URL of srv with its user and password, its host localhost as certified."""
    host = host or ("[::1]" if srv.host == "::1" else "localhost")
    return "%s://%s:%s@%s:%d" % (scheme, urllib.parse.quote(srv.user, safe=""),
                                 urllib.parse.quote(srv.password, safe=""), host, srv.port)


class Terminal:
    """cvxfer on a pseudo-terminal, driven line by line."""

    def __init__(self, home, args=()):
        env = dict(env_with_home(home), TERM="xterm")  # the same key codes everywhere
        self.child = pexpect.spawn(CVXFER, list(args), env=env, encoding="utf-8", timeout=30)

    def expect(self, text):
        """Waits for text; returns what came before it."""
        self.child.expect_exact(text)
        return self.child.before

    def line(self, text, until=PROMPT):
        """Types text and returns what cvxfer printed up to the next prompt."""
        self.child.sendline(text)
        return self.expect(until)

    def close(self):
        """Ends the session with bye, and checks no signal ended cvxfer."""
        if self.child.isalive():
            self.child.sendline("bye")
            self.child.expect(pexpect.EOF)
        self.child.close()
        # A sanitizer's report at exit ends the program with SIGABRT.
        assert self.child.signalstatus is None, "cvxfer died of signal %d" % self.child.signalstatus


def at_terminal(home, srv, command):
    """What command printed at a terminal logged in to srv (passive, binary)."""
    term = Terminal(home, ["-n", "-p"])
    try:
        term.expect(PROMPT)
        for line in login(srv) + ["binary"]:
            term.line(line)
        return term.line(command)
    finally:
        term.close()


@pytest.fixture
def home(tmp_path):
    """A fresh data directory for the queue managers of one test."""
    path = tmp_path / "corvane"
    path.mkdir()
    return str(path)


def _pyftpdlib(tmp_path, **options):
    """pyftpdlib_server(**options) on a fresh tmp_path/ftp."""
    root = tmp_path / "ftp"
    root.mkdir()
    return ftpservers.pyftpdlib_server(str(root), **options)


@pytest.fixture
def server(tmp_path):
    """pyftpdlib on loopback with user "tester", password "secret"."""
    with _pyftpdlib(tmp_path) as srv:
        yield srv


@pytest.fixture
def slow_server(tmp_path):
    """pyftpdlib taking 256 KiB per second on each data connection."""
    with _pyftpdlib(tmp_path, throttle=256 * 1024) as srv:
        yield srv


def vsftpd(**options):
    """vsftpd_server(**options), or a skip where vsftpd cannot run."""
    if ftpservers.vsftpd_unavailable():
        pytest.skip(ftpservers.vsftpd_unavailable())
    return ftpservers.vsftpd_server(**options)


def ssh_dir(home, srv, known=True, key=False):
    """~/.ssh of the client: known_hosts naming srv, and its key when asked."""
    path = os.path.join(home, ".ssh")
    os.makedirs(path, exist_ok=True)
    if known:
        open(os.path.join(path, "known_hosts"), "w").write(srv.known_hosts_line())
    if key:
        data = open(srv.client_key, "rb").read()
        with open(os.path.join(path, "id_ed25519"), "wb") as f:
            f.write(data)
        os.chmod(os.path.join(path, "id_ed25519"), 0o600)
    return path


def random_file(path, mib):
    """Writes mib MiB of random bytes to path a MiB at a time; returns their SHA-256."""
    digest = hashlib.sha256()
    with open(path, "wb") as f:
        for _ in range(mib):
            piece = os.urandom(1 << 20)
            digest.update(piece)
            f.write(piece)
    return digest.digest()


def sha256_of(*paths):
    """The SHA-256 of the files at paths one after another, read a MiB at a time."""
    digest = hashlib.sha256()
    for path in paths:
        with open(path, "rb") as f:
            for piece in iter(lambda: f.read(1 << 20), b""):
                digest.update(piece)
    return digest.digest()


@contextlib.contextmanager
def real_server(kind, home, tmp_path, rate=0):
    """pyftpdlib or vsftpd (taking rate bytes a second when rate is set), or
    OpenSSH's sftp-server with home's known_hosts naming it; yields the
    server and the lines that log in to it."""
    if kind == "sftp":
        if sshd.unavailable():
            pytest.skip(sshd.unavailable())
        (tmp_path / "sshd").mkdir()
        with sshd.sshd(str(tmp_path / "sshd")) as srv:
            ssh_dir(home, srv)
            yield srv, ["open " + srv.url()]
        return
    with (vsftpd(max_rate=rate) if kind == "vsftpd" else _pyftpdlib(tmp_path, throttle=rate)) as srv:
        yield srv, login(srv)


@pytest.fixture(scope="module")
def broker_url(request, tmp_path_factory):
    """A RabbitMQ virtual host of the module's own: on CTest's node when it
    runs one (CVXFER_BROKER_URL_FILE), else on a node of the module's own;
    either serves amqps too (broker.tls_of). Skips the test without one."""
    if broker.unavailable() is not None:
        pytest.skip(broker.unavailable())
    shared = os.environ.get("CVXFER_BROKER_URL_FILE", "")
    if os.path.exists(shared):
        yield broker.vhost(shared, "%s-%d" % (request.module.__name__, os.getpid()))
        return
    directory = str(tmp_path_factory.mktemp("rabbitmq"))
    try:
        with broker.rabbitmq(directory, tls=True) as address:
            yield address
    except RuntimeError as e:
        pytest.skip("RabbitMQ cannot run here: %s" % e)


@pytest.fixture
def rmq_home(tmp_path, broker_url):
    """A data directory whose default queue manager RMQ is on the broker."""
    path = str(tmp_path / "corvane")
    cvadmin(path, "create", "RMQ", "--default", "--amqp", broker_url)
    cvadmin(path, "clear", QUEUE)
    yield path
    cvadmin(path, "clear", QUEUE, check=False)
