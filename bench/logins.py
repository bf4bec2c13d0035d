"""Password guessing against Skerrow, vsftpd and pure-ftpd, each on its
defaults, with the same client code: wrong passwords answered per second
from one address, four ways (sequential on one connection, reconnecting for
each guess, pipelined, 500 connections at once), and meanwhile the login
time of a second address and the survival of 1,000 idle logged-in clients.

Every way of guessing comes from a loopback address of its own, so that a
ban that one way earned does not spoil the next. A guess counts when the
server answered it as a failed login.

Then the ways around a ban, against Skerrow in both modes (the peers keep
no count that a login could reset, so their figures are those of the plain
ways above): a login as anonymous between guesses; 20 sessions logged in
before the ban sending USER and PASS again; 200 connections at once, each
logging in as anonymous between guesses. The figure is wrong passwords
answered per address per 10 minutes, from a shorter run: what was answered,
plus the rate of its last half over the rest of the 10 minutes (a ban
measured as lasting to the end of the run is taken to last the 10 minutes;
Skerrow's lasts 15). --bypass runs only these.

Then logins against passwords stored as Argon2id hashes (Skerrow only;
--hashes runs only these): successful logins per second in a burst of 200
(at most 50 at once, below the 64 checks that may wait) with 1,000 idle
clients connected, and another client's NOOP latency (p50, p99, max)
during the burst.
"""

import asyncio
import os
import resource
import shutil
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402
from run import PURE, PureFtpd, Skerrow, Vsftpd  # noqa: E402

QUICK = "--quick" in sys.argv
BYPASS_ONLY = "--bypass" in sys.argv
HASHES_ONLY = "--hashes" in sys.argv
BURST = 200
BURST_AT_ONCE = 50
SECONDS = 5 if QUICK else 60
BYPASS_SECONDS = 30 if QUICK else 90
WINDOW = 600
IDLE = 200 if QUICK else 1000
PARALLEL = 500


async def open_from(port, address):
    reader, writer = await asyncio.open_connection("127.0.0.1", port,
                                                   local_addr=(address, 0))
    greeting = await asyncio.wait_for(reply(reader), 10)
    if not greeting.startswith(b"220"):
        writer.close()
        raise ConnectionError("no greeting")
    return reader, writer


def failed(reply):
    """A failed login: 530 (vsftpd, pure-ftpd) or 550 (Skerrow's classic
    reply), but not the 530 that asks a client to log in first."""
    return reply[:3] in (b"530", b"550") and b"log in" not in reply.lower()


async def reply(reader):
    """The final line of one reply (multi-line replies skipped through)."""
    while True:
        line = await reader.readline()
        if not line:
            raise ConnectionError("closed")
        if line[3:4] != b"-":
            return line


async def guess_once(reader, writer):
    """USER and a wrong PASS; true when the server answered a failed login."""
    writer.write(b"USER skbench\r\n")
    await writer.drain()
    if not (await reply(reader)).startswith(b"331"):
        raise ConnectionError("USER refused")
    writer.write(b"PASS wrong-guess\r\n")
    await writer.drain()
    return failed(await reply(reader))


async def guessing(port, address, deadline, once):
    """Connections one after another, each guessing until the server closes
    it (or, with once, for a single guess)."""
    count = 0
    while time.monotonic() < deadline:
        try:
            reader, writer = await open_from(port, address)
            while time.monotonic() < deadline:
                count += await asyncio.wait_for(guess_once(reader, writer),
                                                max(0.1, deadline - time.monotonic()))
                if once:
                    break
            writer.close()
        except (OSError, ConnectionError, asyncio.TimeoutError, asyncio.IncompleteReadError):
            await asyncio.sleep(0.01)
    return count


async def sequential(port, address, deadline):
    """One connection at a time, reopened only when the server closes it."""
    return await guessing(port, address, deadline, once=False)


async def reconnecting(port, address, deadline):
    """A new connection for every guess."""
    return await guessing(port, address, deadline, once=True)


