"""The server without a window, watched and steered from a terminal:
skerrow --who (text and JSON), --kick, --unban, --reload and --metrics
through its control socket, the refused cases, and bad requests on the
socket itself."""

import ftplib
import json
import os
import pty
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

from skerrow_server import BINARY, scaled, SkerrowServer, wait_for

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:  # Debian's package, for a Python of its own
    sys.path.append("/usr/lib/python3/dist-packages")
    from prometheus_client.parser import text_string_to_metric_families


class WhoTests(unittest.TestCase):
    def setUp(self):
        server = SkerrowServer(extra_config="[Extended]\nEnabled=1\n[Logins]\nBanAfter=2\n")
        self.addCleanup(server.cleanup)
        self.root = server.folder("root")
        self.runtime = server.folder("runtime")
        os.chmod(self.runtime, 0o700)
        server.extra_env = {"XDG_RUNTIME_DIR": self.runtime}
        server.folders = ["/=%s/,1,1" % self.root]
        server.users = ["ana,pw,1,1"]
        # A file larger than every socket buffer between the server and a
        # client that does not read: its transfer stays under way.
        with open(os.path.join(self.root, "big.iso"), "wb") as out:
            out.truncate(256 * 1024 * 1024)
        server.start()
        self.server = server
        self.socket_path = os.path.join(self.runtime, "skerrow", "control")

        def listening():
            # The file exists from its bind on; it answers from its listen.
            with socket.socket(socket.AF_UNIX) as probe:
                try:
                    probe.connect(self.socket_path)
                    return True
                except OSError:
                    return False
        self.assertTrue(wait_for(listening))

    def skerrow(self, *args, runtime=None, user=None):
        env = dict(os.environ, XDG_RUNTIME_DIR=runtime or self.runtime, LC_ALL="C.UTF-8")
        return subprocess.run([BINARY] + list(args), capture_output=True, timeout=scaled(30),
                              env=env, preexec_fn=user)

    def login(self):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.server.port, timeout=scaled(30))
        self.addCleanup(ftp.close)
        ftp.login("ana", "pw")
        return ftp

    def stalled_download(self):
        """A download the client does not read: it stays under way."""
        ftp = self.login()
        ftp.sendcmd("TYPE I")
        data = ftp.transfercmd("RETR big.iso")
        self.addCleanup(data.close)
        data.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        return ftp, data

    def test_who_shows_each_connection_and_its_transfer(self):
        _, data = self.stalled_download()
        idle = self.login()
        self.assertEqual(idle.voidcmd("NOOP"), "200 Ok")

        def table():
            result = self.skerrow("--who")
            self.assertEqual(result.returncode, 0, result.stderr)
            return result.stdout.decode()
        self.assertTrue(wait_for(lambda: "\u2193 /big.iso" in table()))
        lines = table().splitlines()
        self.assertEqual(lines[0].split(), ["ID", "Usuario", "Direcci\u00f3n", "Conectado",
                                            "Estado", "Progreso", "Velocidad"])
        self.assertEqual(len(lines), 4)  # heading, two connections, total
        self.assertIn("de 256.0 MB)", lines[1] + lines[2])
        self.assertIn("inactivo", lines[1] + lines[2])
        self.assertTrue(lines[3].startswith("Total: conexiones 2, transferencias 1, "))
        # The same as JSON, whose progress grows as the client reads.
        result = self.skerrow("--who", "--json")
        self.assertEqual(result.returncode, 0, result.stderr)
        report = json.loads(result.stdout)
        self.assertEqual(report["connections"], 2)
        moving = [s for s in report["sessions"] if s["transfers"]][0]
        self.assertEqual(moving["user"], "ana")
        self.assertEqual(moving["address"], "127.0.0.1")
        transfer = moving["transfers"][0]
        self.assertEqual((transfer["name"], transfer["kind"], transfer["total"]),
                         ("/big.iso", "download", 256 * 1024 * 1024))
        before = transfer["bytes"]

        def bytes_now():
            # The client reads on while it looks, 640 KiB each time (waiting
            # for them, within a time-out): the server is offered room again
            # only once half of its unsent limit (512 KiB) has gone, which a
            # few reads of what a small receive buffer holds between slow
            # looks would not reach on a loaded machine.
            taken = 0
            data.settimeout(scaled(2))
            try:
                while taken < 640 * 1024:
                    chunk = data.recv(1 << 16)
                    if not chunk:
                        break
                    taken += len(chunk)
            except socket.timeout:
                pass
            sessions = json.loads(self.skerrow("--who", "--json").stdout)["sessions"]
            return [s for s in sessions if s["transfers"]][0]["transfers"][0]["bytes"]
        self.assertTrue(wait_for(lambda: bytes_now() > before))

    def test_names_clients_choose_reach_no_terminal_and_make_valid_json(self):
        # A file whose name is not UTF-8 and holds an escape sequence, being
        # downloaded (the client does not read, so that it stays listed).
        name = b"bad\xff\x1b[2J\x07.bin"
        with open(os.path.join(self.root.encode(), name), "wb") as out:
            out.truncate(256 * 1024 * 1024)
        ftp = ftplib.FTP(encoding="latin-1")
        ftp.connect("127.0.0.1", self.server.port, timeout=scaled(30))
        self.addCleanup(ftp.close)
        ftp.login("ana", "pw")
        ftp.sendcmd("TYPE I")
        data = ftp.transfercmd("RETR " + name.decode("latin-1"))
        self.addCleanup(data.close)
        data.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)

        def listed():
            result = self.skerrow("--who", "--json")
            self.assertEqual(result.returncode, 0, result.stderr)
            sessions = json.loads(result.stdout)["sessions"]
            return [t["name"] for s in sessions for t in s["transfers"]]
        self.assertTrue(wait_for(lambda: listed() == ["/bad\ufffd\x1b[2J\x07.bin"]), listed())
        table = self.skerrow("--who")
        self.assertEqual(table.returncode, 0, table.stderr)
        self.assertNotIn(b"\x1b", table.stdout)
        self.assertNotIn(b"\x07", table.stdout)
        self.assertIn("/bad\ufffd\\x1b[2J\\x07.bin".encode(), table.stdout)

    def test_kick_ends_a_session_and_an_unknown_id_is_an_error(self):
        ftp = self.login()
        report = json.loads(self.skerrow("--who", "--json").stdout)
        ident = report["sessions"][0]["id"]
        unknown = self.skerrow("--kick", "999999")
        self.assertEqual(unknown.returncode, 1)
        self.assertEqual(unknown.stderr.decode(), "skerrow: unknown session 999999\n")
        result = self.skerrow("--kick", str(ident))
        self.assertEqual(result.returncode, 0, result.stderr)
        with self.assertRaises((EOFError, ConnectionError, ftplib.Error)):
            ftp.voidcmd("NOOP")
            ftp.voidcmd("NOOP")
        self.assertTrue(wait_for(
            lambda: json.loads(self.skerrow("--who", "--json").stdout)["connections"] == 0))

    def test_unban_lets_a_banned_address_in_again(self):
        for _ in range(2):
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", self.server.port, timeout=scaled(30))
            with self.assertRaises((ftplib.error_perm, EOFError, ConnectionError)):
                ftp.login("ana", "wrong")
            ftp.close()
        self.server.expect("Direcci\u00f3n 127.0.0.1 bloqueada durante 15 minutos\n")
        result = self.skerrow("--unban", "127.0.0.1")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.server.expect("Direcci\u00f3n 127.0.0.1 desbloqueada\n")
        self.assertEqual(self.login().voidcmd("NOOP"), "200 Ok")
        again = self.skerrow("--unban", "127.0.0.1")
        self.assertEqual((again.returncode, again.stderr.decode()),
                         (1, "skerrow: no ban for 127.0.0.1\n"))

    def test_reload_reads_the_settings_again(self):
        result = self.skerrow("--reload")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.server.expect("recargada")

    def test_metrics_are_prometheus_text(self):
        ftp, data = self.stalled_download()
        with self.assertRaises(ftplib.error_perm):
            bad = ftplib.FTP()
            bad.connect("127.0.0.1", self.server.port, timeout=scaled(30))
            self.addCleanup(bad.close)
            bad.login("ana", "wrong")
        self.assertTrue(wait_for(lambda: b"skerrow_transfers_running 1\n"
                                 in self.skerrow("--metrics").stdout))
        result = self.skerrow("--metrics")
        self.assertEqual(result.returncode, 0, result.stderr)
        families = {f.name: f for f in text_string_to_metric_families(result.stdout.decode())}
        self.assertEqual(families["skerrow_connections_open"].type, "gauge")
        self.assertEqual(families["skerrow_logins"].type, "counter")
        for family in families.values():
            self.assertTrue(family.documentation, family.name)
        samples = {(s.name, tuple(sorted(s.labels.items()))): s.value
                   for f in families.values() for s in f.samples}
        self.assertEqual(samples[("skerrow_connections_total", ())], 2)
        self.assertEqual(samples[("skerrow_logins_total", (("result", "succeeded"),))], 1)
        self.assertEqual(samples[("skerrow_logins_total", (("result", "failed"),))], 1)
        self.assertEqual(samples[("skerrow_connections_open", ())], 2)
        self.assertEqual(samples[("skerrow_transfers_running", ())], 1)
        self.assertEqual(samples[("skerrow_banned_addresses", ())], 0)
        self.assertGreater(samples[("skerrow_sent_bytes_total", ())], 0)
        data.close()
        ftp.close()
        # The transfer ends (failed: its client went away) and is counted.
        self.assertTrue(wait_for(lambda: b'skerrow_transfers_total{kind="download",'
                                 b'result="failed"} 1\n' in self.skerrow("--metrics").stdout))

    def test_refused_cases(self):
        # No server for this user.
        empty = self.server.folder("other-runtime")
        result = self.skerrow("--who", runtime=empty)
        self.assertEqual((result.returncode, result.stderr.decode()),
                         (1, "skerrow: no Skerrow server is running for this user\n"))
        # Another user id: the socket's folder is not theirs to enter.
        if os.geteuid() == 0:
            as_nobody = self.skerrow("--who", user=lambda: os.setuid(65534))
            self.assertEqual(as_nobody.returncode, 1)
            self.assertIn("belongs to another user", as_nobody.stderr.decode())
            # Even with the way open, the server turns the stranger away.
            os.chmod(self.server.root, 0o755)
            os.chmod(self.runtime, 0o755)
            os.chmod(os.path.dirname(self.socket_path), 0o755)
            os.chmod(self.socket_path, 0o666)
            probe = ("import socket, sys\n"
                     "s = socket.socket(socket.AF_UNIX)\n"
                     "s.connect(sys.argv[1])\n"
                     "sys.stdout.buffer.write(s.recv(4096))\n")
            # The system Python: one of root's own may be out of its reach.
            stranger = subprocess.run(["/usr/bin/python3", "-c", probe, self.socket_path],
                                      capture_output=True, timeout=scaled(30),
                                      preexec_fn=lambda: os.setuid(65534))
            self.assertEqual(stranger.stdout, b"ERR this server belongs to another user\n",
                             stranger.stderr)
        # Arguments that make no request.
        for args in (["--kick"], ["--who", "--xml"], ["--unban", "a b"]):
            self.assertEqual(self.skerrow(*args).returncode, 2, args)

    def test_bad_requests_leave_the_server_unaffected(self):
        def request(payload, finish=True):
            with socket.socket(socket.AF_UNIX) as sock:
                sock.settimeout(scaled(10))
                sock.connect(self.socket_path)
                sock.sendall(payload)
                if finish:
                    sock.shutdown(socket.SHUT_WR)
                reply = b""
                start = time.monotonic()
                while chunk := sock.recv(65536):
                    reply += chunk
                return reply, time.monotonic() - start
        self.assertEqual(request(b"dance\n")[0], b"ERR unknown request\n")
        self.assertEqual(request(b"x" * 5000)[0], b"ERR request too long\n")
        # Never finished: closed within the 5 seconds.
        reply, took = request(b"who", finish=False)
        self.assertEqual(reply, b"")
        self.assertLess(took, scaled(8))
        self.assertEqual(self.login().voidcmd("NOOP"), "200 Ok")
        self.assertEqual(self.skerrow("--who").returncode, 0)
        # The socket goes with the server.
        self.server.stop()
        self.assertFalse(os.path.exists(self.socket_path))


