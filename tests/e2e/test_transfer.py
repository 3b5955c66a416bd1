"""get and put between a real FTP server and the embedded queue manager:
files become messages and messages files, byte for byte, and a message
leaves the queue only when the remote store succeeded."""
import os

import pytest

from session import (after, browse, cvadmin, depth, home, login, run, server,  # noqa: F401
                     take)

MIB = 1048576


def write(server, name, data):
    with open(os.path.join(server.root, name), "wb") as f:
        f.write(data)


def read(server, name):
    with open(os.path.join(server.root, name), "rb") as f:
        return f.read()


@pytest.fixture(params=["active", "passive"])
def mode(request):
    """The cvxfer flags of each data connection mode."""
    return ["-n"] + (["-p"] if request.param == "passive" else [])


class TestGet:
    def test_binary_file_becomes_one_persistent_message(self, home, server, mode):
        data = os.urandom(3 * MIB + 17)
        write(server, "big.bin", data)
        _, out = run(home, mode, login(server) + ["binary", "get big.bin", "bye"])
        assert "cvxfer: [big.bin] %d bytes received.\n" % len(data) in out
        assert "Putted on queue\n" in out
        [msg] = browse(home)
        assert msg[1] == str(len(data))
        assert msg[2] == '"        "'
        assert msg[3] == "persistent"
        assert take(home) == data

    def test_ascii_get_marks_a_string_and_keeps_the_servers_bytes(self, home, server):
        write(server, "text.txt", b"one\ntwo\n")
        _, out = run(home, ["-n"], login(server) + ["get text.txt", "bye"])
        [msg] = browse(home)
        assert msg[2] == '"CVSTR   "'
        # The server sends ascii with CR LF line ends; they arrive unchanged.
        assert take(home) == b"one\r\ntwo\r\n"

    def test_quoted_name_with_blanks_is_one_file(self, home, server):
        write(server, "my file.txt", b"spaced")
        _, out = run(home, ["-n"], login(server) + ["binary", 'get "my file.txt"', "bye"])
        assert "cvxfer: [my file.txt] 6 bytes received.\n" in out
        assert take(home) == b"spaced"

    def test_nonpersistent_and_empty_files(self, home, server):
        write(server, "empty", b"")
        _, out = run(home, ["-n"], login(server) + ["binary", "cvnper", "get empty", "cvper",
                                                      "get empty", "bye"])
        assert "cvxfer: [empty] 0 bytes received.\n" in out
        assert out.count("Putted on queue\n") == 2
        msgs = browse(home)
        assert [m[1] for m in msgs] == ["0", "0"]
        assert [m[3] for m in msgs] == ["non-persistent", "persistent"]

    def test_failed_retrievals_put_nothing(self, home, server, mode):
        _, out = run(home, mode, login(server) + ["get", "get missing.bin", "bye"])
        assert "No file specified.\n" in out
        assert "550" in out
        assert "Putted on queue" not in out
        assert "Not putted" not in out
        assert depth(home) == 0

    def test_several_gets_in_a_row(self, home, server):
        for i in range(3):
            write(server, "f%d" % i, bytes([i]) * (1000 * (i + 1)))
        _, out = run(home, ["-n", "-p"], login(server) + [
            "binary", "get f0", "get f1", "get f2", "bye"])
        assert out.count("Putted on queue\n") == 3
        assert [take(home) for _ in range(3)] == [bytes([i]) * (1000 * (i + 1)) for i in range(3)]

    def test_get_to_a_full_queue_reports_the_reason(self, home, server):
        cvadmin(home, "define", "SMALL.Q", "--maxdepth", "1", "--maxmsgl", "100")
        write(server, "small", b"s")
        write(server, "large", b"L" * 101)
        _, out = run(home, ["-n"], login(server) + [
            "cvopen SMALL.Q", "binary", "get large", "get small", "get small", "bye"])
        # The download stops at the queue's limit instead of running to its end.
        assert "cvxfer: [large] too large for one message (more than 100 bytes)" in out
        assert "Not putted on queue CVRC_MSG_TOO_BIG_FOR_Q\n" in out
        assert "Not putted on queue CVRC_Q_FULL\n" in out
        assert out.count("Putted on queue\n") == 1
        assert take(home, "SMALL.Q") == b"s"

    def test_not_connected_leaves_the_queue_alone(self, home):
        cvadmin(home, "put", "SYSTEM.DEFAULT.LOCAL.QUEUE", data=b"keep me")
        _, out = run(home, ["-n"], ["get x", "put x", "bye"])
        assert out.count("Not Connected.\n") == 3
        assert take(home) == b"keep me"


