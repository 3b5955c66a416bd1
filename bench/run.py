"""The benchmark behind bench/run: cvxfer against curl on one FTP server,
and the queue store against the disk. Prints its report and writes it to
bench/results/latest.md. Run it through bench/run, which builds first."""
import argparse
import datetime
import hashlib
import json
import os
import platform
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import broker  # noqa: E402
import ftpservers  # noqa: E402

MiB = 1 << 20
GiB = 1 << 30
# Sizes of the transfers: P1-P2, P6-P7 and the broker's; --quick shrinks them.
SIZES = {"big": 256 * MiB, "huge": GiB, "broker": 64 * MiB}
QUICK_SIZES = {"big": 16 * MiB, "huge": 16 * MiB, "broker": 8 * MiB}
SMALL = 4096
# Files that W1's watch takes, and names in W2's directory; --quick shrinks them.
COUNTS = {"watch_files": 2000, "watch_names": 100000}
QUICK_COUNTS = {"watch_files": 200, "watch_names": 10000}
SMALL_COUNT = 200
RSS_LIMIT = 32 * MiB
TIMEOUT = 600
BIG_QUEUE = "BENCH.BIG"
BROKER_QUEUE = "BENCH.FILES"
WATCH_QUEUE = "BENCH.WATCH"
# The jobs --only can name: P1 also runs P2, P2m and P3; H needs --baseline.
JOBS = ("P1", "P4", "broker", "G1", "P6", "P7", "S1", "W1", "W2", "H")
# G1: the broker's largest message, as RabbitMQ 4 has it by default.
GROUP_SEGMENT = 16 * MiB
# GNU time forks cvxfer from a process of its own: the peak RSS that a child
# spawned straight from this process reports starts at this process's peak.
TIME = "/usr/bin/time"


class Log(list):
    """The report's lines, also shown as they come so a long run shows life."""

    def append(self, line):
        print(line, flush=True)
        super().append(line)


class Bench:
    def __init__(self, build, work, args):
        self.cvxfer = os.path.join(build, "bin", "cvxfer")
        self.cvadmin_bin = os.path.join(build, "bin", "cvadmin")
        self.store_bench = os.path.join(build, "bin", "store_bench")
        self.work = work
        self.rounds, self.gib_rounds, self.quick = args.rounds, args.gib_rounds, args.quick
        self.sizes = QUICK_SIZES if args.quick else SIZES
        self.counts = dict(QUICK_COUNTS if args.quick else COUNTS)
        if args.watch_names:
            self.counts["watch_names"] = args.watch_names
        self.only = set(args.only.split(",")) if args.only else set(JOBS)
        self.baseline = args.baseline and os.path.join(args.baseline, "bin", "cvxfer")
        self.last_cpu = 0.0  # CPU seconds of the last session, all its threads
        self.owner = None    # the FTP user's pwd entry, when the server needs its files owned
        self.home = os.path.join(work, "qm")
        self.env = dict(os.environ, CORVANE_HOME=self.home)
        self.rows = []       # (id, job, cvxfer figure, peer figure, ratio, goal text, met)
        self.details = Log()  # lines describing every round
        self.extra = []      # further figures

    def cvadmin(self, *args, data=None):
        proc = subprocess.run([self.cvadmin_bin] + [str(a) for a in args], input=data,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=self.env,
                              timeout=TIMEOUT)
        if proc.returncode != 0:
            raise RuntimeError("cvadmin %s: %s" % (" ".join(map(str, args)),
                                                   proc.stderr.decode().strip()))
        return proc.stdout

    def url(self, server, name, host=None):
        return "ftp://%s:%s@%s:%d/%s" % (server.user, server.password, host or server.host,
                                        server.port, name)

    def run_curl(self, args, sync_files):
        start = time.monotonic()
        subprocess.run(["curl", "-sS", "--fail"] + args, check=True, timeout=TIMEOUT,
                       stdout=subprocess.DEVNULL)
        if sync_files:
            subprocess.run(["sync"] + sync_files, check=True, timeout=TIMEOUT)
        return time.monotonic() - start


def session(bench, server, commands, flags=(), host=None, url=None):
    """cvxfer session with the commands (on FTP, or on url that logs in
    itself); returns its wall time, its peak RSS in bytes and its output.
    Killed after TIMEOUT."""
    login = [] if url else ["user %s %s" % (server.user, server.password), "binary"]
    script = "".join(c + "\n" for c in login + commands + ["bye"]).encode()
    argv = [bench.cvxfer] + list(flags) + (
        [url] if url else ["-n", "-p", host or server.host, str(server.port)])
    rss_file = os.path.join(bench.work, "rss")
    if os.access(TIME, os.X_OK):
        argv = [TIME, "-f", "%M", "-o", rss_file] + argv
    in_r, in_w = os.pipe()
    out_r, out_w = os.pipe()
    start = time.monotonic()
    pid = os.posix_spawn(argv[0], argv, bench.env, setpgroup=0, file_actions=[
        (os.POSIX_SPAWN_DUP2, in_r, 0), (os.POSIX_SPAWN_DUP2, out_w, 1),
        (os.POSIX_SPAWN_DUP2, out_w, 2)])
    timer = threading.Timer(TIMEOUT, os.killpg, (pid, signal.SIGKILL))
    timer.start()
    os.close(in_r)
    os.close(out_w)
    os.write(in_w, script)
    os.close(in_w)
    chunks = []
    while True:
        chunk = os.read(out_r, 65536)
        if not chunk:
            break
        chunks.append(chunk)
    os.close(out_r)
    _, status, usage = os.wait4(pid, 0)
    timer.cancel()
    bench.last_cpu = usage.ru_utime + usage.ru_stime
    elapsed = time.monotonic() - start
    out = b"".join(chunks).decode(errors="replace")
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError("cvxfer exited with status %d:\n%s" % (status, out[-3000:]))
    peak = usage.ru_maxrss
    if argv[0] == TIME:
        with open(rss_file) as f:
            peak = int(f.read().split()[-1])
    return elapsed, peak * 1024, out


def expect(out, text, count=1):
    if out.count(text) != count:
        raise RuntimeError("expected %d × %r in cvxfer's output:\n%s" % (count, text, out[-3000:]))


def file_sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(MiB), b""):
            digest.update(chunk)
    return digest.hexdigest()


