"""The FTPS, EPSV and IPv6 test servers of tlsservers.py checked with clients
that no one here wrote: curl and Python's ftplib."""
import contextlib
import ftplib
import io
import os
import ssl
import subprocess

import pytest

import ftpservers
import tlsservers
from tlsservers import pki  # noqa: F401

TIMEOUT = 30


def unavailable(kind):
    if "vsftpd" in kind and ftpservers.vsftpd_unavailable():
        return ftpservers.vsftpd_unavailable()
    if "ipv6" in kind:
        return tlsservers.loopback_ipv6_unavailable()
    return None


@contextlib.contextmanager
def started(kind, pki, tmp_path, **options):  # noqa: F811
    """The server named kind: vsftpd or pyftpdlib, "-implicit", "-ipv6";
    or plain-ipv6."""
    reason = unavailable(kind)
    if reason:
        pytest.skip(reason)
    ipv6 = kind.endswith("-ipv6")
    if kind.startswith("vsftpd"):
        context = tlsservers.vsftpd_tls_server(pki, implicit=kind.endswith("-implicit"),
                                               listen_ipv6=ipv6, **options)
    else:
        root = tmp_path / "ftp"
        root.mkdir()
        context = tlsservers.plain_ipv6_server(str(root)) if kind == "plain-ipv6" else \
            tlsservers.pyftpdlib_tls_server(pki, str(root), listen_ipv6=ipv6, **options)
    with context as srv:
        yield srv


def put(srv, name, data):
    path = os.path.join(srv.root, name)
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, 0o644)


def name_of(srv):
    """The name to connect to: the good certificate names localhost and ::1."""
    return "::1" if srv.host == "::1" else "localhost"


class ReusingFTP_TLS(ftplib.FTP_TLS):
    """ftplib's FTP_TLS that resumes the control connection's TLS session on
    every data connection (vsftpd demands it; ftplib itself does not), and
    starts TLS before the greeting when implicit."""
    implicit = False

    def connect(self, host, port, timeout=TIMEOUT):
        if not self.implicit:
            return super().connect(host, port, timeout)
        self.host, self.port, self.timeout = host, port, timeout
        self.sock = self.context.wrap_socket(
            ftplib.socket.create_connection((host, port), timeout), server_hostname=host)
        self.af = self.sock.family
        self.file = self.sock.makefile("r", encoding=self.encoding)
        self.welcome = self.getresp()
        return self.welcome

    def ntransfercmd(self, cmd, rest=None):
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        if self._prot_p:
            conn = self.context.wrap_socket(conn, server_hostname=self.host,
                                            session=self.sock.session)
        return conn, size


@contextlib.contextmanager
def logged_in(srv, active, client=ReusingFTP_TLS):
    """An ftplib client logged in to srv, with protected data under TLS."""
    if srv.ca is None:
        ftp = ftplib.FTP(timeout=TIMEOUT)
    else:
        ftp = client(context=ssl.create_default_context(cafile=srv.ca), timeout=TIMEOUT)
        ftp.implicit = srv.implicit
    try:
        ftp.connect(name_of(srv), srv.port)
        ftp.login(srv.user, srv.password)
        if srv.ca is not None:
            ftp.prot_p()
        ftp.set_pasv(not active)
        yield ftp
    finally:
        ftp.close()


@pytest.mark.parametrize("mode", ["passive", "active"])
@pytest.mark.parametrize("kind", ["vsftpd", "vsftpd-implicit", "vsftpd-ipv6", "pyftpdlib",
                                  "pyftpdlib-ipv6", "plain-ipv6"])
def test_login_list_download_upload(pki, tmp_path, kind, mode):  # noqa: F811
    data = os.urandom(300001)
    with started(kind, pki, tmp_path) as srv:
        put(srv, "in.bin", data)
        with logged_in(srv, mode == "active") as ftp:
            assert ftp.nlst() == ["in.bin"]
            got = bytearray()
            ftp.retrbinary("RETR in.bin", got.extend)
            assert got == data
            ftp.storbinary("STOR out.bin", io.BytesIO(data))
            ftp.quit()
        with open(os.path.join(srv.root, "out.bin"), "rb") as f:
            assert f.read() == data
        verbs = [c.split(" ")[0] for c in srv.commands()]
        data_verb = {("passive", False): "PASV", ("active", False): "PORT",
                     ("passive", True): "EPSV", ("active", True): "EPRT"}
        assert verbs.count(data_verb[mode, srv.host == "::1"]) == 3
        if srv.ca is not None:
            assert ("AUTH" in verbs) != srv.implicit
            assert "PROT" in verbs


def curl(srv, *args, path="in.bin", cafile=None):
    host = "[::1]" if srv.host == "::1" else name_of(srv)
    url = "%s://%s:%d/%s" % ("ftps" if srv.implicit else "ftp", host, srv.port, path)
    return subprocess.run(["curl", "-sSv", "--max-time", str(TIMEOUT), "--ssl-reqd",
                           "--cacert", cafile or srv.ca, "-u", "%s:%s" % (srv.user, srv.password),
                           url] + list(args),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=TIMEOUT + 10)


