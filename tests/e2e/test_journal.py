"""The log against clients that try to write it: client text never reaches a
log line raw, whole when long, or as a line of its own; under systemd every
log record reaches the journal with its fields, and the shipped fail2ban
filter, run by fail2ban's own code over those records, counts the real
failed logins and never an address a client wrote. Last, the whole chain for
real: systemd's journal daemon, the servers as its units, and fail2ban's
server with the shipped jail, which bans real attackers and nobody else."""

import json
import os
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest

from skerrow_server import (BINARY, PortReservation, SkerrowServer, read_line, scaled,
                            wait_for)

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
        # How often the collector looks whether it should stop (not a deadline).
        self.journal.settimeout(scaled(0.05))
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
        self._collector.join(timeout=scaled(5))


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


JOURNALD = "/lib/systemd/systemd-journald"
FAIL2BAN_SERVER = "/usr/bin/fail2ban-server"
RES_FAIL2BAN = os.path.join(ROOT, "res", "fail2ban")
# Inside a mount namespace of its own: the given folders become /run and
# /var/log/journal (when the machine has one), the process moves to the
# given cgroup (when there is one), and the command runs.
ENTER = ('run=$1 var=$2 cgroup=$3; shift 3; mount --bind "$run" /run && '
         '{ [ ! -d /var/log/journal ] || mount --bind "$var" /var/log/journal; } && '
         '{ [ -z "$cgroup" ] || echo $$ > "$cgroup/cgroup.procs"; } && exec "$@"')
# The daemon's settings, in place of the machine's: the journal in /run
# only, nothing read from the kernel's log, nothing passed on elsewhere.
JOURNALD_CONF = """[Journal]
Storage=volatile
ReadKMsg=no
ForwardToSyslog=no
ForwardToKMsg=no
ForwardToConsole=no
ForwardToWall=no
RateLimitIntervalSec=0
"""


def cgroup2_tree():
    """The unified cgroup tree where the journal looks up a process's unit:
    /sys/fs/cgroup itself, or /sys/fs/cgroup/unified beside the older trees."""
    with open("/proc/self/mounts") as mounts:
        points = {fields[1] for fields in (line.split() for line in mounts)
                  if len(fields) > 2 and fields[2] == "cgroup2"}
    for path in ("/sys/fs/cgroup", "/sys/fs/cgroup/unified"):
        if path in points:
            return path
    return None


def real_journal_missing():
    """Why the real journal cannot run here, or None when it can."""
    if os.geteuid() != 0:
        return "needs root"
    for program in (JOURNALD, FAIL2BAN_SERVER, shutil.which("unshare"), shutil.which("setpriv"),
                    shutil.which("journalctl")):
        if not program or not os.access(program, os.X_OK):
            return "needs systemd-journald, journalctl, unshare, setpriv and fail2ban"
    probe = subprocess.run([SYSTEM_PYTHON, "-c", "import fail2ban, systemd.journal"],
                           capture_output=True)
    if probe.returncode != 0:
        return "fail2ban's journal backend (python3-systemd) is not installed"
    tree = cgroup2_tree()
    if tree is None:
        return "no cgroup2 tree at /sys/fs/cgroup or /sys/fs/cgroup/unified"
    probe_cgroup = os.path.join(tree, "skerrow-probe-%d" % os.getpid())
    try:
        os.mkdir(probe_cgroup)
        os.rmdir(probe_cgroup)
    except OSError as error:
        return "cannot make a cgroup in %s: %s" % (tree, error)
    probe = subprocess.run(["unshare", "-C", "-m", "--propagation", "private", "true"],
                           capture_output=True, timeout=scaled(10))
    if probe.returncode != 0:
        return "unshare cannot make cgroup and mount namespaces"
    return None