def make_file(path, size):
    """A file of size random bytes; returns (path, size, sha256). Written in
    small pieces so that this process stays small."""
    digest = hashlib.sha256()
    with open("/dev/urandom", "rb") as rng, open(path, "wb") as f:
        for _ in range(size // MiB):
            chunk = rng.read(MiB)
            digest.update(chunk)
            f.write(chunk)
        os.fsync(f.fileno())
    return path, size, digest.hexdigest()


def place(bench, path, root):
    """path in the server's root (a hard link where possible), owned by the FTP user."""
    target = os.path.join(root, os.path.basename(path))
    try:
        os.link(path, target)
    except OSError:
        shutil.copyfile(path, target)
    if bench.owner is not None:
        os.chown(target, bench.owner.pw_uid, bench.owner.pw_gid)
    return target


def prepare_small(root, owner):
    os.makedirs(os.path.join(root, "small"))
    with open("/dev/urandom", "rb") as rng:
        for i in range(SMALL_COUNT):
            with open(os.path.join(root, "small", "f%03d" % i), "wb") as f:
                f.write(rng.read(SMALL))
    if owner is not None:
        for dirpath, dirnames, filenames in os.walk(root):
            for name in dirnames + filenames:
                os.chown(os.path.join(dirpath, name), owner.pw_uid, owner.pw_gid)
    os.sync()


def remove(path):
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.exists(path):
        os.remove(path)


def size_text(size):
    return "%d GiB" % (size // GiB) if size % GiB == 0 else "%d MiB" % (size // MiB)


def spread(values, num, unit, pick=statistics.median):
    """pick of the rounds' values, then their min–max when there are several."""
    text = (num + " %s") % (pick(values), unit)
    if len(values) > 1:
        text += (" (" + num + "–" + num + ")") % (min(values), max(values))
    return text


def ratio_row(rows, pid, job, mine, peer, limit, higher_is_better=False, num="%.3f", unit="s"):
    """Medians of the rounds' values, compared."""
    ratio = statistics.median(mine) / statistics.median(peer)
    met = ratio >= limit if higher_is_better else ratio <= limit
    goal = ("≥ %s ×" if higher_is_better else "≤ %s ×") % ("%.1f" % limit if round(limit, 1) == limit
                                                         else "%.2f" % limit)
    rows.append((pid, job, spread(mine, num, unit), spread(peer, num, unit), "%.2f" % ratio,
                 goal, "met" if met else "NOT met"))


def rss_row(rows, pid, job, peaks):
    """The largest peak RSS of the rounds, against RSS_LIMIT."""
    met = "met" if max(peaks) <= RSS_LIMIT else "NOT met"
    rows.append((pid, job, spread([p / MiB for p in peaks], "%.1f", "MiB", max), "—", "—",
                 "≤ %d MiB" % (RSS_LIMIT // MiB), met))


def rate_line(job, size, mine, peer):
    return "| %s | %.0f MB/s | %.0f MB/s |" % (job, size / statistics.median(mine) / 1e6,
                                               size / statistics.median(peer) / 1e6)


def get_and_put(bench, server, tag, data, rounds, queue=BIG_QUEUE, qmgr=None, flags=(),
                host=None, curl=None):
    """Per round: cvxfer `get` of the file data (path, size, sha256) from the
    server onto queue, then `put` of a message of the same bytes back as a
    remote file, each checked against data's hash; with curl (its extra
    options), curl fetching the file to disk (+ sync) after the get and
    uploading it after the put. Returns lists of seconds and peak RSS."""
    path, size, digest = data
    admin = ["-m", qmgr] if qmgr else []
    opens = (["cvconn " + qmgr] if qmgr else []) + ["cvopen " + queue]
    name = os.path.basename(path)
    remote = place(bench, path, server.root)
    up, up_curl = os.path.join(server.root, "up.bin"), os.path.join(server.root, "up-curl.bin")
    got = os.path.join(bench.work, "got.bin")
    res = {k: [] for k in ("get", "get_rss", "get_cpu", "put", "put_rss", "put_cpu", "curl_get",
                           "curl_put")}
    os.sync()  # nothing of earlier jobs left for this one's fsyncs to write
    for r in range(rounds):
        secs, peak, out = session(bench, server, opens + ["get " + name], flags, host)
        expect(out, "Putted on queue\n")
        res["get"].append(secs)
        res["get_rss"].append(peak)
        res["get_cpu"].append(bench.last_cpu)
        bench.cvadmin(*admin, "get", queue, got)
        if file_sha256(got) != digest:
            raise RuntimeError("%s: the message differs from the remote file" % tag)
        remove(got)
        text = "%s round %d: get %.3f s (peak RSS %.1f MiB)" % (tag, r + 1, secs, peak / MiB)
        if curl is not None:
            res["curl_get"].append(bench.run_curl(
                curl + [bench.url(server, name, host), "-o", got], [got]))
            remove(got)
            text += ", curl+sync %.3f s" % res["curl_get"][-1]
        remove(up)
        # As get made it: put checks its body against the SHA-256 it carries.
        bench.cvadmin(*admin, "put", queue, path, "--property", "cv-file-sha256=" + digest)
        secs, peak, out = session(bench, server, opens + ["put up.bin"], flags, host)
        expect(out, "Message commited\n")
        res["put"].append(secs)
        res["put_rss"].append(peak)
        res["put_cpu"].append(bench.last_cpu)
        if file_sha256(up) != digest:
            raise RuntimeError("%s: the remote file differs from the message" % tag)
        remove(up)
        text += "; put %.3f s (peak RSS %.1f MiB)" % (secs, peak / MiB)
        if curl is not None:
            res["curl_put"].append(bench.run_curl(
                curl + ["-T", path, bench.url(server, "up-curl.bin", host)], []))
            remove(up_curl)
            text += ", curl -T %.3f s" % res["curl_put"][-1]
        bench.details.append(text + "; %.0f MB/s get, %.0f MB/s put" % (
            size / res["get"][-1] / 1e6, size / res["put"][-1] / 1e6))
    remove(remote)
    return res


def bench_transfers(bench, server):
    """P1, P2 and P3."""
    big = make_file(os.path.join(bench.work, "big.bin"), bench.sizes["big"])
    label = size_text(big[1])
    t = get_and_put(bench, server, "P1/P2", big, bench.rounds, curl=[])
    ratio_row(bench.rows, "P1", "retrieve %s onto a persistent queue" % label, t["get"],
              t["curl_get"], 1.0)
    ratio_row(bench.rows, "P2", "store a %s message as a remote file" % label, t["put"],
              t["curl_put"], 1.0)
    # P2 once more with the store in memory: the commit that removes the
    # message is durable, and on a disk it shares with the server it waits
    # for the server's own unsynced copy of the file to reach the disk.
    if os.path.isdir("/dev/shm"):
        saved = bench.home, bench.env
        bench.home = tempfile.mkdtemp(dir="/dev/shm", prefix="cvxfer-bench-")
        bench.env = dict(bench.env, CORVANE_HOME=bench.home)
        try:
            bench.cvadmin("create", "CVQM", "--default")
            bench.cvadmin("define", BIG_QUEUE, "--maxmsgl", big[1], "--maxdepth", "10")
            m = get_and_put(bench, server, "P2m", big, bench.rounds, curl=[])
            ratio_row(bench.rows, "P2m", "P2 with the queue store on tmpfs, not the "
                      "server's disk", m["put"], m["curl_put"], 1.0)
        finally:
            shutil.rmtree(bench.home, ignore_errors=True)
            bench.home, bench.env = saved
    remove(big[0])
    bench.extra.append(rate_line("P1", big[1], t["get"], t["curl_get"]))
    bench.extra.append(rate_line("P2", big[1], t["put"], t["curl_put"]))

    # P3: 200 small files in one session, against one curl over one connection.
    local = os.path.join(bench.work, "local")
    p3, p3_peer = [], []
    names = ["small/f%03d" % i for i in range(SMALL_COUNT)]
    os.sync()
    for r in range(bench.rounds):
        bench.cvadmin("clear", "SYSTEM.DEFAULT.LOCAL.QUEUE")
        secs, _, out = session(bench, server, ["get " + n for n in names])
        expect(out, "Putted on queue\n", SMALL_COUNT)
        depth = int(bench.cvadmin("depth", "SYSTEM.DEFAULT.LOCAL.QUEUE"))
        if depth != SMALL_COUNT:
            raise RuntimeError("P3: queue depth %d after %d gets" % (depth, SMALL_COUNT))
        p3.append(secs)
        remove(local)
        os.makedirs(local)
        args, files = [], []
        for n in names:
            files.append(os.path.join(local, os.path.basename(n)))
            args += [bench.url(server, n), "-o", files[-1]]
        p3_peer.append(bench.run_curl(args, files))
        remove(local)
        bench.details.append("P3 round %d: cvxfer %.3f s, curl+sync %.3f s" % (r + 1, secs,
                                                                              p3_peer[-1]))
    bench.cvadmin("clear", "SYSTEM.DEFAULT.LOCAL.QUEUE")
    ratio_row(bench.rows, "P3", "200 files of 4 KiB, one session", p3, p3_peer, 1.5)


def bench_rss(bench, server, huge):
    """P6: cvxfer's peak RSS while it moves a file far larger than the limit."""
    t = get_and_put(bench, server, "P6", huge, bench.gib_rounds)
    label = size_text(huge[1])
    rss_row(bench.rows, "P6", "peak RSS of cvxfer, `get` of a %s file" % label, t["get_rss"])
    rss_row(bench.rows, "P6", "peak RSS of cvxfer, `put` of a %s message" % label, t["put_rss"])


def bench_hash_cost(bench, server, files):
    """H: what the SHA-256 of every transfer costs: P1's and P2's get and
    put (files[0]), and P6's (files[1]), by this build and by the baseline's
    cvxfer, in turns, in the same rounds. The goal is P1's and P2's; P6's
    1 GiB, where the durable commit weighs least, is a figure."""
    if not bench.baseline:
        bench.details.append("H was not measured: no --baseline.")
        return
    mine = bench.cvxfer
    for data, goal in zip(files, (1.05, None)):
        times = {}
        try:
            for r in range(bench.rounds):
                for tag in (("base", "mine") if r % 2 == 0 else ("mine", "base")):
                    bench.cvxfer = mine if tag == "mine" else bench.baseline
                    t = get_and_put(bench, server, "H %s %s, turn %d:" % (
                        size_text(data[1]), tag, r + 1), data, 1)
                    for key, values in t.items():
                        times.setdefault(tag, {}).setdefault(key, []).extend(values)
        finally:
            bench.cvxfer = mine
        label = size_text(data[1])
        for op in ("get", "put"):
            mine_t, base_t = times["mine"], times["base"]
            what = "`%s` of %s with its SHA-256, against the baseline without" % (op, label)
            if goal is not None:
                ratio_row(bench.rows, "H", what, mine_t[op], base_t[op], goal)
            else:
                bench.rows.append(("H", what, spread(mine_t[op], "%.3f", "s"),
                                   spread(base_t[op], "%.3f", "s"), "%.2f" % (
                                       statistics.median(mine_t[op]) /
                                       statistics.median(base_t[op])), "figure", "—"))
            cpu, base_cpu = mine_t[op + "_cpu"], base_t[op + "_cpu"]
            bench.rows.append(("H", "CPU time of that `%s` (user and system, every thread)" % op,
                               spread(cpu, "%.2f", "s"), spread(base_cpu, "%.2f", "s"),
                               "%.2f" % (statistics.median(cpu) / statistics.median(base_cpu)),
                               "figure", "—"))


def bench_tls(bench, huge):
    """P7: the P6 transfers over FTPS (AUTH TLS, protected data connections
    that resume the control session) against curl --ssl-reqd, on vsftpd."""
    with ftpservers.vsftpd_server(tls="explicit") as server:
        t = get_and_put(bench, server, "P7", huge, bench.gib_rounds,
                        flags=["-s", "--cacert", server.ca], host="localhost",
                        curl=["--ssl-reqd", "--cacert", server.ca])
    label = size_text(huge[1])
    ratio_row(bench.rows, "P7", "`get` of a %s file over FTPS" % label, t["get"], t["curl_get"],
              1.0)
    ratio_row(bench.rows, "P7", "`put` of a %s message over FTPS" % label, t["put"],
              t["curl_put"], 1.0)
    bench.extra.append(rate_line("P7 get", huge[1], t["get"], t["curl_get"]))
    bench.extra.append(rate_line("P7 put", huge[1], t["put"], t["curl_put"]))


def sftp_peers(bench, srv, key, known, get, put):
    """S1's peers, timed: OpenSSH's sftp in batch mode and curl, fetching
    the remote file get to disk (+ sync) and uploading the local file put."""
    target = "%s@%s" % (srv.user, srv.host)
    got = os.path.join(bench.work, "got.bin")
    batch = os.path.join(bench.work, "batch")
    times = {}
    for tag, line in (("sftp_get", "get %s %s" % (get, got)), ("sftp_put", "put %s up-sftp.bin" % put)):
        with open(batch, "w") as f:
            f.write(line + "\n")
        start = time.monotonic()
        subprocess.run(["sftp", "-q", "-b", batch, "-i", key, "-P", str(srv.port),
                        "-o", "UserKnownHostsFile=" + known, target], check=True,
                       timeout=TIMEOUT, stdout=subprocess.DEVNULL)
        if tag == "sftp_get":
            subprocess.run(["sync", got], check=True, timeout=TIMEOUT)
            remove(got)
        times[tag] = time.monotonic() - start
    url = "sftp://%s:%d/%s" % (srv.host, srv.port, os.path.relpath(srv.root, "/"))
    auth = ["-u", "%s:%s" % (srv.user, srv.password), "--hostpubsha256", srv.fingerprint]
    times["curl_get"] = bench.run_curl(auth + [url + "/" + os.path.basename(get), "-o", got], [got])
    remove(got)
    times["curl_put"] = bench.run_curl(auth + ["-T", put, url + "/up-curl.bin"], [])
    for name in ("up-sftp.bin", "up-curl.bin"):
        remove(os.path.join(srv.root, name))
    return times


def bench_sftp(bench):
    """S1: get and put over SFTP on an OpenSSH sshd on loopback, against
    OpenSSH's sftp -b and curl sftp:// in the same rounds; peak RSS."""
    import sshd
    if sshd.unavailable() is not None:
        bench.details.append("S1 was not measured: %s." % sshd.unavailable())
        return
    path, size, digest = make_file(os.path.join(bench.work, "sftp.bin"), bench.sizes["big"])
    res = {k: [] for k in ("get", "get_rss", "put", "put_rss", "sftp_get", "sftp_put",
                           "curl_get", "curl_put")}
    with sshd.sshd(tempfile.mkdtemp(dir=bench.work)) as srv:
        known = os.path.join(bench.work, "known_hosts")
        with open(known, "w") as f:
            f.write(srv.known_hosts_line())
        srv.fingerprint = subprocess.run(
            ["ssh-keygen", "-lf", "-"], input=srv.host_key.encode(), stdout=subprocess.PIPE,
            check=True).stdout.decode().split()[1].split(":", 1)[1]
        remote = os.path.join(srv.root, "sftp.bin")
        shutil.copyfile(path, remote)
        os.chmod(remote, 0o644)
        url = "sftp://%s@%s:%d" % (srv.user, srv.host, srv.port)
        flags = ["-i", srv.client_key, "--known-hosts", known]
        got, up = os.path.join(bench.work, "got.bin"), os.path.join(srv.root, "up.bin")
        os.sync()
        for r in range(bench.rounds):
            secs, peak, out = session(bench, srv, ["cvopen " + BIG_QUEUE, "get sftp.bin"],
                                      flags, url=url)
            expect(out, "Putted on queue\n")
            res["get"].append(secs)
            res["get_rss"].append(peak)
            bench.cvadmin("get", BIG_QUEUE, got)
            if file_sha256(got) != digest:
                raise RuntimeError("S1: the message differs from the remote file")
            remove(got)
            bench.cvadmin("put", BIG_QUEUE, path)
            secs, peak, out = session(bench, srv, ["cvopen " + BIG_QUEUE, "put up.bin"], flags,
                                      url=url)
            expect(out, "Message commited\n")
            res["put"].append(secs)
            res["put_rss"].append(peak)
            if file_sha256(up) != digest:
                raise RuntimeError("S1: the remote file differs from the message")
            remove(up)
            for k, v in sftp_peers(bench, srv, srv.client_key, known, remote, path).items():
                res[k].append(v)
            bench.details.append(
                "S1 round %d: get %.3f s, sftp %.3f s, curl %.3f s; put %.3f s, sftp %.3f s, "
                "curl %.3f s" % (r + 1, res["get"][-1], res["sftp_get"][-1], res["curl_get"][-1],
                                 res["put"][-1], res["sftp_put"][-1], res["curl_put"][-1]))
    remove(path)
    label = size_text(size)
    for job, mine in (("get", "`get` of a %s file" % label), ("put", "`put` of a %s message" % label)):
        ratio_row(bench.rows, "S1", mine + " over SFTP, against `sftp -b`", res[job],
                  res["sftp_" + job], 1.0)
        ratio_row(bench.rows, "S1", mine + " over SFTP, against `curl sftp://`", res[job],
                  res["curl_" + job], 1.0)
        rss_row(bench.rows, "S1", "peak RSS of cvxfer, " + mine + " over SFTP", res[job + "_rss"])
        bench.extra.append("| S1 %s | %.0f MB/s | sftp %.0f MB/s, curl %.0f MB/s |" % (
            job, size / statistics.median(res[job]) / 1e6,
            size / statistics.median(res["sftp_" + job]) / 1e6,
            size / statistics.median(res["curl_" + job]) / 1e6))


def watch_start(bench, server, commands, out_path):
    """cvxfer logged in to server and running the commands (the last a
    watch), its standard input left open so that only a signal ends it;
    its output goes to out_path. Returns the Popen."""
    lines = ["user %s %s" % (server.user, server.password), "binary"] + commands
    out = open(out_path, "wb")
    proc = subprocess.Popen([bench.cvxfer, "-n", "-p", server.host, str(server.port)],
                            stdin=subprocess.PIPE, stdout=out, stderr=subprocess.STDOUT,
                            env=bench.env)
    out.close()
    proc.stdin.write("".join(line + "\n" for line in lines).encode())
    proc.stdin.flush()
    return proc


def watch_peak(proc):
    """The peak RSS (VmHWM) of the running process proc, in bytes."""
    with open("/proc/%d/status" % proc.pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM for process %d" % proc.pid)


def watch_stop(proc, out_path, tag):
    """Ends the watch proc with SIGTERM; raises unless it exits with 0."""
    proc.send_signal(signal.SIGTERM)
    try:
        status = proc.wait(60)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        status = "killed after 60 s"
    proc.stdin.close()
    if status != 0:
        with open(out_path, errors="replace") as f:
            raise RuntimeError("%s: cvxfer exited with status %s after SIGTERM:\n%s"
                               % (tag, status, f.read()[-3000:]))


def wait_for(condition, proc, out_path, tag, timeout=TIMEOUT, step=0.02):
    """Polls condition every step seconds until it holds; raises when the
    watch proc ends first or after timeout seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if proc.poll() is not None or time.monotonic() > deadline:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            with open(out_path, errors="replace") as f:
                raise RuntimeError("%s: the watch %s:\n%s" % (
                    tag, "ended" if proc.returncode is not None else "timed out",
                    f.read()[-3000:]))
        time.sleep(step)


def make_files(directory, count, size, owner, name="f%06d"):
    """count files of size random bytes in the fresh directory, owned by owner."""
    os.makedirs(directory)
    with open("/dev/urandom", "rb") as rng:
        body = rng.read(size * min(count, 64))
    for i in range(count):
        path = os.path.join(directory, name % i)
        with open(path, "wb") as f:
            f.write(body[(i % 64) * size:(i % 64 + 1) * size])
        if owner is not None:
            os.chown(path, owner.pw_uid, owner.pw_gid)
    if owner is not None:
        os.chown(directory, owner.pw_uid, owner.pw_gid)


def bench_watch_take(bench, server):
    """W1: a directory of small files emptied by cvxfer's watch onto a
    queue, against lftp mirroring it away (--Remove-source-files)."""
    count = bench.counts["watch_files"]
    directory = os.path.join(server.root, "watch")
    local = os.path.join(bench.work, "mirror")
    out_path = os.path.join(bench.work, "watch.out")
    bench.cvadmin("define", WATCH_QUEUE, "--maxdepth", count * 2)
    lftp = ("set ftp:ssl-allow no; set ftp:passive-mode on; set cmd:fail-exit yes; "
            "mirror --Remove-source-files watch %s; quit" % local)
    mine, peer, peer_sync, peaks = [], [], [], []
    for r in range(bench.rounds):
        make_files(directory, count, SMALL, bench.owner)
        os.sync()
        start = time.monotonic()
        proc = watch_start(bench, server, ["cvopen " + WATCH_QUEUE, "cd watch",
                                           "mget -w -d -i 1 -s 0 *"], out_path)
        wait_for(lambda: not os.listdir(directory), proc, out_path, "W1")
        mine.append(time.monotonic() - start)
        peaks.append(watch_peak(proc))
        watch_stop(proc, out_path, "W1")
        depth = int(bench.cvadmin("depth", WATCH_QUEUE))
        if depth != count:
            raise RuntimeError("W1: %d messages on the queue after a watch over %d files"
                               % (depth, count))
        bench.cvadmin("clear", WATCH_QUEUE)
        os.rmdir(directory)
        make_files(directory, count, SMALL, bench.owner)
        os.sync()
        start = time.monotonic()
        subprocess.run(["lftp", "-u", "%s,%s" % (server.user, server.password), "-p",
                        str(server.port), "-e", lftp, server.host], check=True, timeout=TIMEOUT,
                       stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        peer.append(time.monotonic() - start)
        files = [os.path.join(local, n) for n in os.listdir(local)]
        subprocess.run(["sync"] + files, check=True, timeout=TIMEOUT)
        peer_sync.append(time.monotonic() - start)
        if len(files) != count or os.listdir(directory) or \
                any(os.path.getsize(f) != SMALL for f in files):
            raise RuntimeError("W1: lftp left %d files of %d and %d on the server"
                               % (len(files), count, len(os.listdir(directory))))
        remove(local)
        os.rmdir(directory)
        bench.details.append(
            "W1 round %d: cvxfer %.3f s (%.0f files/s, peak RSS %.1f MiB), lftp %.3f s "
            "(%.0f files/s), lftp+sync %.3f s" % (r + 1, mine[-1], count / mine[-1],
                                                  peaks[-1] / MiB, peer[-1], count / peer[-1],
                                                  peer_sync[-1]))
    ratio = statistics.median(mine) / statistics.median(peer)
    rates = lambda secs: spread([count / s for s in secs], "%.0f", "files/s")
    bench.rows.append(("W1", "{:,} files of 4 KiB taken by `mget -w -d` until the directory is "
                       "empty, against `lftp mirror --Remove-source-files`".format(count),
                       rates(mine), rates(peer), "%.2f" % ratio, "figure", "—"))
    bench.extra.append("| W1 | %.0f files/s | lftp %.0f files/s (%.0f with sync) |" % (
        count / statistics.median(mine), count / statistics.median(peer),
        count / statistics.median(peer_sync)))


def bench_watch_many(bench, server):
    """W2: cvxfer's peak RSS while its watch looks at a directory of many
    names, each cycle listing them all and taking the few that are done."""
    count, done = bench.counts["watch_names"], 10
    directory = os.path.join(server.root, "many")
    out_path = os.path.join(bench.work, "many.out")
    started = time.monotonic()
    make_files(directory, count, 0, bench.owner)
    # The last names in the order the watch looks at them get a done file:
    # once their messages are on the queue, the first cycle has seen all.
    for i in range(count - done, count):
        path = os.path.join(directory, "f%06d.done" % i)
        open(path, "wb").close()
        if bench.owner is not None:
            os.chown(path, bench.owner.pw_uid, bench.owner.pw_gid)
    made = time.monotonic() - started
    try:
        bench.cvadmin("define", WATCH_QUEUE)  # W1 defines it when it runs first
    except RuntimeError:
        bench.cvadmin("clear", WATCH_QUEUE)
    listings = lambda: sum(1 for c in server.commands() if c.startswith("NLST"))
    before = listings()
    start = time.monotonic()
    proc = watch_start(bench, server, ["cvopen " + WATCH_QUEUE, "cd many",
                                       "mget -w -d -i 1 -D .done *"], out_path)
    wait_for(lambda: int(bench.cvadmin("depth", WATCH_QUEUE)) == done, proc, out_path, "W2",
             step=0.2)
    first = time.monotonic() - start
    # The third listing starts once the second cycle, over the names left, ended.
    wait_for(lambda: listings() - before >= 3, proc, out_path, "W2", step=0.2)
    cycles = time.monotonic() - start
    peak = watch_peak(proc)
    watch_stop(proc, out_path, "W2")
    left = len(os.listdir(directory))
    if left != count - done:
        raise RuntimeError("W2: %d names left of %d, %d taken" % (left, count, done))
    bench.cvadmin("clear", WATCH_QUEUE)
    remove(directory)
    limit = 64 * MiB
    bench.rows.append(("W2", "peak RSS of cvxfer, watch cycles over a directory of {:,} names"
                       .format(count), "%.1f MiB" % (peak / MiB), "—", "—", "≤ 64 MiB",
                       "met" if peak <= limit else "NOT met"))
    bench.details.append(
        "W2: %d empty files made in %.1f s; first cycle (its %d done files on the queue) "
        "%.1f s, two cycles and the third listing %.1f s; peak RSS %.1f MiB"
        % (count, made, done, first, cycles, peak / MiB))


def store_medians(bench, qmgr, filter_=None):
    """Runs store_bench on qmgr; returns its medians by benchmark name."""
    args = [bench.store_bench, "--benchmark_format=json",
            "--benchmark_repetitions=%d" % bench.rounds,
            "--benchmark_min_time=%s" % ("0.1" if bench.quick else "0.5")]
    if filter_:
        args.append("--benchmark_filter=" + filter_)
    out = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         env=dict(bench.env, CORVANE_BENCH_QMGR=qmgr), timeout=TIMEOUT,
                         check=True).stdout
    medians = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("error_occurred"):
            raise RuntimeError("store_bench %s: %s" % (b["name"], b.get("error_message")))
        if b.get("aggregate_name") == "median":
            medians[b["run_name"]] = b
    return medians


def bench_store(bench):
    if not os.access(bench.store_bench, os.X_OK):
        return ["Not measured: %s was not built (configure with -DCVXFER_BENCH=ON)."
                % bench.store_bench], None
    bench.cvadmin("create", "BENCHQM")
    bench.cvadmin("-m", "BENCHQM", "define", "BENCH.Q", "--maxmsgl", str(65 * MiB),
                  "--maxdepth", "100000000")
    medians = store_medians(bench, "BENCHQM")
    def rate(name):
        return medians[name]["items_per_second"]
    def speed(name):
        return medians[name]["bytes_per_second"] / 1e6
    trip, fsync = rate("StoreRoundTrip/1024/real_time"), rate("FileAppendFsync/1024/real_time")
    ratio_row(bench.rows, "P4", "store: persistent 1 KiB put, get under syncpoint, commit",
              [trip], [fsync], 0.5, higher_is_better=True, num="%.0f", unit="msg/s")
    bench.details.append("P4: %.0f round trips/s against %.0f appends+fsync/s"
                         " (medians of %d repetitions)" % (trip, fsync, bench.rounds))
    bench.details.append("P4: get+commit among 5000 plain messages: %.0f/s without the group"
                         " options, %.0f/s with them, past an incomplete group of 64 segments"
                         % (rate("StoreGetAmongPlain/0/real_time"),
                            rate("StoreGetAmongPlain/1/real_time")))
    lines = ["| size | store put | store get+commit | file write+fsync | file read |",
             "|---|---|---|---|---|"]
    for size, label in ((1 << 10, "1 KiB"), (64 << 10, "64 KiB"), (1 << 20, "1 MiB"),
                        (64 << 20, "64 MiB")):
        lines.append("| %s | %.1f MB/s | %.1f MB/s | %.1f MB/s | %.1f MB/s |" % (
            label, speed("StorePut/%d/real_time" % size), speed("StoreGet/%d/real_time" % size),
            speed("FileWriteFsync/%d/real_time" % size), speed("FileRead/%d/real_time" % size)))
    return lines, medians


def bench_broker(bench, server, local):
    """cvxfer's get and put through a queue manager whose queues are on
    RabbitMQ, and the store's figures there (when store_bench was built)."""
    reason = broker.unavailable()
    if reason:
        return ["The broker backend was not measured: %s." % reason]
    directory = os.path.join(bench.work, "rabbitmq")
    data = make_file(os.path.join(bench.work, "broker.bin"), bench.sizes["broker"])
    remote = None
    with broker.rabbitmq(directory) as url:
        bench.cvadmin("create", "BENCHRMQ", "--amqp", url)
        for queue in ("BENCH.Q", BROKER_QUEUE):
            bench.cvadmin("-m", "BENCHRMQ", "define", queue, "--maxmsgl", str(65 * MiB),
                          "--maxdepth", "1000000")
        t = get_and_put(bench, server, "Broker", data, bench.rounds, BROKER_QUEUE, "BENCHRMQ")
        if local is not None:
            remote = store_medians(bench, "BENCHRMQ",
                                   "StoreRoundTrip|StorePut/67108864|StoreGet/67108864")
    remove(data[0])
    label = size_text(data[1])
    lines = ["| cvxfer job | throughput | peak RSS of cvxfer |", "|---|---|---|"]
    for job, what in (("get", "`get`, %s: remote file to the broker's queue"),
                      ("put", "`put`, %s: the broker's queue to a remote file")):
        lines.append("| %s | %s | %s |" % (
            what % label, spread([data[1] / s / 1e6 for s in t[job]], "%.1f", "MB/s"),
            spread([p / MiB for p in t[job + "_rss"]], "%.1f", "MiB", max)))
    if remote is None:
        return lines + ["", "The store's own figures on the broker were not measured: "
                        "store_bench was not built."]
    trip = "StoreRoundTrip/1024/real_time"
    put, get = "StorePut/67108864/real_time", "StoreGet/67108864/real_time"
    lines += ["", "| figure | local store | RabbitMQ broker |", "|---|---|---|",
              "| persistent 1 KiB put, get under syncpoint, commit | %.0f msg/s | %.0f msg/s |" % (
                  local[trip]["items_per_second"], remote[trip]["items_per_second"]),
              "| 64 MiB put | %.1f MB/s | %.1f MB/s |" % (
                  local[put]["bytes_per_second"] / 1e6, remote[put]["bytes_per_second"] / 1e6),
              "| 64 MiB get+commit | %.1f MB/s | %.1f MB/s |" % (
                  local[get]["bytes_per_second"] / 1e6, remote[get]["bytes_per_second"] / 1e6)]
    bench.details.append("Broker store: %.0f round trips/s, 64 MiB put %.1f MB/s, get %.1f MB/s"
                         % (remote[trip]["items_per_second"], remote[put]["bytes_per_second"] / 1e6,
                            remote[get]["bytes_per_second"] / 1e6))
    return lines


def bench_groups(bench, server, huge):
    """G1: a file of huge's size through a broker whose messages take at
    most GROUP_SEGMENT bytes: get splits it into a group, put stores the
    group as one file again, checked against the original."""
    reason = broker.unavailable()
    if reason:
        bench.details.append("G1 was not measured: %s." % reason)
        return
    path, size, digest = huge
    name = os.path.basename(path)
    remote = place(bench, path, server.root)
    up = os.path.join(server.root, "up.bin")
    opens = ["cvconn BENCHG1", "cvopen G1.Q"]
    res = {k: [] for k in ("get", "get_rss", "put", "put_rss")}
    conf = ["max_message_size = %d" % GROUP_SEGMENT]
    with broker.rabbitmq(os.path.join(bench.work, "rabbitmq-g1"), conf=conf) as url:
        bench.cvadmin("create", "BENCHG1", "--amqp", url)
        bench.cvadmin("-m", "BENCHG1", "define", "G1.Q", "--maxmsgl", str(GROUP_SEGMENT),
                      "--maxdepth", "100000")
        for r in range(bench.gib_rounds):
            secs, peak, out = session(bench, server, opens + ["get " + name])
            expect(out, "Putted on queue\n")
            res["get"].append(secs)
            res["get_rss"].append(peak)
            remove(up)
            secs, peak, out = session(bench, server, opens + ["put up.bin"])
            expect(out, "Message commited\n")
            res["put"].append(secs)
            res["put_rss"].append(peak)
            if file_sha256(up) != digest:
                raise RuntimeError("G1: the remote file differs from the one got")
            remove(up)
            bench.details.append("G1 round %d: get %.1f MB/s, put %.1f MB/s (peak RSS %.1f, "
                                 "%.1f MiB)" % (r + 1, size / res["get"][-1] / 1e6,
                                                size / res["put"][-1] / 1e6,
                                                res["get_rss"][-1] / MiB, res["put_rss"][-1] / MiB))
    remove(remote)
    label = "%s in %s segments on RabbitMQ" % (size_text(size), size_text(GROUP_SEGMENT))
    rss_row(bench.rows, "G1", "peak RSS of cvxfer, `get` of %s" % label, res["get_rss"])
    rss_row(bench.rows, "G1", "peak RSS of cvxfer, `put` of %s" % label, res["put_rss"])
    for job in ("get", "put"):
        bench.extra.append("| G1 %s | %s | — |" % (job, spread(
            [size / s / 1e6 for s in res[job]], "%.0f", "MB/s")))


def machine():
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem = int(f.readline().split()[1]) // (1024 * 1024)
    fs = subprocess.run(["df", "--output=fstype", "."], stdout=subprocess.PIPE,
                        text=True).stdout.split()[-1]
    curl = subprocess.run(["curl", "--version"], stdout=subprocess.PIPE,
                          text=True).stdout.split("\n")[0]
    return ("%s, %d cores, %d GiB, %s; kernel %s; work directory on %s; %s"
            % (platform.node() or "host", os.cpu_count(), mem, cpu, platform.release(), fs, curl))


def notes(bench, server_name):
    """How each figure is taken, as the results page says it."""
    big, huge = size_text(bench.sizes["big"]), size_text(bench.sizes["huge"])
    if os.access(TIME, os.X_OK):
        rss = "as GNU time reports it (it forks cvxfer, so this script's memory is not counted)"
    else:
        rss = ("as wait4 reports it for the child, which also counts this script's own peak "
               "(%.1f MiB at the end of the run; install GNU time for cvxfer's alone)"
               % (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024))
    return [
        "How the figures are taken: a cvxfer figure is the wall time of one cvxfer process from "
        "its start to its exit (log in, `binary`, the transfer, `bye`), passive mode, on %s; a "
        "peer's is the wall time of its commands, run right after cvxfer in the same round. The "
        "table shows the median of the rounds and, in brackets, their spread (min–max); the "
        "ratio is cvxfer's median over the peer's. Every cvxfer transfer is checked: the "
        "message (taken back with `cvadmin get`) or the stored remote file must have the "
        "SHA-256 of the file it came from." % server_name, "",
        "- P1: `get` of a %s file onto a persistent queue, against `curl URL -o FILE; sync "
        "FILE`." % big,
        "- P2: `put` of a %s persistent message (committed once stored), against `curl -T FILE "
        "URL`." % big,
        "- P2m: P2 with the queue manager's store on tmpfs (/dev/shm). The commit that removes "
        "the message is made durable with fdatasync; on ext4 the first such sync after the "
        "server wrote its copy waits until that copy is on the disk too (ordered data), and "
        "the removal of the body file waits for that journal commit: on the disk the server "
        "shares, P2 pays for the server's durability, which curl never asks for.",
        "- P3: 200 `get`s in one session, against one `curl` fetching the 200 URLs over one "
        "connection, then `sync` of the 200 files.",
        "- P4: store_bench, a persistent 1 KiB put, a get under syncpoint and a commit, against "
        "appending 1 KiB to a file with an fsync each.",
        "- P6: peak RSS (ru_maxrss) of the cvxfer process during a `get` and a `put` of %s, %s; "
        "the largest of the rounds." % (huge, rss),
        "- P7: the P6 transfers over FTPS (`-s`: AUTH TLS, PBSZ 0, PROT P), against `curl "
        "--ssl-reqd` (to a file, then `sync`; `-T`), on vsftpd demanding TLS on every "
        "connection and session reuse.",
        "- S1: `get` and `put` of a %s file over SFTP (`sftp://`, key login) on OpenSSH's "
        "sshd on 127.0.0.1, against OpenSSH's `sftp -b` (get to a file, then `sync`; put) and "
        "`curl sftp://` (the same), in the same rounds as P1 to P3; peak RSS as for P6." % big,
        "- W1: {:,} files of 4 KiB in a directory of the FTP server, taken by `cd watch`, "
        "`mget -w -d -i 1 -s 0 *` onto a persistent queue: cvxfer runs with the commands on "
        "its standard input, the time is from its start until the directory is empty, then "
        "SIGTERM ends it (it must exit with 0, and the queue must hold every file). Against "
        "`lftp -e 'mirror --Remove-source-files watch DIR; quit'` on the same server, right "
        "after in the same round (lftp alone; the rounds also show it with a `sync` of the "
        "files, as the queue's messages are durable). Files per second; the ratio is cvxfer's "
        "median time over lftp's. A figure, with no goal.".format(bench.counts["watch_files"]),
        "- W2: peak RSS (VmHWM, read before SIGTERM) of `mget -w -d -i 1 -D .done *` over a "
        "directory of {:,} empty files, the last 10 of them with a done file: each cycle lists "
        "every name and takes those 10 the first time; read once the server has logged the "
        "third listing, so after two whole cycles.".format(bench.counts["watch_names"]),
        "- H: P1's and P2's `get` and `put`, then P6's (the message carrying its "
        "cv-file-sha256, as one made by `get` does) by this build and by the baseline's cvxfer "
        "(`--baseline`: a build of an earlier revision, without the digests), taking turns, "
        "the same rounds; also the CPU time of both, as wait4 reports it for the process and "
        "its threads. The goal is P1's and P2's; P6's is a figure.",
        "- P6 and P7 run %d round%s (`--gib-rounds`), P1 to P4, W1 and the broker jobs %d "
        "(`--rounds`): the large transfers take most of the run." % (
            bench.gib_rounds, "" if bench.gib_rounds == 1 else "s", bench.rounds)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--rounds", type=int, help="rounds of P1-P4 and the broker jobs "
                        "(default 5, 2 with --quick)")
    parser.add_argument("--gib-rounds", type=int, default=1, help="rounds of P6 and P7")
    parser.add_argument("--quick", action="store_true",
                        help="small sizes and few rounds, to check that the benchmark works; "
                        "writes BUILD/bench-quick.md unless --output is given")
    parser.add_argument("--output")
    parser.add_argument("--watch-names", type=int,
                        help="names in W2's directory (100,000 unless --quick)")
    parser.add_argument("--baseline", help="another build (bench/run --baseline REV makes one) "
                        "whose cvxfer job H measures this one against")
    parser.add_argument("--only", help="comma-separated jobs to run, of %s; writes "
                        "BUILD/bench-only.md unless --output is given" % ", ".join(JOBS))
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    args.baseline = args.baseline and os.path.abspath(args.baseline)
    if args.rounds is None:
        args.rounds = 2 if args.quick else 5
    unknown = set(args.only.split(",")) - set(JOBS) if args.only else set()
    if unknown:
        parser.error("--only: no job %s" % ", ".join(sorted(unknown)))
    if args.output is None:
        args.output = os.path.join(build, "bench-quick.md") if args.quick else \
            os.path.join(build, "bench-only.md") if args.only else \
            os.path.join(HERE, "results", "latest.md")
    output = os.path.abspath(args.output)  # before the chdir into the work directory
    work = os.path.join(build, "bench-work")
    remove(work)
    os.makedirs(work)
    os.chdir(work)
    bench = Bench(build, work, args)

    reason = ftpservers.vsftpd_unavailable()
    if reason is None:
        server_cm, server_name = ftpservers.vsftpd_server(), "vsftpd"
    else:
        ftp_root = os.path.join(work, "ftp")
        os.makedirs(ftp_root)
        server_cm, server_name = ftpservers.pyftpdlib_server(ftp_root), "pyftpdlib (%s)" % reason
    description = machine()
    started = time.monotonic()
    store_lines, local_medians = ["Not measured (`--only`)."], None
    broker_lines = ["Not measured (`--only`)."]
    try:
        if "P4" in bench.only or "broker" in bench.only:
            store_lines, local_medians = bench_store(bench)
        with server_cm as server:
            if server_name == "vsftpd":
                import pwd
                bench.owner = pwd.getpwnam(ftpservers.VSFTPD_USER)
            prepare_small(server.root, bench.owner)
            bench.cvadmin("create", "CVQM", "--default")
            bench.cvadmin("define", BIG_QUEUE, "--maxmsgl", max(bench.sizes.values()),
                          "--maxdepth", "10")
            if "P1" in bench.only:
                bench_transfers(bench, server)
            if "broker" in bench.only:
                broker_lines = bench_broker(bench, server, local_medians)
            if "W1" in bench.only:
                bench_watch_take(bench, server)
            if "W2" in bench.only:
                bench_watch_many(bench, server)
            if bench.only & {"P6", "P7", "G1", "H"}:
                huge = make_file(os.path.join(work, "huge.bin"), bench.sizes["huge"])
            if "G1" in bench.only:
                bench_groups(bench, server, huge)
            if "P6" in bench.only:
                bench_rss(bench, server, huge)
            if "H" in bench.only:
                big = make_file(os.path.join(work, "big.bin"), bench.sizes["big"])
                bench_hash_cost(bench, server, [big, huge])
        if "P7" in bench.only and reason is None:
            bench_tls(bench, huge)
        elif "P7" in bench.only:
            bench.details.append("P7 was not measured: %s." % reason)
        if "S1" in bench.only:
            bench_sftp(bench)
    finally:
        remove(work)  # the large files go even when a job fails
    took = time.monotonic() - started

    out = ["# Benchmark results", ""]
    if bench.quick:
        out += ["Quick run (`--quick`): small files, few rounds; it shows that the benchmark "
                "works, its figures compare with nothing.", ""]
    out += ["Run of %s; rounds: %d (P6, P7: %d); %s FTP server on 127.0.0.1, passive "
            "mode for both clients; took %.0f s." % (
                datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
                bench.rounds, bench.gib_rounds, server_name, took), "",
            "Machine: " + description, "",
            "Reproduce with `bench/run`.", "",
            "| id | job | cvxfer | peer | ratio | goal | |", "|---|---|---|---|---|---|---|"]
    for row in sorted(bench.rows):
        out.append("| " + " | ".join(row) + " |")
    out += [""] + notes(bench, server_name)
    out += ["", "| job | cvxfer | curl |", "|---|---|---|"] + bench.extra
    out += ["", "Queue store against the disk (medians; puts are persistent, outside a unit "
            "of work; gets take one message under syncpoint and commit):", ""] + store_lines
    out += ["", "On a RabbitMQ broker (a node of its own on loopback, confirmed publishes, "
            "acknowledged gets): cvxfer with BENCHRMQ as its queue manager, `get` putting a "
            "persistent message on the broker's queue and `put` storing one as a remote file "
            "(throughput: the file's size over the cvxfer process's wall time, median and "
            "spread of the rounds; peak RSS: the largest), then the store's own figures:",
            ""] + broker_lines
    out += ["", "Rounds:", ""] + ["- " + d for d in bench.details] + [""]
    text = "\n".join(out)
    os.makedirs(os.path.dirname(output), exist_ok=True)
    with open(output, "w") as f:
        f.write(text)
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
