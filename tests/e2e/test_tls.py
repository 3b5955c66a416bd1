"""FTPS where it goes wrong: certificates that do not verify, a server
without TLS or one that demands it, and cvxfer killed or interrupted in
the middle of a protected transfer (test_round_trip.py has the transfers
that succeed)."""
import ftplib
import os
import signal
import ssl
import subprocess
import time

import pytest

from ftpservers import pki
from scripted import PAYLOAD, ScriptedServer
from session import (PROMPT, QUEUE, Terminal, browse, cvadmin, depth, home, place,  # noqa: F401
                     read, run, start, take, url, vsftpd)


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
    assert "cvxfer: the server requires TLS; use -s or open ftpes://localhost:%d\n" % srv.port in out
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


@pytest.mark.parametrize("direction,tls", [("get", True), ("put", True), ("put", False)],
                         ids=["ftps-get", "ftps-put", "ftp-put"])
@pytest.mark.parametrize("terminal", [True, False], ids=["terminal", "script"])
def test_ctrl_c_during_a_transfer(home, direction, tls, terminal):
    """Nothing is put or committed and the message is backed out; at a
    terminal the session goes on, a script ends with 130."""
    big = os.urandom(8 * 1024 * 1024)  # half a minute at the server's rate
    with vsftpd(tls="explicit" if tls else None, max_rate=256 * 1024) as srv:
        if direction == "get":
            place(srv, "big.bin", big)
        else:
            cvadmin(home, "put", QUEUE, data=big)
        args = ["-p", "--cacert", srv.ca, url(srv, "ftpes")] if tls else ["-p", url(srv)]
        if terminal:
            term = Terminal(home, args)
            try:
                term.expect(PROMPT)
                term.line("binary")
                term.child.sendline("%s big.bin" % direction)
                time.sleep(1.5)
                term.child.sendintr()
                out = term.expect("cvxfer: interrupted") + term.expect(PROMPT)
                assert "257" in term.line("pwd")
            finally:
                term.close()
        else:
            proc = start(home, args, ["binary", "%s big.bin" % direction, "pwd", "bye"],
                         stdout=subprocess.PIPE)
            time.sleep(1.5)
            proc.send_signal(signal.SIGINT)
            out = proc.communicate(timeout=30)[0].decode(errors="replace")
            assert proc.returncode == 130, out
            assert "cvxfer: interrupted" in out and "257" not in out
        verb = "RETR" if direction == "get" else "STOR"
        assert verb + " big.bin" in srv.commands(), "interrupted before the transfer"
        with open(srv.log_path) as log:
            assert '"226 ' not in log.read(), "the cut transfer taken as whole"
    assert "Putted on queue" not in out and "Message commited" not in out, out
    if direction == "put":
        [msg] = browse(home)
        assert msg[5] == "1", "backed out once"
    else:
        assert depth(home) == 0


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


@pytest.mark.parametrize("direction,tls_end", [("get", "cut"), ("put", "chatter")])
def test_a_protected_data_connection_that_ends_badly(home, direction, tls_end):
    """A RETR whose data ends without close_notify may have lost its end: the
    get fails (class 7) and puts nothing. A server that keeps sending after a
    STOR's close_notify holds the put no longer than -t (the run's own
    timeout here is shorter than the 30 s it once held)."""
    files = {"x.bin": PAYLOAD} if direction == "get" else {}
    if direction == "put":
        cvadmin(home, "put", QUEUE, data=PAYLOAD)
    with ScriptedServer(files, tls=True, tls_end=tls_end) as srv:
        status, out = run(home, ["-n", "-t", "3", "-s", "--cacert", pki().ca, "127.0.0.1",
                                 str(srv.port)],
                          ["user tester secret", "binary", direction + " x.bin", "bye"],
                          timeout=20)
    if direction == "get":
        assert status == 7, out
        assert "cvxfer: the data connection ended without TLS close_notify" in out
        assert depth(home) == 0 and files == {"x.bin": PAYLOAD}
    else:
        assert status == 0, out
        assert files == {"x.bin": PAYLOAD} and depth(home) == 0
