"""The command shell driven through plain pipes, where exact bytes matter."""
import os

import pytest

from session import CVXFER, home, run  # noqa: F401

BANNER_LINE1 = ("cvxfer: file transfer between FTP servers and message queues, "
                "Corvane ftp client (Build: Oct 20 2002)\n")


def usage(prog):
    """The usage text as it always was; the later options follow it."""
    return ("\nThe %s command uses the File Transfer Protocol (FTP) to transfer files\n"
            "between the local queuemanager and a remote host.\n" % prog +
            "\nUsage: %s [-v] [-d] [-n] [-p] [-q] [-N] [-c commands] [host]\n\n" % prog +
            "-v\t\tverbose mode\n-d\t\tenable debugging\n-n\t\tinhibit auto-login\n"
            "-p\t\tenable passive mode\n"
            "-q\t\tquiet: no banner, no prompt, no replies; failures are still said\n"
            "-N\t\tdo not run the commands of ~/.cvxferrc\n"
            "-c commands\trun the commands (\"cmd; cmd\", \\; for a semicolon) instead of\n"
            "     \t\treading them from standard input\n"
            "host\t\tspecifies the host name or IP address of the remote\n"
            "     \t\thost to connect to\n\n")


def after_startup(out):
    """The output from the first prompt on."""
    i = out.find("cvxfer> ")
    assert i >= 0, out
    return out[i:]


@pytest.mark.parametrize("flag", ["-h", "-?"])
def test_usage_text_keeps_its_lines(home, flag):
    status, out = run(home, [flag], [])
    assert status == 0
    assert out.startswith(BANNER_LINE1)
    second = out.split("\n")[1]
    assert "Linux" in second and "Unix" in second
    # The usage text as it always was, then what later options add: each
    # part names the program (its options are the manual's: test_doc).
    rest = out[len(BANNER_LINE1) + len(second) + 1:]
    assert rest.startswith(usage(CVXFER))
    for head in ("Also: %s [-e]", "SFTP: %s [-i file]", "As a service: %s -f job-file",
                 "Whole files: %s [--verify"):
        assert "\n" + head % CVXFER in rest, head
    assert "-t seconds\tbound every network wait (default 300)\n" in rest
    # No queue manager was touched.
    assert os.listdir(home) == []


def test_blank_lines_run_nothing_and_the_end_of_input_ends_quietly(home):
    status, out = run(home, [], ["help ascii", "", "   ", "\t"])
    assert status == 0
    assert after_startup(out) == ("cvxfer> ascii: set ascii transer type.\n"
                                  "cvxfer> cvxfer> cvxfer> cvxfer> ")
