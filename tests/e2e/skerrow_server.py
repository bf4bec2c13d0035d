"""Starts the real skerrow binary headless for end-to-end tests.

Each server gets its own configuration folder (XDG_CONFIG_HOME), its own home
folder, published folders of its own and a port the system has chosen.
"""

import errno
import fcntl
import itertools
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

# One factor stretches every time-out of the suites: slow machines and the
# sanitizer build set SKERROW_TEST_TIME_FACTOR (for example 3).
TIME_FACTOR = max(1.0, float(os.environ.get("SKERROW_TEST_TIME_FACTOR") or 1))

BINARY = os.path.abspath(os.environ.get(
    "SKERROW_BINARY",
    os.path.join(os.path.dirname(__file__), "..", "..", "build", "skerrow")))


# The server's grace for a client that waits for a download's 226 before
# closing the data connection.
REPLY_GRACE_MS = 200


def scaled(seconds):
    """A time-out stretched by the suite's time factor."""
    return seconds * TIME_FACTOR


# Where reservations note the ports they hold, so that test processes
# running side by side never reserve the same one.
PORT_LOCKS = "/tmp/skerrow-test-ports"


def reservable_ports():
    """Ports below the system's ephemeral range: the system never hands
    them to an outgoing connection or to a bind to port 0, and a server's
    passive listeners, which search the ephemeral range, never take them."""
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as text:
            low = int(text.read().split()[0])
    except (OSError, ValueError, IndexError):
        low = 32768
    if low - 1 - 2048 < 1024:
        return range(40000, 50000)
    return range(max(1024, low - 12000), low)


class PortReservation:
    """A port that stays ours until released.

    The reserving socket is bound (with SO_REUSEADDR) but never listens: the
    server, which also sets SO_REUSEADDR, may bind and listen on the same
    port, while no other program can be handed it meanwhile. A port merely
    chosen and released could be taken by anyone before the server binds it.
    The port lies outside the system's ephemeral range (see
    reservable_ports), and a lock file keeps other test processes off it: a
    bound socket that does not listen would not.
    """

    def __init__(self, port=0):
        """port 0: a free one of reservable_ports(); OSError when port is taken."""
        self._socket = None
        self._lock = None
        candidates = list(reservable_ports()) if port == 0 else [port]
        if port == 0:
            random.shuffle(candidates)
        for candidate in candidates:
            if self._take(candidate):
                self.port = candidate
                return
        raise OSError(errno.EADDRINUSE, "no port to reserve")

    def _take(self, port):
        os.makedirs(PORT_LOCKS, exist_ok=True)
        lock = open(os.path.join(PORT_LOCKS, str(port)), "a")
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            lock.close()
            return False
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind(("0.0.0.0", port))
        except OSError:
            sock.close()
            lock.close()
            return False
        self._socket, self._lock = sock, lock
        return True

    @classmethod
    def neighbours(cls):
        """Two reservations of neighbouring ports, the lower first."""
        return tuple(cls.run(2))

    @classmethod
    def run(cls, count):
        """Reservations of count consecutive ports, the lowest first."""
        while True:
            held = [cls()]
            try:
                while len(held) < count and held[-1].port < 65535:
                    held.append(cls(held[-1].port + 1))
            except OSError:
                pass
            if len(held) == count:
                return held
            for reservation in held:
                reservation.release()

    def release(self):
        if self._socket is not None:
            self._socket.close()
            self._socket = None
        if self._lock is not None:
            self._lock.close()
            self._lock = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.release()


def wait_for(condition, timeout=10.0, interval=0.01):
    """Polls condition() until it is true; False when the time runs out.

    The time-out is stretched by the suite's time factor."""
    deadline = time.monotonic() + scaled(timeout)
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(interval)
    return condition()


