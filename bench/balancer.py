"""Two Skerrow instances behind HAProxy (PROXY protocol version 2 on the
control port and on each instance's passive range) against the same two
instances reached directly, in one run. The instances and HAProxy share
core 0, the clients run on core 1.

Figures: the NOOP rate of 1,000 logged-in clients (200 with --quick); RETR
and STOR of 256 MiB (32 with --quick) by two curl clients at once, one on
each instance; HAProxy's own processor time per connection (logging in
1,000 clients) and per MB moved. Medians of five runs (one with --quick).
"""

import os
import shutil
import subprocess
import tempfile
import threading
import time

import run
from run import field, median

BALANCER = "127.0.0.2"
# HAProxy reaches the instances from this address, the one they believe;
# clients from 127.0.0.1 reach them directly, without a header.
BALANCER_SOURCE = "127.0.0.9"
HAPROXY = shutil.which("haproxy") or "/usr/sbin/haproxy"


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Site:
    def __init__(self, work, data):
        self.control = run.free_port()
        self.instances = []
        low = 42000 + (os.getpid() % 200) * 100
        for name in ("a", "b"):
            passive = (low, low + 39)
            low += 40
            extra = ("ProxyProtocol=1\nProxyFrom=%s\nPassivePortMin=%d\nPassivePortMax=%d\n"
                     "PassiveAddress=%s\n" % (BALANCER_SOURCE, passive[0], passive[1], BALANCER))
            server = run.Skerrow(work, data, extended=True, extra=extra, name="skerrow-" + name)
            server.passive = passive
            self.instances.append(server)
        lines = ["global", "    maxconn 4000", "defaults", "    mode tcp",
                 "    timeout connect 5s", "    timeout client 10m", "    timeout server 10m",
                 "frontend control", "    bind %s:%d" % (BALANCER, self.control),
                 "    default_backend instances", "backend instances", "    balance roundrobin",
                 "    source %s" % BALANCER_SOURCE]
        for name, server in zip("ab", self.instances):
            lines.append("    server %s 127.0.0.1:%d send-proxy-v2" % (name, server.port))
        for name, server in zip("ab", self.instances):
            lines += ["frontend passive_%s" % name,
                      "    bind %s:%d-%d" % (BALANCER, server.passive[0], server.passive[1]),
                      "    default_backend passive_%s" % name, "backend passive_%s" % name,
                      "    source %s" % BALANCER_SOURCE,
                      "    server %s 127.0.0.1 send-proxy-v2" % name]
        config = os.path.join(work, "haproxy.cfg")
        with open(config, "w") as out:
            out.write("\n".join(lines) + "\n")
        self.haproxy = subprocess.Popen(run.SERVER_CORE + [HAPROXY, "-db", "-f", config],
                                        stdout=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            probe = subprocess.run(["ss", "-Hltn", "src", "%s:%d" % (BALANCER, self.control)],
                                   capture_output=True, text=True)
            if probe.stdout.strip():
                break
            time.sleep(0.05)
        else:
            self.stop()
            raise RuntimeError("HAProxy did not start")
        self.user, self.password = "bench", "pw"

    def stop(self):
        self.haproxy.terminate()
        self.haproxy.wait(20)
        for server in self.instances:
            server.stop()


def loadgen(host, port, *args, stdin=None):
    return subprocess.run(run.CLIENT_CORE + [run.LOADGEN, args[0], str(port), "bench", "pw"]
                          + [str(a) for a in args[1:]], capture_output=True, text=True,
                          timeout=600, input=stdin, env=dict(os.environ, LOADGEN_HOST=host)
                          ).stdout.strip()


def two_curls(targets, make_args):
    """Seconds for two curl clients at once, one per (host, port)."""
    results = []

    def one(index, host, port):
        url = "ftp://bench:pw@%s:%d/" % (host, port)
        code = subprocess.call(run.CLIENT_CORE + ["curl", "-s", "-S", "--max-time", "600"]
                               + [a.replace("URL/", url) for a in make_args(index)])
        results.append(code)

    start = time.monotonic()
    threads = [threading.Thread(target=one, args=(i, h, p)) for i, (h, p) in enumerate(targets)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if any(results):
        raise RuntimeError("curl failed")
    return time.monotonic() - start


def measure(site, data, size_mib, conns):
    balancer = [(BALANCER, site.control)] * 2
    direct = [("127.0.0.1", server.port) for server in site.instances]
    figures = {}
    moved_mb = 2 * size_mib * 1.048576
    for path, targets in (("direct", direct), ("HAProxy", balancer)):
        noop_host, noop_port = targets[0]
        noops = [loadgen(noop_host, noop_port, "rtt", conns, 5 if run.QUICK else 10)
                 for _ in range(run.RUNS)]
        start = cpu_seconds(site.haproxy.pid)
        loadgen(noop_host, noop_port, "idle", conns, stdin="")
        per_connection = (cpu_seconds(site.haproxy.pid) - start) / conns
        start = cpu_seconds(site.haproxy.pid)
        retr = [two_curls(targets, lambda i: ["-o", "/dev/null", "URL/big.bin"])
                for _ in range(run.RUNS)]
        stor = [two_curls(targets, lambda i: ["-T", os.path.join(data, "big.bin"),
                                              "URL/stored%d.bin" % i]) for _ in range(run.RUNS)]
        per_mb = (cpu_seconds(site.haproxy.pid) - start) / (moved_mb * 2 * run.RUNS)
        for i in range(2):
            os.remove(os.path.join(data, "stored%d.bin" % i))
        figures[path] = {
            "NOOP %d conns (/s)" % conns: median(field(x, "rate") for x in noops),
            "NOOP %d conns p99 (ms)" % conns: median(field(x, "p99") for x in noops),
            "RETR I, 2 clients (MB/s)": moved_mb / median(retr),
            "STOR I, 2 clients (MB/s)": moved_mb / median(stor),
            "HAProxy CPU per connection (ms)": per_connection * 1000,
            "HAProxy CPU per MB (ms)": per_mb * 1000,
        }
    return figures


def main():
    work = tempfile.mkdtemp(prefix="skerrow-bench-balancer-")
    os.chmod(work, 0o755)
    size_mib = 32 if run.QUICK else 256
    data, _ = run.make_data(work, size_mib)
    conns = 200 if run.QUICK else 1000
    site = Site(work, data)
    try:
        figures = measure(site, data, size_mib, conns)
    finally:
        site.stop()
    print("== two Skerrow instances: direct and through HAProxy (PROXY protocol v2)", flush=True)
    for key in figures["direct"]:
        direct, through = figures["direct"][key], figures["HAProxy"][key]
        print("  %-34s direct %10.3f  HAProxy %10.3f" % (key, direct, through), flush=True)
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
