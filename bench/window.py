"""The window under load: skerrow's window on Xvfb at log level 2 (every
command and reply logged) against skerrow --headless at level 2, each with
100 logged-in clients doing NOOP round trips for 10 s. Reports the aggregate
reply rates and the window's resident memory over the run."""

import os
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from run import BUILD, LOADGEN, free_port, rss_kib, wait_port  # noqa: E402
from skerrow_window import Xvfb  # noqa: E402

CONNS = 100
SECONDS = int(os.environ.get("SKERROW_BENCH_SECONDS", "10"))


def start(work, name, headless, display=None):
    port = free_port()
    config = os.path.join(work, name)
    os.makedirs(os.path.join(config, "Orvane"))
    with open(os.path.join(config, "Orvane", "skerrow.conf"), "w") as out:
        out.write('[Config]\nPort=%d\nLogLevel=2\n[Users]\nUserCount=1\nUser0="bench,pw,1,1"\n'
                  '[Mapping]\nMapCount=1\nMap0="/=%s/,1,1"\n' % (port, work))
    env = dict(os.environ, XDG_CONFIG_HOME=config, HOME=work, TMPDIR=work)
    args = [os.path.join(BUILD, "skerrow")]
    if headless:
        args.append("--headless")
        env.pop("DISPLAY", None)
    else:
        env["DISPLAY"] = display
    process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    wait_port(port, 30)
    return process, port


def run_load(process, port):
    samples = []
    done = threading.Event()

    def sample():
        while not done.wait(0.25):
            samples.append(rss_kib([process.pid]))
    watcher = threading.Thread(target=sample)
    watcher.start()
    out = subprocess.run([LOADGEN, "rtt", str(port), "bench", "pw", str(CONNS), str(SECONDS)],
                         capture_output=True, text=True, timeout=300).stdout.strip()
    done.set()
    watcher.join()
    return out, samples


def rate(line):
    for word in line.split():
        if word.endswith("/s"):
            return float(word[:-2])
    return 0.0


def main():
    work = tempfile.mkdtemp(prefix="skerrow-bench-window-")
    xvfb = Xvfb()
    try:
        window, port = start(work, "window", False, xvfb.display)
        time.sleep(1.0)  # the window is drawn and idle
        idle = rss_kib([window.pid])
        window_out, samples = run_load(window, port)
        window.terminate()
        window.wait(20)
        headless, port = start(work, "headless", True)
        headless_out, _ = run_load(headless, port)
        headless.terminate()
        headless.wait(20)
    finally:
        xvfb.stop()
    quarter = max(1, len(samples) // 4)
    early = max(samples[:quarter]) if samples else 0
    late = max(samples[-quarter:]) if samples else 0
    print("== window at log level 2, %d clients, %d s" % (CONNS, SECONDS))
    print("  window    %s" % window_out)
    print("  headless  %s" % headless_out)
    print("  ratio     %.0f %% of headless" % (100.0 * rate(window_out) / max(1.0, rate(headless_out))))
    print("  window RSS idle %d KiB; first quarter peak %d KiB, last quarter peak %d KiB, growth %d KiB"
          % (idle, early, late, late - early))


if __name__ == "__main__":
    main()
