"""Real FTP servers on loopback for tests, the demo and the benchmark.

pyftpdlib_server() and vsftpd_server() are context managers yielding a
Server (host, port, user, password, root). Both listen on 127.0.0.1 and a
free port, passive ports in an unprivileged range, and stop when the block
ends. From the command line:

    /usr/bin/python3 tests/e2e/ftpservers.py pyftpdlib --root DIR --user U --password P

prints the port on the first line and serves until it is terminated.
"""
import argparse
import contextlib
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

STARTUP_TIMEOUT = 20


class Server:
    def __init__(self, host, port, user, password, root, proc=None):
        self.host, self.port, self.user, self.password, self.root = host, port, user, password, root
        self.proc = proc


def free_port():
    """A port on 127.0.0.1 that nothing listens on right now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_greeting(port, proc, timeout=STARTUP_TIMEOUT):
    """Waits until the server on port sends its greeting; raises on failure."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc is not None and proc.poll() is not None:
            raise RuntimeError("FTP server exited with status %s" % proc.returncode)
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
                s.settimeout(2)
                if s.recv(3) == b"220":
                    return
        except OSError:
            pass
        time.sleep(0.05)
    raise RuntimeError("FTP server on port %d did not greet within %ds" % (port, timeout))


def stop(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=10)


@contextlib.contextmanager
def pyftpdlib_server(root, user="tester", password="secret", perm="elradfmwMT", throttle=0):
    """pyftpdlib in a child process, serving root to one user; throttle > 0
    limits each data connection to that many bytes per second."""
    proc = subprocess.Popen(
        ["/usr/bin/python3", os.path.abspath(__file__), "pyftpdlib", "--root", root,
         "--user", user, "--password", password, "--perm", perm, "--throttle", str(throttle)],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        line = proc.stdout.readline()
        if not line.strip().isdigit():
            raise RuntimeError("pyftpdlib did not start: %r" % line)
        port = int(line)
        wait_for_greeting(port, proc)
        yield Server("127.0.0.1", port, user, password, root, proc)
    finally:
        stop(proc)


VSFTPD = "/usr/sbin/vsftpd"
VSFTPD_USER = "cvxferftp"


def vsftpd_unavailable():
    """Why vsftpd cannot run here, or None."""
    if not os.path.exists(VSFTPD):
        return "vsftpd is not installed (Debian package vsftpd)"
    if os.geteuid() != 0:
        return "vsftpd needs root to switch to its local user"
    return None


def ensure_vsftpd_user(password):
    """A throw-away local user for vsftpd logins; returns its home."""
    import pwd
    try:
        pwd.getpwnam(VSFTPD_USER)
    except KeyError:
        subprocess.run(["useradd", "-m", "-s", "/bin/sh", VSFTPD_USER], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["chpasswd"], input="%s:%s\n" % (VSFTPD_USER, password), text=True,
                   check=True)
    return pwd.getpwnam(VSFTPD_USER)


@contextlib.contextmanager
def vsftpd_server(password="Vsftpd-Test-1"):
    """vsftpd with its own configuration, a local user chrooted to a fresh
    directory it owns. Raises RuntimeError when vsftpd cannot run here."""
    reason = vsftpd_unavailable()
    if reason:
        raise RuntimeError(reason)
    entry = ensure_vsftpd_user(password)
    conf_dir = tempfile.mkdtemp(prefix="cvxfer-vsftpd-")
    root = os.path.join(entry.pw_dir, "ftp-%d" % os.getpid())
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    os.chown(root, entry.pw_uid, entry.pw_gid)
    port = free_port()
    pasv = free_port()
    conf = os.path.join(conf_dir, "vsftpd.conf")
    with open(conf, "w") as f:
        f.write("\n".join([
            "listen=YES", "listen_ipv6=NO", "listen_address=127.0.0.1",
            "listen_port=%d" % port, "background=NO", "anonymous_enable=NO",
            "local_enable=YES", "write_enable=YES", "local_umask=022",
            "local_root=%s" % root, "chroot_local_user=YES", "allow_writeable_chroot=YES",
            "pasv_enable=YES", "pasv_address=127.0.0.1", "pasv_min_port=%d" % pasv,
            "pasv_max_port=%d" % (pasv + 20), "port_enable=YES", "connect_from_port_20=NO",
            "seccomp_sandbox=NO", "isolate=NO", "isolate_network=NO",
            "secure_chroot_dir=%s" % conf_dir, "pam_service_name=vsftpd",
            "userlist_enable=NO", "xferlog_enable=NO", "dirmessage_enable=NO",
            "use_localtime=NO", "ssl_enable=NO", "max_per_ip=50", "max_clients=50",
            "check_shell=NO", "ascii_upload_enable=YES", "ascii_download_enable=YES", ""]))
    proc = subprocess.Popen([VSFTPD, conf], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        wait_for_greeting(port, proc)
        yield Server("127.0.0.1", port, VSFTPD_USER, password, root, proc)
    finally:
        stop(proc)
        shutil.rmtree(conf_dir, ignore_errors=True)
        shutil.rmtree(root, ignore_errors=True)


def serve_pyftpdlib(args):
    """Runs pyftpdlib in this process and prints its port first."""
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm=args.perm)
    handler = FTPHandler
    if args.throttle > 0:
        from pyftpdlib.handlers import ThrottledDTPHandler
        dtp = ThrottledDTPHandler
        dtp.read_limit = args.throttle
        dtp.write_limit = args.throttle
        handler.dtp_handler = dtp
    handler.authorizer = authorizer
    handler.passive_ports = range(40000, 60000)
    handler.permit_foreign_addresses = False
    handler.banner = "pyftpdlib ready."
    server = FTPServer(("127.0.0.1", args.port), handler)
    server.max_cons = 64
    print(server.socket.getsockname()[1], flush=True)
    signal.signal(signal.SIGTERM, lambda *_: server.close_all())
    server.serve_forever(handle_exit=False)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="kind", required=True)
    p = sub.add_parser("pyftpdlib")
    p.add_argument("--root", required=True)
    p.add_argument("--user", default="tester")
    p.add_argument("--password", default="secret")
    p.add_argument("--perm", default="elradfmwMT")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--throttle", type=int, default=0)
    args = parser.parse_args()
    logging_off()
    serve_pyftpdlib(args)


def logging_off():
    import logging
    logging.basicConfig(level=logging.CRITICAL)


if __name__ == "__main__":
    sys.exit(main())
