"""get between a real FTP server and the embedded queue manager: persistence
as set, and a file becomes a message only when the queue takes it (stores
that fail: test_rel_hostile.py, test_bridge.py, test_service.py)."""
from session import browse, cvadmin, home, login, place, run, server, take  # noqa: F401


def test_persistence_and_a_full_queue(home, server):
    cvadmin(home, "define", "SMALL.Q", "--maxdepth", "1", "--maxmsgl", "100")
    for name, data in (("empty", b""), ("small", b"s"), ("large", b"L" * 101)):
        place(server, name, data)
    # cvconn starts again with persistent messages. large needs two segments
    # and SMALL.Q holds one message: the first goes back with the unit of
    # work, never half a group.
    _, out = run(home, ["-n"], login(server) + [
        "binary", "cvnper", "get empty", "cvper", "get empty", "cvnper", "cvconn", "get empty",
        "cvopen SMALL.Q", "get large", "get small", "get small", "bye"])
    assert out.count("cvxfer: [empty] 0 bytes received.\n") == 3
    assert out.count("Putted on queue\n") == 4
    assert out.count("Not putted on queue CVRC_Q_FULL\n") == 2
    msgs = browse(home)
    assert [m[1] for m in msgs] == ["0", "0", "0"]
    assert [m[3] for m in msgs] == ["non-persistent", "persistent", "persistent"]
    assert take(home, "SMALL.Q") == b"s"


def test_not_connected_leaves_the_queue_alone(home):
    cvadmin(home, "put", "SYSTEM.DEFAULT.LOCAL.QUEUE", data=b"keep me")
    _, out = run(home, ["-n"], ["get x", "put x", "bye"])
    assert out.count("Not Connected.\n") == 3
    assert take(home) == b"keep me"