class TestPut:
    def test_message_becomes_the_remote_file_and_leaves_the_queue(self, home, server, mode):
        data = os.urandom(2 * MIB + 5)
        cvadmin(home, "put", "SYSTEM.DEFAULT.LOCAL.QUEUE", data=data)
        _, out = run(home, mode, login(server) + ["binary", "put copy.bin", "bye"])
        assert "Message getted from queue : %d bytes\n" % len(data) in out
        assert "copy.bin : %d bytes sent.\n" % len(data) in out
        assert "Message commited\n" in out
        assert read(server, "copy.bin") == data
        assert depth(home) == 0

    def test_one_get_whatever_the_size(self, home, server):
        size = MIB + 1
        data = os.urandom(size)
        cvadmin(home, "put", "SYSTEM.DEFAULT.LOCAL.QUEUE", data=data)
        _, out = run(home, ["-n", "-d"], login(server) + ["binary", "put m.bin", "bye"])
        assert out.count("--> CVGET\n") == 1
        tail = after(out, "Message getted from queue : %d bytes\n" % size)
        assert "--> STOR m.bin\n" in tail
        assert "--> CVCMIT\nMessage commited\n" in tail
        assert read(server, "m.bin") == data

    def test_failed_stores_back_the_message_out(self, home, server, mode):
        cvadmin(home, "put", "SYSTEM.DEFAULT.LOCAL.QUEUE", data=b"precious")
        _, out = run(home, mode, login(server) + [
            "binary", "put", "put no/such/dir/file", "bye"])
        # Without a name no message is taken at all; the refused store backs
        # its message out once.
        assert "No file specified.\ncvxfer> " in out
        assert out.count("Message getted from queue") == 1
        assert out.count("Message backed out\n") == 1
        assert "Message commited" not in out
        assert not os.path.exists(os.path.join(server.root, "no"))
        [msg] = browse(home)
        assert msg[5] == "1"  # backed out once: the nameless put took nothing
        assert take(home) == b"precious"

    def test_empty_queue_sends_nothing(self, home, server):
        _, out = run(home, ["-n", "-d"], login(server) + ["put f", "bye"])
        assert "Message not getted from queue CVRC_NO_MSG_AVAILABLE\n" in out
        assert "--> STOR" not in out
        assert "--> CVBACK" not in out
        assert not os.path.exists(os.path.join(server.root, "f"))

    def test_messages_go_oldest_first_and_round_trip(self, home, server):
        payloads = [b"first\n", os.urandom(70000), b""]
        for p in payloads:
            cvadmin(home, "put", "SYSTEM.DEFAULT.LOCAL.QUEUE", data=p)
        _, out = run(home, ["-n"], login(server) + [
            "binary", "put a", "put b", "put c", "get b", "bye"])
        assert [read(server, n) for n in "abc"] == payloads
        assert take(home) == payloads[1]

    def test_ascii_round_trip_restores_the_file(self, home, server):
        write(server, "lines.txt", b"alpha\nbeta\n")
        _, out = run(home, ["-n"], login(server) + ["get lines.txt", "put back.txt", "bye"])
        assert "Message commited\n" in out
        assert read(server, "back.txt") == b"alpha\nbeta\n"
