"""Real FTP servers on loopback for tests, the demo and the benchmark:
pyftpdlib_server() and vsftpd_server() yield a Server on 127.0.0.1 (or ::1),
with TLS when asked (certificates of pki()), logging the commands received.
From the command line:

    /usr/bin/python3 tests/e2e/ftpservers.py pyftpdlib --root DIR --user U --password P

prints the port on the first line and serves until it is terminated.
"""
import argparse
import atexit
import collections
import contextlib
import os
import re
import select
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time

STARTUP_TIMEOUT = 20
VSFTPD = "/usr/sbin/vsftpd"
VSFTPD_USER = "cvxferftp"
TLS_VERSIONS = {None: ("TLSv1.2", None), "1.2": ("TLSv1.2", "TLSv1.2"),
                "1.3": ("TLSv1.3", "TLSv1.3")}


class Server:
    """A running server; ca verifies its certificate (None without TLS);
    implicit: TLS before the greeting."""

    def __init__(self, host, port, user, password, root, proc, ca=None, implicit=False,
                 log_path=None, pattern=None):
        self.host, self.port, self.user, self.password, self.root = host, port, user, password, root
        self.proc, self.ca, self.implicit = proc, ca, implicit
        self.log_path, self._pattern = log_path, pattern

    def commands(self):
        """The command lines the server logged receiving, oldest first."""
        with open(self.log_path, errors="replace") as f:
            return self._pattern.findall(f.read())


def free_port(host="127.0.0.1"):
    """A port on host that nothing listens on right now."""
    with socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def loopback_ipv6_unavailable():
    """Why ::1 cannot be used here, or None."""
    try:
        free_port("::1")
    except OSError as e:
        return "no IPv6 on loopback: %s" % e
    return None


def wait_ready(host, port, proc, implicit, output, timeout=STARTUP_TIMEOUT):
    """Waits for the greeting (over TLS when implicit); raises with output's end without one."""
    ctx = ssl.create_default_context()
    ctx.check_hostname, ctx.verify_mode = False, ssl.CERT_NONE
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and proc.poll() is None:
        try:
            with socket.create_connection((host, port), timeout=2) as s:
                s.settimeout(2)
                with (ctx.wrap_socket(s) if implicit else contextlib.nullcontext(s)) as c:
                    if c.recv(3) == b"220":
                        return
        except OSError:
            pass
        time.sleep(0.05)
    output.seek(0)
    raise RuntimeError("FTP server on %s port %d did not greet (status %s): %s"
                       % (host, port, proc.poll(), output.read()[-2000:]))


