"""cvxfer against the servers people run: FTPS that demands TLS on every
connection and session reuse on the data connections (vsftpd, pyftpdlib),
implicit FTPS, refused and untrusted certificates, servers that only speak
EPSV/EPRT, and IPv6."""
import ftplib
import os
import random
import signal
import ssl
import time

import pytest

import ftpservers
from scripted import EPSV_ONLY, ScriptedServer
from session import (QUEUE, cvadmin, depth, home, place, read, run, start, take,  # noqa: F401
                     url, vsftpd)

DATA = random.Random(13).randbytes(300 * 1024)


def tls_server(kind, tmp_path, **options):
    if kind.startswith("vsftpd"):
        return vsftpd(tls="implicit" if kind.endswith("implicit") else "explicit", **options)
    root = tmp_path / "ftp"
    root.mkdir()
    return ftpservers.pyftpdlib_server(str(root), tls=True, **options)


@pytest.mark.parametrize("kind,version", [("vsftpd", "1.2"), ("vsftpd", "1.3"),
                                          ("vsftpd-implicit", None), ("pyftpdlib", None)])
@pytest.mark.parametrize("mode", ["passive", "active"])
def test_ftps_listings_get_and_put(home, tmp_path, kind, version, mode):
    with tls_server(kind, tmp_path, tls_version=version) as srv:
        place(srv, "in.bin", DATA)
        scheme = "ftps" if srv.implicit else "ftpes"
        status, out = run(home, ["-e", "--cacert", srv.ca] + (["-p"] if mode == "passive" else []) +
                          [url(srv, scheme)],
                          ["binary", "ls", "dir", "get in.bin", "put out.bin", "status", "bye"])
        assert status == 0, out
        assert out.count("in.bin") >= 3  # ls, dir and the get
        assert read(srv, "out.bin") == DATA
        commands = srv.commands()
    assert depth(home) == 0
    assert "Data connections: protected" in out
    if version:
        assert "Control connection: protected, TLSv%s" % version in out
    if not srv.implicit:
        assert commands[:1] == ["AUTH TLS"], commands
        assert commands.index("PROT P") < commands.index("USER %s" % srv.user)


@pytest.mark.parametrize("cert,reason", [
    ("untrusted", "unable to get local issuer certificate"),
    ("expired", "certificate has expired"),
    ("wrong_host", "hostname mismatch"),
])
def test_certificates_that_do_not_verify_end_the_run_before_any_login(
        home, tmp_path, cert, reason):
    with tls_server("vsftpd", tmp_path, cert=cert) as srv:
        status, out = run(home, ["--cacert", srv.ca, url(srv, "ftpes")], ["bye"])
        commands = srv.commands()
        assert status == 5, out
        assert "not trusted: %s" % reason in out
        assert not [c for c in commands if c.startswith(("USER", "PASS"))], commands
        # --insecure connects, and says that it does not verify.
        status, out = run(home, ["--insecure", "-e", url(srv, "ftpes")], ["pwd", "bye"])
        assert status == 0, out
        assert "not verified (--insecure)" in out


def test_a_server_without_tls_gets_no_user_and_no_password(home):
    with ScriptedServer() as srv:
        status, out = run(home, ["-s", "127.0.0.1", str(srv.port)], ["bye"])
    assert status == 5, out
    assert "the server refused AUTH TLS" in out
    assert [line.split()[0] for line in srv.lines] == [b"AUTH"], srv.lines


def test_a_server_that_demands_tls_gets_a_hint_and_no_password(home, tmp_path):
    with tls_server("vsftpd", tmp_path) as srv:
        status, out = run(home, ["-n", "localhost", str(srv.port)],
                          ["user %s %s" % (srv.user, srv.password), "bye"])
        commands = srv.commands()
    assert status == 5, out
    assert "cvxfer: the server requires TLS; use -s or open ftpes://localhost" in out
    assert not [c for c in commands if c.startswith("PASS")], commands


@pytest.mark.parametrize("mode", ["passive", "active"])
def test_a_server_that_only_speaks_epsv_and_eprt(home, mode):
    with ScriptedServer({"f.bin": DATA}, refuse=EPSV_ONLY) as srv:
        status, out = run(home, ["-n", "-e"] + (["-p"] if mode == "passive" else []), [
            "open 127.0.0.1 %d" % srv.port, "user tester secret", "binary", "get f.bin",
            "get f.bin", "put g.bin", "bye"])
        commands = srv.verbs()
    assert status == 0, out
    assert srv.files["g.bin"] == DATA and depth(home) == 1
    classic, extended = ("PASV", "EPSV") if mode == "passive" else ("PORT", "EPRT")
    # The classic command is tried once; the extended one is then remembered.
    assert (commands.count(classic), commands.count(extended)) == (1, 3), commands


@pytest.mark.parametrize("mode", ["passive", "active"])
def test_ipv6(home, tmp_path, mode):
    reason = ftpservers.loopback_ipv6_unavailable()
    if reason:
        pytest.skip(reason)
    root = tmp_path / "v6"
    root.mkdir()
    with ftpservers.pyftpdlib_server(str(root), host="::1") as srv:
        place(srv, "six.bin", DATA)
        flags = ["-n", "-e"] + (["-p"] if mode == "passive" else [])
        status, out = run(home, flags + ["::1", str(srv.port)],
                          ["user tester secret", "binary", "get six.bin", "put back.bin", "bye"])
        assert status == 0, out
        assert read(srv, "back.bin") == DATA
        status, out = run(home, ["-e", url(srv, "ftp")], ["status", "bye"])
        assert status == 0, out
        assert "Peer: ::1 port %d" % srv.port in out


def test_kill_during_an_ftps_put_loses_no_message(home, tmp_path):
    big = os.urandom(64 * 1024 * 1024)
    with tls_server("vsftpd", tmp_path) as srv:
        for delay in (0.3, 0.6, 1.0):
            cvadmin(home, "put", QUEUE, data=big)
            proc = start(home, ["-p", "--cacert", srv.ca, url(srv, "ftpes")],
                         ["binary", "put big.bin", "bye"])
            time.sleep(delay)
            proc.send_signal(signal.SIGKILL)
            proc.wait(timeout=30)
            # Either the message is still on the queue, or it was stored whole
            # and committed; never gone with a partial file.
            if depth(home) == 0:
                assert read(srv, "big.bin") == big
            else:
                assert take(home) == big


def test_the_vsftpd_fixture_demands_session_reuse():
    """Without it the data connections' reuse of the control session would
    go untested: ftplib, which does not reuse, must be refused."""
    with vsftpd(tls="explicit") as srv:
        ftp = ftplib.FTP_TLS(context=ssl.create_default_context(cafile=srv.ca), timeout=30)
        try:
            ftp.connect("localhost", srv.port)
            ftp.login(srv.user, srv.password)
            ftp.prot_p()
            with pytest.raises(ftplib.error_perm, match="^522 .*session reuse required"):
                ftp.nlst()
        finally:
            ftp.close()
