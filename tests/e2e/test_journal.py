"""The log against clients that try to write it: client text never reaches a
log line raw, whole when long, or as a line of its own; under systemd every
log record reaches the journal with its fields, and the shipped fail2ban
filter, run by fail2ban's own code over those records, counts the real
failed logins and never an address a client wrote."""

import json
import os
import shutil
import socket
import struct
import subprocess
import threading
import time
import unittest

from skerrow_server import (BINARY, PortReservation, SkerrowServer, scaled, wait_for)

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
JOURNAL_FILTER = os.path.join(ROOT, "res", "fail2ban", "filter.conf")
FAIL2BAN_RUNNER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fail2ban_journal.py")
SYSTEM_PYTHON = "/usr/bin/python3"

FORGED = "Inicio de sesi\u00f3n fallido de 192.0.2.99 (usuario x)".encode("utf-8")
# What a client sends to write that line into the log: after a line end of
# its own inside one read, after NUL, ESC sequences and a bare CR, alone as
# a command, and inside a user name that also carries bytes that are not
# UTF-8 and a terminal's title sequence.
FORGERIES = [
    b"NOOP\r\n" + FORGED + b"\r\n",
    b"NOOP\x00\x1b[2K\x1b[1A\r" + FORGED + b"\r\n",
    FORGED + b"\r\n",
    b"NOOP " + b"A" * 60000 + b"\r\n",
]
ODD_USER = b"x) " + FORGED + b" \xff\xfe\x1b]0;pwned\x07"


def connect(port, address):
    sock = socket.create_connection(("127.0.0.1", port), timeout=scaled(10),
                                    source_address=(address, 0))
    assert read_line(sock).startswith(b"220 ")
    return sock


def read_line(sock):
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


def log_in(sock, password):
    """USER ana and PASS, one at a time (the classic mode reads one line per
    read); the reply to PASS, empty when the server closed the connection."""
    sock.sendall(b"USER ana\r\n")
    assert read_line(sock) == b"331 Enter PASS command\r\n"
    sock.sendall(b"PASS " + password + b"\r\n")
    return read_line(sock)


def clean_line(line):
    """True when a log line holds no control byte but its line end, is UTF-8,
    and is not longer than a cut client text allows."""
    body = line[:-1] if line.endswith(b"\r") else line
    try:
        body.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return all(byte >= 0x20 and byte != 0x7F for byte in body) and len(body) < 1200


def forge(port, address, extended=False):
    """Sends every forgery from one connection, then fails a login with the
    odd user name; returns once the failure is answered. The classic mode
    answers the first line of each read, the extended mode every line."""
    sock = connect(port, address)
    try:
        for forgery, replies in zip(FORGERIES, (2, 2, 1, 1) if extended else (1, 1, 1, 1)):
            sock.sendall(forgery)
            for _ in range(replies):
                assert read_line(sock)[:1] in b"2345", forgery[:40]
        sock.sendall(b"USER " + ODD_USER + b"\r\n")
        assert read_line(sock) == b"331 Enter PASS command\r\n"
        sock.sendall(b"PASS wrong\r\n")
        assert read_line(sock) == b"550 Permission denied\r\n"
    finally:
        sock.close()


