"""Skerrow against vsftpd and pure-ftpd, same machine, same clients, same run.

Each server runs pinned to core 0 and every client to core 1; each figure is
the median of several runs (one with --quick).

Control connection: NOOP rate and latency on one connection; 1,000 logged-in
connections for 10 s; resident memory with 1,000 idle connections.
Transfers: RETR and STOR of 512 MiB (binary, passive, curl); RETR in ASCII
of a 64 MiB text file; 100 simultaneous 8 MiB downloads, byte-exact; 300
downloads of 1 KiB one after another; LIST of 10,000 files; the NOOP
latency of 20 other clients during a full-speed RETR; resident memory per
running transfer. Raw loopback ceilings: 256-byte and 64 KiB sends, sendfile.
"""

import ftplib
import hashlib
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")
LOADGEN = os.path.join(BUILD, "bench", "loadgen")
RAW = os.path.join(BUILD, "bench", "rawceiling")
SMALL = os.path.join(BUILD, "bench", "smallretr")
PURE = os.environ.get("PURE_FTPD", "/tmp/skerrow-bench-pure/usr/sbin/pure-ftpd")
BENCH_USER, BENCH_PASS = "skbench", "benchpw"
QUICK = "--quick" in sys.argv
RUNS = 1 if QUICK else 5
TWO_CORES = (os.cpu_count() or 1) >= 2
SERVER_CORE = ["taskset", "-c", "0"] if TWO_CORES else []
CLIENT_CORE = ["taskset", "-c", "1"] if TWO_CORES else []


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def rss_kib(pids):
    total = 0
    for pid in pids:
        try:
            with open("/proc/%d/status" % pid) as status:
                for line in status:
                    if line.startswith("VmRSS:"):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


