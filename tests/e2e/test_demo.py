"""The README's first command: scripts/demo, without a terminal, runs its
scripted session and ends with success."""
import os
import subprocess

import pytest

from session import BIN_DIR

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


@pytest.mark.skipif(os.path.realpath(BIN_DIR) != os.path.join(ROOT, "build", "bin"),
                    reason="the demo runs the binaries of build/, not of this tree")
def test_demo_round_trips_its_files_and_succeeds(tmp_path):
    proc = subprocess.run([os.path.join(ROOT, "scripts", "demo")], stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300,
                          env=dict(os.environ, TMPDIR=str(tmp_path)), cwd=ROOT)
    out = proc.stdout.decode(errors="replace")
    assert proc.returncode == 0, out
    assert "Both files went to the queue and back unchanged." in out
    assert os.listdir(tmp_path) == [], "the demo left its scratch directory behind"
