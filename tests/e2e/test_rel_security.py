"""Security: another user of the machine can neither open our queue manager
nor read its files, even where every directory above it is open to all."""
import os
import shutil
import stat
import subprocess
import tempfile

import pytest

from ftpservers import ensure_user
from session import CVADMIN, CVXFER, cvadmin, depth

OTHER_USER = "cvxferother"


@pytest.fixture
def open_place():
    """A directory everybody may enter, with copies of the programs in it."""
    if os.geteuid() != 0 or shutil.which("runuser") is None:
        pytest.skip("needs root and runuser to switch to another user")
    ensure_user(OTHER_USER, None, "-M", "-s", "/bin/sh")
    base = tempfile.mkdtemp(prefix="cvxfer-security-")
    try:
        os.chmod(base, 0o755)
        for program in (CVADMIN, CVXFER):
            shutil.copy(program, base)
            os.chmod(os.path.join(base, os.path.basename(program)), 0o755)
        yield base
    finally:
        shutil.rmtree(base, ignore_errors=True)


def as_other(args, home, data=None):
    env = {"PATH": "/usr/bin:/bin", "CORVANE_HOME": home, "HOME": "/nonexistent",
           "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", ""),
           "UBSAN_OPTIONS": os.environ.get("UBSAN_OPTIONS", "")}
    return subprocess.run([shutil.which("runuser"), "-u", OTHER_USER, "--"] + args, input=data, env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30)


def test_another_user_cannot_open_or_read_the_queue_manager(open_place):
    home = os.path.join(open_place, "corvane")
    cvadmin(home, "put", "SYSTEM.DEFAULT.LOCAL.QUEUE", data=b"for our eyes only")

    mode = stat.S_IMODE(os.stat(home).st_mode)
    assert mode == 0o700, oct(mode)

    proc = as_other([os.path.join(open_place, "cvadmin"), "depth", "SYSTEM.DEFAULT.LOCAL.QUEUE"],
                    home)
    assert proc.returncode == 1, proc
    assert b"cvadmin: depth: CVRC_" in proc.stderr, proc.stderr

    proc = as_other([os.path.join(open_place, "cvxfer")], home, data=b"cvqdepth\nbye\n")
    assert proc.returncode == 9, proc  # the queue manager was not available
    assert b"Queue depth for" not in proc.stdout, proc.stdout
    assert b"Not connected to a default queue manager" in proc.stdout, proc.stdout

    for dirpath, dirnames, filenames in os.walk(home):
        for name in filenames:
            path = os.path.join(dirpath, name)
            proc = as_other(["/bin/cat", path], home)
            assert proc.returncode != 0 and proc.stdout == b"", path

    # Their attempts changed nothing for us.
    assert depth(home) == 1
    assert cvadmin(home, "get", "SYSTEM.DEFAULT.LOCAL.QUEUE").stdout == b"for our eyes only"
