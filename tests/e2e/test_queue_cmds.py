"""The queue side of a session: start-up, cvconn, cvopen, cvqdepth, cvper and
cvnper against the embedded queue manager; none needs an FTP server."""
import os

from session import PROMPT, after, cvadmin, depth, home, login, run, server, take  # noqa: F401

STARTUP = ("\nConnected to default queue manager CVQM\n"
           "Queue SYSTEM.DEFAULT.LOCAL.QUEUE opened\n"
           "Message persistence set to CVPER_PERSISTENT.\n")


class TestStartUp:
    def test_fresh_machine_gets_a_default_queue_manager(self, home):
        status, out = run(home, [], ["bye"])
        assert status == 0
        assert after(out, "Unix systems\n").startswith(STARTUP), out
        assert cvadmin(home, "list").stdout.decode() == "CVQM (default)\n"

    def test_debug_shows_every_queue_call(self, home):
        _, out = run(home, ["-d"], ["bye"])
        assert ("--> CVCONN\n--> CVOPEN\n--> CVINQ\n--> CVCLOSE\n"
                "\nConnected to default queue manager CVQM\n"
                "--> CVOPEN\nQueue SYSTEM.DEFAULT.LOCAL.QUEUE opened\n"
                "Message persistence set to CVPER_PERSISTENT.\n") in out

    def test_unusable_data_directory_is_reported_and_the_session_goes_on(self, tmp_path):
        blocker = tmp_path / "not-a-directory"
        blocker.write_text("")
        status, out = run(str(blocker), [], ["status", "cvqdepth", "bye"])
        assert status == 9  # the queue manager could not be reached
        assert "Not connected to a default queue manager, CVRC_Q_MGR_NOT_AVAILABLE\n" in out
        assert "Queue SYSTEM.DEFAULT.LOCAL.QUEUE opened" not in out
        assert "Queue manager: \nQueue: \n" in out
        assert "Not able to inquire queue depth\n" in out


class TestConnectAndOpen:
    def test_cvconn_alone_reconnects_to_the_default(self, home):
        _, out = run(home, [], ["cvconn", "status", "bye"])
        tail = after(out, STARTUP)
        assert tail.replace(PROMPT, "").startswith(
            "Queue manager CVQM disconnected\n"
            "Queue manager  connected\n"
            "Queue SYSTEM.DEFAULT.LOCAL.QUEUE opened\n"
            "Message persistence set to CVPER_PERSISTENT.\n")
        assert "Queue manager: \nQueue: SYSTEM.DEFAULT.LOCAL.QUEUE\n" in tail

    def test_cvconn_to_named_and_unknown_queue_managers(self, home):
        cvadmin(home, "create", "CVQM")
        cvadmin(home, "create", "OTHER.QM")
        _, out = run(home, [], ["cvconn \t OTHER.QM", "cvc NOPE", "cvconn OTHER.QM", "bye"])
        tail = after(out, STARTUP).replace(PROMPT, "")
        assert tail.startswith("Queue manager CVQM disconnected\n"
                               "Queue manager OTHER.QM connected\n"
                               "Queue SYSTEM.DEFAULT.LOCAL.QUEUE opened\n")
        assert ("Queue manager OTHER.QM disconnected\n"
                "Queue manager not connected, CVRC_Q_MGR_NAME_ERROR\n"
                "Queue manager OTHER.QM connected\n") in tail

    def test_cvopen_local_unknown_and_remote_queues(self, home, server):
        cvadmin(home, "define", "APP.IN")
        cvadmin(home, "create", "FAR.QM")
        cvadmin(home, "-m", "FAR.QM", "define", "FAR.IN")
        cvadmin(home, "define", "TO.FAR", "--remote", "FAR.QM/FAR.IN")
        with open(os.path.join(server.root, "f.txt"), "wb") as f:
            f.write(b"forwarded")
        _, out = run(home, ["-n"], [
            "cvopen APP.IN", "cvo NOPE", "cvqdepth", "cvopen TO.FAR"] + login(server) + [
            "binary", "get f.txt", "put g.txt", "bye"])
        tail = after(out, STARTUP).replace(PROMPT, "")
        assert tail.startswith("Queue SYSTEM.DEFAULT.LOCAL.QUEUE closed\n"
                               "Queue APP.IN opened\n"
                               "Queue APP.IN closed\n"
                               "Queue not opened, CVRC_UNKNOWN_OBJECT_NAME\n"
                               "Not able to inquire queue depth\n"
                               "Queue TO.FAR is not a local queue, trying to open as OUTPUT "
                               "only ...\nQueue TO.FAR opened\n")
        assert "Putted on queue\n" in tail
        assert "Message not getted from queue CVRC_NOT_OPEN_FOR_INPUT\n" in tail
        assert not os.path.exists(os.path.join(server.root, "g.txt"))
        assert cvadmin(home, "-m", "FAR.QM", "get", "FAR.IN").stdout == b"forwarded"


class TestDepthAndPersistence:
    def test_cvqdepth_of_the_open_and_of_named_queues(self, home):
        cvadmin(home, "define", "OTHER.Q")
        for _ in range(3):
            cvadmin(home, "put", "SYSTEM.DEFAULT.LOCAL.QUEUE", data=b"m")
        cvadmin(home, "put", "OTHER.Q", data=b"m")
        _, out = run(home, [], ["cvqdepth", "cvq OTHER.Q", "cvqdepth   OTHER.Q", "cvq NOPE",
                                  "verbose", "cvqdepth", "bye"])
        assert out.count("Queue depth for SYSTEM.DEFAULT.LOCAL.QUEUE = 3\n") == 2
        assert out.count("Queue depth for OTHER.Q = 1\n") == 2
        assert "Not able to inquire queue depth\n" in out
        assert depth(home) == 3

    def test_cvper_and_cvnper(self, home):
        _, out = run(home, [], ["cvnper", "status", "cvper", "status", "cvnper", "cvconn",
                                  "status", "bye"])
        statuses = out.split("Message persistence: ")[1:]
        assert [s[:3].strip() for s in statuses] == ["off", "on", "on"]
        assert "Message persistence set to CVPER_NOT_PERSISTENT.\n" in out

    def test_queue_commands_do_not_need_an_ftp_server(self, home):
        _, out = run(home, ["-n"], ["cvqdepth", "cvper", "bye"])
        assert out.count("Not Connected.\n") == 1  # from bye alone
        assert "Queue depth for SYSTEM.DEFAULT.LOCAL.QUEUE = 0\n" in out
