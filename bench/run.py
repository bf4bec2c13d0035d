"""Skerrow against vsftpd, same machine, same load generator, same run.

Control connection: (a) 1,000 NOOP round trips on one connection;
(b) 1,000 logged-in connections doing NOOP round trips for 10 s;
(c) resident memory with 1,000 idle logged-in connections.
Files: (a) RETR and STOR of a 512 MiB file with curl, against the raw
256-byte send()/recv() ceiling; (b) LIST of a folder with 10,000 files;
(c) 100 simultaneous 8 MiB downloads, byte-exact; (d) resident memory during
a transfer.
"""

import ftplib
import hashlib
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")
LOADGEN = os.path.join(BUILD, "bench", "loadgen")
RAW = os.path.join(BUILD, "bench", "rawceiling")
BENCH_USER, BENCH_PASS = "skbench", "benchpw"
QUICK = "--quick" in sys.argv


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


class Skerrow:
    name = "skerrow"

    def __init__(self, work, data):
        self.port = free_port()
        self.user, self.password = "bench", "pw"
        config = os.path.join(work, "skerrow-config")
        os.makedirs(os.path.join(config, "Orvane"))
        with open(os.path.join(config, "Orvane", "skerrow.conf"), "w") as out:
            out.write('[Config]\nPort=%d\nLogLevel=0\n[Users]\nUserCount=1\nUser0="bench,pw,1,1"\n'
                      '[Mapping]\nMapCount=1\nMap0="/=%s/,1,1"\n' % (self.port, data))
        env = dict(os.environ, XDG_CONFIG_HOME=config, HOME=work, TMPDIR=work)
        self.process = subprocess.Popen([os.path.join(BUILD, "skerrow"), "--headless"],
                                        stdout=subprocess.DEVNULL, env=env)
        wait_port(self.port)

    def pids(self):
        return [self.process.pid]

    def stop(self):
        self.process.terminate()
        self.process.wait(20)


class Vsftpd:
    name = "vsftpd"

    def __init__(self, work, data):
        self.port = free_port()
        self.user, self.password = BENCH_USER, BENCH_PASS
        if subprocess.run(["id", BENCH_USER], capture_output=True).returncode != 0:
            subprocess.run(["useradd", "-M", "-d", data, "-s", "/bin/bash", BENCH_USER], check=True)
        subprocess.run(["chpasswd"], input=("%s:%s" % (BENCH_USER, BENCH_PASS)).encode(), check=True)
        subprocess.run(["chown", "-R", BENCH_USER, data], check=True)
        os.makedirs("/var/run/vsftpd/empty", exist_ok=True)
        conf = os.path.join(work, "vsftpd.conf")
        with open(conf, "w") as out:
            out.write("\n".join([
                "listen=YES", "listen_ipv6=NO", "listen_address=127.0.0.1",
                "listen_port=%d" % self.port, "anonymous_enable=NO", "local_enable=YES",
                "write_enable=YES", "local_root=%s" % data, "pasv_enable=YES",
                "secure_chroot_dir=/var/run/vsftpd/empty", "pam_service_name=vsftpd",
                "seccomp_sandbox=NO", "max_clients=0", "max_per_ip=0", "background=NO",
                "xferlog_enable=NO", "dirlist_enable=YES", "use_localtime=YES", ""]))
        self.process = subprocess.Popen(["/usr/sbin/vsftpd", conf])
        wait_port(self.port)

    def pids(self):
        found = [self.process.pid]
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    with open("/proc/%s/comm" % entry) as comm:
                        if comm.read().strip() == "vsftpd" and int(entry) not in found:
                            found.append(int(entry))
                except OSError:
                    pass
        return found

    def stop(self):
        self.process.terminate()
        self.process.wait(20)
        subprocess.run(["pkill", "-x", "vsftpd"])


def loadgen(server, *args):
    out = subprocess.run([LOADGEN, args[0], str(server.port), server.user, server.password]
                         + [str(a) for a in args[1:]], capture_output=True, text=True, timeout=600)
    return out.stdout.strip()


