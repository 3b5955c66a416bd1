"""The benchmark behind bench/run: cvxfer against curl on one FTP server,
and the queue store against the disk. Prints its report and writes it to
bench/results/latest.md. Run it through bench/run, which builds first."""
import argparse
import datetime
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import broker  # noqa: E402
import ftpservers  # noqa: E402

MiB = 1 << 20
BIG = 256 * MiB
SMALL = 4096
SMALL_COUNT = 200
TIMEOUT = 600
BIG_QUEUE = "BENCH.BIG"


class Log(list):
    """The report's lines, also shown as they come so a long run shows life."""

    def append(self, line):
        print(line, flush=True)
        super().append(line)


class Bench:
    def __init__(self, build, work, rounds):
        self.cvxfer = os.path.join(build, "bin", "cvxfer")
        self.cvadmin_bin = os.path.join(build, "bin", "cvadmin")
        self.store_bench = os.path.join(build, "bin", "store_bench")
        self.work = work
        self.rounds = rounds
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

    def url(self, server, name):
        return "ftp://%s:%s@%s:%d/%s" % (server.user, server.password, server.host, server.port,
                                        name)

    def run_curl(self, args, sync_files):
        start = time.monotonic()
        subprocess.run(["curl", "-sS", "--fail"] + args, check=True, timeout=TIMEOUT,
                       stdout=subprocess.DEVNULL)
        if sync_files:
            subprocess.run(["sync"] + sync_files, check=True, timeout=TIMEOUT)
        return time.monotonic() - start


def session(bench, server, commands, flags=(), host=None):
    """cvxfer session with the commands; closes the parent's pipe ends."""
    script = "".join(c + "\n" for c in
                     ["user %s %s" % (server.user, server.password), "binary"] +
                     commands + ["bye"]).encode()
    argv = [bench.cvxfer, "-n", "-p"] + list(flags) + [host or server.host, str(server.port)]
    in_r, in_w = os.pipe()
    out_r, out_w = os.pipe()
    start = time.monotonic()
    pid = os.posix_spawn(argv[0], argv, bench.env, file_actions=[
        (os.POSIX_SPAWN_DUP2, in_r, 0), (os.POSIX_SPAWN_DUP2, out_w, 1),
        (os.POSIX_SPAWN_DUP2, out_w, 2)])
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
    elapsed = time.monotonic() - start
    out = b"".join(chunks).decode(errors="replace")
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError("cvxfer exited with status %d:\n%s" % (status, out[-3000:]))
    return elapsed, usage.ru_maxrss * 1024, out


def expect(out, text, count=1):
    if out.count(text) != count:
        raise RuntimeError("expected %d × %r in cvxfer's output:\n%s" % (count, text, out[-3000:]))


def same_bytes(path_a, path_b):
    return subprocess.run(["cmp", "-s", path_a, path_b]).returncode == 0


