"""FTPS, extended-passive and IPv6 test servers on loopback.

make_pki(dir) writes test certificates with the openssl command; the
session-scoped fixture `pki` makes them once per test run. The context
managers vsftpd_tls_server(), pyftpdlib_tls_server() and plain_ipv6_server()
yield a TlsServer: a Server (host, port, user, password, root) that also
knows its CA file and the command lines the server logged. EpsvOnlyServer
is a scripted one-session server that refuses PASV and PORT. From the
command line:

    /usr/bin/python3 tests/e2e/tlsservers.py --root DIR [--host ::1] [--cert C --key K]

runs pyftpdlib, prints the port on the first line and serves until it is
terminated.
"""
import argparse
import contextlib
import ipaddress
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
import threading
import time

import pytest

import ftpservers
from ftpservers import STARTUP_TIMEOUT, Server, stop

OPENSSL_TIMEOUT = 30
TLS_VERSIONS = {None: ("TLSv1.2", None), "1.2": ("TLSv1.2", "TLSv1.2"),
                "1.3": ("TLSv1.3", "TLSv1.3")}


# ---------------------------------------------------------------- certificates

class KeyPair:
    def __init__(self, cert, key):
        self.cert, self.key = cert, key


class Pki:
    """ca trusts good, expired and wrong_host; other_ca is the only issuer of
    untrusted. good names localhost, 127.0.0.1 and ::1; wrong_host names only
    wrong.example; expired ran out in 2020."""

    def __init__(self, ca, other_ca, good, expired, wrong_host, untrusted):
        self.ca, self.other_ca = ca, other_ca
        self.good, self.expired, self.wrong_host, self.untrusted = \
            good, expired, wrong_host, untrusted


def _openssl(*args, cwd):
    proc = subprocess.run(["openssl"] + list(args), cwd=cwd, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=OPENSSL_TIMEOUT)
    if proc.returncode != 0:
        raise RuntimeError("openssl %s failed:\n%s" % (args[0], proc.stdout))


def _key_args(name):
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
    """A server certificate for names (subjectAltName entries) signed by the
    CA in ca_dir; returns its KeyPair."""
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
    return Pki(ca=os.path.join(ca, "ca.pem"), other_ca=os.path.join(other, "ca.pem"),
               good=_issue(ca, "localhost", local),
               expired=_issue(ca, "expired", local,
                              ("-startdate", "20200101000000Z", "-enddate", "20200201000000Z")),
               wrong_host=_issue(ca, "wrong", ["DNS:wrong.example"]),
               untrusted=_issue(other, "untrusted", local))


@pytest.fixture(scope="session")
def pki(tmp_path_factory):
    """The test certificates, made once per test run."""
    return make_pki(str(tmp_path_factory.mktemp("pki")))


# ---------------------------------------------------------------- helpers

class TlsServer(Server):
    """A Server on host ("127.0.0.1" or "::1"); ca is the file that verifies
    its certificate (None without TLS); implicit says TLS starts before the
    greeting."""

    def __init__(self, host, port, user, password, root, proc, ca, implicit, log_path, pattern):
        super().__init__(host, port, user, password, root, proc)
        self.ca, self.implicit, self.log_path, self._pattern = ca, implicit, log_path, pattern

    def log(self):
        """The server's log so far."""
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def commands(self):
        """The command lines the server logged receiving, oldest first (the
        argument of PASS is masked)."""
        return self._pattern.findall(self.log())


def loopback_ipv6_unavailable():
    """Why ::1 cannot be used here, or None."""
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
    except OSError as e:
        return "no IPv6 on loopback: %s" % e
    return None


def free_port(host="127.0.0.1"):
    """A port on host that nothing listens on right now."""
    with socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def wait_ready(host, port, proc, implicit, output, timeout=STARTUP_TIMEOUT):
    """Waits until the server greets (over TLS when implicit); raises on
    failure with what the server wrote to the file output."""
    ctx = ssl.create_default_context()
    ctx.check_hostname, ctx.verify_mode = False, ssl.CERT_NONE
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            output.seek(0)
            raise RuntimeError("FTP server exited with status %s: %s"
                               % (proc.returncode, output.read()[-2000:]))
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
    raise RuntimeError("FTP server on %s port %d did not greet within %ds: %s"
                       % (host, port, timeout, output.read()[-2000:]))