def stop(proc):
    """Ends the server process proc, by force after 10 seconds."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=10)


# ---------------------------------------------------------------- certificates

KeyPair = collections.namedtuple("KeyPair", "cert key")
# ca trusts good, expired and wrong_host; untrusted comes from another CA.
# good names localhost, 127.0.0.1 and ::1; wrong_host names only
# wrong.example; expired ran out in 2020.
Pki = collections.namedtuple("Pki", "ca good expired wrong_host untrusted")


def _openssl(*args, cwd):
    """Runs the openssl command in cwd; raises with its output on failure."""
    proc = subprocess.run(["openssl"] + list(args), cwd=cwd, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=30)
    if proc.returncode != 0:
        raise RuntimeError("openssl %s failed:\n%s" % (args[0], proc.stdout))


def _key_args(name):
    """The arguments of a new P-256 key written to name.key."""
    return ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
            "-keyout", name + ".key"]


def _make_ca(d, name):
    """A self-signed CA in its own directory d/name, ready for `openssl ca`."""
    ca_dir = os.path.join(d, name)
    os.makedirs(ca_dir)
    open(os.path.join(ca_dir, "index.txt"), "w").close()
    with open(os.path.join(ca_dir, "ca.cnf"), "w") as f:
        f.write("[ca]\ndefault_ca = own\n[own]\ndir = .\ndatabase = index.txt\n"
                "new_certs_dir = .\nrand_serial = yes\ndefault_md = sha256\n"
                "unique_subject = no\npolicy = any\n[any]\ncommonName = supplied\n")
    _openssl("req", "-x509", *_key_args("ca"), "-out", "ca.pem", "-days", "30",
             "-subj", "/CN=cvxfer test %s" % name,
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=ca_dir)
    return ca_dir


def _issue(ca_dir, name, names, dates=("-days", "30")):
    """A server certificate for names (subjectAltName entries) from the CA in ca_dir."""
    _openssl("req", *_key_args(name), "-out", name + ".csr", "-subj", "/CN=" + name,
             cwd=ca_dir)
    with open(os.path.join(ca_dir, name + ".ext"), "w") as f:
        f.write("basicConstraints = CA:FALSE\nkeyUsage = critical,digitalSignature\n"
                "extendedKeyUsage = serverAuth\nsubjectAltName = %s\n" % ",".join(names))
    _openssl("ca", "-batch", "-config", "ca.cnf", "-cert", "ca.pem", "-keyfile", "ca.key",
             "-in", name + ".csr", "-out", name + ".pem", "-extfile", name + ".ext",
             "-notext", *dates, cwd=ca_dir)
    return KeyPair(os.path.join(ca_dir, name + ".pem"), os.path.join(ca_dir, name + ".key"))


def make_pki(d):
    """Writes two CAs and four server certificates under d; returns a Pki."""
    local = ["DNS:localhost", "IP:127.0.0.1", "IP:::1"]
    ca, other = _make_ca(d, "ca"), _make_ca(d, "other-ca")
    return Pki(ca=os.path.join(ca, "ca.pem"), good=_issue(ca, "localhost", local),
               expired=_issue(ca, "expired", local,
                              ("-startdate", "20200101000000Z", "-enddate", "20200201000000Z")),
               wrong_host=_issue(ca, "wrong", ["DNS:wrong.example"]),
               untrusted=_issue(other, "untrusted", local))


_pki = []


def pki():
    """The test certificates, made once per process and removed at its exit."""
    if not _pki:
        d = tempfile.mkdtemp(prefix="cvxfer-pki-")
        atexit.register(shutil.rmtree, d, True)
        _pki.append(make_pki(d))
    return _pki[0]


def _openssl_conf(path, tls_version):
    """An OpenSSL configuration that bounds the protocol versions."""
    low, high = TLS_VERSIONS[tls_version]
    with open(path, "w") as f:
        f.write("openssl_conf = conf\n[conf]\nssl_conf = ssl\n[ssl]\nsystem_default = tls\n"
                "[tls]\nMinProtocol = %s\n%s" % (low, "MaxProtocol = %s\n" % high if high else ""))
    return path


# ---------------------------------------------------------------- vsftpd

VSFTPD_LOGGED = re.compile(r'FTP command: Client "[^"]*", "(.*)"$', re.M)


def vsftpd_unavailable():
    """Why vsftpd cannot run here, or None."""
    if not os.path.exists(VSFTPD):
        return "vsftpd is not installed (Debian package vsftpd)"
    if os.geteuid() != 0:
        return "vsftpd needs root to switch to its local user"
    return None


def ensure_user(name, password, *useradd):
    """A throw-away local user, made once per machine with the useradd options
    and given password (unless None); returns its passwd entry."""
    import pwd
    try:
        pwd.getpwnam(name)
    except KeyError:
        subprocess.run(["useradd", *useradd, name], check=True, timeout=30,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if password is not None:
        subprocess.run(["chpasswd"], input="%s:%s\n" % (name, password), text=True, check=True,
                       timeout=30)
    return pwd.getpwnam(name)


@contextlib.contextmanager
def vsftpd_server(password="Vsftpd-Test-1", tls=None, cert="good", tls_version=None,
                  host="127.0.0.1", max_rate=0):
    """vsftpd with a local user chrooted to a fresh directory it owns. tls
    "explicit" or "implicit" demands TLS on every connection, data ones
    resuming the control's session; cert names a certificate of pki();
    tls_version "1.2" or "1.3" allows only that one; max_rate > 0 bounds each
    transfer's bytes per second. Raises RuntimeError where vsftpd cannot run."""
    reason = vsftpd_unavailable()
    if reason:
        raise RuntimeError(reason)
    entry = ensure_user(VSFTPD_USER, password, "-m", "-s", "/bin/sh")
    conf_dir = tempfile.mkdtemp(prefix="cvxfer-vsftpd-")
    root = tempfile.mkdtemp(prefix="ftp-", dir=entry.pw_dir)
    os.chown(root, entry.pw_uid, entry.pw_gid)
    port, pasv = free_port(host), free_port(host)
    log_path = os.path.join(conf_dir, "vsftpd.log")
    lines = ["listen=NO", "listen_ipv6=YES", "listen_address6=::1"] if ":" in host else \
        ["listen=YES", "listen_ipv6=NO", "listen_address=127.0.0.1"]
    lines += [
        "listen_port=%d" % port, "background=NO", "anonymous_enable=NO",
        "local_enable=YES", "write_enable=YES", "local_umask=022",
        "local_root=%s" % root, "chroot_local_user=YES", "allow_writeable_chroot=YES",
        "pasv_enable=YES", "pasv_min_port=%d" % pasv, "pasv_max_port=%d" % (pasv + 20),
        "port_enable=YES", "connect_from_port_20=NO",
        "seccomp_sandbox=NO", "isolate=NO", "isolate_network=NO",
        "secure_chroot_dir=%s" % conf_dir, "pam_service_name=vsftpd",
        "userlist_enable=NO", "dirmessage_enable=NO", "check_shell=NO", "use_localtime=NO",
        "max_per_ip=50", "max_clients=50", "ascii_upload_enable=YES",
        "ascii_download_enable=YES", "xferlog_enable=YES", "xferlog_std_format=NO",
        "log_ftp_protocol=YES", "vsftpd_log_file=%s" % log_path, "local_max_rate=%d" % max_rate]
    if ":" not in host:
        lines.append("pasv_address=127.0.0.1")
    if tls:
        keys = getattr(pki(), cert)
        lines += ["ssl_enable=YES", "implicit_ssl=%s" % ("YES" if tls == "implicit" else "NO"),
                  "rsa_cert_file=%s" % keys.cert, "rsa_private_key_file=%s" % keys.key,
                  "ssl_ciphers=HIGH", "force_local_logins_ssl=YES",
                  "force_local_data_ssl=YES", "require_ssl_reuse=YES"]
    conf = os.path.join(conf_dir, "vsftpd.conf")
    with open(conf, "w") as f:
        f.write("\n".join(lines + [""]))
    env = dict(os.environ, OPENSSL_CONF=_openssl_conf(os.path.join(conf_dir, "openssl.cnf"),
                                                      tls_version))
    out = open(os.path.join(conf_dir, "output"), "w+")
    open(log_path, "a").close()
    # vsftpd reports a failed start ("500 OOPS: ...") on its standard input.
    proc = subprocess.Popen([VSFTPD, conf], stdin=out, stdout=out, stderr=out, env=env)
    try:
        wait_ready(host, port, proc, tls == "implicit", out)
        yield Server(host, port, VSFTPD_USER, password, root, proc,
                     pki().ca if tls else None, tls == "implicit", log_path, VSFTPD_LOGGED)
    finally:
        stop(proc)
        out.close()
        shutil.rmtree(conf_dir, ignore_errors=True)
        shutil.rmtree(root, ignore_errors=True)