def idle_memory(server, conns):
    before = rss_kib(server.pids())
    gen = subprocess.Popen([LOADGEN, "idle", str(server.port), server.user, server.password,
                            str(conns)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    ready = gen.stdout.readline().strip()
    time.sleep(1)
    after = rss_kib(server.pids())
    gen.stdin.close()
    gen.wait(60)
    return before, after, ready


def curl(server, *args):
    url = "ftp://%s:%s@127.0.0.1:%d/" % (server.user, server.password, server.port)
    return subprocess.Popen(["curl", "-s", "-S", "--max-time", "600"] +
                            [a.replace("URL/", url) for a in args])


def timed_curl(server, *args, sample=None):
    start = time.monotonic()
    proc = curl(server, *args)
    peak = 0
    while proc.poll() is None:
        if sample:
            peak = max(peak, rss_kib(sample))
        time.sleep(0.02)
    if proc.returncode:
        raise RuntimeError("curl failed: %r" % (args,))
    return time.monotonic() - start, peak


def list_time(server, path):
    ftp = ftplib.FTP()
    ftp.connect("127.0.0.1", server.port, timeout=60)
    ftp.login(server.user, server.password)
    best = None
    for _ in range(5):
        start = time.monotonic()
        lines = []
        ftp.retrlines("LIST " + path, lines.append)
        took = time.monotonic() - start
        best = took if best is None else min(best, took)
    ftp.quit()
    return best, len(lines)


def main():
    work = tempfile.mkdtemp(prefix="skerrow-bench-")
    os.chmod(work, 0o755)
    data = os.path.join(work, "data")
    os.makedirs(os.path.join(data, "many"))
    size_mib = 64 if QUICK else 512
    with open(os.path.join(data, "big.bin"), "wb") as out:
        block = os.urandom(1 << 20)
        for _ in range(size_mib):
            out.write(block)
    for i in range(10000):
        open(os.path.join(data, "many", "file%05d.txt" % i), "w").close()
    eight = os.urandom(8 << 20)
    with open(os.path.join(data, "eight.bin"), "wb") as out:
        out.write(eight)
    eight_hash = hashlib.sha256(eight).hexdigest()
    conns = 200 if QUICK else 1000
    results = {}
    print("raw ceiling (256-byte calls):", subprocess.run([RAW, "push", str(size_mib)],
          capture_output=True, text=True).stdout.strip(), "|",
          subprocess.run([RAW, "drain", str(size_mib)], capture_output=True, text=True).stdout.strip())
    for kind in (Skerrow, Vsftpd):
        server = kind(work, data)
        try:
            r = results[server.name] = {}
            # Memory first, on a fresh server.
            before, after, ready = idle_memory(server, conns)
            r["idle"] = "%s; RSS %d KiB idle, %d KiB with %d idle: %.1f KiB per connection" % (
                ready, before, after, conns, (after - before) / conns)
            r["noop1"] = loadgen(server, "rtt", 1, -1000)
            r["noopN"] = loadgen(server, "rtt", conns, 10)
            idle_rss = rss_kib(server.pids())
            took, peak = timed_curl(server, "-o", "/dev/null", "URL/big.bin", sample=server.pids())
            r["retr"] = "%.1f MiB/s; RSS peak %d KiB (idle %d KiB)" % (size_mib / took, peak, idle_rss)
            upload = os.path.join(work, "upload.bin")
            shutil.copy(os.path.join(data, "big.bin"), upload)
            took, _ = timed_curl(server, "-T", upload, "URL/stored.bin")
            r["stor"] = "%.1f MiB/s" % (size_mib / took)
            took, count = list_time(server, "many")
            r["list"] = "%.1f ms for %d lines" % (took * 1000, count)
            outdir = os.path.join(work, "out-" + server.name)
            os.makedirs(outdir)
            start = time.monotonic()
            procs = [curl(server, "-o", os.path.join(outdir, "%d.bin" % i), "URL/eight.bin")
                     for i in range(100)]
            codes = [p.wait() for p in procs]
            took = time.monotonic() - start
            exact = sum(1 for i in range(100) if codes[i] == 0 and hashlib.sha256(
                open(os.path.join(outdir, "%d.bin" % i), "rb").read()).hexdigest() == eight_hash)
            r["parallel"] = "%d/100 byte-exact in %.2f s" % (exact, took)
            os.remove(os.path.join(data, "stored.bin"))
        finally:
            server.stop()
        print("== " + server.name, flush=True)
        for key, value in r.items():
            print("  %-9s %s" % (key, value), flush=True)
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
