"""The manual pages: clean for groff, naming every option, command and exit
status the programs know, each option and status doing what the page says,
and installed with the programs, the README and the systemd unit."""
import os
import re
import shutil
import subprocess
import tempfile

import pytest

from session import BIN_DIR, CVADMIN, CVXFER, home, run  # noqa: F401
from test_unattended import STATUS_CASES

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PAGES = ("cvxfer.1", "cvadmin.1")


def tags(page, *names):
    """The words of the tags (the line after each .TP) in the named sections
    of the page's source, with fonts and quotes taken out."""
    found, inside = set(), False
    lines = open(os.path.join(TOP, "doc", page)).read().splitlines()
    for i, line in enumerate(lines):
        if line.startswith(".SH "):
            inside = line[4:].strip('"') in names
        elif inside and line == ".TP":
            tag = re.sub(r"\\f[BIRP]|^\.[A-Z]+ ?|\"", "", lines[i + 1]).replace("\\-", "-")
            found.update(word for word in re.split(r"[\s,\[\]|]+", tag) if word)
    return found


@pytest.mark.parametrize("page", PAGES)
def test_pages_are_clean_for_groff(page):
    proc = subprocess.run(["groff", "-man", "-ww", "-z", os.path.join(TOP, "doc", page)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    assert proc.returncode == 0 and proc.stderr == b"", proc.stderr.decode()


# Each option of the manual tried on a session that runs "status" and
# "ftps": its value, and what the output then holds (None: it is only
# accepted) or lacks ("!" first).
# A job file that shows the status, and a place for metrics, for -f and --metrics.
SCRATCH = tempfile.mkdtemp(prefix="cvxfer-doc-")
with open(os.path.join(SCRATCH, "status.cvx"), "w") as job:
    job.write("# the status only\nstatus\n")

OPTION_TRIALS = {
    "-v": ([], "Verbose: on"), "-d": ([], "--> CVCONN"), "-n": ([], None),
    "-p": ([], "Passive Mode: on"), "-e": ([], None), "-a": ([], "Safe put: on"),
    "-s": ([], "TLS for the next open: explicit"), "-q": ([], "!Offered on"),
    "-N": ([], None), "-c": (["status"], "Safe put: off"), "-t": (["5"], None),
    "-r": (["2"], None), "--segment": (["16M"], None),
    "--cacert": ([os.path.join(TOP, "README.md")], None), "--insecure": ([], None),
    "--version": ([], "cvxfer 1.0\n"), "-h": ([], "\nUsage: "), "-?": ([], "\nUsage: "),
    "--help": ([], "\nUsage: "), "-i": ([os.path.join(TOP, "README.md")], None),
    "--known-hosts": ([os.path.join(TOP, "README.md")], None), "--accept-new-host-key": ([], None),
    "-f": ([os.path.join(SCRATCH, "status.cvx")], "Safe put: off"), "--log": (["json"], None),
    "--metrics": ([os.path.join(SCRATCH, "cvxfer.prom")], None), "--verify": (["hash"], None),
}


def test_cvxfer_page_names_every_option_command_and_exit_status_and_each_works(home):
    usage = subprocess.run([CVXFER, "--help"], stdout=subprocess.PIPE, timeout=60).stdout.decode()
    options = set(re.findall(r"^(--?[A-Za-z?][A-Za-z?-]*)", usage, re.M))
    assert {"-v", "-t", "--cacert", "--version", "-q", "-N", "-c", "-h"} <= options
    named = {t for t in tags("cvxfer.1", "OPTIONS") if t.startswith("-")}
    assert options <= named and named == set(OPTION_TRIALS), named ^ set(OPTION_TRIALS)
    _, out = run(home, ["-n"], ["help"])
    commands = set(out.split("Commands are:", 1)[1].replace("cvxfer>", "").split())
    assert {"get", "cvqdepth", "!", "?"} <= commands
    named = tags("cvxfer.1", "COMMANDS")
    assert commands <= named, commands - named
    for option, (values, shows) in OPTION_TRIALS.items():
        status, out, err = run(home, [option] + values, ["status", "ftps"], err=True)
        if option == "--log":  # its events, on standard error
            assert '"event":"stopped"' in err
            err = ""
        assert (status, err) == (0, ""), (option, err)
        if option == "--version":
            assert out == shows, "the version alone, on the first line"
        elif shows is not None:
            assert (shows.lstrip("!") in out) != shows.startswith("!"), (option, out)
    # Every status of the page and the README is one a run of the exit-class
    # table ends with (130: the interrupt tests of test_tls.py).
    readme = open(os.path.join(TOP, "README.md")).read()
    proven = {str(case[-1]) for case in STATUS_CASES.values()} | {"130"}
    assert set(re.findall(r"^\| (\d+) \|", readme, re.M)) == tags("cvxfer.1", "EXIT STATUS") == proven


def test_cvadmin_page_names_every_command_and_option():
    usage = subprocess.run([CVADMIN, "--help"], stdout=subprocess.PIPE, timeout=60).stdout.decode()
    commands = set(re.findall(r"^  ([a-z]+) ", usage, re.M))
    options = set(re.findall(r"(--[a-z][a-z-]*[a-z]|-m)\b", usage))
    assert {"create", "browse", "clear"} <= commands and {"--amqp", "-m"} <= options
    named = tags("cvadmin.1", "COMMANDS", "OPTIONS")
    assert commands | options <= named, (commands | options) - named


def test_install_puts_programs_pages_readme_and_a_sound_unit_under_the_prefix(tmp_path):
    proc = subprocess.run([shutil.which("cmake"), "--install", os.path.dirname(BIN_DIR),
                           "--prefix", str(tmp_path)],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    assert proc.returncode == 0, proc.stdout.decode()
    for path in ("bin/cvxfer", "bin/cvadmin"):
        assert os.access(tmp_path / path, os.X_OK), path
    for path, source in (("share/man/man1/cvxfer.1", "doc/cvxfer.1"),
                         ("share/man/man1/cvadmin.1", "doc/cvadmin.1"),
                         ("share/doc/cvxfer/README.md", "README.md")):
        assert (tmp_path / path).read_bytes() == open(os.path.join(TOP, source), "rb").read()
    if shutil.which("man"):
        found = subprocess.run(["man", "-w", "cvxfer"], stdout=subprocess.PIPE, timeout=60,
                               env=dict(os.environ, MANPATH=str(tmp_path / "share/man")))
        assert found.stdout.decode().strip() == str(tmp_path / "share/man/man1/cvxfer.1")
    unit = tmp_path / "lib/systemd/system/cvxfer@.service"
    assert "ExecStart=%s/bin/cvxfer " % tmp_path in unit.read_text()
    # The docs the unit names must be found: the prefix's manual pages.
    verify = subprocess.run(["systemd-analyze", "verify", str(unit)], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, timeout=60,
                            env=dict(os.environ, MANPATH=str(tmp_path / "share/man")))
    assert verify.returncode == 0 and verify.stdout == b"", verify.stdout.decode()
    users = subprocess.run(["systemd-sysusers", "--dry-run",
                            str(tmp_path / "lib/sysusers.d/cvxfer.conf")],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
    assert users.returncode == 0 and b"Creating user 'cvxfer'" in users.stdout
