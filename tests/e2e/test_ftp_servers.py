"""cvxfer against FTP servers that no one here wrote: pyftpdlib and vsftpd,
active and passive, binary and ascii, byte for byte."""
import contextlib
import os

import pytest

import ftpservers
from session import browse, cvadmin, home, run, place, read, take  # noqa: F401

MIB = 1048576


@pytest.fixture(params=["pyftpdlib", "vsftpd"])
def real_server(request, tmp_path):
    if request.param == "vsftpd":
        reason = ftpservers.vsftpd_unavailable()
        if reason:
            pytest.skip(reason)
        context = ftpservers.vsftpd_server()
    else:
        root = tmp_path / "ftp"
        root.mkdir()
        context = ftpservers.pyftpdlib_server(str(root))
    with context as srv:
        srv.kind = request.param
        yield srv


@pytest.fixture(params=["active", "passive"])
def flags(request):
    return ["-n"] + (["-p"] if request.param == "passive" else [])


def session(srv, *commands):
    return ["open 127.0.0.1 %d" % srv.port, "user %s %s" % (srv.user, srv.password)] + \
        list(commands) + ["bye"]


def test_binary_round_trip_of_several_mebibytes(home, real_server, flags):
    data = os.urandom(5 * MIB + 3)
    place(real_server, "in.bin", data)
    _, out = run(home, flags, session(real_server, "binary", "get in.bin", "put out.bin"))
    assert "Putted on queue\n" in out
    assert "Message commited\n" in out
    assert read(real_server, "out.bin") == data


def test_empty_file_both_ways(home, real_server, flags):
    place(real_server, "empty", b"")
    _, out = run(home, flags, session(real_server, "binary", "get empty", "put empty.copy"))
    assert "cvxfer: [empty] 0 bytes received.\n" in out
    assert "empty.copy : 0 bytes sent.\n" in out
    assert read(real_server, "empty.copy") == b""


def test_ascii_transfers_convert_line_ends_on_the_server(home, real_server, flags):
    place(real_server, "text.txt", b"line one\nline two\n")
    _, out = run(home, flags, session(real_server, "get text.txt"))
    [msg] = browse(home)
    assert msg[2] == '"CVSTR   "'
    body = take(home)
    assert body.replace(b"\r\n", b"\n") == b"line one\nline two\n"
    cvadmin(home, "put", "SYSTEM.DEFAULT.LOCAL.QUEUE", data=b"a\r\nb\r\n")
    _, out = run(home, flags, session(real_server, "put back.txt"))
    assert "Message commited\n" in out
    assert read(real_server, "back.txt") == b"a\nb\n"


def test_listings_and_simple_commands(home, real_server, flags):
    place(real_server, "listed.txt", b"12345")
    _, out = run(home, flags, session(real_server, "ls", "dir", "pwd", "system", "rstatus",
                                        "rhelp", "cd /", "type", "binary", "type"))
    assert out.count("listed.txt") >= 2
    assert out.count("bytes received.\n") == 2
    assert "257 " in out
    assert "215 " in out
    assert "211" in out
    assert "214" in out
    assert "250 " in out
    assert "Using ascii mode to transfer files." in out
    assert "Using binary mode to transfer files." in out


def test_refused_retrieval_and_store(home, real_server, flags):
    cvadmin(home, "put", "SYSTEM.DEFAULT.LOCAL.QUEUE", data=b"stays")
    _, out = run(home, flags, session(real_server, "binary", "get no-such-file",
                                        "put no/such/dir/f", "ls"))
    assert "550" in out
    assert "Putted on queue" not in out
    assert "Message backed out\n" in out
    assert out.count("bytes received.\n") == 1  # the listing after still works
    assert take(home) == b"stays"
