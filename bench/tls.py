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


STREAM = None


def with_share(rate):
    """A rate, and its share of this run's single-stream TLS ceiling."""
    return "%.0f MB/s (%.0f %% of one TLS stream)" % (rate, 100 * rate / STREAM) if STREAM \
        else "%.0f MB/s" % rate


def measure(server, size_mib):
    r = {}
    took = [timed(server, "-o", "/dev/null", "URL/big.bin") for _ in range(run.RUNS)]
    r["RETR PROT P"] = with_share(size_mib * 1.048576 / median(took))
    took = [timed(server, "-T", os.path.join(DATA, "big.bin"), "URL/stored.bin")
            for _ in range(run.RUNS)]
    r["STOR PROT P"] = with_share(size_mib * 1.048576 / median(took))
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

# The names openssl speed knows the negotiated ciphers by.
EVP_NAMES = {"AES_256_GCM": "aes-256-gcm", "AES256-GCM": "aes-256-gcm",
             "AES_128_GCM": "aes-128-gcm", "AES128-GCM": "aes-128-gcm",
             "CHACHA20": "chacha20-poly1305"}


def tls_ceilings(work, size_mib):
    """One TLS stream through OpenSSL over loopback (MB/s, median), its cipher,
    and that cipher's own speed in 16 KiB blocks (openssl speed -evp)."""
    cert, key = os.path.join(work, "ceiling-cert.pem"), os.path.join(work, "ceiling-key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:P-256", "-nodes", "-keyout", key, "-out", cert, "-days",
                    "2", "-subj", "/CN=127.0.0.1"], check=True, capture_output=True)
    tool = os.path.join(run.BUILD, "bench", "transferceiling")
    outs = [subprocess.run([tool, "tls", str(size_mib), cert, key], capture_output=True,
                           text=True, timeout=600).stdout.split() for _ in range(run.RUNS)]
    stream = median(float(o[0]) for o in outs)
    cipher = outs[0][2] if outs and len(outs[0]) > 2 else "?"
    evp = next((name for part, name in EVP_NAMES.items() if part in cipher), "aes-256-gcm")
    speed = subprocess.run(run.SERVER_CORE + ["openssl", "speed", "-evp", evp, "-bytes",
                                              "16384", "-seconds", "1" if run.QUICK else "3"],
                           capture_output=True, text=True).stdout
    cipher_mb = float("nan")
    for line in speed.splitlines():
        if line.startswith(evp.upper()) or line.lower().startswith(evp):
            cipher_mb = float(line.split()[-1].rstrip("k")) * 1000 / 1e6
    return stream, cipher, evp, cipher_mb


def main():
    global DATA, STREAM
    work = tempfile.mkdtemp(prefix="skerrow-bench-tls-")
    os.chmod(work, 0o755)
    DATA = os.path.join(work, "data")
    os.makedirs(DATA)
    size_mib = 64 if run.QUICK else 512
    with open(os.path.join(DATA, "big.bin"), "wb") as out:
        block = os.urandom(1 << 20)
        for _ in range(size_mib):
            out.write(block)
    stream, cipher, evp, cipher_mb = tls_ceilings(work, size_mib)
    STREAM = stream
    print("TLS ceilings: one stream %.0f MB/s (%s), %s alone %.0f MB/s (openssl speed, 16 KiB)"
          % (stream, cipher, evp, cipher_mb), flush=True)
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