def prepare_files(root, owner):
    rng = open("/dev/urandom", "rb")
    with open(os.path.join(root, "big.bin"), "wb") as f:
        for _ in range(BIG // (16 * MiB)):
            f.write(rng.read(16 * MiB))
    os.makedirs(os.path.join(root, "small"))
    for i in range(SMALL_COUNT):
        with open(os.path.join(root, "small", "f%03d" % i), "wb") as f:
            f.write(rng.read(SMALL))
    rng.close()
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


def ratio_row(rows, pid, job, mine, peer, limit, higher_is_better=False, unit="s"):
    ratio = mine / peer if peer else float("inf")
    met = ratio >= limit if higher_is_better else ratio <= limit
    goal = ("≥ %.1f ×" if higher_is_better else "≤ %.1f ×") % limit
    fmt = (lambda v: "%.3f s" % v) if unit == "s" else unit
    rows.append((pid, job, fmt(mine), fmt(peer), "%.2f" % ratio, goal, "met" if met else "NOT met"))


def bench_transfers(bench, server):
    local = os.path.join(bench.work, "local")
    os.makedirs(local, exist_ok=True)
    big_local = os.path.join(local, "big.bin")
    shutil.copyfile(os.path.join(server.root, "big.bin"), big_local)
    bench.cvadmin("define", BIG_QUEUE, "--maxmsgl", str(BIG + MiB), "--maxdepth", "10")

    # P1: retrieve onto a persistent queue, against curl to a file and sync.
    p1, p1_peer, rss = [], [], []
    for r in range(bench.rounds):
        bench.cvadmin("clear", BIG_QUEUE)
        secs, peak, out = session(bench, server, ["cvopen " + BIG_QUEUE, "get big.bin"])
        expect(out, "Putted on queue\n")
        if r == 0:
            # Through a file: reading 256 MiB into this process would also
            # count in the peak RSS of the children it starts later.
            got = os.path.join(bench.work, "p1-check.bin")
            bench.cvadmin("get", BIG_QUEUE, got)
            if not same_bytes(got, big_local):
                raise RuntimeError("P1: the message differs from the remote file")
            remove(got)
        p1.append(secs)
        rss.append(peak)
        target = os.path.join(local, "p1-curl.bin")
        remove(target)
        p1_peer.append(bench.run_curl([bench.url(server, "big.bin"), "-o", target], [target]))
        remove(target)
        bench.details.append("P1 round %d: cvxfer %.3f s (peak RSS %.1f MiB), curl+sync %.3f s"
                             % (r + 1, secs, peak / MiB, p1_peer[-1]))
    bench.cvadmin("clear", BIG_QUEUE)

    # P2: store a message as a remote file, against curl -T of the same bytes.
    p2, p2_peer = [], []
    for r in range(bench.rounds):
        remote = os.path.join(server.root, "up.bin")
        remove(remote)
        bench.cvadmin("put", BIG_QUEUE, big_local)
        secs, _, out = session(bench, server, ["cvopen " + BIG_QUEUE, "put up.bin"])
        expect(out, "Message commited\n")
        if r == 0 and not same_bytes(remote, big_local):
            raise RuntimeError("P2: the remote file differs from the message")
        remove(remote)
        p2.append(secs)
        remote_peer = os.path.join(server.root, "up-curl.bin")
        remove(remote_peer)
        p2_peer.append(bench.run_curl(["-T", big_local, bench.url(server, "up-curl.bin")], []))
        remove(remote_peer)
        bench.details.append("P2 round %d: cvxfer %.3f s, curl -T %.3f s" % (r + 1, secs,
                                                                             p2_peer[-1]))

    # P3: 200 small files in one session, against one curl over one connection.
    p3, p3_peer = [], []
    names = ["small/f%03d" % i for i in range(SMALL_COUNT)]
    for r in range(bench.rounds):
        bench.cvadmin("clear", "SYSTEM.DEFAULT.LOCAL.QUEUE")
        secs, _, out = session(bench, server, ["get " + n for n in names])
        expect(out, "Putted on queue\n", SMALL_COUNT)
        depth = int(bench.cvadmin("depth", "SYSTEM.DEFAULT.LOCAL.QUEUE"))
        if depth != SMALL_COUNT:
            raise RuntimeError("P3: queue depth %d after %d gets" % (depth, SMALL_COUNT))
        p3.append(secs)
        dl = os.path.join(local, "p3")
        remove(dl)
        os.makedirs(dl)
        args, files = [], []
        for n in names:
            files.append(os.path.join(dl, os.path.basename(n)))
            args += [bench.url(server, n), "-o", files[-1]]
        p3_peer.append(bench.run_curl(args, files))
        remove(dl)
        bench.details.append("P3 round %d: cvxfer %.3f s, curl+sync %.3f s" % (r + 1, secs,
                                                                              p3_peer[-1]))
    bench.cvadmin("clear", "SYSTEM.DEFAULT.LOCAL.QUEUE")

    m = statistics.median
    ratio_row(bench.rows, "P1", "retrieve 256 MiB onto a persistent queue", m(p1), m(p1_peer), 1.3)
    ratio_row(bench.rows, "P2", "store a 256 MiB message as a remote file", m(p2), m(p2_peer), 1.3)
    ratio_row(bench.rows, "P3", "200 files of 4 KiB, one session", m(p3), m(p3_peer), 1.5)
    ratio_row(bench.rows, "P5", "peak RSS of cvxfer in P1", m(rss), BIG, 1.5,
              unit=lambda v: "%.1f MiB" % (v / MiB))
    bench.extra.append("| P1 | %.0f MB/s | %.0f MB/s |" % (BIG / m(p1) / 1e6, BIG / m(p1_peer) / 1e6))
    bench.extra.append("| P2 | %.0f MB/s | %.0f MB/s |" % (BIG / m(p2) / 1e6, BIG / m(p2_peer) / 1e6))


def bench_tls(bench):
    """T1 and T2: P1 and P2 over FTPS (AUTH TLS, protected data connections
    that resume the control session) against curl --ssl-reqd, on vsftpd."""
    import tlsservers
    pki_dir = os.path.join(bench.work, "pki")
    os.makedirs(pki_dir)
    pki = tlsservers.make_pki(pki_dir)
    local = os.path.join(bench.work, "local", "big.bin")
    with tlsservers.vsftpd_tls_server(pki) as server:
        import pwd
        owner = pwd.getpwnam(ftpservers.VSFTPD_USER)
        remote = os.path.join(server.root, "big.bin")
        shutil.copyfile(local, remote)
        os.chown(remote, owner.pw_uid, owner.pw_gid)
        flags = ["-s", "--cacert", server.ca]
        url = "ftp://%s:%s@localhost:%d/" % (server.user, server.password, server.port)
        curl_tls = ["--ssl-reqd", "--cacert", server.ca]
        t1, t1_peer, t2, t2_peer = [], [], [], []
        for r in range(bench.rounds):
            bench.cvadmin("clear", BIG_QUEUE)
            secs, _, out = session(bench, server, ["cvopen " + BIG_QUEUE, "get big.bin"], flags,
                                   "localhost")
            expect(out, "Putted on queue\n")
            t1.append(secs)
            target = os.path.join(bench.work, "t1-curl.bin")
            t1_peer.append(bench.run_curl(curl_tls + [url + "big.bin", "-o", target], [target]))
            remove(target)
            up = os.path.join(server.root, "up.bin")
            remove(up)
            secs, _, out = session(bench, server, ["cvopen " + BIG_QUEUE, "put up.bin"], flags,
                                   "localhost")
            expect(out, "Message commited\n")
            if r == 0 and not same_bytes(up, local):
                raise RuntimeError("T2: the remote file differs from the message")
            t2.append(secs)
            t2_peer.append(bench.run_curl(curl_tls + ["-T", local, url + "up-curl.bin"], []))
            bench.details.append("T1/T2 round %d: get %.3f s, curl %.3f s; put %.3f s, curl -T "
                                 "%.3f s" % (r + 1, t1[-1], t1_peer[-1], t2[-1], t2_peer[-1]))
    m = statistics.median
    ratio_row(bench.rows, "T1", "P1 over FTPS", m(t1), m(t1_peer), 1.3)
    ratio_row(bench.rows, "T2", "P2 over FTPS", m(t2), m(t2_peer), 1.3)


def store_medians(bench, qmgr, filter_=None):
    """Runs store_bench on qmgr; returns its medians by benchmark name."""
    args = [bench.store_bench, "--benchmark_format=json",
            "--benchmark_repetitions=%d" % bench.rounds, "--benchmark_min_time=0.5"]
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
              trip, fsync, 0.5, higher_is_better=True, unit=lambda v: "%.0f msg/s" % v)
    bench.details.append("P4: %.0f round trips/s against %.0f appends+fsync/s"
                         " (medians of %d repetitions)" % (trip, fsync, bench.rounds))
    lines = ["| size | store put | store get+commit | file write+fsync | file read |",
             "|---|---|---|---|---|"]
    for size, label in ((1 << 10, "1 KiB"), (64 << 10, "64 KiB"), (1 << 20, "1 MiB"),
                        (64 << 20, "64 MiB")):
        lines.append("| %s | %.1f MB/s | %.1f MB/s | %.1f MB/s | %.1f MB/s |" % (
            label, speed("StorePut/%d/real_time" % size), speed("StoreGet/%d/real_time" % size),
            speed("FileWriteFsync/%d/real_time" % size), speed("FileRead/%d/real_time" % size)))
    return lines, medians