def _openssl_conf(path, tls_version):
    """An OpenSSL configuration that bounds the protocol versions."""
    low, high = TLS_VERSIONS[tls_version]
    with open(path, "w") as f:
        f.write("openssl_conf = conf\n[conf]\nssl_conf = ssl\n[ssl]\nsystem_default = tls\n"
                "[tls]\nMinProtocol = %s\n%s" % (low, "MaxProtocol = %s\n" % high if high else ""))
    return path


# ---------------------------------------------------------------- vsftpd

VSFTPD_LOGGED = re.compile(r'FTP command: Client "[^"]*", "(.*)"$', re.M)


@contextlib.contextmanager
def vsftpd_tls_server(pki, implicit=False, tls_version=None, listen_ipv6=False, cert=None,
                      password="Vsftpd-Test-1"):
    """vsftpd that demands TLS on the control and every data connection and
    a data connection that resumes the control connection's session; TLS
    before the greeting when implicit. tls_version "1.2" or "1.3" allows
    only that version (None: 1.2 and later). cert is a KeyPair of pki
    (default pki.good). Listens on ::1 when listen_ipv6, else 127.0.0.1.
    Raises RuntimeError when vsftpd cannot run here."""
    reason = ftpservers.vsftpd_unavailable()
    if reason:
        raise RuntimeError(reason)
    cert = cert or pki.good
    host = "::1" if listen_ipv6 else "127.0.0.1"
    entry = ftpservers.ensure_vsftpd_user(password)
    conf_dir = tempfile.mkdtemp(prefix="cvxfer-vsftpd-tls-")
    root = tempfile.mkdtemp(prefix="ftps-", dir=entry.pw_dir)
    os.chown(root, entry.pw_uid, entry.pw_gid)
    port, pasv = free_port(host), free_port(host)
    log_path = os.path.join(conf_dir, "vsftpd.log")
    listen = ["listen=NO", "listen_ipv6=YES", "listen_address6=::1"] if listen_ipv6 else \
        ["listen=YES", "listen_ipv6=NO", "listen_address=127.0.0.1"]
    conf = os.path.join(conf_dir, "vsftpd.conf")
    with open(conf, "w") as f:
        f.write("\n".join(listen + [
            "listen_port=%d" % port, "background=NO", "anonymous_enable=NO",
            "local_enable=YES", "write_enable=YES", "local_umask=022",
            "local_root=%s" % root, "chroot_local_user=YES", "allow_writeable_chroot=YES",
            "pasv_enable=YES", "pasv_min_port=%d" % pasv, "pasv_max_port=%d" % (pasv + 20),
            "port_enable=YES", "connect_from_port_20=NO",
            "seccomp_sandbox=NO", "isolate=NO", "isolate_network=NO",
            "secure_chroot_dir=%s" % conf_dir, "pam_service_name=vsftpd",
            "userlist_enable=NO", "dirmessage_enable=NO", "check_shell=NO",
            "max_per_ip=50", "max_clients=50",
            "xferlog_enable=YES", "xferlog_std_format=NO", "log_ftp_protocol=YES",
            "vsftpd_log_file=%s" % log_path,
            "ssl_enable=YES", "implicit_ssl=%s" % ("YES" if implicit else "NO"),
            "rsa_cert_file=%s" % cert.cert, "rsa_private_key_file=%s" % cert.key,
            "ssl_ciphers=HIGH", "force_local_logins_ssl=YES", "force_local_data_ssl=YES",
            "require_ssl_reuse=YES", ""]))
    env = dict(os.environ, OPENSSL_CONF=_openssl_conf(os.path.join(conf_dir, "openssl.cnf"),
                                                      tls_version))
    out = open(os.path.join(conf_dir, "output"), "w+")
    # vsftpd reports a failed start ("500 OOPS: ...") on its standard input.
    proc = subprocess.Popen([ftpservers.VSFTPD, conf], stdin=out, stdout=out, stderr=out,
                            env=env)
    try:
        open(log_path, "a").close()
        wait_ready(host, port, proc, implicit, out)
        yield TlsServer(host, port, ftpservers.VSFTPD_USER, password, root, proc, pki.ca,
                        implicit, log_path, VSFTPD_LOGGED)
    finally:
        stop(proc)
        out.close()
        shutil.rmtree(conf_dir, ignore_errors=True)
        shutil.rmtree(root, ignore_errors=True)


# ---------------------------------------------------------------- pyftpdlib

PYFTPDLIB_LOGGED = re.compile(r"\] <- (.*)$", re.M)


