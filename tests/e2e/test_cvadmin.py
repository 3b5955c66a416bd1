"""cvadmin, the admin command of the embedded queue manager."""
import os
import stat
import subprocess

from cvxfer_proc import CVADMIN, env_with_home
from session import browse, cvadmin, home  # noqa: F401


def run(home, *args, data=None):
    return cvadmin(home, *args, data=data, check=False)


def test_queue_managers_create_list_default_delete(home):
    assert run(home, "create", "ALPHA").returncode == 0
    assert run(home, "create", "BETA").returncode == 0
    assert run(home, "list").stdout == b"ALPHA (default)\nBETA\n"
    assert run(home, "default", "BETA").returncode == 0
    assert run(home, "list").stdout == b"ALPHA\nBETA (default)\n"
    assert run(home, "create", "GAMMA", "--default").returncode == 0
    assert b"GAMMA (default)" in run(home, "list").stdout
    dup = run(home, "create", "ALPHA")
    assert dup.returncode == 1
    assert dup.stderr == b"cvadmin: create: CVRC_OBJECT_ALREADY_EXISTS\n"
    bad = run(home, "create", "no/slashes")
    assert bad.stderr == b"cvadmin: create: CVRC_Q_MGR_NAME_ERROR\n"
    assert run(home, "delete", "ALPHA").returncode == 0
    assert run(home, "list").stdout == b"BETA\nGAMMA (default)\n"
    assert run(home, "delete", "ALPHA").stderr == b"cvadmin: delete: CVRC_Q_MGR_NAME_ERROR\n"


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
    assert lines[0].split("\t") == ["QUEUE", "TYPE", "DEPTH", "MAXDEPTH", "MAXMSGL"]
    rows = {l.split("\t")[0]: l.split("\t")[1:] for l in lines[1:]}
    assert rows["APP.Q"] == ["local", "0", "3", "10"]
    assert rows["FWD"][0] == "remote OTHER/IN"
    assert rows["SYSTEM.DEFAULT.LOCAL.QUEUE"] == ["local", "0", "5000", "104857600"]
    assert run(home, "define", "APP.Q").stderr == b"cvadmin: define: CVRC_OBJECT_ALREADY_EXISTS\n"
    run(home, "put", "APP.Q", data=b"m")
    assert run(home, "depth", "APP.Q").stdout == b"1\n"
    assert run(home, "undefine", "APP.Q").stderr == b"cvadmin: undefine: CVRC_Q_NOT_EMPTY\n"
    run(home, "get", "APP.Q")
    assert run(home, "undefine", "APP.Q").returncode == 0
    assert run(home, "depth", "APP.Q").stderr == b"cvadmin: depth: CVRC_UNKNOWN_OBJECT_NAME\n"
    too_big = run(home, "put", "FWD", data=b"x")
    assert too_big.stderr == b"cvadmin: put: CVRC_UNKNOWN_REMOTE_Q_MGR\n"


def test_put_get_browse_clear(home, tmp_path):
    source = tmp_path / "in.bin"
    payload = os.urandom(300000)
    source.write_bytes(payload)
    q = "SYSTEM.DEFAULT.LOCAL.QUEUE"
    assert run(home, "put", q, str(source)).returncode == 0
    assert run(home, "put", q, "--format", "CVSTR", "--nonpersistent", data=b"text").returncode == 0
    lines = run(home, "browse", q).stdout.decode().splitlines()
    assert len(lines) == 3
    first, second = (l.split("\t") for l in lines[1:])
    assert first[:4] == ["1", "300000", '"        "', "persistent"]
    assert second[:4] == ["2", "4", '"CVSTR   "', "non-persistent"]
    assert len(first[4]) == len("2026-01-01 00:00:00") and first[5] == "0"
    assert run(home, "depth", q).stdout == b"2\n"  # browse took nothing
    target = tmp_path / "out.bin"
    assert run(home, "get", q, str(target)).returncode == 0
    assert target.read_bytes() == payload
    assert run(home, "clear", q).stdout == b"1 messages removed\n"
    empty = run(home, "get", q)
    assert (empty.returncode, empty.stderr) == (1, b"cvadmin: get: CVRC_NO_MSG_AVAILABLE\n")


def test_put_with_properties_and_browse_them(home):
    q = "SYSTEM.DEFAULT.LOCAL.QUEUE"
    assert run(home, "put", q, "--property", "file.name=a b.txt", "--property",
               "note=tab\there\\", "--property", "empty=", data=b"one").returncode == 0
    assert run(home, "put", q, data=b"two").returncode == 0
    lines = run(home, "browse", q).stdout.decode().splitlines()
    assert lines[1].startswith("1\t3\t")
    assert lines[2:5] == ["    file.name=a b.txt", "    note=tab\\there\\\\", "    empty="]
    assert lines[5].startswith("2\t3\t")
    assert [m[0] for m in browse(home, q)] == ["1", "2"]
    for bad in (["--property", "no-equals"], ["--property", "bad name=x"],
                ["--property", "a=1", "--property", "a=2"]):
        refused = run(home, "put", q, *bad, data=b"x")
        assert refused.returncode == 1, bad
    assert b"CVRC_FORMAT_ERROR: property list: \"a\" is there twice" in refused.stderr
    assert run(home, "depth", q).stdout == b"2\n"


def test_usage_and_help(home):
    for args in ([], ["nonsense"], ["depth"], ["-m"], ["get", "a", "b", "c"]):
        proc = run(home, *args)
        assert proc.returncode == 2, args
        assert proc.stderr.startswith(b"Usage: cvadmin [-m QMGR] COMMAND")
    helped = run(home, "put", "--help")
    assert helped.returncode == 0
    assert helped.stdout.startswith(b"Usage: cvadmin")


def test_a_failed_write_keeps_the_message(home):
    run(home, "put", "SYSTEM.DEFAULT.LOCAL.QUEUE", data=b"precious")
    failed = run(home, "get", "SYSTEM.DEFAULT.LOCAL.QUEUE", "/proc/no/such/file")
    assert failed.returncode == 1
    assert run(home, "depth", "SYSTEM.DEFAULT.LOCAL.QUEUE").stdout == b"1\n"