@pytest.mark.parametrize("version", ["1.2", "1.3"])
@pytest.mark.parametrize("kind", ["vsftpd", "vsftpd-implicit", "pyftpdlib"])
def test_tls_version_is_the_one_asked_for(pki, tmp_path, kind, version):  # noqa: F811
    with started(kind, pki, tmp_path, tls_version=version) as srv:
        put(srv, "in.bin", b"versioned\n")
        ok = curl(srv)
        assert ok.returncode == 0, ok.stderr
        assert ok.stdout == b"versioned\n"
        assert b"SSL connection using TLSv%s" % version.encode() in ok.stderr
        other = curl(srv, *(["--tls-max", "1.2"] if version == "1.3" else ["--tlsv1.3"]))
        assert other.returncode == 35, other.stderr


@pytest.mark.parametrize("cert,why", [
    ("untrusted", b"unable to get local issuer certificate"),
    ("expired", b"certificate has expired"),
    ("wrong_host", b"no alternative certificate subject name matches target host name")])
@pytest.mark.parametrize("kind", ["vsftpd", "pyftpdlib"])
def test_bad_certificate_is_refused_before_user(pki, tmp_path, kind, cert, why):  # noqa: F811
    with started(kind, pki, tmp_path, cert=getattr(pki, cert)) as srv:
        put(srv, "in.bin", b"x")
        refused = curl(srv)
        assert refused.returncode == 60, refused.stderr
        assert why in refused.stderr
        assert "AUTH SSL" in srv.commands()
        assert not [c for c in srv.commands() if c.startswith("USER")]
        assert curl(srv, "--insecure").stdout == b"x"
        if cert == "untrusted":
            assert curl(srv, cafile=pki.other_ca).stdout == b"x"


@pytest.mark.parametrize("kind,code", [("vsftpd", "530"), ("pyftpdlib", "550")])
def test_clear_text_is_refused(pki, tmp_path, kind, code):  # noqa: F811
    with started(kind, pki, tmp_path) as srv:
        with ftplib.FTP(timeout=TIMEOUT) as ftp:
            ftp.connect(srv.host, srv.port)
            with pytest.raises(ftplib.error_perm, match="^" + code):
                ftp.login(srv.user, srv.password)
        with logged_in(srv, False) as ftp:
            with pytest.raises(ftplib.error_perm):
                ftp.prot_c()
                ftp.nlst()


def test_vsftpd_refuses_a_data_connection_without_session_reuse(pki, tmp_path):  # noqa: F811
    with started("vsftpd", pki, tmp_path) as srv:
        with logged_in(srv, False, client=ftplib.FTP_TLS) as ftp:
            with pytest.raises(ftplib.error_perm, match="^522 .*session reuse required"):
                ftp.nlst()
        assert "No SSL session reuse on data channel" in srv.log()


def plain_url(srv, name):
    return "ftp://%s:%s@127.0.0.1:%d/%s" % (srv.user, srv.password, srv.port, name)


def plain_curl(*args):
    return subprocess.run(["curl", "-sS", "--max-time", str(TIMEOUT)] + [str(a) for a in args],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=TIMEOUT + 10)


@pytest.mark.parametrize("verb,flags", [("EPSV", []), ("EPRT", ["-P", "-"])])
def test_epsv_only_server_serves_extended_data_commands(tmp_path, verb, flags):
    data, up, got = os.urandom(70001), tmp_path / "up.bin", tmp_path / "got.bin"
    up.write_bytes(data[::-1])
    with tlsservers.EpsvOnlyServer(files={"in.bin": data}) as srv:
        done = plain_curl(*flags, plain_url(srv, "in.bin"), "-o", got,
                          "--next", *flags, "-T", up, plain_url(srv, "up.bin"))
    assert done.returncode == 0, done.stderr
    assert got.read_bytes() == data
    assert srv.files["up.bin"] == data[::-1]
    verbs = [c.split(" ")[0] for c in srv.commands]
    assert verbs.count("USER") == 1  # one session for both transfers
    assert verbs.count(verb) == 2
    assert "PASV" not in verbs and "PORT" not in verbs


@pytest.mark.parametrize("verb,flags", [("PASV", ["--disable-epsv"]),
                                        ("PORT", ["-P", "-", "--disable-eprt"])])
def test_epsv_only_server_refuses_pasv_and_port(verb, flags):
    with tlsservers.EpsvOnlyServer(files={"in.bin": b"x"}) as srv:
        refused = plain_curl(*flags, plain_url(srv, "in.bin"))
    assert refused.returncode != 0
    assert refused.stdout == b""
    assert verb in [c.split(" ")[0] for c in srv.commands]
    assert "RETR in.bin" not in srv.commands