def cpu_seconds(pid):
    """The processor time a process has used so far, user and system."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")



def read_line(sock):
    """One reply line, read a byte at a time (nothing after it is taken);
    what came before the connection ended or was reset, if it did."""
    line = b""
    while not line.endswith(b"\r\n"):
        try:
            byte = sock.recv(1)
        except ConnectionResetError:
            return line
        if not byte:
            return line
        line += byte
    return line

def answer(ftp, command):
    """The reply to a command, success or refusal, as text."""
    import ftplib
    try:
        return ftp.sendcmd(command)
    except ftplib.Error as error:
        return str(error)


def logged_in(test, port, user, password, binary=True):
    """An ftplib client logged in (in type I), closed when the test ends."""
    import ftplib
    ftp = ftplib.FTP()
    ftp.connect("127.0.0.1", port, timeout=scaled(10))
    test.addCleanup(ftp.close)
    ftp.login(user, password)
    if binary:
        ftp.sendcmd("TYPE I")
    return ftp


def quote(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


class SkerrowServer:
    """One headless server process with its own settings and folders."""

    def __init__(self, users=None, folders=None, log_level=1, extra_config=None, timeout=None):
        self.root = tempfile.mkdtemp(prefix="skerrow-e2e-")
        self.config_home = os.path.join(self.root, "config")
        self.home = os.path.join(self.root, "home")
        self.tmp = os.path.join(self.root, "tmp")
        for path in (self.config_home, self.home, self.tmp):
            os.makedirs(path)
        self.users = users
        self.folders = folders
        self.log_level = log_level
        self.extra_config = extra_config or ""
        self.timeout = timeout
        # How long a download's 226 waits for its client to close the data
        # connection (milliseconds); None: the server's own grace, stretched
        # by the time factor.
        self.reply_grace_ms = None
        # More environment for the server (XDG_STATE_HOME, say).
        self.extra_env = {}
        self.port = None
        self.process = None
        self._output = bytearray()
        self._lock = threading.Lock()

    @property
    def settings_file(self):
        return os.path.join(self.config_home, "Orvane", "skerrow.conf")

    def folder(self, name):
        """A fresh local folder inside the server's own area."""
        path = os.path.join(self.root, name)
        os.makedirs(path, exist_ok=True)
        return path

    def write_settings(self):
        lines = ["[Config]", "Port=%d" % self.port, "LogLevel=%d" % self.log_level]
        if self.timeout is not None:
            lines.append("Timeout=%d" % self.timeout)
        grace = self.reply_grace_ms
        if grace is None and TIME_FACTOR > 1:
            grace = round(REPLY_GRACE_MS * TIME_FACTOR)
        if grace is not None:
            lines.append("TestReplyGraceMs=%d" % grace)
        if self.users is not None:
            lines += ["[Users]", "UserCount=%d" % len(self.users)]
            lines += ["User%d=%s" % (i, quote(u)) for i, u in enumerate(self.users)]
        if self.folders is not None:
            lines += ["[Mapping]", "MapCount=%d" % len(self.folders)]
            lines += ["Map%d=%s" % (i, quote(f)) for i, f in enumerate(self.folders)]
        os.makedirs(os.path.dirname(self.settings_file), exist_ok=True)
        with open(self.settings_file, "w", encoding="utf-8") as out:
            out.write("\n".join(lines) + "\n" + self.extra_config)

    def start(self, preset_port=None, preexec_fn=None):
        """Starts the server and waits until it listens.

        Without preset_port the port is reserved for the server (see
        PortReservation) until cleanup; RuntimeError when it does not
        start, the output of the attempt kept for the caller to look at."""
        reservation = None if preset_port else PortReservation()
        try:
            self.port = preset_port or reservation.port
            self.write_settings()
            self.launch(preexec_fn)
            wait_for(lambda: b"puerto" in self.output() or b"Error:" in self.output()
                     or self.process.poll() is not None, 20)
            if b"puerto" in self.output():
                self.keep_port(reservation)
                reservation = None
                return self
        finally:
            if reservation:
                reservation.release()
        self.stop()
        raise RuntimeError("skerrow did not start: %r" % self.output())

    def launch(self, preexec_fn=None):
        """Runs the binary on the settings as written, collecting its output."""
        env = dict(os.environ, XDG_CONFIG_HOME=self.config_home, HOME=self.home,
                   TMPDIR=self.tmp, LC_ALL="C.UTF-8")
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        # Listings go beneath TMPDIR, where the tests look for them.
        env.pop("XDG_RUNTIME_DIR", None)
        env.pop("XDG_STATE_HOME", None)
        env.update(self.extra_env)
        self._output = bytearray()
        self._errors = bytearray()
        # Standard error apart: run as root, the server warns there.
        self.process = subprocess.Popen(
            [BINARY, "--headless"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            env=env, cwd=self.root, preexec_fn=preexec_fn)
        self._thread = threading.Thread(target=self._reader, daemon=True)
        self._thread.start()
        self._error_thread = threading.Thread(target=self._error_reader, daemon=True)
        self._error_thread.start()

    def _reader(self):
        stream = self.process.stdout
        while True:
            chunk = stream.read1(65536)
            if not chunk:
                return
            with self._lock:
                self._output += chunk

    def _error_reader(self):
        stream = self.process.stderr
        while True:
            chunk = stream.read1(65536)
            if not chunk:
                return
            with self._lock:
                self._errors += chunk

    def errors(self):
        with self._lock:
            return bytes(self._errors)

    def output(self):
        with self._lock:
            return bytes(self._output)

    def text(self):
        return self.output().decode("utf-8", "replace")

    def wait_output(self, needle, timeout=10.0):
        """True once needle (text or bytes) is in the output."""
        if isinstance(needle, str):
            needle = needle.encode("utf-8")
        return wait_for(lambda: needle in self.output(), timeout)

    def tail(self, size=3000):
        return self.text()[-size:]

    def expect(self, *needles, timeout=10.0):
        """Waits until every needle is in the output; AssertionError naming
        the missing ones and the end of the output otherwise. The server
        writes a log line after the reply that a client has already read,
        so output is never read without this wait."""
        for needle in needles:
            if not self.wait_output(needle, timeout):
                raise AssertionError("%r not in the server's output; it ends with:\n%s"
                                     % (needle, self.tail()))
        return self.text()

    def expect_count(self, needle, count, timeout=10.0):
        """Waits until needle occurs at least count times in the output."""
        if not wait_for(lambda: self.text().count(needle) >= count, timeout):
            raise AssertionError("%r not %d times in the server's output; it ends with:\n%s"
                                 % (needle, count, self.tail()))
        return self.text()

    def expect_regex(self, pattern, timeout=10.0):
        """Waits until pattern matches the output; returns the match."""
        found = []
        if not wait_for(lambda: found.append(re.search(pattern, self.text())) or found[-1],
                        timeout):
            raise AssertionError("/%s/ does not match the server's output; it ends with:\n%s"
                                 % (pattern, self.tail()))
        return found[-1]

    _barrier_count = itertools.count(1)

    def settle(self, timeout=10.0):
        """Returns the output once it holds everything the server did before
        this call: a connection from an address of its own (one more
        loopback address) comes and goes, and its closing line, logged after
        all that came before it, is waited for. A negative assertion on the
        output reads it only after this."""
        number = next(self._barrier_count)
        address = "127.77.%d.%d" % (number // 250 % 250, number % 250 + 1)
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
            sock.settimeout(scaled(timeout))
            sock.bind((address, 0))
            sock.connect(("127.0.0.1", self.port))
            sock.recv(1024)
        return self.expect("Conexión a %s closed\n" % address, timeout=timeout)

    def stop(self, sig=signal.SIGTERM):
        """Ends the server as closing the window would; returns its status."""
        if self.process is None:
            return None
        if self.process.poll() is None:
            self.process.send_signal(sig)
        try:
            status = self.process.wait(timeout=scaled(15))
        except subprocess.TimeoutExpired:
            self.process.kill()
            status = self.process.wait()
        self._thread.join(timeout=scaled(5))
        if getattr(self, "_error_thread", None):
            self._error_thread.join(timeout=scaled(5))
            self.process.stderr.close()
        self.process.stdout.close()
        self.process = None
        return status

    def keep_port(self, reservation):
        """Holds the server's port until cleanup: a test that stops, restarts
        or moves its server, or checks that an old port no longer answers,
        must never meet another program that was handed the same port."""
        if reservation is None:
            return
        kept = getattr(self, "_kept_ports", [])
        kept.append(reservation)
        self._kept_ports = kept

    def cleanup(self):
        self.stop()
        for reservation in getattr(self, "_kept_ports", []):
            reservation.release()
        self._kept_ports = []
        shutil.rmtree(self.root, ignore_errors=True)

    def temp_listings(self):
        """The listings the server has written and not yet removed."""
        return [name for _, _, files in os.walk(self.tmp) for name in files
                if name.startswith("FLS")]