def wait_port(port, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("nothing listens on %d" % port)


def bench_user(data):
    if subprocess.run(["id", BENCH_USER], capture_output=True).returncode != 0:
        subprocess.run(["useradd", "-M", "-d", data, "-s", "/bin/bash", BENCH_USER], check=True)
    # The home of a user made by an earlier run is that run's folder, now gone.
    subprocess.run(["usermod", "-d", data, BENCH_USER], check=True)
    subprocess.run(["chpasswd"], input=("%s:%s" % (BENCH_USER, BENCH_PASS)).encode(), check=True)
    subprocess.run(["chown", "-R", BENCH_USER, data], check=True)


def processes_named(name, first):
    found = [first]
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/comm" % entry) as comm:
                    if comm.read().strip() == name and int(entry) not in found:
                        found.append(int(entry))
            except OSError:
                pass
    return found


class Skerrow:
    name = "skerrow"

    def __init__(self, work, data, extended=False, extra="", name=None, more_users=()):
        """extended: the extended mode on; extra: more lines of its group;
        more_users: user records besides the bench user."""
        self.port = free_port()
        self.user, self.password = "bench", "pw"
        self.name = name or ("skerrow-extended" if extended else "skerrow")
        config = os.path.join(work, self.name + "-config")
        os.makedirs(os.path.join(config, "Orvane"))
        users = ["bench,pw,1,1"] + list(more_users)
        with open(os.path.join(config, "Orvane", "skerrow.conf"), "w") as out:
            out.write('[Config]\nPort=%d\nLogLevel=0\n[Users]\nUserCount=%d\n%s'
                      '[Mapping]\nMapCount=1\nMap0="/=%s/,1,1"\n[Extended]\nEnabled=%d\n%s'
                      % (self.port, len(users),
                         "".join('User%d="%s"\n' % (i, u) for i, u in enumerate(users)),
                         data, 1 if extended else 0, extra))
        env = dict(os.environ, XDG_CONFIG_HOME=config, HOME=work, TMPDIR=work)
        # Standard error apart: run as root, the server warns there.
        self.process = subprocess.Popen(SERVER_CORE + [os.path.join(BUILD, "skerrow"),
                                                       "--headless"],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        env=env)
        wait_port(self.port)

    def pids(self):
        return [self.process.pid]

    def stop(self):
        self.process.terminate()
        self.process.wait(20)


class Vsftpd:
    name = "vsftpd"

    def __init__(self, work, data, extra=()):
        """extra: more lines of its configuration."""
        self.port = free_port()
        self.user, self.password = BENCH_USER, BENCH_PASS
        bench_user(data)
        os.makedirs("/var/run/vsftpd/empty", exist_ok=True)
        conf = os.path.join(work, "vsftpd%d.conf" % self.port)
        with open(conf, "w") as out:
            out.write("\n".join([
                "listen=YES", "listen_ipv6=NO", "listen_address=127.0.0.1",
                "listen_port=%d" % self.port, "anonymous_enable=NO", "local_enable=YES",
                "write_enable=YES", "local_root=%s" % data, "pasv_enable=YES",
                "secure_chroot_dir=/var/run/vsftpd/empty", "pam_service_name=vsftpd",
                "seccomp_sandbox=NO", "max_clients=0", "max_per_ip=0", "background=NO",
                "xferlog_enable=NO", "dirlist_enable=YES", "use_localtime=YES"]
                + list(extra) + [""]))
        self.process = subprocess.Popen(SERVER_CORE + [VSFTPD, conf])
        wait_port(self.port)

    def pids(self):
        return processes_named("vsftpd", self.process.pid)

    def stop(self):
        self.process.terminate()
        self.process.wait(20)
        subprocess.run(["pkill", "-x", "vsftpd"])


class PureFtpd:
    name = "pure-ftpd"

    def __init__(self, work, data):
        self.port = free_port()
        self.user, self.password = BENCH_USER, BENCH_PASS
        bench_user(data)
        self.process = subprocess.Popen(SERVER_CORE + [
            PURE, "-S", "127.0.0.1,%d" % self.port, "-l", "unix", "-E", "-4", "-H",
            "-c", "2000", "-C", "2000", "-p", "20000:60000"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_port(self.port)

    def pids(self):
        return processes_named("pure-ftpd", self.process.pid)

    def stop(self):
        self.process.terminate()
        self.process.wait(20)
        subprocess.run(["pkill", "-x", "pure-ftpd"])


VSFTPD = shutil.which("vsftpd") or "/usr/sbin/vsftpd"


def client(args, **kwargs):
    return subprocess.run(CLIENT_CORE + args, capture_output=True, text=True, timeout=300,
                          **kwargs)


def loadgen(server, *args):
    out = client([LOADGEN, args[0], str(server.port), server.user, server.password]
                 + [str(a) for a in args[1:]])
    return out.stdout.strip()


def field(text, name):
    """The number after NAME in a loadgen line."""
    words = text.split()
    return float(words[words.index(name) + 1].rstrip("/s"))


def idle_memory(server, conns):
    before = rss_kib(server.pids())
    gen = subprocess.Popen(CLIENT_CORE + [LOADGEN, "idle", str(server.port), server.user,
                                          server.password, str(conns)],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    ready = gen.stdout.readline().strip()
    time.sleep(1)
    after = rss_kib(server.pids())
    gen.stdin.close()
    gen.wait(60)
    return before, after, ready


def curl(server, *args):
    url = "ftp://%s:%s@127.0.0.1:%d/" % (server.user, server.password, server.port)
    return subprocess.Popen(CLIENT_CORE + ["curl", "-s", "-S", "--max-time", "600"] +
                            [a.replace("URL/", url) for a in args])


def timed_curl(server, *args):
    start = time.monotonic()
    proc = curl(server, *args)
    if proc.wait():
        raise RuntimeError("curl failed: %r" % (args,))
    return time.monotonic() - start


def median(values):
    return statistics.median(values)


def list_time(server, path):
    ftp = ftplib.FTP()
    ftp.connect("127.0.0.1", server.port, timeout=60)
    ftp.login(server.user, server.password)
    times = []
    for _ in range(RUNS):
        start = time.monotonic()
        lines = []
        ftp.retrlines("LIST " + path, lines.append)
        times.append(time.monotonic() - start)
    ftp.quit()
    return median(times), len(lines)


def noop_during_retr(server, work):
    """p50 and p99 of 20 other clients' NOOPs while one client downloads."""
    download = curl(server, "-o", "/dev/null", "URL/big.bin")
    time.sleep(0.2)
    out = loadgen(server, "rtt", 20, 2)
    download.wait()
    return field(out, "p50"), field(out, "p99")


def memory_per_transfer(server, count=20):
    idle = rss_kib(server.pids())
    procs = [curl(server, "--limit-rate", "200k", "-o", "/dev/null", "URL/big.bin")
             for _ in range(count)]
    time.sleep(2)
    busy = rss_kib(server.pids())
    for proc in procs:
        proc.kill()
        proc.wait()
    return (busy - idle) / count


def share(rate, ceiling):
    """A rate, and what share of this run's ceiling it is."""
    if ceiling in CEILINGS:
        return "%.0f MB/s (%.0f %% of the %s ceiling)" % (rate, 100 * rate / CEILINGS[ceiling],
                                                          ceiling)
    return "%.0f MB/s" % rate


def run_server(server, work, data, size_mib, conns, eight_hash):
    r = {}
    noop = [loadgen(server, "rtt", 1, -2000) for _ in range(RUNS)]
    r["NOOP 1 conn"] = "%.0f/s, p99 %.3f ms" % (median(field(x, "rate") for x in noop),
                                                median(field(x, "p99") for x in noop))
    took = [timed_curl(server, "-o", "/dev/null", "URL/big.bin") for _ in range(RUNS)]
    r["RETR I %d MiB" % size_mib] = share(size_mib * 1.048576 / median(took), "sendfile")
    took = [timed_curl(server, "--use-ascii", "-o", "/dev/null", "URL/text.txt")
            for _ in range(RUNS)]
    r["RETR A"] = "%.0f MB/s" % (64 * 1.048576 / median(took))
    took = [timed_curl(server, "-T", os.path.join(data, "stor.bin"), "URL/stored.bin")
            for _ in range(RUNS)]
    r["STOR I %d MiB" % STOR_MIB] = share(STOR_MIB * 1.048576 / median(took), "splice")
    os.remove(os.path.join(data, "stored.bin"))
    small = [float(client([SMALL, str(server.port), server.user, server.password, "small.bin",
                           "1000"]).stdout or 0) for _ in range(RUNS)]
    r["small RETR"] = "%.0f/s" % median(small)
    took, count = list_time(server, "many")
    r["LIST 10k"] = "%.1f ms (%d lines)" % (took * 1000, count)
    outdir = os.path.join(work, "out-" + server.name)
    times = []
    exact = 0
    for _ in range(RUNS):
        shutil.rmtree(outdir, ignore_errors=True)
        os.makedirs(outdir)
        start = time.monotonic()
        procs = [curl(server, "-o", os.path.join(outdir, "%d.bin" % i), "URL/eight.bin")
                 for i in range(100)]
        codes = [p.wait() for p in procs]
        times.append(time.monotonic() - start)
        exact = sum(1 for i in range(100) if codes[i] == 0 and hashlib.sha256(
            open(os.path.join(outdir, "%d.bin" % i), "rb").read()).hexdigest() == eight_hash)
    r["100 x 8 MiB"] = "%.2f s (%d/100 byte-exact)" % (median(times), exact)
    p50, p99 = zip(*[noop_during_retr(server, work) for _ in range(RUNS)])
    r["NOOP of 20 during RETR"] = "p50 %.3f ms, p99 %.3f ms" % (median(p50), median(p99))
    r["memory per transfer"] = "%.0f KiB" % memory_per_transfer(server)
    # Many connections last: a server slow to admit them may stay busy a while.
    before, after, ready = idle_memory(server, conns)
    r["idle memory"] = "%.1f KiB per idle connection (%s)" % ((after - before) / conns, ready)
    many = loadgen(server, "rtt", conns, 5 if QUICK else 10)
    r["NOOP %d conns" % conns] = "%.0f/s, p99 %.2f ms" % (field(many, "rate"), field(many, "p99"))
    return r


def make_data(work, size_mib):
    data = os.path.join(work, "data")
    os.makedirs(os.path.join(data, "many"))
    with open(os.path.join(data, "big.bin"), "wb") as out:
        block = os.urandom(1 << 20)
        for _ in range(size_mib):
            out.write(block)
    line = b"The quick brown fox jumps over the lazy dog, again and again.\r\n"
    with open(os.path.join(data, "text.txt"), "wb") as out:
        chunk = line * (65536 // len(line))
        written = 0
        while written < 64 << 20:
            out.write(chunk)
            written += len(chunk)
    # The upload's file: the first STOR_MIB MiB of the download's.
    with open(os.path.join(data, "big.bin"), "rb") as source, \
            open(os.path.join(data, "stor.bin"), "wb") as out:
        out.write(source.read(STOR_MIB << 20))
    with open(os.path.join(data, "small.bin"), "wb") as out:
        out.write(os.urandom(1024))
    for i in range(10000):
        open(os.path.join(data, "many", "file%05d.txt" % i), "w").close()
    eight = os.urandom(8 << 20)
    with open(os.path.join(data, "eight.bin"), "wb") as out:
        out.write(eight)
    return data, hashlib.sha256(eight).hexdigest()


def transfer_ceiling(data, *curl_args):
    """Seconds curl takes for one transfer from the bare FTP responder."""
    tool = os.path.join(BUILD, "bench", "transferceiling")
    target = os.path.join(data, "ceiling.bin") if "-T" in curl_args else \
        os.path.join(data, "big.bin")
    responder = subprocess.Popen(SERVER_CORE + [tool, "ftp", target], stdout=subprocess.PIPE,
                                 text=True)
    port = int(responder.stdout.readline())
    start = time.monotonic()
    code = subprocess.call(CLIENT_CORE + ["curl", "-s", "-S"] + list(curl_args)
                           + ["ftp://a:b@127.0.0.1:%d/x" % port])
    took = time.monotonic() - start
    responder.wait(60)
    if code:
        raise RuntimeError("curl failed against the ceiling")
    return took


def ceilings(data, size_mib):
    def raw(*args):
        return median(float(client([RAW] + list(args)).stdout or 0) for _ in range(RUNS))
    send = median(transfer_ceiling(data, "-o", "/dev/null") for _ in range(RUNS))
    receive = median(transfer_ceiling(data, "-T", os.path.join(data, "stor.bin"))
                     for _ in range(RUNS))
    os.remove(os.path.join(data, "ceiling.bin"))
    CEILINGS["sendfile"] = size_mib * 1.048576 / send
    CEILINGS["splice"] = STOR_MIB * 1.048576 / receive
    return ("256-byte sends %.0f MB/s, 64 KiB sends %.0f MB/s, sendfile %.0f MB/s; "
            "one curl transfer from a bare responder: RETR (sendfile) %.0f MB/s, "
            "STOR %d MiB (splice) %.0f MB/s" % (
                raw("push", str(size_mib)), raw("push64k", str(size_mib)),
                raw("sendfile", os.path.join(data, "big.bin")), CEILINGS["sendfile"],
                STOR_MIB, CEILINGS["splice"]))


# The transfer ceilings of this run, for the shares printed beside the figures.
CEILINGS = {}
STOR_MIB = 32 if QUICK else 256


def main():
    work = tempfile.mkdtemp(prefix="skerrow-bench-")
    os.chmod(work, 0o755)
    size_mib = 64 if QUICK else 512
    data, eight_hash = make_data(work, size_mib)
    conns = 200 if QUICK else 1000
    print("raw loopback ceilings:", ceilings(data, size_mib), flush=True)
    kinds = [Skerrow, Vsftpd] + ([PureFtpd] if os.path.exists(PURE) else [])
    results = {}
    for kind in kinds:
        server = kind(work, data)
        try:
            results[server.name] = run_server(server, work, data, size_mib, conns, eight_hash)
        finally:
            server.stop()
        print("== " + server.name, flush=True)
        for key, value in results[server.name].items():
            print("  %-24s %s" % (key, value), flush=True)
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