async def pipelined(port, address, deadline):
    """Many guesses in one write; every reply is read."""
    count = [0]

    async def read_all(reader):
        while True:
            line = await reader.readline()
            if not line:
                return
            if failed(line):
                count[0] += 1

    while time.monotonic() < deadline:
        try:
            reader, writer = await open_from(port, address)
            task = asyncio.ensure_future(read_all(reader))
            while time.monotonic() < deadline and not task.done():
                writer.write(b"USER skbench\r\nPASS wrong-guess\r\n" * 200)
                await asyncio.wait_for(writer.drain(), max(0.1, deadline - time.monotonic()))
            writer.close()
            task.cancel()
        except (OSError, ConnectionError, asyncio.TimeoutError):
            await asyncio.sleep(0.01)
        finally:
            if "task" in locals():
                task.cancel()
    return count[0]


async def parallel(port, address, deadline):
    """PARALLEL connections guessing at once."""
    results = await asyncio.gather(*(sequential(port, address, deadline)
                                     for _ in range(PARALLEL)))
    return sum(results)


# Times one login from another address, in a process of its own so that the
# guessing client's own load does not count.
LOGIN_PROBE = r"""
import socket, sys, time
port, address, user, password = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
def reply(stream):
    while True:
        line = stream.readline()
        if not line or line[3:4] != b"-":
            return line
started = time.monotonic()
sock = socket.create_connection(("127.0.0.1", port), timeout=30, source_address=(address, 0))
stream = sock.makefile("rb")
reply(stream)
sock.sendall(b"USER " + user.encode() + b"\r\n")
reply(stream)
sock.sendall(b"PASS " + password.encode() + b"\r\n")
line = reply(stream)
print("%.3f" % ((time.monotonic() - started) * 1000) if line.startswith(b"230") else "failed")
"""


async def login_time(server, address):
    """Milliseconds from connecting to "230" for a second address."""
    probe = await asyncio.create_subprocess_exec(
        sys.executable, "-c", LOGIN_PROBE, str(server.port), address, server.user,
        server.password, stdout=asyncio.subprocess.PIPE)
    out, _ = await probe.communicate()
    text = out.decode().strip()
    if text == "failed" or not text:
        raise RuntimeError("the second address could not log in")
    return float(text)


async def idle_clients(server, count):
    clients = []
    for _ in range(count):
        reader, writer = await open_from(server.port, "127.0.3.1")
        writer.write(("USER %s\r\n" % server.user).encode())
        await reply(reader)
        writer.write(("PASS %s\r\n" % server.password).encode())
        if (await reply(reader)).startswith(b"230"):
            clients.append((reader, writer))
    return clients


async def still_connected(clients):
    alive = 0
    for reader, writer in clients:
        try:
            writer.write(b"NOOP\r\n")
            await writer.drain()
            if (await asyncio.wait_for(reply(reader), 10)).startswith(b"200"):
                alive += 1
        except (OSError, ConnectionError, asyncio.TimeoutError):
            pass
        writer.close()
    return alive


async def measure(server):
    figures = {}
    idle = await idle_clients(server, IDLE)
    logins = []
    for index, (name, way) in enumerate((("sequential, one connection", sequential),
                                         ("reconnecting each time", reconnecting),
                                         ("pipelined", pipelined),
                                         ("%d connections at once" % PARALLEL, parallel))):
        deadline = time.monotonic() + SECONDS
        attack = asyncio.ensure_future(way(server.port, "127.0.1.%d" % (index + 1), deadline))
        # A second address logs in while the guessing goes on.
        await asyncio.sleep(SECONDS / 2)
        logins.append(await login_time(server, "127.0.2.%d" % (index + 1)))
        guesses = await attack
        figures[name] = "%.1f guesses/s (%d in %d s)" % (guesses / SECONDS, guesses, SECONDS)
    figures["second address logs in"] = "max %.1f ms, median %.1f ms" % (
        max(logins), statistics.median(logins))
    figures["idle clients still connected"] = "%d of %d" % (await still_connected(idle), len(idle))
    return figures


async def command(reader, writer, line, deadline):
    writer.write(line.encode() + b"\r\n")
    await writer.drain()
    return await asyncio.wait_for(reply(reader), max(0.1, deadline - time.monotonic()))


async def log_in(reader, writer, user, password, deadline):
    return ((await command(reader, writer, "USER " + user, deadline)).startswith(b"331")
            and (await command(reader, writer, "PASS " + password, deadline)).startswith(b"230"))