@contextlib.contextmanager
def _pyftpdlib(root, host, cert, tls_version, ca, user, password):
    log = tempfile.NamedTemporaryFile("w+", prefix="cvxfer-pyftpdlib-", suffix=".log",
                                      delete=False)
    args = ["--root", root, "--host", host, "--user", user, "--password", password]
    if cert:
        args += ["--cert", cert.cert, "--key", cert.key] + \
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
        yield TlsServer(host, port, user, password, root, proc, ca, False, log.name,
                        PYFTPDLIB_LOGGED)
    finally:
        stop(proc)
        log.close()
        os.unlink(log.name)


def pyftpdlib_tls_server(pki, root, listen_ipv6=False, tls_version=None, cert=None,
                         user="tester", password="secret"):
    """pyftpdlib serving root that demands TLS on the control and every
    data connection (explicit FTPS only); tls_version and cert as for
    vsftpd_tls_server. Listens on ::1 when listen_ipv6, else 127.0.0.1."""
    return _pyftpdlib(root, "::1" if listen_ipv6 else "127.0.0.1", cert or pki.good,
                      tls_version, pki.ca, user, password)


def plain_ipv6_server(root, user="tester", password="secret"):
    """pyftpdlib serving root on ::1 only, without TLS."""
    return _pyftpdlib(root, "::1", None, None, None, user, password)


def serve_pyftpdlib(args):
    """Runs pyftpdlib in this process and prints its port first."""
    import logging
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler, TLS_FTPHandler
    from pyftpdlib.servers import FTPServer

    logging.basicConfig(level=logging.DEBUG, stream=sys.stderr,
                        format="[%(asctime)s] %(message)s")
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")
    handler = FTPHandler
    if args.cert:
        from OpenSSL import SSL
        from pyftpdlib.handlers import TLS_DTPHandler

        class DataHandler(TLS_DTPHandler):
            # pyftpdlib 1.5.7 closes a data connection whose TLS handshake
            # starts before the transfer command, as curl's does (fixed
            # upstream after 1.5.7): read while the handshake runs.
            def readable(self):
                return self._ssl_accepting or super().readable()

        handler = TLS_FTPHandler
        handler.dtp_handler = DataHandler
        ctx = SSL.Context(SSL.TLS_SERVER_METHOD)
        low, high = TLS_VERSIONS[args.tls_version]
        versions = {"TLSv1.2": SSL.TLS1_2_VERSION, "TLSv1.3": SSL.TLS1_3_VERSION}
        ctx.set_min_proto_version(versions[low])
        if high:
            ctx.set_max_proto_version(versions[high])
        ctx.use_certificate_chain_file(args.cert)
        ctx.use_privatekey_file(args.key)
        handler.ssl_context = ctx
        handler.tls_control_required = handler.tls_data_required = True
    handler.authorizer = authorizer
    handler.passive_ports = range(40000, 60000)
    handler.permit_foreign_addresses = False
    handler.banner = "pyftpdlib ready."
    server = FTPServer((args.host, 0), handler)
    server.max_cons = 64
    print(server.socket.getsockname()[1], flush=True)
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    server.serve_forever(handle_exit=False)


# ---------------------------------------------------------------- EPSV only