class PlainLogTests(unittest.TestCase):
    """Standard output, as a terminal, a file or the window shows the log."""

    def check_mode(self, extended):
        server = SkerrowServer(log_level=2, users=["ana,pw,1,1"],
                               extra_config="[Extended]\nEnabled=%d\n" % extended)
        self.addCleanup(server.cleanup)
        server.folders = ["/=%s/,1,1" % server.folder("root")]
        server.start()
        forge(server.port, "127.0.0.81", extended)
        server.expect("Inicio de sesi\u00f3n fallido de 127.0.0.81 (usuario x) ")
        server.settle()
        output = server.output()
        lines = output.split(b"\n")
        self.assertEqual(lines[-1], b"")
        dirty = [line for line in lines[:-1] if not clean_line(line)]
        self.assertEqual(dirty, [])
        # The escapes show what was sent; the long line is cut with "…".
        self.assertIn(b"NOOP\\x00\\x1B[2K\\x1B[1A", output)
        self.assertIn(b" \\xFF\\xFE\\x1B]0;pwned\\x07)\n", output)
        self.assertIn(b"A" * 900, output)
        self.assertIn(b"A\xe2\x80\xa6\r\n", output)
        return lines

    def test_classic_client_text_is_escaped_and_cut(self):
        lines = self.check_mode(extended=False)
        # The classic log shows a whole read: its inner line ends are shown,
        # and no line begins with what followed them.
        self.assertIn(b"NOOP\\x0D\\x0A" + FORGED + b"\r", lines)
        self.assertIn(b"NOOP\\x00\\x1B[2K\\x1B[1A\\x0D" + FORGED + b"\r", lines)
        self.assertEqual([line for line in lines if line.startswith(FORGED)], [FORGED + b"\r"])

    def test_extended_client_text_is_escaped_and_cut(self):
        lines = self.check_mode(extended=True)
        # One log line per command line: a bare CR ends a command, and the
        # logged line ends there too, so the reply starts a line of its own.
        # (At level 2 a client's command may read like any line: the
        # journal's fields tell them apart, plain text cannot.)
        at = lines.index(b"NOOP\\x00\\x1B[2K\\x1B[1A\r")
        self.assertEqual(lines[at + 1], b"530 Please log in with USER and PASS\r")

    def test_lines_ended_by_a_bare_cr_cannot_hide_a_failed_login(self):
        # A client whose lines end in a bare CR must not glue the server's
        # failed-login line to the end of its own: the file filter anchors
        # at the start of a line, and would miss the real failure.
        filter_file = os.path.join(ROOT, "res", "fail2ban", "filter-file.conf")
        for extended in (0, 1):
            with self.subTest(extended=extended):
                server = SkerrowServer(log_level=2, users=["ana,pw,1,1"],
                                       extra_config="[Extended]\nEnabled=%d\n" % extended)
                self.addCleanup(server.cleanup)
                server.start()
                sock = connect(server.port, "127.0.0.82")
                for _ in range(3):
                    sock.sendall(b"USER ana\r")
                    self.assertEqual(read_line(sock), b"331 Enter PASS command\r\n")
                    sock.sendall(b"PASS wrong\r")
                    self.assertEqual(read_line(sock), b"550 Permission denied\r\n")
                sock.close()
                server.expect_count("fallido de 127.0.0.82", 3)
                lines = server.output().split(b"\n")
                real = b"Inicio de sesi\xc3\xb3n fallido de 127.0.0.82 (usuario ana)"
                self.assertEqual(sum(1 for line in lines if line.startswith(real)), 3)
                if shutil.which("fail2ban-regex"):
                    log = os.path.join(server.folder("log"), "skerrow.log")
                    with open(log, "wb") as out:
                        out.write(server.output())
                    result = subprocess.run(["fail2ban-regex", log, filter_file],
                                            capture_output=True, text=True,
                                            timeout=scaled(60))
                    self.assertRegex(result.stdout, r"Failregex: 3 total")


def thread_waits(pid):
    """What each thread of a process waits for in the kernel, where shown."""
    waits = []
    for thread in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/wchan" % (pid, thread)) as wchan:
                waits.append(wchan.read())
        except OSError:
            pass
    return waits


def native_fields(datagram):
    """One journal entry of the native protocol: FIELD=value lines, or FIELD,
    a 64-bit little-endian size, the value and a line end."""
    fields = {}
    pos = 0
    while pos < len(datagram):
        end = datagram.index(b"\n", pos)
        line = datagram[pos:end]
        if b"=" in line:
            name, value = line.split(b"=", 1)
            pos = end + 1
        else:
            name = line
            (size,) = struct.unpack("<Q", datagram[end + 1:end + 9])
            value = datagram[end + 9:end + 9 + size]
            pos = end + 9 + size + 1
        fields[name.decode("ascii")] = value
    return fields