class RealJournal:
    """systemd's journal daemon, run for real apart from the machine's: in a
    mount namespace where a folder of the test is /run (its sockets, its
    journal) and an empty one /var/log/journal, and in a cgroup namespace
    rooted at a cgroup of the test. A process moved to the cgroup
    system.slice/NAME.service beneath it is, to this journal, the unit
    NAME.service: the journal writes _SYSTEMD_UNIT and _SYSTEMD_SLICE from
    the cgroup, whatever the process sends."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="skerrow-journal-")
        self.run_dir = os.path.join(self.root, "run")
        self.var_dir = os.path.join(self.root, "var")
        os.makedirs(self.run_dir)
        os.makedirs(self.var_dir)
        self.cgroup = os.path.join(cgroup2_tree(), os.path.basename(self.root))
        os.mkdir(self.cgroup)
        conf = os.path.join(self.root, "journald.conf")
        with open(conf, "w") as out:
            out.write(JOURNALD_CONF)
        # The daemon would turn the kernel's auditing on: it gets no right to.
        daemon = ('{ [ ! -f /etc/systemd/journald.conf ] || '
                  'mount --bind "$0" /etc/systemd/journald.conf; } && '
                  'exec setpriv --bounding-set -audit_control,-audit_read "$@"')
        self._errors = open(os.path.join(self.root, "journald.err"), "wb")
        # The cgroup namespace is rooted where unshare runs: there first.
        self.process = subprocess.Popen(
            ["sh", "-c", 'echo $$ > "$0/cgroup.procs" && exec "$@"', self.cgroup,
             "unshare", "-C", "-m", "--propagation", "private", "sh", "-c", ENTER, "sh",
             self.run_dir, self.var_dir, "", "sh", "-c", daemon, conf, JOURNALD],
            stdout=subprocess.DEVNULL, stderr=self._errors)
        sockets = [os.path.join(self.run_dir, "systemd", "journal", name)
                   for name in ("socket", "stdout")]
        if not wait_for(lambda: all(os.path.exists(s) for s in sockets)
                        or self.process.poll() is not None, 20, 0.05) \
                or self.process.poll() is not None:
            self.stop()
            raise RuntimeError("systemd-journald did not start")

    def unit_cgroup(self, unit):
        """The cgroup systemd gives a service: NAME@INSTANCE.service lives
        in the slice system-NAME.slice."""
        path = ["system.slice"]
        if "@" in unit:
            path.append("system-%s.slice" % unit.split("@")[0])
        path = os.path.join(self.cgroup, *path, unit)
        os.makedirs(path, exist_ok=True)
        return path

    def command(self, argv, unit=None):
        """argv run beside the journal (its /run), as unit when given."""
        return (["unshare", "-m", "--propagation", "private", "sh", "-c", ENTER, "sh",
                 self.run_dir, self.var_dir, self.unit_cgroup(unit) if unit else ""] + argv)

    @property
    def stdout_socket(self):
        return os.path.join(self.run_dir, "systemd", "journal", "stdout")

    def records(self, **wanted):
        """The journal's records with the wanted field values, as text."""
        result = subprocess.run(
            ["journalctl", "-D", os.path.join(self.run_dir, "log", "journal"), "-o", "json",
             "--all", "--no-pager", "-q"] + ["%s=%s" % item for item in wanted.items()],
            capture_output=True, timeout=scaled(30))
        return [json.loads(line) for line in result.stdout.splitlines() if line.strip()]

    def expect_records(self, count, **wanted):
        found = []
        if not wait_for(lambda: found.append(self.records(**wanted)) or len(found[-1]) >= count,
                        15, 0.1):
            raise AssertionError("not %d records %r in the journal: %r"
                                 % (count, wanted, found[-1][-5:]))
        return found[-1]

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        try:
            self.process.wait(timeout=scaled(15))
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self._errors.close()
        # Every process of the test has ended: its cgroups go, deepest first.
        for path, _, _ in sorted(os.walk(self.cgroup), key=lambda item: -len(item[0])):
            try:
                os.rmdir(path)
            except OSError:
                pass
        shutil.rmtree(self.root, ignore_errors=True)


