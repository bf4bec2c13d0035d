"""IPv6 against IPv4, same server, same run: Skerrow in the extended mode
(one dual-stack listener) and vsftpd with listen_ipv6=YES, each reached at
127.0.0.1 and at ::1. Server on core 0, clients on core 1.

NOOP rate and p99 on one connection and on 1,000 connections (200 with
--quick); RETR and STOR of 512 MiB (64 with --quick) with curl, passive.
Each figure is the median of five runs (one with --quick); the last column
is IPv6 over IPv4.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

import run
from run import Skerrow, Vsftpd, field, median

HOSTS = (("IPv4", "127.0.0.1", "127.0.0.1"), ("IPv6", "::1", "[::1]"))


class Vsftpd6(Vsftpd):
    """vsftpd on one IPv6 socket that takes IPv4 too."""
    name = "vsftpd (listen_ipv6)"

    def __init__(self, work, data):
        self.port = run.free_port()
        self.user, self.password = run.BENCH_USER, run.BENCH_PASS
        run.bench_user(data)
        os.makedirs("/var/run/vsftpd/empty", exist_ok=True)
        conf = os.path.join(work, "vsftpd6-%d.conf" % self.port)
        with open(conf, "w") as out:
            out.write("\n".join([
                "listen=NO", "listen_ipv6=YES", "listen_port=%d" % self.port,
                "anonymous_enable=NO", "local_enable=YES", "write_enable=YES",
                "local_root=%s" % data, "pasv_enable=YES",
                "secure_chroot_dir=/var/run/vsftpd/empty", "pam_service_name=vsftpd",
                "seccomp_sandbox=NO", "max_clients=0", "max_per_ip=0", "background=NO",
                "xferlog_enable=NO", "dirlist_enable=YES", ""]))
        self.process = subprocess.Popen(run.SERVER_CORE + [run.VSFTPD, conf])
        run.wait_port(self.port)


def loadgen(server, host, *args):
    out = subprocess.run(run.CLIENT_CORE + [run.LOADGEN, args[0], str(server.port), server.user,
                                            server.password] + [str(a) for a in args[1:]],
                         capture_output=True, text=True, timeout=300,
                         env=dict(os.environ, LOADGEN_HOST=host))
    return out.stdout.strip()


def timed_curl(server, url_host, *args):
    url = "ftp://%s:%s@%s:%d/" % (server.user, server.password, url_host, server.port)
    start = time.monotonic()
    code = subprocess.call(run.CLIENT_CORE + ["curl", "-s", "-S", "--max-time", "600"]
                           + [a.replace("URL/", url) for a in args])
    if code:
        raise RuntimeError("curl failed: %r" % (args,))
    return time.monotonic() - start


def measure(server, data, size_mib, conns):
    figures = {}
    for family, host, url_host in HOSTS:
        noop = [loadgen(server, host, "rtt", 1, -2000) for _ in range(run.RUNS)]
        many = [loadgen(server, host, "rtt", conns, 5 if run.QUICK else 10)
                for _ in range(run.RUNS)]
        retr = [timed_curl(server, url_host, "-o", "/dev/null", "URL/big.bin")
                for _ in range(run.RUNS)]
        stor = [timed_curl(server, url_host, "-T", os.path.join(data, "big.bin"),
                           "URL/stored.bin") for _ in range(run.RUNS)]
        os.remove(os.path.join(data, "stored.bin"))
        figures[family] = {
            "NOOP 1 conn (/s)": median(field(x, "rate") for x in noop),
            "NOOP 1 conn p99 (ms)": median(field(x, "p99") for x in noop),
            "NOOP %d conns (/s)" % conns: median(field(x, "rate") for x in many),
            "RETR I (MB/s)": size_mib * 1.048576 / median(retr),
            "STOR I (MB/s)": size_mib * 1.048576 / median(stor),
        }
    return figures


def main():
    work = tempfile.mkdtemp(prefix="skerrow-bench-ipv6-")
    os.chmod(work, 0o755)
    size_mib = 64 if run.QUICK else 512
    data, _ = run.make_data(work, size_mib)
    conns = 200 if run.QUICK else 1000
    kinds = [lambda: Skerrow(work, data, extended=True)]
    if "--skerrow-only" not in sys.argv:
        kinds.append(lambda: Vsftpd6(work, data))
    for kind in kinds:
        server = kind()
        try:
            figures = measure(server, data, size_mib, conns)
        finally:
            server.stop()
        print("== %s over IPv6 and IPv4" % server.name, flush=True)
        for key in figures["IPv4"]:
            v4, v6 = figures["IPv4"][key], figures["IPv6"][key]
            print("  %-24s IPv4 %10.3f  IPv6 %10.3f  (%+.1f %%)"
                  % (key, v4, v6, (v6 / v4 - 1) * 100 if v4 else 0), flush=True)
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