class JournalServer(SkerrowServer):
    """The server under systemd's eyes: its standard output is named by
    JOURNAL_STREAM, and in a mount namespace of its own a folder of the test
    stands in for /run, holding the journal's socket, which the test reads."""

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.run_dir = os.path.join(self.root, "run")
        os.makedirs(os.path.join(self.run_dir, "systemd", "journal"))
        self.journal = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.journal.bind(os.path.join(self.run_dir, "systemd", "journal", "socket"))
        self.journal.settimeout(0.05)
        self.reading = threading.Event()
        self.reading.set()
        self._records = []
        self._closing = False
        self._collector = threading.Thread(target=self._collect, daemon=True)
        self._collector.start()

    def _collect(self):
        while not self._closing:
            if not self.reading.wait(0.05):
                continue
            try:
                datagram = self.journal.recv(1 << 20)
            except socket.timeout:
                continue
            except OSError:
                return
            with self._lock:
                self._records.append(native_fields(datagram))

    def records(self, **wanted):
        """The records so far whose fields hold the wanted values (text)."""
        with self._lock:
            records = list(self._records)
        return [r for r in records
                if all(r.get(k, b"").decode("utf-8", "replace") == v for k, v in wanted.items())]

    def expect_record(self, count=1, **wanted):
        if not wait_for(lambda: len(self.records(**wanted)) >= count, 10):
            raise AssertionError("no %d records %r; the last ones: %r"
                                 % (count, wanted, self.records()[-5:]))
        return self.records(**wanted)

    def launch(self, preexec_fn=None):
        env = dict(os.environ, XDG_CONFIG_HOME=self.config_home, HOME=self.home,
                   TMPDIR=self.tmp, LC_ALL="C.UTF-8")
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "XDG_STATE_HOME"):
            env.pop(name, None)
        read_end, write_end = os.pipe()
        info = os.fstat(write_end)
        env["JOURNAL_STREAM"] = "%d:%d" % (info.st_dev, info.st_ino)
        self._output = bytearray()
        self._errors = bytearray()
        script = 'mount --bind "$0" /run && exec "$1" --headless'
        self.process = subprocess.Popen(
            ["unshare", "-m", "--propagation", "private", "sh", "-c", script,
             self.run_dir, BINARY],
            stdout=write_end, stderr=subprocess.PIPE, env=env, cwd=self.root)
        os.close(write_end)
        self.process.stdout = os.fdopen(read_end, "rb")
        self._thread = threading.Thread(target=self._reader, daemon=True)
        self._thread.start()
        self._error_thread = threading.Thread(target=self._error_reader, daemon=True)
        self._error_thread.start()

    def start(self):
        with PortReservation() as reservation:
            self.port = reservation.port
            self.write_settings()
            self.launch()
            started = wait_for(lambda: self.records(SKERROW_EVENT="server")
                               or self.process.poll() is not None, 20)
        if not started or self.process.poll() is not None:
            self.stop()
            raise RuntimeError("skerrow did not start: %r %r" % (self.errors(), self.records()))
        return self

    def cleanup(self):
        super().cleanup()
        self._closing = True
        self.journal.close()
        self._collector.join(timeout=5)


def namespaces_work():
    if os.geteuid() != 0 or not shutil.which("unshare"):
        return False
    probe = subprocess.run(["unshare", "-m", "--propagation", "private", "true"],
                           capture_output=True, timeout=scaled(10))
    return probe.returncode == 0


@unittest.skipUnless(namespaces_work(),
                     "needs root and unshare -m to stand in for the journal's socket")
