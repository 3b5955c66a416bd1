"""The command shell driven through plain pipes, where exact bytes matter."""
import os

import pytest

from session import CVXFER, home, run  # noqa: F401

BANNER_LINE1 = ("cvxfer: file transfer between FTP servers and message queues, "
                "Corvane ftp client (Build: Oct 20 2002)\n")


def usage(prog):
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
            "     \t\thost to connect to\n\n"
            "Also: %s [-e] [-s] [-a] [-t seconds] [--cacert file] [--insecure]\n"
            "          [host [port] | URL], %s --version | -h | --help\n\n" % (prog, prog) +
            "-e\t\tend the run at the first command that fails\n"
            "-s\t\trequire TLS (AUTH TLS) on every connection\n"
            "-a\t\tstore through a temporary name, renamed when complete\n"
            "-t seconds\tbound every network wait (default 300)\n"
            "port\t\tthe server's port (default 21)\n"
            "URL\t\tftp://[user[:password]@]host[:port][/path]; ftpes:// for AUTH TLS,\n"
            "     \t\tftps:// for TLS from the start (port 990)\n"
            "--cacert file\tverify certificates against the CA certificates in file\n"
            "--insecure\tdo not verify certificates (says so on every connection)\n"
            "--version\tprint the version and exit\n"
            "-h, --help\tprint this text and exit\n\n"
            "Files are transferred in ascii unless \"binary\" is given; put binary\n"
            "in ~/.cvxferrc, whose commands run at start-up, to make it the default.\n"
            "The exit status is 0 when every command succeeded, else the class of\n"
            "the first failure (see the README).\n\n"
            "SFTP: %s [-i file] [--known-hosts file] [--accept-new-host-key]\n" % prog +
            "          sftp://[user[:password]@]host[:port][/path]\n\n"
            "-i file\t\tlog in with this private key (default: ssh-agent, ~/.ssh/id_*)\n"
            "--known-hosts file\n"
            "     \t\tcheck the server's host key in file (default ~/.ssh/known_hosts)\n"
            "--accept-new-host-key\n"
            "     \t\ttrust a host key not known yet, and add it to that file\n\n"
            "An unknown or changed host key refuses the connection with exit status 5,\n"
            "the class of a secure channel that cannot be set up.\n\n"
            "As a service: %s -f job-file [--log json] [--metrics file] [options]\n\n" % prog +
            "-f job-file\tread the commands from job-file ('#' lines are comments)\n"
            "--log json\tone JSON object per event on standard error\n"
            "--metrics file\tkeep Prometheus metrics in file (text format)\n\n")


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
    # The usage text as it always was, then what later options add.
    assert out[len(BANNER_LINE1) + len(second) + 1:].startswith(usage(CVXFER))
    # No queue manager was touched.
    assert os.listdir(home) == []


def test_blank_lines_run_nothing_and_the_end_of_input_ends_quietly(home):
    status, out = run(home, [], ["help ascii", "", "   ", "\t"])
    assert status == 0
    assert after_startup(out) == ("cvxfer> ascii: set ascii transer type.\n"
                                  "cvxfer> cvxfer> cvxfer> cvxfer> ")
