"""Memory per idle TLS connection: 10,000 clients (1,000 with --quick) log in
over TLS (AUTH TLS, then USER and PASS inside it) and stay; the server's
resident memory after, less before, divided by the count. Skerrow only:
vsftpd keeps one process per client.
"""

import asyncio
import os
import resource
import ssl
import subprocess
import sys
import shutil
import tempfile
import time

import run
from run import Skerrow, rss_kib


async def one(port, context, held, failures):
    try:
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        await reader.readline()
        writer.write(b"AUTH TLS\r\n")
        await writer.drain()
        if not (await reader.readline()).startswith(b"234"):
            raise RuntimeError("AUTH refused")
        await writer.start_tls(context)
        writer.write(b"USER bench\r\nPASS pw\r\n")
        await writer.drain()
        line = b""
        while not line.startswith(b"230"):
            line = await reader.readline()
            if not line or line[:1] in (b"4", b"5"):
                raise RuntimeError(line)
        held.append(writer)
    except Exception as error:  # noqa: BLE001 - counted and reported
        failures.append(error)


async def hold(port, count):
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    held, failures = [], []
    # In waves, so that the listener's backlog is never the limit.
    wave = int(os.environ.get("TLSIDLE_WAVE", "500"))
    for start in range(0, count, wave):
        await asyncio.gather(*(one(port, context, held, failures)
                               for _ in range(min(wave, count - start))))
    return held, failures


def main():
    count = 1000 if run.QUICK else 10000
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    work = tempfile.mkdtemp(prefix="skerrow-bench-tlsidle-")
    os.chmod(work, 0o755)
    data = os.path.join(work, "data")
    os.makedirs(data)
    server = Skerrow(work, data, extended=True, extra="TlsMode=1\n", name="skerrow")
    try:
        before = rss_kib(server.pids())
        loop = asyncio.new_event_loop()
        held, failures = loop.run_until_complete(hold(server.port, count))
        # Measured once the server has settled (it gives back what the
        # handshakes left free within a second).
        time.sleep(2)
        after = rss_kib(server.pids())
        for writer in held:
            writer.transport.abort()
        loop.close()
    finally:
        server.stop()
        shutil.rmtree(work, ignore_errors=True)
    print("== skerrow, idle TLS connections", flush=True)
    print("  %-28s %.1f KiB per connection (%d logged in over TLS, %d failed)"
          % ("memory per idle TLS conn", (after - before) / max(len(held), 1), len(held),
             len(failures)), flush=True)
    if failures:
        print("  first failure: %r" % failures[0], file=sys.stderr)
    # Of which OpenSSL's own state, measured apart from the server.
    cert_dir = tempfile.mkdtemp(prefix="skerrow-bench-tlsobject-")
    cert, key = os.path.join(cert_dir, "cert.pem"), os.path.join(cert_dir, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:P-256", "-nodes", "-keyout", key, "-out", cert, "-days",
                    "2", "-subj", "/CN=127.0.0.1"], check=True, capture_output=True)
    out = subprocess.run([os.path.join(run.BUILD, "bench", "tlsobject"), cert, key],
                         capture_output=True, text=True).stdout
    for line in out.splitlines():
        name, _, kib = line.rpartition(" ")
        print("  %-28s %s KiB per connection" % ("OpenSSL alone, " + name, kib), flush=True)
    shutil.rmtree(cert_dir, ignore_errors=True)


if __name__ == "__main__":
    main()
