"""FTPS where it goes wrong: certificates that do not verify, a server
without TLS or one that demands it, and cvxfer killed or interrupted in
the middle of a protected transfer (test_round_trip.py has the transfers
that succeed)."""
import ftplib
import os
import signal
import ssl
import time

import pytest

from scripted import ScriptedServer
from session import QUEUE, cvadmin, depth, home, read, run, start, take, url, vsftpd  # noqa: F401


@pytest.mark.parametrize("cert,reason", [
    ("untrusted", "unable to get local issuer certificate"),
    ("expired", "certificate has expired"),
    ("wrong_host", "hostname mismatch"),
])
def test_certificates_that_do_not_verify_end_the_run_before_any_login(
        home, cert, reason):
    with vsftpd(tls="explicit", cert=cert) as srv:
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


def test_a_server_that_demands_tls_gets_a_hint_and_no_password(home):
    with vsftpd(tls="explicit") as srv:
        status, out = run(home, ["-n", "localhost", str(srv.port)],
                          ["user %s %s" % (srv.user, srv.password), "bye"])
        commands = srv.commands()
    assert status == 5, out
    assert "cvxfer: the server requires TLS; use -s or open ftpes://localhost" in out
    assert not [c for c in commands if c.startswith("PASS")], commands


def test_kill_during_an_ftps_put_loses_no_message(home):
    big = os.urandom(64 * 1024 * 1024)
    with vsftpd(tls="explicit") as srv:
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
