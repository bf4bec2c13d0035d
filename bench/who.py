"""What watching the server costs, server on core 0 and clients on core 1.

Headless (extended mode): with 1,000 idle clients connected and 20
downloads running at 1 MiB/s each, the server's CPU for one --who answer,
and the NOOP rate of 20 more clients over 5 s without --who and with it
once a second, three turns each; the time --who takes with 10,000
sessions connected.

Window (extended mode, on Xvfb): with the same load, the window's CPU over
30 s with its table shown against the same window in the classic mode
(the list box only): the difference is what the table's refresh costs.
"""

import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import run  # noqa: E402
from run import BUILD, LOADGEN, field, free_port, wait_port  # noqa: E402
from skerrow_window import Xvfb  # noqa: E402

SECONDS = int(os.environ.get("SKERROW_BENCH_SECONDS", "5"))
WINDOW_SECONDS = 10 if run.QUICK else 30


def start(work, name, extended=True, display=None):
    port = free_port()
    config = os.path.join(work, name)
    runtime = os.path.join(work, name + "-run")
    os.makedirs(os.path.join(config, "Orvane"))
    os.makedirs(runtime, mode=0o700)
    with open(os.path.join(config, "Orvane", "skerrow.conf"), "w") as out:
        out.write('[Config]\nPort=%d\nLogLevel=0\n[Users]\nUserCount=1\nUser0="bench,pw,1,1"\n'
                  '[Mapping]\nMapCount=1\nMap0="/=%s/,1,1"\n[Extended]\nEnabled=%d\n'
                  % (port, work, 1 if extended else 0))
    env = dict(os.environ, XDG_CONFIG_HOME=config, HOME=work, TMPDIR=work,
               XDG_RUNTIME_DIR=runtime)
    args = run.SERVER_CORE + [os.path.join(BUILD, "skerrow")]
    if display:
        env["DISPLAY"] = display
    else:
        args.append("--headless")
        env.pop("DISPLAY", None)
    process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    wait_port(port, 30)
    return process, port, env


def load(work, port, idle):
    """idle logged-in clients and 20 downloads at 1 MiB/s; stop() ends them."""
    gen = subprocess.Popen(run.CLIENT_CORE + [LOADGEN, "idle", str(port), "bench", "pw",
                                              str(idle)],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    gen.stdout.readline()
    downloads = [subprocess.Popen(run.CLIENT_CORE + [
        "curl", "-s", "--limit-rate", "1M", "-o", "/dev/null",
        "ftp://bench:pw@127.0.0.1:%d/big.bin" % port]) for _ in range(20)]

    def stop():
        for download in downloads:
            download.kill()
            download.wait()
        gen.stdin.close()
        gen.wait(60)
    return stop


def noop_rate(port):
    out = subprocess.run(run.CLIENT_CORE + [LOADGEN, "rtt", str(port), "bench", "pw", "20",
                                            str(SECONDS)], capture_output=True, text=True)
    return field(out.stdout, "rate")


def who(env):
    start = time.monotonic()
    result = subprocess.run(run.CLIENT_CORE + [os.path.join(BUILD, "skerrow"), "--who"],
                            capture_output=True, env=env)
    return time.monotonic() - start, result.stdout.count(b"\n")


def ask_who(path):
    """The request itself, as skerrow --who sends it (starting the program
    once a second would load the client's core, not the server's)."""
    with socket.socket(socket.AF_UNIX) as sock:
        sock.connect(path)
        sock.sendall(b"who\n")
        while sock.recv(1 << 16):
            pass


def headless(work):
    process, port, env = start(work, "headless")
    path = os.path.join(env["XDG_RUNTIME_DIR"], "skerrow", "control")
    try:
        stop = load(work, port, 1000)
        time.sleep(2)
        # What one answer costs the server, with 1,020 sessions.
        before = cpu_seconds(process.pid)
        for _ in range(100):
            ask_who(path)
        per_answer = (cpu_seconds(process.pid) - before) / 100
        # The NOOP rate without and with --who once a second, in turns, so
        # that the machine's own drift falls on both alike.
        rates = {False: [], True: []}
        for _ in range(3):
            for watching in (False, True):
                done = threading.Event()

                def watch():
                    while not done.wait(1.0):
                        ask_who(path)
                watcher = threading.Thread(target=watch)
                if watching:
                    watcher.start()
                rates[watching].append(noop_rate(port))
                done.set()
                if watching:
                    watcher.join()
        stop()
        without, with_who = run.median(rates[False]), run.median(rates[True])
        print("== skerrow --headless, 1,000 idle clients and 20 downloads at 1 MiB/s")
        print("  one --who answer         %.2f ms of the server's CPU (%.2f %% of a core at one a"
              " second)" % (per_answer * 1000, per_answer * 100))
        print("  NOOP of 20 clients       %.0f/s without --who, %.0f/s with --who once a second"
              " (%+.1f %%; medians of 3 turns each)" % (without, with_who,
                                                       (with_who / without - 1) * 100))
        gen = subprocess.Popen(run.CLIENT_CORE + [LOADGEN, "idle", str(port), "bench", "pw",
                                                  "10000"],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        ready = gen.stdout.readline().strip()
        took, lines = who(env)
        gen.stdin.close()
        gen.wait(120)
        print("  --who with 10,000 sessions %.3f s, %d lines (%s)" % (took, lines, ready))
    finally:
        process.terminate()
        process.wait(30)


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def window(work, xvfb):
    costs = {}
    for extended in (False, True):
        process, port, _ = start(work, "window-%d" % extended, extended, xvfb.env()["DISPLAY"])
        try:
            stop = load(work, port, 1000)
            time.sleep(3)
            before = cpu_seconds(process.pid)
            time.sleep(WINDOW_SECONDS)
            costs[extended] = (cpu_seconds(process.pid) - before) / WINDOW_SECONDS * 100
            stop()
        finally:
            process.terminate()
            process.wait(30)
    print("== the window, same load, %d s" % WINDOW_SECONDS)
    print("  CPU %.1f %% of a core with the list box (classic), %.1f %% with the table"
          " (extended): the table costs %.1f %%" % (costs[False], costs[True],
                                                     costs[True] - costs[False]))


def main():
    work = tempfile.mkdtemp(prefix="skerrow-bench-who-")
    os.chmod(work, 0o755)
    with open(os.path.join(work, "big.bin"), "wb") as out:
        out.truncate(8 * 1024 * 1024 * 1024)
    headless(work)
    if "--headless-only" in sys.argv:
        return
    xvfb = Xvfb()
    try:
        window(work, xvfb)
    finally:
        xvfb.stop()


if __name__ == "__main__":
    main()