async def guess_between_logins(reader, writer, victim, deadline, answered):
    """On a connection logged in as anonymous: a wrong password for the
    victim, then anonymous again, until the server refuses or closes."""
    while time.monotonic() < deadline:
        if not (await command(reader, writer, "USER " + victim, deadline)).startswith(b"331"):
            return
        if not failed(await command(reader, writer, "PASS wrong-guess", deadline)):
            return
        answered.append(time.monotonic())
        if not await log_in(reader, writer, "anonymous", "guest@", deadline):
            return


async def anonymous_between(port, address, victim, deadline, answered):
    """One connection at a time logging in as anonymous between guesses."""
    while time.monotonic() < deadline:
        try:
            reader, writer = await open_from(port, address)
            if await log_in(reader, writer, "anonymous", "guest@", deadline):
                await guess_between_logins(reader, writer, victim, deadline, answered)
            writer.close()
        except (OSError, ConnectionError, asyncio.TimeoutError, asyncio.IncompleteReadError):
            pass
        await asyncio.sleep(0.05)


async def many_between(port, address, victim, deadline, answered):
    """200 connections at once, each logging in as anonymous between guesses."""
    await asyncio.gather(*(anonymous_between(port, address, victim, deadline, answered)
                           for _ in range(200)))


async def plain_guesses(port, address, victim, deadline, answered):
    """Wrong passwords one after another, a new connection when closed."""
    while time.monotonic() < deadline:
        try:
            reader, writer = await open_from(port, address)
            while time.monotonic() < deadline:
                if not (await command(reader, writer, "USER " + victim,
                                      deadline)).startswith(b"331"):
                    break
                if not failed(await command(reader, writer, "PASS wrong-guess", deadline)):
                    break
                answered.append(time.monotonic())
            writer.close()
        except (OSError, ConnectionError, asyncio.TimeoutError, asyncio.IncompleteReadError):
            pass
        await asyncio.sleep(0.05)


async def logged_in_again(port, address, victim, deadline, answered):
    """20 sessions log in as anonymous; another connection guesses until the
    address is banned; then the 20 send USER and PASS again, logging in as
    anonymous between guesses."""
    sessions = []
    for _ in range(20):
        reader, writer = await open_from(port, address)
        if await log_in(reader, writer, "anonymous", "guest@", deadline):
            sessions.append((reader, writer))
    await plain_guesses(port, address, victim, min(deadline, time.monotonic() + 15), answered)

    async def session(reader, writer):
        try:
            await guess_between_logins(reader, writer, victim, deadline, answered)
        except (OSError, ConnectionError, asyncio.TimeoutError, asyncio.IncompleteReadError):
            pass
        writer.close()
    await asyncio.gather(*(session(reader, writer) for reader, writer in sessions))


def per_window(answered, started, seconds):
    """Answered in the run, plus the rate of its last half for the rest of
    the window."""
    tail = sum(1 for when in answered if when >= started + seconds / 2)
    return len(answered) + tail / (seconds / 2) * max(0, WINDOW - seconds)


async def measure_bypass(server, victim):
    figures = {}
    for index, (name, way) in enumerate((("anonymous between guesses", anonymous_between),
                                         ("logged-in sessions again", logged_in_again),
                                         ("200 connections", many_between))):
        answered = []
        started = time.monotonic()
        await way(server.port, "127.0.4.%d" % (index + 1), victim, started + BYPASS_SECONDS,
                  answered)
        figures[name] = "%.0f per 10 min (%d answered in %d s, last at %.1f s)" % (
            per_window(answered, started, BYPASS_SECONDS), len(answered), BYPASS_SECONDS,
            (max(answered) - started) if answered else 0)
    return figures


def bypass(work, data):
    print("ways around a ban: wrong passwords answered per address per 10 minutes, "
          "from %d s each" % BYPASS_SECONDS, flush=True)
    for extended in (False, True):
        # Settings of their own: the plain ways above may have run a Skerrow
        # of the same name in the same folder.
        name = ("skerrow-extended" if extended else "skerrow")
        server = Skerrow(work, data, extended=extended, more_users=["anonymous,,0,1"],
                         name=name + "-bypass")
        try:
            figures = asyncio.run(measure_bypass(server, server.user))
        finally:
            server.stop()
        print("== " + server.name, flush=True)
        for key, value in figures.items():
            print("  %-30s %s" % (key, value), flush=True)