class EpsvOnlyServer:
    """One scripted FTP session on host that refuses PASV and PORT with
    "500 use EPSV/EPRT" and serves EPSV, EPRT, RETR, STOR, LIST and NLST
    from files (name -> bytes; STOR adds to it). commands holds every
    command line received. A context manager; the session ends at QUIT,
    when the client leaves, or after timeout seconds without progress, and
    the server then stops by itself."""

    def __init__(self, files=None, user="tester", password="secret", host="127.0.0.1",
                 timeout=20):
        self.files, self.user, self.password, self.host = dict(files or {}), user, password, host
        self.root, self.timeout, self.commands = None, timeout, []
        self._stop = threading.Event()
        self._listener = socket.create_server((host, 0), family=_family(host))
        self.port = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._run, daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(timeout=self.timeout + 5)
        self._listener.close()

    # Every wait polls in short slices so that the end of the block or the
    # timeout ends it.
    def _poll(self, call):
        deadline = time.monotonic() + self.timeout
        while not self._stop.is_set() and time.monotonic() < deadline:
            try:
                return call()
            except socket.timeout:
                pass
        raise TimeoutError("EpsvOnlyServer gave up waiting")

    def _accept(self, listener):
        listener.settimeout(0.1)
        conn = self._poll(lambda: listener.accept()[0])
        conn.settimeout(0.1)
        return conn

    def _run(self):
        try:
            with self._accept(self._listener) as ctrl:
                self._listener.close()
                self._session(ctrl)
        except (OSError, TimeoutError):
            pass
        finally:
            self._listener.close()

    def _session(self, ctrl):
        state = {"pending": None, "user": None}
        try:
            self._serve(ctrl, state)
        finally:
            if isinstance(state["pending"], socket.socket):
                state["pending"].close()

    def _serve(self, ctrl, state):
        buf = b""
        reply = lambda text: ctrl.sendall(text.encode() + b"\r\n")  # noqa: E731
        reply("220 EPSV-only test server")
        while True:
            while b"\r\n" not in buf:
                chunk = self._poll(lambda: ctrl.recv(4096))
                if not chunk:
                    return
                buf += chunk
            line, buf = buf.split(b"\r\n", 1)
            line = line.decode("latin-1")
            self.commands.append(line)
            verb, _, arg = line.partition(" ")
            verb, pending = verb.upper(), state["pending"]
            if verb == "USER":
                state["user"] = arg
                reply("331 Password required")
            elif verb == "PASS":
                ok = (state["user"], arg) == (self.user, self.password)
                reply("230 Logged in" if ok else "530 Login incorrect")
            elif verb in ("TYPE", "MODE", "STRU"):
                reply("200 OK")
            elif verb == "SYST":
                reply("215 UNIX Type: L8")
            elif verb == "PWD":
                reply('257 "/" is the current directory')
            elif verb == "CWD":
                reply("250 OK")
            elif verb == "SIZE" and arg in self.files:
                reply("213 %d" % len(self.files[arg]))
            elif verb in ("PASV", "PORT"):
                reply("500 use EPSV/EPRT")
            elif verb == "EPSV":
                if isinstance(pending, socket.socket):
                    pending.close()
                state["pending"] = socket.create_server((self.host, 0), family=_family(self.host))
                reply("229 Entering Extended Passive Mode (|||%d|)"
                      % state["pending"].getsockname()[1])
            elif verb == "EPRT":
                state["pending"] = _eprt_address(arg)
                reply("200 EPRT OK" if state["pending"] else "500 EPRT to loopback only")
            elif verb in ("RETR", "STOR", "LIST", "NLST"):
                if verb == "RETR" and arg not in self.files:
                    reply("550 No such file")
                elif pending is None:
                    reply("425 Use EPSV or EPRT first")
                else:
                    reply("150 Opening data connection")
                    state["pending"] = None
                    with self._data(pending) as data:
                        if verb == "STOR":
                            self.files[arg] = self._receive(data)
                        else:
                            data.settimeout(self.timeout)
                            data.sendall(self.files[arg] if verb == "RETR" else
                                         "".join(n + "\r\n" for n in sorted(self.files)).encode())
                    reply("226 Transfer complete")
            elif verb == "QUIT":
                reply("221 Goodbye")
                return
            else:
                reply("502 Command not implemented")

    def _data(self, pending):
        """The data connection: accepted on the EPSV listener, or made to
        the EPRT address."""
        if isinstance(pending, socket.socket):
            with pending:
                return self._accept(pending)
        conn = socket.create_connection(pending, timeout=self.timeout)
        conn.settimeout(0.1)
        return conn

    def _receive(self, data):
        parts = []
        while True:
            chunk = self._poll(lambda: data.recv(65536))
            if not chunk:
                return b"".join(parts)
            parts.append(chunk)


def _family(host):
    return socket.AF_INET6 if ":" in host else socket.AF_INET


def _eprt_address(arg):
    """The (host, port) of an EPRT argument such as |1|127.0.0.1|5000|, or
    None when it is malformed or not a loopback address."""
    fields = arg[1:].split(arg[:1]) if arg else []
    try:
        if len(fields) == 4 and fields[0] in ("1", "2") and \
                ipaddress.ip_address(fields[1]).is_loopback:
            return fields[1], int(fields[2])
    except ValueError:
        pass
    return None


def main():
    parser = argparse.ArgumentParser(description="pyftpdlib, with TLS when --cert is given")
    parser.add_argument("--root", required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--user", default="tester")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--tls-version", choices=["1.2", "1.3"])
    serve_pyftpdlib(parser.parse_args())


if __name__ == "__main__":
    sys.exit(main())
