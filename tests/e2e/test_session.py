"""Connection, login, mode, status and remote information commands against
a real FTP server."""
import os
import pwd
import subprocess

import pytest

import ftpservers
from session import (CONNECTED, CVXFER, PROMPT, Terminal, after, env_with_home, home,  # noqa: F401
                     login, run, server)

LONG_USER = "cvxfer-tester-with-a-long-name"  # more than 19 characters


def login_name():
    """The name the User question offers: the whole login name."""
    return pwd.getpwuid(os.getuid()).pw_name


@pytest.fixture
def long_user_server(tmp_path):
    (tmp_path / "ftp").mkdir()
    with ftpservers.pyftpdlib_server(str(tmp_path / "ftp"), user=LONG_USER) as srv:
        yield srv


class TestOpenAndLogin:
    def test_command_line_host_and_port_logs_in_on_a_terminal(self, home, long_user_server):
        server = long_user_server  # a typed name is sent whole
        term = Terminal(home, ["127.0.0.1", str(server.port)])
        try:
            term.expect(CONNECTED.strip())
            term.expect("User <%s>:" % login_name())
            term.child.sendline(server.user)
            term.expect("Password: ")
            term.child.sendline(server.password)
            out = term.expect(PROMPT)
            assert "230" in out
            assert "Login incorrect." not in out
            assert "Using ascii mode to transfer files." in term.line("type")
        finally:
            term.close()

    def test_enter_at_the_user_question_sends_the_login_name(self, home, server):
        term = Terminal(home, ["-d", "127.0.0.1", str(server.port)])
        try:
            term.expect("User <%s>:" % login_name())
            term.child.sendline("")
            term.expect("--> USER %s" % login_name())
            term.expect("Password: ")
            term.child.sendline("wrong")
            out = term.expect(PROMPT)
            assert "--> PASS XXXX" in out and "wrong" not in out
            assert "Login incorrect." in out
        finally:
            term.close()

    def test_open_alone_asks_for_the_host(self, home, server):
        term = Terminal(home, ["-n"])
        try:
            term.expect(PROMPT)
            out = term.line("open", until="To ")
            out = term.line("127.0.0.1 %d" % server.port)
            assert CONNECTED.strip() in out
            assert "220" in out
            # -n: no login was tried, so no type was chosen yet.
            assert "Using <UNKNOWN> mode to transfer files." in term.line("type")
        finally:
            term.close()

    @pytest.mark.parametrize("args,said", [
        (["127.0.0.1", "{port}", "-n"], "options come before the host: -n"),
        (["ftp://127.0.0.1:{port}/", "-e"], "options come before the host: -e"),
        (["127.0.0.1", "{port}", "x"], "too many arguments: x"),
        (["--cacert"], "option --cacert needs a file"),
        (["--cacert", "/no/such/file"], "option --cacert needs a readable file: /no/such/file"),
        (["-t"], "option -t needs seconds"),
        (["-t", "0"], "option -t needs whole seconds from 1: 0"),
        (["-c"], "option -c needs commands"),
        (["--bogus"], "unknown option --bogus"),
    ])
    def test_a_usage_error_is_one_line_and_runs_nothing(self, home, server, args, said):
        proc = subprocess.run([CVXFER] + [a.format(port=server.port) for a in args],
                              input=b"bye\n", stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=env_with_home(home), timeout=30)
        assert proc.returncode == 2
        assert proc.stderr.decode() == "cvxfer: %s; see cvxfer --help\n" % said
        assert proc.stdout == b""
        assert os.listdir(home) == [], "nothing was run"

    def test_wrong_password_then_a_new_user_command(self, home, server):
        status, out = run(home, ["-n"], [
            "open 127.0.0.1 %d" % server.port, "user %s nope" % server.user,
            "user %s %s" % (server.user, server.password), "type", "bye"])
        assert out.count("Login incorrect.") == 1
        assert "Using ascii mode to transfer files." in after(out, "Login incorrect.")

    def test_open_while_connected_and_unreachable_hosts(self, home, server):
        _, out = run(home, ["-n"], login(server) + [
            "open 127.0.0.1 %d" % server.port, "close",
            "open 127.0.0.1 1", "open no-such-host.invalid", "bye"])
        assert "Already connected.  Close connection first.\n" in out
        assert "221" in out
        assert "Error on TCP/IP connect: " in out
        assert "Error on TCP/IP: TCP/IP host unknown" in out

class TestModesAndShell:
    def test_verbose_off_silences_replies(self, home, server):
        _, out = run(home, ["-n"], login(server) + ["verbose", "pwd", "system", "rstatus",
                                                      "rhelp", "cd /", "bye"])
        tail = after(out, "Verbose mode Off.\n")
        assert tail.replace(PROMPT, "") == ""

    def test_shell_escape_runs_a_command(self, home):
        _, out = run(home, ["-n"], ["! echo shell-$((6*7))", "!echo close-$((1+1))", "bye"])
        assert "shell-42\n" in out
        # A command written against the "!" runs as well.
        assert "close-2\n" in out

    def test_shell_escape_alone_starts_an_interactive_shell(self, home):
        term = Terminal(home, ["-n"])
        try:
            term.expect(PROMPT)
            term.child.sendline("!")
            term.child.sendline("echo inner-$((40+2)); exit")
            term.expect("inner-42")
            term.expect(PROMPT)
            assert "Debugging On ." in term.line("debug")
        finally:
            term.close()


class TestRemoteInformation:
    def test_pwd_cd_with_blanks_system_rstatus_rhelp(self, home, server):
        os.mkdir(os.path.join(server.root, "my dir"))
        _, out = run(home, ["-n", "-d"], login(server) + [
            "cd   my dir", "pwd", "system", "rstatus", "rhelp", "rhelp RETR", "bye"])
        assert "--> CWD my dir\n" in out
        assert '257 "/my dir"' in out
        assert "215 UNIX" in out
        assert "211" in out
        assert "214" in out

    def test_cd_alone_asks_for_the_directory(self, home, server):
        os.mkdir(os.path.join(server.root, "sub"))
        _, out = run(home, ["-n", "-d"], login(server) + ["cd", "sub", "pwd", "bye"])
        assert "Remote directory " in out
        assert "--> CWD sub\n" in out
        assert '257 "/sub"' in out

    def test_listings_pass_only_the_first_word(self, home, server):
        os.mkdir(os.path.join(server.root, "d"))
        for name in ("alpha.txt", "d/beta.txt"):
            with open(os.path.join(server.root, name), "w") as f:
                f.write("x" * 10)
        _, out = run(home, ["-n", "-d"], login(server) + ["ls", "ls d ignored", "dir d",
                                                            "passive", "ls d", "bye"])
        assert "--> NLST\n" in out
        assert "--> NLST d\n" in out
        assert "--> LIST d\n" in out
        assert "alpha.txt\r\n" in out
        assert "beta.txt\r\n" in out
        assert "cvxfer: 14 bytes received.\n" in out  # "alpha.txt\r\nd\r\n"
        assert out.count("beta.txt") == 3

    def test_listing_of_an_empty_directory(self, home, server):
        os.mkdir(os.path.join(server.root, "empty"))
        _, out = run(home, ["-n"], login(server) + ["ls empty", "bye"])
        assert "cvxfer: 0 bytes received.\n" in out