def hashed_record(work, data):
    """The bench user's record as a server with HashPasswords=1 saves it,
    under the name "hashed"."""
    server = Skerrow(work, data, extra="[Logins]\nHashPasswords=1\n", name="skerrow-hashing")
    server.stop()
    path = os.path.join(work, "skerrow-hashing-config", "Orvane", "skerrow.conf")
    with open(path) as source:
        for line in source:
            if line.startswith("User0="):
                record = line.split("=", 1)[1].strip().strip('"')
                assert record.startswith("bench,$argon2id$"), record
                return "hashed" + record[len("bench"):]
    raise RuntimeError("no hashed record in " + path)


async def measure_hashes(server):
    idle = await idle_clients(server, IDLE)
    reader, writer = await open_from(server.port, "127.0.5.1")
    await log_in(reader, writer, server.user, server.password, time.monotonic() + 30)
    gate = asyncio.Semaphore(BURST_AT_ONCE)
    outcomes = []

    async def one_login():
        async with gate:
            try:
                r, w = await open_from(server.port, "127.0.5.2")
                outcomes.append(await log_in(r, w, "hashed", "pw", time.monotonic() + 60))
                w.close()
            except (OSError, ConnectionError, asyncio.TimeoutError,
                    asyncio.IncompleteReadError):
                outcomes.append(False)

    started = time.monotonic()
    burst = asyncio.ensure_future(asyncio.gather(*(one_login() for _ in range(BURST))))
    latencies = []
    # The other client asks every 2 ms: it measures what a client waits,
    # without itself taking a core from the hashing (a NOOP storm would).
    while not burst.done():
        sent = time.monotonic()
        await command(reader, writer, "NOOP", sent + 10)
        latencies.append((time.monotonic() - sent) * 1000)
        await asyncio.sleep(0.002)
    await burst
    took = time.monotonic() - started
    writer.close()
    latencies.sort()
    return {
        "logins against hashes": "%.1f/s (%d of %d in %.1f s)" % (
            sum(outcomes) / took, sum(outcomes), BURST, took),
        "NOOP meanwhile": "p50 %.2f ms, p99 %.2f ms, max %.2f ms (%d)" % (
            statistics.median(latencies), latencies[int(len(latencies) * 0.99)],
            latencies[-1], len(latencies)),
        "idle clients still connected": "%d of %d" % (await still_connected(idle), len(idle)),
    }


def hashes(work, data):
    print("logins against Argon2id hashes, a burst of %d with %d idle clients" % (BURST, IDLE),
          flush=True)
    # The server may use both cores here: its hashing threads take whichever
    # is free, while its loop keeps its own priority over them.
    saved, run.SERVER_CORE = run.SERVER_CORE, []
    try:
        server = Skerrow(work, data, extra="[Logins]\nBanAfter=0\n", name="skerrow-hashes",
                         more_users=[hashed_record(work, data)])
    finally:
        run.SERVER_CORE = saved
    try:
        figures = asyncio.run(measure_hashes(server))
    finally:
        server.stop()
    print("== " + server.name, flush=True)
    for key, value in figures.items():
        print("  %-30s %s" % (key, value), flush=True)


def main():
    # The idle clients and the parallel guessers need more descriptors than
    # the usual 1,024, here and in the servers started from here.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 8192)), hard))
    work = tempfile.mkdtemp(prefix="skerrow-bench-logins-")
    os.chmod(work, 0o755)
    data = os.path.join(work, "data")
    os.makedirs(data)
    kinds = [Skerrow, Vsftpd] + ([PureFtpd] if os.path.exists(PURE) else [])
    if BYPASS_ONLY or HASHES_ONLY:
        kinds = []
    else:
        print("wrong passwords per second from one address, %d s each way" % SECONDS, flush=True)
    for kind in kinds:
        server = kind(work, data)
        try:
            figures = asyncio.run(measure(server))
        finally:
            server.stop()
        print("== " + server.name, flush=True)
        for key, value in figures.items():
            print("  %-30s %s" % (key, value), flush=True)
    if not HASHES_ONLY:
        bypass(work, data)
    if not BYPASS_ONLY:
        hashes(work, data)
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