class UnitServer(SkerrowServer):
    """The server as systemd runs a unit of it: in the unit's cgroup, its
    standard output a stream to the journal, named by JOURNAL_STREAM."""

    def __init__(self, journal, unit, uid=None, **kwargs):
        super().__init__(**kwargs)
        self.journal = journal
        self.unit = unit
        self.uid = uid

    def launch(self, preexec_fn=None):
        env = dict(os.environ, XDG_CONFIG_HOME=self.config_home, HOME=self.home,
                   TMPDIR=self.tmp, LC_ALL="C.UTF-8")
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "XDG_STATE_HOME"):
            env.pop(name, None)
        # What systemd does for StandardOutput=journal: a stream to the
        # journal that first says whose it is (identifier, unit, priority,
        # level prefix and where else to send the lines: nowhere).
        stream = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        stream.connect(self.journal.stdout_socket)
        stream.sendall(("skerrow\n%s\n6\n0\n0\n0\n0\n" % self.unit).encode("ascii"))
        stream.shutdown(socket.SHUT_RD)
        info = os.fstat(stream.fileno())
        env["JOURNAL_STREAM"] = "%d:%d" % (info.st_dev, info.st_ino)
        self._output = bytearray()
        self._errors = bytearray()
        try:
            argv = [BINARY, "--headless"]
            if self.uid is not None:
                # A user of its own, as DynamicUser= gives the service.
                for folder, _, files in os.walk(self.root):
                    for name in [folder] + [os.path.join(folder, f) for f in files]:
                        os.chown(name, self.uid, self.uid)
                argv = ["setpriv", "--reuid=%d" % self.uid, "--regid=%d" % self.uid,
                        "--clear-groups"] + argv
            self.process = subprocess.Popen(
                self.journal.command(argv, self.unit), stdout=stream.fileno(),
                stderr=subprocess.PIPE, env=env, cwd=self.root)
        finally:
            stream.close()
        # Nothing of standard output is the test's to read.
        self.process.stdout = open(os.devnull, "rb")
        self._thread = threading.Thread(target=self._reader, daemon=True)
        self._thread.start()
        self._error_thread = threading.Thread(target=self._error_reader, daemon=True)
        self._error_thread.start()

    def start(self):
        with PortReservation() as reservation:
            self.port = reservation.port
            self.write_settings()
            self.launch()
            wait_for(lambda: self.process.poll() is not None or self.journal.records(
                SKERROW_EVENT="server", _SYSTEMD_UNIT=self.unit), 20, 0.1)
        if self.process.poll() is not None or not self.journal.records(
                SKERROW_EVENT="server", _SYSTEMD_UNIT=self.unit):
            self.stop()
            raise RuntimeError("skerrow did not start as %s: %r" % (self.unit, self.errors()))
        return self


