"""get and put between a real FTP server and the embedded queue manager
where they refuse or fail: a message leaves the queue only when the remote
store succeeded, and a file becomes a message only when the queue takes it
(test_round_trip.py has the transfers that succeed; test_unattended.py
a refused RETR and an empty queue)."""
import os

from session import (after, browse, cvadmin, home, login, read, run,  # noqa: F401
                     server, take)
from session import place as write

MIB = 1048576


class TestGet:
    def test_nonpersistent_and_empty_files(self, home, server):
        write(server, "empty", b"")
        # cvconn starts again with persistent messages.
        _, out = run(home, ["-n"], login(server) + ["binary", "cvnper", "get empty", "cvper",
                                                    "get empty", "cvnper", "cvconn", "get empty",
                                                    "bye"])
        assert "cvxfer: [empty] 0 bytes received.\n" in out
        assert out.count("Putted on queue\n") == 3
        msgs = browse(home)
        assert [m[1] for m in msgs] == ["0", "0", "0"]
        assert [m[3] for m in msgs] == ["non-persistent", "persistent", "persistent"]

    def test_get_to_a_full_queue_reports_the_reason(self, home, server):
        cvadmin(home, "define", "SMALL.Q", "--maxdepth", "1", "--maxmsgl", "100")
        write(server, "small", b"s")
        write(server, "large", b"L" * 101)
        _, out = run(home, ["-n"], login(server) + [
            "cvopen SMALL.Q", "binary", "get large", "get small", "get small", "bye"])
        # large needs two segments, and the queue holds one message: the
        # first segment goes back with the unit of work, never half a group.
        assert out.count("Not putted on queue CVRC_Q_FULL\n") == 2
        assert out.count("Putted on queue\n") == 1
        assert take(home, "SMALL.Q") == b"s"

    def test_not_connected_leaves_the_queue_alone(self, home):
        cvadmin(home, "put", "SYSTEM.DEFAULT.LOCAL.QUEUE", data=b"keep me")
        _, out = run(home, ["-n"], ["get x", "put x", "bye"])
        assert out.count("Not Connected.\n") == 3
        assert take(home) == b"keep me"


class TestPut:
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

    def test_failed_stores_back_the_message_out(self, home, server):
        cvadmin(home, "put", "SYSTEM.DEFAULT.LOCAL.QUEUE", data=b"precious")
        _, out = run(home, ["-n", "-p"], login(server) + [
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
