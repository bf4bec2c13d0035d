"""Skerrow's FTPS against vsftpd with TLS (ssl_enable=YES, its own
certificate), same machine, server on core 0 and clients on core 1.

RETR and STOR of 512 MiB under PROT P (curl --ssl-reqd, passive, binary);
200 TLS logins in a burst (seconds until all are logged in); the NOOP p50
and p99 of 20 other (clear) clients during a TLS download. Each figure is
the median of five runs (one with --quick). Neither server uses kernel TLS
here: both encrypt in user space.
"""

import os
import shutil
import socket
import ssl
import subprocess
import tempfile
import threading
import time

import run
from run import CLIENT_CORE, Skerrow, Vsftpd, field, loadgen, median

LOGINS = 200


def skerrow_tls(work, data):
    return Skerrow(work, data, extended=True, extra="TlsMode=1\nTlsSessionReuse=1\n",
                   name="skerrow")


def vsftpd_tls(work, data):
    cert = os.path.join(work, "vsftpd.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:P-256", "-nodes", "-keyout", cert, "-out", cert,
                    "-days", "30", "-subj", "/CN=127.0.0.1"], check=True, capture_output=True)
    return Vsftpd(work, data, extra=(
        "ssl_enable=YES", "rsa_cert_file=%s" % cert, "rsa_private_key_file=%s" % cert,
        "force_local_logins_ssl=NO", "force_local_data_ssl=NO"))


def curl_tls(server, *args):
    url = "ftp://%s:%s@127.0.0.1:%d/" % (server.user, server.password, server.port)
    return subprocess.Popen(CLIENT_CORE + ["curl", "-s", "-S", "--ssl-reqd", "-k", "--max-time",
                                           "600"] + [a.replace("URL/", url) for a in args])


def timed(server, *args):
    start = time.monotonic()
    if curl_tls(server, *args).wait():
        raise RuntimeError("curl failed: %r" % (args,))
    return time.monotonic() - start


def tls_logins(server, count):
    """Seconds from the first connect until the last of count clients is logged
    in over TLS, and how many were."""
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    barrier = threading.Barrier(count + 1)
    failures = []
    done = []
    sockets = []

    def one():
        try:
            barrier.wait()
            sock = socket.create_connection(("127.0.0.1", server.port), timeout=60)
            reader = sock.makefile("rb")
            reader.readline()
            sock.sendall(b"AUTH TLS\r\n")
            if not reader.readline().startswith(b"234"):
                raise RuntimeError("AUTH refused")
            tls = context.wrap_socket(sock)
            reader = tls.makefile("rb")
            tls.sendall(b"USER %s\r\n" % server.user.encode())
            reader.readline()
            tls.sendall(b"PASS %s\r\n" % server.password.encode())
            line = reader.readline()
            while line[3:4] == b"-":
                line = reader.readline()
            if not line.startswith(b"230"):
                raise RuntimeError(line)
            done.append(time.monotonic())
            sockets.append(tls)
        except Exception as error:  # noqa: BLE001 - counted and reported
            failures.append(error)

    threads = [threading.Thread(target=one) for _ in range(count)]
    for thread in threads:
        thread.start()
    barrier.wait()
    start = time.monotonic()
    for thread in threads:
        thread.join()
    for sock in sockets:
        sock.close()
    # A client not logged in within a minute counts as failed.
    return (max(done) - start if done else float("nan")), len(done)


def measure(server, size_mib):
    r = {}
    took = [timed(server, "-o", "/dev/null", "URL/big.bin") for _ in range(run.RUNS)]
    r["RETR PROT P"] = "%.0f MB/s" % (size_mib * 1.048576 / median(took))
    took = [timed(server, "-T", os.path.join(DATA, "big.bin"), "URL/stored.bin")
            for _ in range(run.RUNS)]
    r["STOR PROT P"] = "%.0f MB/s" % (size_mib * 1.048576 / median(took))
    logins = [tls_logins(server, LOGINS) for _ in range(run.RUNS)]
    r["200 TLS logins"] = "%.2f s (%d of %d logged in within 60 s)" % (
        median(t for t, _ in logins), min(n for _, n in logins), LOGINS)
    p50s, p99s = [], []
    for _ in range(run.RUNS):
        download = curl_tls(server, "-o", "/dev/null", "URL/big.bin")
        time.sleep(0.2)
        out = loadgen(server, "rtt", 20, 2)
        download.wait()
        p50s.append(field(out, "p50"))
        p99s.append(field(out, "p99"))
    r["NOOP of 20 during TLS RETR"] = "p50 %.3f ms, p99 %.3f ms" % (median(p50s), median(p99s))
    return r


DATA = None


def main():
    global DATA
    work = tempfile.mkdtemp(prefix="skerrow-bench-tls-")
    os.chmod(work, 0o755)
    DATA = os.path.join(work, "data")
    os.makedirs(DATA)
    size_mib = 64 if run.QUICK else 512
    with open(os.path.join(DATA, "big.bin"), "wb") as out:
        block = os.urandom(1 << 20)
        for _ in range(size_mib):
            out.write(block)
    for kind in (skerrow_tls, vsftpd_tls):
        server = kind(work, DATA)
        try:
            result = measure(server, size_mib)
        finally:
            server.stop()
        print("== %s (TLS)" % server.name, flush=True)
        for key, value in result.items():
            print("  %-28s %s" % (key, value), flush=True)
        stored = os.path.join(DATA, "stored.bin")
        if os.path.exists(stored):
            os.remove(stored)
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