class Fail2Ban:
    """fail2ban's server beside the journal, with the machine's own
    settings but none of its jails: the shipped filters and jail, installed
    as the package installs them, the jail enabled, and an action that only
    writes down what it bans."""

    def __init__(self, journal):
        self.journal = journal
        self.conf = os.path.join(journal.root, "fail2ban")
        shutil.copytree("/etc/fail2ban", self.conf, symlinks=True, ignore=lambda folder, names: [
            name for name in names
            if name.endswith(".local") or os.path.basename(folder) == "jail.d"
            or name.startswith("skerrow")])
        shutil.copy(os.path.join(RES_FAIL2BAN, "filter.conf"),
                    os.path.join(self.conf, "filter.d", "skerrow.conf"))
        shutil.copy(os.path.join(RES_FAIL2BAN, "filter-file.conf"),
                    os.path.join(self.conf, "filter.d", "skerrow-file.conf"))
        shutil.copy(os.path.join(RES_FAIL2BAN, "jail.conf"),
                    os.path.join(self.conf, "jail.d", "skerrow.conf"))
        self.bans_file = os.path.join(journal.root, "bans")
        self.log_file = os.path.join(journal.root, "fail2ban.log")
        self.socket = os.path.join(journal.root, "fail2ban.sock")
        with open(os.path.join(self.conf, "fail2ban.local"), "w") as out:
            out.write("[Definition]\nlogtarget = %s\nsocket = %s\npidfile = %s\n"
                      "dbfile = :memory:\n" % (self.log_file, self.socket,
                                               os.path.join(journal.root, "fail2ban.pid")))
        # As an administrator enables it. The attackers are loopback
        # addresses, this machine's own: not ignored here.
        with open(os.path.join(self.conf, "jail.d", "skerrow.local"), "w") as out:
            out.write("[skerrow]\nenabled = true\nignoreself = false\nignoreip =\n"
                      "action = dummy[target=\"%s\"]\n" % self.bans_file)
        self.process = None

    def start(self):
        self.process = subprocess.Popen(
            self.journal.command([FAIL2BAN_SERVER, "-c", self.conf, "-f", "-x"]),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(lambda: "Jail 'skerrow' started" in self.log()
                        or self.process.poll() is not None, 30, 0.1):
            raise AssertionError("fail2ban did not start the jail:\n" + self.log()[-3000:])

    def log(self):
        try:
            with open(self.log_file, encoding="utf-8", errors="replace") as log:
                return log.read()
        except FileNotFoundError:
            return ""

    def bans(self):
        """The addresses the action was told to ban, in order."""
        try:
            with open(self.bans_file) as bans:
                return [line[1:].strip() for line in bans if line.startswith("+")]
        except FileNotFoundError:
            return []

    def expect_ban(self, address):
        if not wait_for(lambda: address in self.bans(), 30, 0.1):
            raise AssertionError("fail2ban did not ban %s; it banned %r; its log ends:\n%s"
                                 % (address, self.bans(), self.log()[-3000:]))

    def stop(self):
        if self.process is None:
            return
        if self.process.poll() is None:
            self.process.terminate()
        try:
            self.process.wait(timeout=scaled(20))
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def fail_logins(port, address, count):
    """count wrong passwords for ana from address, a connection each, all
    sent before any answer is read (each failure is answered late)."""
    socks = []
    try:
        for _ in range(count):
            socks.append(connect(port, address))
            socks[-1].sendall(b"USER ana\r\n")
            assert read_line(socks[-1]) == b"331 Enter PASS command\r\n"
            socks[-1].sendall(b"PASS wrong\r\n")
        # Refused, or closed once the server bans the address itself.
        for sock in socks:
            assert read_line(sock)[:4] in (b"550 ", b"421 ", b""), address
    finally:
        for sock in socks:
            sock.close()


def forge_lines(port, address, count):
    """The text of a failed login of 192.0.2.99, sent count times as a
    command (logged at level 2 as the client sent it)."""
    sock = connect(port, address)
    try:
        for _ in range(count):
            sock.sendall(FORGED + b"\r\n")
            assert read_line(sock).startswith(b"530 ")
    finally:
        sock.close()


# Six records of a failed login of 192.0.2.98, sent by a program that is not
# the server; then it waits for its standard input to close.
FORGER_RECORDS = """
import sys
from systemd import journal
for _ in range(6):
    journal.sendv("MESSAGE=Inicio de sesi\u00f3n fallido de 192.0.2.98 (usuario x)",
                  "SYSLOG_IDENTIFIER=skerrow", "SKERROW_EVENT=login-failed",
                  "SKERROW_CLIENT=192.0.2.98", "PRIORITY=4",
                  # Fields only the journal may write: dropped.
                  "_SYSTEMD_UNIT=skerrow.service", "_SYSTEMD_SLICE=system-skerrow.slice")
sys.stdin.read()
"""

MISSING = real_journal_missing()


@unittest.skipIf(MISSING, "the real journal cannot run here: %s" % MISSING)
class RealJournalTests(unittest.TestCase):
    """systemd's own journal daemon and fail2ban's own server, with the
    shipped filter and jail, against servers run as skerrow.service and
    skerrow@a.service."""

    def start_servers(self, journal):
        servers = []
        # One as a user from the range of DynamicUser= (the journal keeps its
        # records in the system's journal, which fail2ban reads), one as root.
        for unit, uid in (("skerrow.service", 63000), ("skerrow@a.service", None)):
            server = UnitServer(journal, unit, log_level=2, users=["ana,pw,1,1"], uid=uid)
            server.folders = ["/=%s/,1,1" % server.folder("root")]
            self.addCleanup(server.cleanup)
            servers.append(server.start())
        return servers

    def forge_records(self, journal):
        """Another program sends what a failed login's record holds, and
        stays until the journal has them (the journal reads a sender's unit
        from its cgroup, which a sender that has ended no longer has)."""
        forger = subprocess.Popen(
            journal.command([SYSTEM_PYTHON, "-c", FORGER_RECORDS], "forger.service"),
            stdin=subprocess.PIPE)
        self.addCleanup(forger.wait, scaled(10))
        self.addCleanup(forger.stdin.close)
        forged = journal.expect_records(6, SKERROW_CLIENT="192.0.2.98")
        forger.stdin.close()
        self.assertEqual({(r["_SYSTEMD_UNIT"], r["_SYSTEMD_SLICE"]) for r in forged},
                         {("forger.service", "system.slice")})

    def check_records(self, journal, server):
        """The records as the journal keeps them: the fields the server
        sent, and those only the journal writes."""
        failed = journal.expect_records(10, SKERROW_EVENT="login-failed",
                                        SKERROW_CLIENT="127.0.0.2")
        record = failed[0]
        self.assertEqual(record["MESSAGE"],
                         "Inicio de sesi\u00f3n fallido de 127.0.0.2 (usuario ana)")
        self.assertEqual((record["SKERROW_USER"], record["PRIORITY"], record["SYSLOG_IDENTIFIER"],
                          record["_TRANSPORT"], record["_SYSTEMD_UNIT"],
                          record["_SYSTEMD_SLICE"], record["_PID"]),
                         ("ana", "4", "skerrow", "journal", "skerrow.service", "system.slice",
                          str(server.process.pid)))
        self.assertEqual(record["_UID"], str(server.uid))
        self.assertTrue(record["SKERROW_SESSION"].isdigit())
        commands = journal.expect_records(7, SKERROW_EVENT="command", SKERROW_CLIENT="127.0.0.4",
                                          MESSAGE=FORGED.decode("utf-8"))
        self.assertEqual({(r["_SYSTEMD_UNIT"], r["PRIORITY"]) for r in commands},
                         {("skerrow.service", "7")})

    def test_the_shipped_jail_bans_real_failures_and_never_a_forged_address(self):
        journal = RealJournal()
        self.addCleanup(journal.stop)
        main, instance = self.start_servers(journal)

        # Before fail2ban runs: forged lines, forged records of another
        # unit, and ten real failures. fail2ban reads them on its start.
        forge(main.port, "127.0.0.4")
        forge_lines(main.port, "127.0.0.4", 6)
        self.forge_records(journal)
        fail_logins(main.port, "127.0.0.2", 10)
        self.check_records(journal, main)
        fail2ban = Fail2Ban(journal)
        self.addCleanup(fail2ban.stop)
        fail2ban.start()
        fail2ban.expect_ban("127.0.0.2")

        # While it runs: an instance's failures, after forged lines.
        forge(instance.port, "127.0.0.5")
        forge_lines(instance.port, "127.0.0.5", 6)
        fail_logins(instance.port, "127.0.0.3", 5)
        failed = journal.expect_records(5, SKERROW_EVENT="login-failed",
                                        SKERROW_CLIENT="127.0.0.3")
        self.assertEqual({(r["_SYSTEMD_UNIT"], r["_SYSTEMD_SLICE"]) for r in failed},
                         {("skerrow@a.service", "system-skerrow.slice")})
        fail2ban.expect_ban("127.0.0.3")

        # The journal is read in order: every forgery came before the last
        # ban, and none counted. The forgers failed one login each.
        self.assertEqual(sorted(fail2ban.bans()), ["127.0.0.2", "127.0.0.3"])
        self.assertNotIn("192.0.2.9", fail2ban.log())
        self.assertIn("[skerrow] Found 127.0.0.4", fail2ban.log())
        self.assertIn("[skerrow] Found 127.0.0.5", fail2ban.log())
        # Every line went as a record, none also as text on standard output.
        self.assertEqual(journal.records(_TRANSPORT="stdout"), [])

if __name__ == "__main__":
    unittest.main()
