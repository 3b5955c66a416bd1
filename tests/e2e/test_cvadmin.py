"""cvadmin, the admin command of the embedded queue manager."""
import json
import os
import stat

from session import browse, cvadmin, home  # noqa: F401


QUEUE = "SYSTEM.DEFAULT.LOCAL.QUEUE"
NAME_RULE = "a name has 1 to 48 letters, digits, '.', '_' and '%'"


def run(home, *args, data=None):
    return cvadmin(home, *args, data=data, check=False)


def refused(proc, command, reason, cause):
    """proc failed with exit 1, saying the reason and what lies under it."""
    assert proc.returncode == 1, proc
    assert proc.stderr.decode() == "cvadmin: %s: %s: %s\n" % (command, reason, cause)


def test_queue_managers_create_list_default_delete(home):
    assert run(home, "create", "ALPHA").returncode == 0
    assert run(home, "create", "BETA").returncode == 0
    assert run(home, "list").stdout == b"ALPHA (default)\nBETA\n"
    assert run(home, "default", "BETA").returncode == 0
    assert run(home, "list").stdout == b"ALPHA\nBETA (default)\n"
    assert json.loads(run(home, "list", "--json").stdout) == {
        "default": "BETA",
        "queue_managers": [{"name": "ALPHA", "kind": "local", "default": False},
                           {"name": "BETA", "kind": "local", "default": True}]}
    assert run(home, "create", "GAMMA", "--default").returncode == 0
    assert b"GAMMA (default)" in run(home, "list").stdout
    refused(run(home, "create", "ALPHA"), "create", "CVRC_OBJECT_ALREADY_EXISTS",
            "queue manager ALPHA exists already in " + home)
    refused(run(home, "create", "no/slashes"), "create", "CVRC_Q_MGR_NAME_ERROR",
            "'no/slashes': " + NAME_RULE)
    assert run(home, "delete", "ALPHA").returncode == 0
    assert run(home, "list").stdout == b"BETA\nGAMMA (default)\n"
    for args in (["delete", "ALPHA"], ["-m", "ALPHA", "queues"], ["default", "ALPHA"]):
        refused(run(home, *args), args[2] if args[0] == "-m" else args[0],
                "CVRC_Q_MGR_NAME_ERROR", "no queue manager ALPHA in " + home)
    # Listing none is no failure.
    assert [run(home, "delete", qm).returncode for qm in ("BETA", "GAMMA")] == [0, 0]
    assert run(home, "list").stdout == b""
    assert json.loads(run(home, "list", "--json").stdout) == {"default": None,
                                                               "queue_managers": []}


def test_read_commands_create_nothing(tmp_path):
    home = tmp_path / "corvane"
    reads = (["list"], ["list", "--json"], ["queues"], ["depth", QUEUE], ["browse", QUEUE],
             ["check"])
    for args in reads:
        refused(run(str(home), *args), args[0], "CVRC_Q_MGR_NOT_AVAILABLE",
                "no queue manager: the data directory %s does not exist "
                "(cvadmin create QMGR makes one)" % home)
        assert not home.exists(), args
    home.mkdir()
    for args in reads[2:]:  # listing none is no failure (above)
        refused(run(str(home), *args), args[0], "CVRC_Q_MGR_NOT_AVAILABLE",
                "no queue manager in %s (cvadmin create QMGR makes one)" % home)
        assert os.listdir(home) == [], args
    # One named with -m that is not there is not made either.
    assert run(str(home), "create", "ONE").returncode == 0
    refused(run(str(home), "-m", "TWO", "browse", QUEUE), "browse", "CVRC_Q_MGR_NAME_ERROR",
            "no queue manager TWO in %s" % home)
    assert sorted(os.listdir(home)) == ["ONE.qm", "default"]


def test_delete_refuses_a_queue_manager_in_use_unless_forced(home):
    for name in ("A", "B"):
        assert run(home, "create", name).returncode == 0
    run(home, "-m", "A", "put", QUEUE, data=b"still here")
    unless = " (--force deletes it all the same)"
    refused(run(home, "delete", "A"), "delete", "CVRC_Q_NOT_EMPTY",
            "A holds messages: %s 1%s" % (QUEUE, unless))
    run(home, "-m", "A", "get", QUEUE)
    assert run(home, "-m", "B", "define", "TO.A", "--remote", "A/IN").returncode == 0
    refused(run(home, "delete", "A"), "delete", "CVRC_OBJECT_IN_USE",
            "remote definitions send to A: B/TO.A" + unless)
    assert run(home, "-m", "A", "put", QUEUE, data=b"gone with it").returncode == 0
    assert run(home, "delete", "A", "--force").returncode == 0
    assert run(home, "list").stdout == b"B\n"
    assert run(home, "delete", "B").returncode == 0  # sending to A is no use of B