class JournalTests(unittest.TestCase):
    def start(self, log_level=2, logins=""):
        server = JournalServer(log_level=log_level, users=["ana,pw,1,1"], extra_config=(
            "[Logins]\n" + logins))
        self.addCleanup(server.cleanup)
        server.folders = ["/=%s/,1,1" % server.folder("root")]
        server.start()
        return server

    def test_every_record_carries_its_fields_and_nothing_goes_to_standard_output(self):
        server = self.start(logins="BanAfter=2\nTestBanSeconds=1\n")
        forge(server.port, "127.0.0.81")
        guesser = connect(server.port, "127.0.0.82")
        self.addCleanup(guesser.close)
        # The second failure bans the address and closes the connection.
        self.assertEqual(log_in(guesser, b"wrong"), b"550 Permission denied\r\n")
        self.assertEqual(log_in(guesser, b"wrong"), b"")
        server.expect_record(SKERROW_EVENT="unban", SKERROW_CLIENT="127.0.0.82")
        ftp = connect(server.port, "127.0.0.83")
        self.assertEqual(log_in(ftp, b"pw"), b"230 Logged in\r\n")
        ftp.close()
        server.expect_record(SKERROW_EVENT="disconnect", SKERROW_CLIENT="127.0.0.83")
        records = server.records()

        # Line ends inside a record are the server's own (its start, a
        # reply of several lines); a command line has none.
        for record in records:
            message = record["MESSAGE"]
            message.decode("utf-8")
            self.assertFalse(message.endswith(b"\n"), record)
            inner = message.replace(b"\r\n", b"").replace(b"\n", b"")
            self.assertTrue(all(b >= 0x20 and b != 0x7F for b in inner), record)
            self.assertEqual(record["SYSLOG_IDENTIFIER"], b"skerrow")
            if record.get("SKERROW_EVENT") == b"command":
                self.assertEqual(inner, message)
        self.assertEqual(server.output(), b"")

        failed = server.records(SKERROW_EVENT="login-failed")
        self.assertEqual([r["SKERROW_CLIENT"] for r in failed],
                         [b"127.0.0.81", b"127.0.0.82", b"127.0.0.82"])
        self.assertEqual({r["PRIORITY"] for r in failed}, {b"4"})
        self.assertEqual(failed[1]["MESSAGE"].decode("utf-8"),
                         "Inicio de sesi\u00f3n fallido de 127.0.0.82 (usuario ana)")
        self.assertEqual(failed[1]["SKERROW_USER"], b"ana")
        self.assertEqual(failed[0]["SKERROW_USER"],
                         b"x) " + FORGED + b" \\xFF\\xFE\\x1B]0;pwned\\x07")
        # Each record of a session names it: the failure's session is the
        # one its connection record named.
        connected = server.records(SKERROW_EVENT="connect", SKERROW_CLIENT="127.0.0.82")
        self.assertEqual(len(connected), 1)
        self.assertEqual(failed[1]["SKERROW_SESSION"], connected[0]["SKERROW_SESSION"])
        self.assertTrue(connected[0]["SKERROW_SESSION"].isdigit())

        banned = server.records(SKERROW_EVENT="ban")
        self.assertEqual([(r["SKERROW_CLIENT"], r["PRIORITY"]) for r in banned],
                         [(b"127.0.0.82", b"4")])
        login = server.records(SKERROW_EVENT="login")
        self.assertEqual([(r["SKERROW_CLIENT"], r["SKERROW_USER"]) for r in login],
                         [(b"127.0.0.83", b"ana")])
        # The client's lines are its own records, never a failure's.
        commands = server.records(SKERROW_EVENT="command", SKERROW_CLIENT="127.0.0.81")
        self.assertIn(FORGED, [r["MESSAGE"] for r in commands])
        self.assertIn(b"NOOP\\x00\\x1B[2K\\x1B[1A\\x0D" + FORGED, [r["MESSAGE"] for r in commands])
        self.assertEqual({r["PRIORITY"] for r in commands}, {b"7"})
        replies = server.records(SKERROW_EVENT="reply", SKERROW_CLIENT="127.0.0.83")
        self.assertIn(b"230 Logged in", [r["MESSAGE"] for r in replies])

        self.check_fail2ban(server, records)

    def check_fail2ban(self, server, records):
        """The shipped jail's filter, run by fail2ban's code on the records as
        the journal keeps them (with the fields only the journal sets)."""
        probe = subprocess.run([SYSTEM_PYTHON, "-c", "import fail2ban, systemd.journal"],
                               capture_output=True)
        if probe.returncode != 0:
            self.skipTest("fail2ban's journal backend is not installed for %s" % SYSTEM_PYTHON)
        config = os.path.join(server.root, "fail2ban")
        os.makedirs(os.path.join(config, "filter.d"))
        shutil.copy(JOURNAL_FILTER, os.path.join(config, "filter.d", "skerrow.conf"))
        units = [("skerrow.service", "system.slice"),
                 ("skerrow@a.service", "system-skerrow.slice"),
                 # Any other program may send the same fields: not read.
                 ("forger.service", "system.slice")]
        entries = []
        for unit, slice_name in units:
            for record in records:
                entry = {name: value.decode("utf-8") for name, value in record.items()}
                entry.update(_HOSTNAME="ftp1", _PID=str(server.process.pid), _TRANSPORT="journal",
                             _SYSTEMD_UNIT=unit, _SYSTEMD_SLICE=slice_name)
                entries.append(entry)
        result = subprocess.run([SYSTEM_PYTHON, FAIL2BAN_RUNNER, config, "skerrow"],
                                input=json.dumps(entries), capture_output=True, text=True,
                                timeout=scaled(60))
        self.assertEqual(result.returncode, 0, result.stderr)
        found = json.loads(result.stdout)
        count = len(records)
        by_unit = [sorted(address for index, address in found["found"] if index // count == n)
                   for n in range(len(units))]
        real = ["127.0.0.81", "127.0.0.82", "127.0.0.82"]
        self.assertEqual(by_unit, [real, real, []])
        self.assertEqual(sorted(set(index % count for index in found["selected"])),
                         [i for i, r in enumerate(records)
                          if r.get("SKERROW_EVENT") == b"login-failed"])
        # Read as text alone, the forged command line would have counted:
        # the journal's fields are what keep it out.
        self.assertIn("192.0.2.99", [address for _, address in found["regex_alone"]])

    def test_a_journal_that_reads_nothing_holds_up_no_client(self):
        server = self.start()
        server.reading.clear()
        sock = connect(server.port, "127.0.0.84")
        self.addCleanup(sock.close)
        self.assertEqual(log_in(sock, b"pw"), b"230 Logged in\r\n")
        # Hundreds of records, far more than the journal's socket queues.
        for number in range(200):
            sock.sendall(b"NOOP %d\r\n" % number)
            self.assertEqual(read_line(sock), b"200 Ok\r\n")
        # The journal's sender is stuck meanwhile, waiting for room in the
        # socket (where the kernel names what threads wait for), and the
        # server still answers.
        stuck = wait_for(lambda: "unix_wait_for_peer" in thread_waits(server.process.pid), 5)
        if any(wait not in ("", "0") for wait in thread_waits(server.process.pid)):
            self.assertTrue(stuck, thread_waits(server.process.pid))
        sock.sendall(b"NOOP 200\r\n")
        self.assertEqual(read_line(sock), b"200 Ok\r\n")
        server.reading.set()
        # The greeting, USER's and PASS's replies, then one for each NOOP.
        replies = server.expect_record(204, SKERROW_EVENT="reply", SKERROW_CLIENT="127.0.0.84")
        commands = server.records(SKERROW_EVENT="command", SKERROW_CLIENT="127.0.0.84")
        # Every record arrives, in order.
        self.assertEqual([r["MESSAGE"] for r in commands[2:]],
                         [b"NOOP %d" % n for n in range(201)])
        self.assertEqual(replies[-1]["MESSAGE"], b"200 Ok")


if __name__ == "__main__":
    unittest.main()
