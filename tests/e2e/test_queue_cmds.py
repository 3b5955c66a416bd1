"""The queue side of a session where the unit tests cannot reach: what
start-up opens, a data directory that cannot be used, and a queue that
forwards to another queue manager."""
import os

from session import PROMPT, after, cvadmin, home, login, place, run, server  # noqa: F401

STARTUP = ("\nConnected to default queue manager CVQM\n"
           "Queue SYSTEM.DEFAULT.LOCAL.QUEUE opened\n"
           "Message persistence set to CVPER_PERSISTENT.\n")


def test_unusable_data_directory_is_reported_and_the_session_goes_on(tmp_path):
    blocker = tmp_path / "not-a-directory"
    blocker.write_text("")
    status, out = run(str(blocker), [], ["status", "cvqdepth", "bye"])
    assert status == 9  # the queue manager could not be reached
    assert "Not connected to a default queue manager, CVRC_Q_MGR_NOT_AVAILABLE\n" in out
    assert "Queue SYSTEM.DEFAULT.LOCAL.QUEUE opened" not in out
    assert "Queue manager: \nQueue: \n" in out
    assert "Not able to inquire queue depth\n" in out


def test_a_remote_queue_is_opened_for_output_and_forwards(home, server):
    cvadmin(home, "define", "APP.IN")
    cvadmin(home, "create", "FAR.QM")
    cvadmin(home, "-m", "FAR.QM", "define", "FAR.IN")
    cvadmin(home, "define", "TO.FAR", "--remote", "FAR.QM/FAR.IN")
    place(server, "f.txt", b"forwarded")
    _, out = run(home, ["-n"], ["cvqdepth   APP.IN", "cvopen TO.FAR"] + login(server) + [
        "binary", "get f.txt", "put g.txt", "bye"])
    tail = after(out, STARTUP).replace(PROMPT, "")
    assert tail.startswith("Queue depth for APP.IN = 0\n"
                           "Queue SYSTEM.DEFAULT.LOCAL.QUEUE closed\n"
                           "Queue TO.FAR is not a local queue, trying to open as OUTPUT "
                           "only ...\nQueue TO.FAR opened\n")
    assert "Putted on queue\n" in tail
    assert "Message not getted from queue CVRC_NOT_OPEN_FOR_INPUT\n" in tail
    assert not os.path.exists(os.path.join(server.root, "g.txt"))
    assert cvadmin(home, "-m", "FAR.QM", "get", "FAR.IN").stdout == b"forwarded"