def test_data_directory_is_private(tmp_path):
    home = str(tmp_path / "fresh" / "corvane")  # made by the library itself
    run(home, "put", "SYSTEM.DEFAULT.LOCAL.QUEUE", data=b"secret")
    run(home, "create", "SECOND")
    for dirpath, dirnames, filenames in os.walk(home):
        assert stat.S_IMODE(os.stat(dirpath).st_mode) == 0o700, dirpath
        for name in filenames:
            path = os.path.join(dirpath, name)
            assert stat.S_IMODE(os.stat(path).st_mode) == 0o600, path
    # One that cannot be made: the reason, then what the system said.
    blocker = tmp_path / "file"
    blocker.write_bytes(b"")
    failed = run(str(blocker / "corvane"), "list")
    assert failed.stderr == (b"cvadmin: list: CVRC_Q_MGR_NOT_AVAILABLE: "
                             + str(blocker / "corvane").encode() + b": Not a directory\n")


def test_define_queues_depth_undefine(home):
    assert run(home, "define", "APP.Q", "--maxdepth", "3", "--maxmsgl", "10").returncode == 0
    assert run(home, "define", "FWD", "--remote", "OTHER/IN").returncode == 0
    lines = run(home, "queues").stdout.decode().splitlines()
    assert lines[0].split("\t")[:5] == ["QUEUE", "TYPE", "DEPTH", "MAXDEPTH", "MAXMSGL"]
    rows = {l.split("\t")[0]: l.split("\t")[1:5] for l in lines[1:]}
    assert rows["APP.Q"] == ["local", "0", "3", "10"]
    assert rows["FWD"][0] == "remote OTHER/IN"
    assert rows["SYSTEM.DEFAULT.LOCAL.QUEUE"] == ["local", "0", "5000", "104857600"]
    refused(run(home, "define", "APP.Q"), "define", "CVRC_OBJECT_ALREADY_EXISTS",
            "queue APP.Q exists already on queue manager CVQM")
    refused(run(home, "put", "APP.Q", data=b"12345678901"), "put", "CVRC_MSG_TOO_BIG_FOR_Q",
            "the message has more than 10 bytes; queue APP.Q takes at most 10")
    for _ in range(3):
        run(home, "put", "APP.Q", data=b"m")
    refused(run(home, "put", "APP.Q", data=b"m"), "put", "CVRC_Q_FULL",
            "queue APP.Q is full: its maximum depth is 3")
    assert run(home, "depth", "APP.Q").stdout == b"3\n"
    doc = json.loads(run(home, "queues", "--json").stdout)
    limits = ("name", "type", "depth", "maxdepth", "maxmsgl", "remote_queue_manager",
              "remote_queue")  # the backout columns: test_cvadmin_store.py
    assert doc["queue_manager"] == "CVQM" and [
        {k: v for k, v in q.items() if k in limits} for q in doc["queues"]] == [
        {"name": "APP.Q", "type": "local", "depth": 3, "maxdepth": 3, "maxmsgl": 10},
        {"name": "FWD", "type": "remote", "remote_queue_manager": "OTHER", "remote_queue": "IN"},
        {"name": QUEUE, "type": "local", "depth": 0, "maxdepth": 5000, "maxmsgl": 104857600}]
    refused(run(home, "undefine", "APP.Q"), "undefine", "CVRC_Q_NOT_EMPTY",
            "queue APP.Q holds messages (cvadmin clear empties it)")
    run(home, "clear", "APP.Q")
    assert run(home, "undefine", "APP.Q").returncode == 0
    refused(run(home, "depth", "APP.Q"), "depth", "CVRC_UNKNOWN_OBJECT_NAME",
            "no queue APP.Q on queue manager CVQM")
    refused(run(home, "put", "FWD", data=b"x"), "put", "CVRC_UNKNOWN_REMOTE_Q_MGR",
            "the remote definition FWD names queue manager OTHER, which does not exist")
    refused(run(home, "define", "BAD-NAME"), "define", "CVRC_OBJECT_NAME_ERROR",
            "'BAD-NAME': " + NAME_RULE)


def test_names_are_whole_or_refused(home):
    # Never cut to the 48 characters of a name field: that would name another.
    name48 = "Q" * 48
    assert run(home, "define", name48).returncode == 0
    for args in (["put", name48 + "R"], ["get", name48 + "R"], ["depth", name48 + "R"],
                 ["-m", name48 + "R", "depth", name48]):
        proc = run(home, *args, data=b"")
        assert proc.returncode == 1 and b"NAME_ERROR: " in proc.stderr, (args, proc.stderr)
        assert b"1 to 48 letters" in proc.stderr, proc.stderr
    assert run(home, "depth", name48).stdout == b"0\n"