# A stand-in for a server at a control socket: it binds as bind_uid (the
# caller's if -1), listens as listen_uid, prints "ready", then reports each
# connection as "got HEX" (what it received) and answers with REPLY, until
# its standard input closes.
PLANTED = r"""
import os, select, socket, sys
path, bind_uid, listen_uid, reply = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
if bind_uid >= 0:
    os.setuid(bind_uid)
server = socket.socket(socket.AF_UNIX)
server.bind(path)
if listen_uid >= 0:
    os.setuid(listen_uid)
server.listen(4)
print("ready", flush=True)
while True:
    ready, _, _ = select.select([server, sys.stdin], [], [])
    if server in ready:
        conn, _ = server.accept()
        conn.settimeout(60 * max(1.0, float(os.environ.get("SKERROW_TEST_TIME_FACTOR") or 1)))
        received = b""
        try:
            while b"\n" not in received:
                chunk = conn.recv(4096)
                if not chunk:
                    break
                received += chunk
        except OSError:
            pass
        print("got " + received.hex(), flush=True)
        try:
            if received and reply:
                conn.sendall(bytes.fromhex(reply))
        except OSError:
            pass
        conn.close()
    elif not sys.stdin.read(1):
        break
"""

STRANGER = 12345


@unittest.skipUnless(os.geteuid() == 0, "needs root: the sockets are planted as another user")
class PlantedSocketTests(unittest.TestCase):
    """The control client talks only to a socket whose folder, file and
    listening server belong to the user it expects, and sends nothing to
    any other."""

    def setUp(self):
        self.area = tempfile.mkdtemp(prefix="skerrow-planted-")
        self.addCleanup(shutil.rmtree, self.area, ignore_errors=True)
        os.chmod(self.area, 0o755)
        for path in ("/run/user/0/skerrow/control", "/run/skerrow/control"):
            if os.path.exists(path):
                self.skipTest("a real server answers at " + path)

    def folder(self, *parts, owner=0, mode=0o700):
        path = os.path.join(self.area, *parts)
        os.makedirs(path, exist_ok=True)
        os.chown(path, owner, owner)
        os.chmod(path, mode)
        return path

    def plant(self, path, bind_uid=-1, listen_uid=-1, reply=b""):
        """A planted server at path; its reports come from finish()."""
        process = subprocess.Popen(
            ["/usr/bin/python3", "-c", PLANTED, path, str(bind_uid), str(listen_uid), reply.hex()],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(process.stderr.close)
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.wait)
        self.addCleanup(process.kill)
        line = process.stdout.readline()
        self.assertEqual(line, b"ready\n", process.stderr.read() if not line else line)
        return process

    @staticmethod
    def finish(process):
        """What the planted server received, one entry per connection."""
        out, _ = process.communicate(b"", timeout=scaled(30))
        return [bytes.fromhex(line[4:]) for line in out.decode().splitlines()
                if line.startswith("got ")]

    def client(self, *args, env=None, user=None, stdout=subprocess.PIPE):
        base = {k: v for k, v in os.environ.items() if k not in ("XDG_RUNTIME_DIR", "TMPDIR")}
        base.update(env or {}, LC_ALL="C.UTF-8")
        return subprocess.run([BINARY] + list(args), stdout=stdout, stderr=subprocess.PIPE,
                              timeout=scaled(30), env=base, preexec_fn=user)

    def test_a_socket_in_a_shared_temporary_folder_is_never_roots(self):
        # /tmp as cron or su - leave it: anyone may make skerrow-0 there first.
        shared = self.folder("shared", mode=0o1777)
        planted = self.plant(os.path.join(self.folder("shared", "skerrow-0", owner=STRANGER),
                                          "control"), bind_uid=STRANGER,
                             reply=b"OK\n\x1b]0;owned\x07\n")
        result = self.client("--who", env={"TMPDIR": shared})
        self.assertEqual((result.returncode, result.stderr),
                         (1, b"skerrow: no Skerrow server is running for this user\n"))
        self.assertEqual(result.stdout, b"")
        self.assertEqual(self.finish(planted), [])
        # Another user's there is refused by its owner: nothing is sent.
        planted = self.plant(os.path.join(self.folder("shared", "skerrow-%d" % (STRANGER + 1),
                                                      owner=STRANGER), "control"),
                             bind_uid=STRANGER, reply=b"OK\n")
        result = self.client("--who", env={"TMPDIR": shared},
                             user=lambda: os.setuid(STRANGER + 1))
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"belongs to another user", result.stderr)
        self.assertEqual(self.finish(planted), [])

    def test_a_runtime_folder_not_the_users_own_is_refused(self):
        cases = [
            # Folder and socket of another user.
            ("owner", dict(owner=STRANGER, mode=0o700), dict(bind_uid=STRANGER),
             b"belongs to another user (uid %d)" % STRANGER),
            # Root's folder, but others may write into it.
            ("open", dict(mode=0o770), dict(), b"may be written by other users"),
            # Root's folder and file, but another user's server listens.
            ("peer", dict(mode=0o700), dict(listen_uid=STRANGER),
             b"runs as another user (uid %d)" % STRANGER),
        ]
        for name, folder, server, why in cases:
            with self.subTest(name):
                runtime = self.folder(name, mode=0o711)
                planted = self.plant(os.path.join(self.folder(name, "skerrow", **folder), "control"),
                                     reply=b"OK\n", **server)
                for args in (["--who"], ["--kick", "1"]):
                    result = self.client(*args, env={"XDG_RUNTIME_DIR": runtime})
                    self.assertEqual(result.returncode, 1, result.stderr)
                    self.assertIn(why, result.stderr)
                    self.assertTrue(result.stderr.endswith(b"; nothing was sent\n"), result.stderr)
                    self.assertEqual(result.stdout, b"")
                received = self.finish(planted)
                # The peer is checked once connected: connections, no bytes.
                self.assertEqual(received, [b"", b""] if name == "peer" else [])

    def test_a_socket_left_by_a_dead_server_is_passed_over(self):
        runtime = self.folder("runtime")
        stale = socket.socket(socket.AF_UNIX)
        stale.bind(os.path.join(self.folder("runtime", "skerrow"), "control"))
        stale.close()
        # The server that runs fell back to a temporary folder of root's own.
        temporary = self.folder("temporary", mode=0o755)
        planted = self.plant(os.path.join(self.folder("temporary", "skerrow-0"), "control"),
                             reply=b"OK\nanswered\n")
        result = self.client("--who", env={"XDG_RUNTIME_DIR": runtime, "TMPDIR": temporary})
        self.assertEqual((result.returncode, result.stdout), (0, b"answered\n"), result.stderr)
        self.assertEqual(self.finish(planted), [b"who\n"])

    def test_what_reaches_a_terminal_has_no_control_bytes_and_json_stays_exact(self):
        runtime = self.folder("own")
        path = os.path.join(self.folder("own", "skerrow"), "control")
        body = b"\x1b[31mred\xff\n"
        json_body = b'{"sessions": [], "note": "\\u001b"}\n'
        for args, reply, shown in ((["--who"], body, "\\x1b[31mred\ufffd\r\n".encode()),
                                   (["--who", "--json"], json_body,
                                    json_body.replace(b"\n", b"\r\n"))):
            planted = self.plant(path, reply=b"OK\n" + reply)
            leader, follower = pty.openpty()
            try:
                result = self.client(*args, env={"XDG_RUNTIME_DIR": runtime}, stdout=follower)
            finally:
                os.close(follower)
            printed = b""
            while True:
                try:
                    chunk = os.read(leader, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                printed += chunk
            os.close(leader)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(printed, shown)
            self.assertEqual(self.finish(planted), [b"who json\n" if "--json" in args else b"who\n"])
            os.unlink(path)
            # Into a pipe or a file, the bytes as they came.
            planted = self.plant(path, reply=b"OK\n" + reply)
            self.assertEqual(self.client(*args, env={"XDG_RUNTIME_DIR": runtime}).stdout, reply)
            self.finish(planted)
            os.unlink(path)


if __name__ == "__main__":
    unittest.main(verbosity=2)