# ---------------------------------------------------------------- pyftpdlib

PYFTPDLIB_LOGGED = re.compile(r"\] <- (.*)$", re.M)


@contextlib.contextmanager
def pyftpdlib_server(root, user="tester", password="secret", perm="elradfmwMT", throttle=0,
                     host="127.0.0.1", tls=False, cert="good", tls_version=None):
    """pyftpdlib in a child process serving root to one user; throttle > 0
    bounds each data connection's bytes per second; tls demands explicit TLS
    on every connection (cert and tls_version as for vsftpd_server)."""
    log = tempfile.NamedTemporaryFile("w+", prefix="cvxfer-pyftpdlib-", suffix=".log")
    args = ["pyftpdlib", "--root", root, "--host", host, "--user", user, "--password", password,
            "--perm", perm, "--throttle", str(throttle)]
    if tls:
        keys = getattr(pki(), cert)
        args += ["--cert", keys.cert, "--key", keys.key] + \
            (["--tls-version", tls_version] if tls_version else [])
    proc = subprocess.Popen(["/usr/bin/python3", os.path.abspath(__file__)] + args,
                            stdout=subprocess.PIPE, stderr=log, text=True)
    try:
        ready = select.select([proc.stdout], [], [], STARTUP_TIMEOUT)[0]
        line = proc.stdout.readline() if ready else ""
        if not line.strip().isdigit():
            log.seek(0)
            raise RuntimeError("pyftpdlib did not start: %r %s" % (line, log.read()[-2000:]))
        port = int(line)
        wait_ready(host, port, proc, False, log)
        yield Server(host, port, user, password, root, proc, pki().ca if tls else None, False,
                     log.name, PYFTPDLIB_LOGGED)
    finally:
        stop(proc)
        log.close()