def test_put_get_browse_clear(home, tmp_path):
    source = tmp_path / "in.bin"
    payload = os.urandom(300000)
    source.write_bytes(payload)
    q = QUEUE
    assert run(home, "put", q, str(source)).returncode == 0
    assert run(home, "put", q, "--format", "CVSTR", "--nonpersistent", data=b"text").returncode == 0
    lines = run(home, "browse", q).stdout.decode().splitlines()
    assert len(lines) == 4
    assert lines[2] == "    cv-file-name=in.bin", "a message from a file is named after it"
    first, second = (l.split("\t") for l in (lines[1], lines[3]))
    assert first[:4] == ["1", "300000", '"        "', "persistent"]
    assert second[:4] == ["2", "4", '"CVSTR   "', "non-persistent"]
    assert len(first[4]) == len("2026-01-01 00:00:00") and first[5] == "0"
    assert run(home, "depth", q).stdout == b"2\n"  # browse took nothing
    target = tmp_path / "out.bin"
    assert run(home, "get", q, str(target)).returncode == 0
    assert target.read_bytes() == payload
    assert run(home, "clear", q).stdout == b"1 messages removed\n"
    refused(run(home, "get", q), "get", "CVRC_NO_MSG_AVAILABLE", "no message is ready on " + q)
    run(home, "put", q, str(source), "--property", "cv-file-name=given.bin")
    assert run(home, "browse", q).stdout.decode().splitlines()[2:] == [
        "    cv-file-name=given.bin"], "the name given wins"


def test_browse_get_and_delete_one_message_by_its_identifier(home):
    run(home, "put", QUEUE, "--property", "name=a b.txt", "--property", "note=tab\tand \u00fc\\",
        "--property", "empty=", data=b"one")
    run(home, "put", QUEUE, "--format", "CVSTR", "--nonpersistent", data=b"two")
    run(home, "put", QUEUE, data=b"three")
    doc = json.loads(run(home, "browse", QUEUE, "--json").stdout)
    assert (doc["queue_manager"], doc["queue"]) == ("CVQM", QUEUE)
    first, second, third = doc["messages"]
    assert first["properties"] == {"name": "a b.txt", "note": "tab\tand \u00fc\\", "empty": ""}
    # The table escapes a tab and a backslash in a value.
    assert run(home, "browse", QUEUE).stdout.decode().splitlines()[2:5] == [
        "    name=a b.txt", "    note=tab\\tand \u00fc\\\\", "    empty="]
    assert (second["format"], second["persistence"], second["length"]) == \
        ("CVSTR   ", "non-persistent", 3)
    assert (third["state"], third["backouts"], third["properties"]) == ("ready", 0, {})
    assert first["correlid"] == "0" * 48
    # The table has the same messages, the identifier in its last column.
    rows = browse(home)
    assert [r[7] for r in rows] == [m["msgid"] for m in (first, second, third)]
    assert [(r[0], r[1], r[4]) for r in rows] == \
        [(str(m["index"]), str(m["length"]), m["put_time"]) for m in (first, second, third)]

    got = run(home, "get", QUEUE, "--msgid", second["msgid"])
    assert (got.returncode, got.stdout) == (0, b"two")
    deleted = run(home, "delete-message", QUEUE, "--msgid", third["msgid"].upper())
    assert deleted.stdout == ("message %s removed\n" % third["msgid"]).encode()
    for command in ("get", "delete-message"):
        refused(run(home, command, QUEUE, "--msgid", third["msgid"]), command,
                "CVRC_NO_MSG_AVAILABLE", "no message %s is ready on %s (it is not there, or a "
                "unit of work holds it)" % (third["msgid"], QUEUE))
    bad = run(home, "delete-message", QUEUE, "--msgid", third["msgid"][:-1])
    assert bad.returncode == 2 and b"--msgid needs 48 hexadecimal digits" in bad.stderr
    assert run(home, "delete-message", QUEUE).returncode == 2  # which one?
    assert [m["msgid"] for m in json.loads(run(home, "browse", QUEUE, "--json").stdout)
            ["messages"]] == [first["msgid"]]
    for bad in (["--property", "no-equals"], ["--property", "bad name=x"],
                ["--property", "a=1", "--property", "a=2"]):
        bad_put = run(home, "put", QUEUE, *bad, data=b"x")
        assert bad_put.returncode == 1, bad
    assert b"CVRC_FORMAT_ERROR: property list: \"a\" is there twice" in bad_put.stderr
    assert run(home, "depth", QUEUE).stdout == b"1\n"


def test_usage_and_help(home):
    for args in ([], ["nonsense"], ["depth"], ["-m"], ["get", "a", "b", "c"]):
        proc = run(home, *args)
        assert proc.returncode == 2, args
        assert proc.stderr.startswith(b"Usage: cvadmin [-m QMGR] COMMAND")
    helped = run(home, "put", "--help")
    assert helped.returncode == 0
    assert helped.stdout.startswith(b"Usage: cvadmin")