def bench_broker(bench, local):
    """The same store figures on a queue manager whose queues are on RabbitMQ."""
    reason = broker.unavailable()
    if reason:
        return ["The broker backend was not measured: %s." % reason]
    directory = os.path.join(bench.work, "rabbitmq")
    with broker.rabbitmq(directory) as url:
        bench.cvadmin("create", "BENCHRMQ", "--amqp", url)
        bench.cvadmin("-m", "BENCHRMQ", "define", "BENCH.Q", "--maxmsgl", str(65 * MiB),
                      "--maxdepth", "1000000")
        remote = store_medians(bench, "BENCHRMQ",
                               "StoreRoundTrip|StorePut/67108864|StoreGet/67108864")
    trip = "StoreRoundTrip/1024/real_time"
    put, get = "StorePut/67108864/real_time", "StoreGet/67108864/real_time"
    lines = ["| figure | local store | RabbitMQ broker |", "|---|---|---|",
             "| persistent 1 KiB put, get under syncpoint, commit | %.0f msg/s | %.0f msg/s |" % (
                 local[trip]["items_per_second"], remote[trip]["items_per_second"]),
             "| 64 MiB put | %.1f MB/s | %.1f MB/s |" % (
                 local[put]["bytes_per_second"] / 1e6, remote[put]["bytes_per_second"] / 1e6),
             "| 64 MiB get+commit | %.1f MB/s | %.1f MB/s |" % (
                 local[get]["bytes_per_second"] / 1e6, remote[get]["bytes_per_second"] / 1e6)]
    bench.details.append("Broker: %.0f round trips/s, 64 MiB put %.1f MB/s, get %.1f MB/s" % (
        remote[trip]["items_per_second"], remote[put]["bytes_per_second"] / 1e6,
        remote[get]["bytes_per_second"] / 1e6))
    return lines


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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--output", default=os.path.join(HERE, "results", "latest.md"))
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    work = os.path.join(build, "bench-work")
    remove(work)
    os.makedirs(work)
    os.chdir(work)
    bench = Bench(build, work, args.rounds)

    reason = ftpservers.vsftpd_unavailable()
    if reason is None:
        server_cm, server_name = ftpservers.vsftpd_server(), "vsftpd"
    else:
        ftp_root = os.path.join(work, "ftp")
        os.makedirs(ftp_root)
        server_cm, server_name = ftpservers.pyftpdlib_server(ftp_root), "pyftpdlib (%s)" % reason
    description = machine()
    started = time.monotonic()
    with server_cm as server:
        owner = None
        if server_name == "vsftpd":
            import pwd
            owner = pwd.getpwnam(ftpservers.VSFTPD_USER)
        prepare_files(server.root, owner)
        bench.cvadmin("create", "CVQM", "--default")
        bench_transfers(bench, server)
    if reason is None:
        bench_tls(bench)
    store_lines, local_medians = bench_store(bench)
    broker_lines = bench_broker(bench, local_medians)
    took = time.monotonic() - started

    out = ["# Benchmark results", "",
           "Run of %s, %d rounds each, medians; %s FTP server on 127.0.0.1, passive mode "
           "for both clients; took %.0f s." % (
               datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
               bench.rounds, server_name, took), "",
           "Machine: " + description, "",
           "Reproduce with `bench/run`.", "",
           "| id | job | cvxfer | peer | ratio | goal | |", "|---|---|---|---|---|---|---|"]
    for row in sorted(bench.rows):
        out.append("| " + " | ".join(row) + " |")
    out += ["", "Peers: P1 `curl URL -o FILE; sync FILE`; P2 `curl -T FILE URL`; P3 one `curl` "
            "fetching the 200 URLs over one connection, then `sync` of the 200 files; P4 "
            "appending 1 KiB to a file with an fsync each; P5 the file size; T1 and T2 `curl "
            "--ssl-reqd` against vsftpd demanding TLS and session reuse.", "",
            "| job | cvxfer | curl |", "|---|---|---|"] + bench.extra
    out += ["", "Queue store against the disk (medians; puts are persistent, outside a unit "
            "of work; gets take one message under syncpoint and commit):", ""] + store_lines
    out += ["", "The store on a RabbitMQ broker (a node of its own on loopback, confirmed "
            "publishes, acknowledged gets):", ""] + broker_lines
    out += ["", "Rounds:", ""] + ["- " + d for d in bench.details] + [""]
    text = "\n".join(out)
    os.makedirs(os.path.dirname(args.output), exist_ok=True)
    with open(args.output, "w") as f:
        f.write(text)
    print(text)
    remove(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