def serve_pyftpdlib(args):
    """Runs pyftpdlib here, printing its port first and logging commands on standard error."""
    import logging
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
    from pyftpdlib.servers import FTPServer

    logging.basicConfig(level=logging.DEBUG, stream=sys.stderr,
                        format="[%(asctime)s] %(message)s")
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm=args.perm)
    handler = FTPHandler
    if args.cert:
        handler = tls_handler(args)
    if args.throttle > 0:
        dtp = ThrottledDTPHandler
        dtp.read_limit = dtp.write_limit = args.throttle
        handler.dtp_handler = dtp
    handler.authorizer = authorizer
    handler.passive_ports = range(40000, 60000)
    handler.permit_foreign_addresses = False
    handler.banner = "pyftpdlib ready."
    server = FTPServer((args.host, args.port), handler)
    server.max_cons = 64
    print(server.socket.getsockname()[1], flush=True)
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    server.serve_forever(handle_exit=False)


def tls_handler(args):
    """pyftpdlib's handler demanding TLS with args.cert and args.key."""
    from OpenSSL import SSL
    from pyftpdlib.handlers import TLS_DTPHandler, TLS_FTPHandler

    class DataHandler(TLS_DTPHandler):
        # pyftpdlib 1.5.7 closes a data connection whose TLS handshake
        # starts before the transfer command, as curl's does (fixed
        # upstream after 1.5.7): read while the handshake runs.
        def readable(self):
            return self._ssl_accepting or super().readable()

    ctx = SSL.Context(SSL.TLS_SERVER_METHOD)
    low, high = TLS_VERSIONS[args.tls_version]
    versions = {"TLSv1.2": SSL.TLS1_2_VERSION, "TLSv1.3": SSL.TLS1_3_VERSION}
    ctx.set_min_proto_version(versions[low])
    if high:
        ctx.set_max_proto_version(versions[high])
    ctx.use_certificate_chain_file(args.cert)
    ctx.use_privatekey_file(args.key)
    TLS_FTPHandler.dtp_handler = DataHandler
    TLS_FTPHandler.ssl_context = ctx
    TLS_FTPHandler.tls_control_required = TLS_FTPHandler.tls_data_required = True
    return TLS_FTPHandler


def main():
    """The command line: runs pyftpdlib in this process."""
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="kind", required=True)
    p = sub.add_parser("pyftpdlib")
    p.add_argument("--root", required=True)
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--user", default="tester")
    p.add_argument("--password", default="secret")
    p.add_argument("--perm", default="elradfmwMT")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--throttle", type=int, default=0)
    p.add_argument("--cert")
    p.add_argument("--key")
    p.add_argument("--tls-version", choices=["1.2", "1.3"])
    serve_pyftpdlib(parser.parse_args())


if __name__ == "__main__":
    sys.exit(main())
