"""Speed limits: how close a limited download keeps to its limit, and what
the limiter costs the server. Server on core 0, client on core 1.

For 1, 10 and 100 MiB/s (the server's Download limit), one download runs
for SKERROW_BENCH_SECONDS (10 s; 3 with --quick) and its rate over that
time is set against the limit (the target: within 5 %). The server's
processor time (from /proc/PID/stat) is given per second and per GiB
moved, limited and unlimited; unlimited runs as fast as loopback allows.
Not part of make test: run it on a quiet machine.
"""

import ftplib
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import run  # noqa: E402
from run import Skerrow  # noqa: E402
from skerrow_server import cpu_seconds  # noqa: E402

MIB = 1024 * 1024
SECONDS = float(os.environ.get("SKERROW_BENCH_SECONDS", "3" if run.QUICK else "10"))
RATES = (1, 10, 100)  # MiB/s; 0: no limit


def download(server, seconds):
    """Bytes one download moves in seconds (from its first byte), and the
    server's processor seconds meanwhile."""
    ftp = ftplib.FTP()
    ftp.connect("127.0.0.1", server.port, timeout=30)
    ftp.login(server.user, server.password)
    ftp.voidcmd("TYPE I")
    data = ftp.transfercmd("RETR big.bin")
    first = data.recv(1 << 20)
    start = time.monotonic()
    cpu_start = cpu_seconds(server.process.pid)
    moved = 0
    while True:
        chunk = data.recv(1 << 20)
        if not chunk:
            break
        moved += len(chunk)
        if time.monotonic() - start >= seconds:
            break
    elapsed = time.monotonic() - start
    cpu = cpu_seconds(server.process.pid) - cpu_start
    data.close()
    ftp.close()
    if not first:
        raise RuntimeError("no bytes came")
    return moved, elapsed, cpu


def measure(work, data, rate):
    limits = "\n[Limits]\nDownload=%d\n" % (rate * 1024) if rate else ""
    server = Skerrow(work, data, extended=True, extra=limits,
                     name="skerrow-limit-%d" % rate)
    try:
        return download(server, SECONDS)
    finally:
        server.stop()


def main():
    with tempfile.TemporaryDirectory(prefix="skerrow-bench-limits-") as work:
        data = os.path.join(work, "data")
        os.makedirs(data)
        # Sparse, and larger than any run moves.
        with open(os.path.join(data, "big.bin"), "wb") as out:
            out.truncate(1 << 37)
        print("Speed limits, %.0f s per run (server on core 0, client on core 1)" % SECONDS)
        print("%-12s %12s %9s %12s %14s" % ("limit", "rate", "off by", "server CPU",
                                            "CPU per GiB"))
        for rate in RATES + (0,):
            moved, elapsed, cpu = measure(work, data, rate)
            got = moved / elapsed / MIB
            off = "%+.1f %%" % ((got - rate) / rate * 100) if rate else "-"
            print("%-12s %8.2f MiB/s %9s %10.1f %% %12.3f s" % (
                "%d MiB/s" % rate if rate else "none", got, off, cpu / elapsed * 100,
                cpu / (moved / (1 << 30)) if moved else 0))


if __name__ == "__main__":
    main()
