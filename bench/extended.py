"""What the extended mode costs: Skerrow with the mode off and on, and
vsftpd (pipelined NOOPs), in the same run, server on core 0 and clients on core 1.

NOOP rate and p99 on one connection and on 1,000 connections; LIST of
10,000 files; 10,000 NOOPs sent in one write (pipelined), replies per
second (not measured for the mode off, which answers only the first line of
a read), also for vsftpd. Each figure is the median of five runs (one with --quick).
"""

import os
import shutil
import socket
import sys
import tempfile
import time

import run
from run import Skerrow, Vsftpd, field, list_time, loadgen, median

PIPELINED = 10000


def pipelined_rate(server):
    """Replies per second to 10,000 NOOPs sent in one write."""
    with socket.create_connection(("127.0.0.1", server.port), timeout=60) as sock:
        reader = sock.makefile("rb")

        def reply():
            line = reader.readline()
            while line[3:4] == b"-":
                line = reader.readline()
            return line

        reply()
        sock.sendall(b"USER %s\r\n" % server.user.encode())
        reply()
        sock.sendall(b"PASS %s\r\n" % server.password.encode())
        if not reply().startswith(b"230"):
            raise RuntimeError("login failed")
        batch = b"NOOP\r\n" * PIPELINED
        start = time.monotonic()
        sock.sendall(batch)
        for _ in range(PIPELINED):
            if not reply().startswith(b"200"):
                raise RuntimeError("a NOOP was not answered in order")
        return PIPELINED / (time.monotonic() - start)


def measure(server, conns):
    r = {}
    if server.name == "vsftpd":
        # The peer is here for the pipelined figure only.
        r["10k pipelined NOOP/s"] = (median(pipelined_rate(server) for _ in range(run.RUNS)),)
        return r
    noop = [loadgen(server, "rtt", 1, -2000) for _ in range(run.RUNS)]
    r["NOOP 1 conn"] = (median(field(x, "rate") for x in noop),
                        median(field(x, "p99") for x in noop))
    many = [loadgen(server, "rtt", conns, 5 if run.QUICK else 10)
            for _ in range(1 if run.QUICK else 3)]
    r["NOOP %d conns" % conns] = (median(field(x, "rate") for x in many),
                                  median(field(x, "p99") for x in many))
    took, _ = list_time(server, "many")
    r["LIST 10k ms"] = (took * 1000,)
    if server.name != "skerrow":
        r["10k pipelined NOOP/s"] = (median(pipelined_rate(server) for _ in range(run.RUNS)),)
    return r


def main():
    work = tempfile.mkdtemp(prefix="skerrow-bench-ext-")
    os.chmod(work, 0o755)
    data = os.path.join(work, "data")
    os.makedirs(os.path.join(data, "many"))
    for i in range(10000):
        open(os.path.join(data, "many", "file%05d.txt" % i), "w").close()
    conns = 200 if run.QUICK else 1000
    results = {}
    for make in (lambda: Skerrow(work, data), lambda: Skerrow(work, data, extended=True),
                 lambda: Vsftpd(work, data)):
        server = make()
        try:
            results[server.name] = measure(server, conns)
        finally:
            server.stop()
        print("== " + server.name, flush=True)
        for key, value in results[server.name].items():
            print("  %-24s %s" % (key, " / ".join("%.3f" % v if v < 10 else "%.0f" % v
                                                    for v in value)), flush=True)
    off, on = results["skerrow"], results["skerrow-extended"]
    print("== extended against classic (rates: on/off; times and p99: off/on)")
    for key in off:
        if key.startswith("NOOP"):
            print("  %-24s rate %.1f %%, p99 %.1f %%" % (
                key, 100 * on[key][0] / off[key][0], 100 * off[key][1] / on[key][1]))
        else:
            print("  %-24s %.1f %%" % (key, 100 * off[key][0] / on[key][0]))
    print("  pipelined: extended %.0f/s, vsftpd %.0f/s" % (
        on["10k pipelined NOOP/s"][0], results["vsftpd"]["10k pipelined NOOP/s"][0]))
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
