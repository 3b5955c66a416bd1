"""Helpers to run the real cvxfer binary in tests."""
import os
import subprocess
import tempfile

BIN_DIR = os.environ.get(
    "CVXFER_BIN_DIR",
    os.path.join(os.path.dirname(__file__), "..", "..", "build", "bin"))
CVXFER = os.path.join(BIN_DIR, "cvxfer")
CVADMIN = os.path.join(BIN_DIR, "cvadmin")


def env_with_home(home):
    """The environment for a child that keeps its queue managers in home,
    and its dot files (.netrc, .cvxfer_history) there too."""
    env = dict(os.environ)
    env["CORVANE_HOME"] = home
    env["HOME"] = home
    return env


def run_piped(args, stdin_text, home=None, timeout=30):
    """Runs cvxfer with stdin from a pipe; returns (exit status, stdout)."""
    own = None
    if home is None:
        own = tempfile.TemporaryDirectory()
        home = own.name
    try:
        proc = subprocess.run([CVXFER] + list(args), input=stdin_text.encode(),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=env_with_home(home), timeout=timeout)
        return proc.returncode, proc.stdout.decode(errors="replace")
    finally:
        if own is not None:
            own.cleanup()
