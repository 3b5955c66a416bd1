"""An OpenSSH sshd on 127.0.0.1 for the SFTP tests: its own config, host
key and port, one throw-away user (password and key logins), and a served
directory that user can write."""
import contextlib
import os
import socket
import subprocess
import tempfile
import time

from ftpservers import ensure_user, free_port, stop

SSHD = "/usr/sbin/sshd"  # sshd re-executes itself: it wants its absolute path
USER = "cvxfer-sftp"
PASSWORD = "sftp-Secret-1"


def unavailable():
    """Why no sshd can run here, or None."""
    if not os.path.exists(SSHD):
        return "no %s (Debian's openssh-server)" % SSHD
    if os.geteuid() != 0:
        return "sshd needs root to log a user in"
    return None


def keygen(path, kind="ed25519"):
    """A new key pair without passphrase at path and path.pub; returns the
    public key line."""
    subprocess.run(["ssh-keygen", "-q", "-t", kind, "-N", "", "-C", "", "-f", path],
                   check=True, timeout=30)
    return open(path + ".pub").read().strip()


class Server:
    """What a test needs of a running sshd."""

    def __init__(self, directory, root, port, host_key, client_key):
        self.host, self.port, self.user, self.password = "127.0.0.1", port, USER, PASSWORD
        self.dir, self.root = directory, root
        self.host_key = host_key      # the public host key line
        self.client_key = client_key  # a private key the server takes

    def known_hosts_line(self, key=None):
        return "[%s]:%d %s\n" % (self.host, self.port, key or self.host_key)

    def url(self, password=True, path=""):
        auth = self.user + (":" + self.password if password else "")
        return "sftp://%s@%s:%d%s" % (auth, self.host, self.port, path)


@contextlib.contextmanager
def sshd(directory, start_timeout=15):
    """Runs sshd with its files in directory. The user's own files (its
    authorized_keys, the served root it writes) are in a directory of
    /tmp that it can reach: a test's temporary directory is root's alone."""
    ensure_user(USER, PASSWORD, "--system", "--no-create-home", "--home-dir", "/nonexistent",
                "--shell", "/bin/sh")
    os.makedirs("/run/sshd", mode=0o755, exist_ok=True)  # privilege separation
    host_key = keygen(os.path.join(directory, "host_key"))
    client_key = os.path.join(directory, "client_key")
    shared = tempfile.mkdtemp(prefix="cvxfer-sshd-")
    os.chmod(shared, 0o755)
    open(os.path.join(shared, "authorized_keys"), "w").write(keygen(client_key) + "\n")
    root = os.path.join(shared, "root")
    os.mkdir(root)
    os.chmod(root, 0o777)
    port = free_port()
    config = os.path.join(directory, "sshd_config")
    with open(config, "w") as f:
        f.write("\n".join([
            "Port %d" % port, "ListenAddress 127.0.0.1",
            "HostKey %s/host_key" % directory, "PidFile none", "UsePAM no",
            "StrictModes no",  # the keys live in a test's temporary directory
            "AuthorizedKeysFile %s/authorized_keys" % shared,
            "PasswordAuthentication yes", "KbdInteractiveAuthentication no",
            "AllowUsers %s" % USER, "Subsystem sftp internal-sftp -d %s" % root,
            # Keep-alives: bytes that come while the SFTP server says nothing.
            "ClientAliveInterval 1", "ClientAliveCountMax 1000",
            "RekeyLimit 1M",  # key re-exchanges in mid-transfer, many of them
            "LogLevel ERROR", ""]))
    log = open(os.path.join(directory, "sshd.log"), "wb")
    proc = subprocess.Popen([SSHD, "-D", "-e", "-f", config], stdout=log, stderr=log)
    try:
        deadline = time.monotonic() + start_timeout
        while True:
            if proc.poll() is not None:
                raise RuntimeError("sshd ended: " + open(log.name).read())
            with socket.socket() as s:
                if s.connect_ex(("127.0.0.1", port)) == 0:
                    break
            if time.monotonic() > deadline:
                raise RuntimeError("sshd did not listen within %d s" % start_timeout)
            time.sleep(0.05)
        yield Server(directory, root, port, host_key, client_key)
    finally:
        stop(proc)
        log.close()
        subprocess.run(["rm", "-rf", shared], timeout=60)
