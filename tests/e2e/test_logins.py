"""Password guessing against the real program: every failed login answered a
second late, the address banned after too many, logged-in sessions spared,
and the log lines a watcher such as fail2ban reads."""

import ftplib
import os
import shutil
import socket
import subprocess
import time
import unittest

from skerrow_server import SkerrowServer, read_line, scaled, wait_for

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
# The filter for plain log files: the test's log is the server's output.
FILTER = os.path.join(ROOT, "res", "fail2ban", "filter-file.conf")


def connect(port, address):
    """A control connection from one of the loopback addresses, greeted."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=scaled(10),
                                    source_address=(address, 0))
    greeting = sock.recv(1024)
    assert greeting.startswith(b"220 "), greeting
    return sock


def closed_without_a_word(sock):
    """True when the server closed sock before sending anything (more)."""
    try:
        return sock.recv(1024) == b""
    except ConnectionResetError:
        return True


class LoginTests(unittest.TestCase):
    def start(self, extended=False, logins=""):
        server = SkerrowServer(log_level=1, extra_config=(
            "[Extended]\nEnabled=%d\n[Logins]\n%s" % (1 if extended else 0, logins)))
        self.addCleanup(server.cleanup)
        root = server.folder("root")
        self.payload = os.urandom(1024 * 1024)
        with open(os.path.join(root, "data.bin"), "wb") as out:
            out.write(self.payload)
        server.folders = ["/=%s/,1,1" % root]
        server.users = ["ana,pw,1,1", "anonymous,,0,1"]
        server.start()
        self.server = server
        return server

    def login(self, address="127.0.0.1", password="pw"):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.server.port, timeout=scaled(10),
                    source_address=(address, 0))
        self.addCleanup(ftp.close)
        ftp.login("ana", password)
        return ftp

    def logged_in(self, address, user, password):
        """A raw control connection logged in as user."""
        sock = connect(self.server.port, address)
        self.addCleanup(sock.close)
        sock.sendall(b"USER " + user + b"\r\n")
        self.assertEqual(read_line(sock), b"331 Enter PASS command\r\n")
        sock.sendall(b"PASS " + password + b"\r\n")
        self.assertEqual(read_line(sock), b"230 Logged in\r\n")
        return sock

    def anonymous(self, address):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.server.port, timeout=scaled(10),
                    source_address=(address, 0))
        self.addCleanup(ftp.close)
        ftp.login("anonymous", "guest@")
        return ftp

    def guess(self, address, password="wrong", user=b"ana"):
        """A connection that has sent a wrong password; its reply is due."""
        sock = connect(self.server.port, address)
        self.addCleanup(sock.close)
        sock.sendall(b"USER " + user + b"\r\n")
        self.assertEqual(read_line(sock), b"331 Enter PASS command\r\n")
        sock.sendall(b"PASS " + password.encode() + b"\r\n")
        return sock

    def test_timed_a_failed_login_is_answered_a_second_late_and_others_are_served(self):
        self.start()
        other = self.login()
        other.voidcmd("TYPE I")
        started = time.monotonic()
        guesser = self.guess("127.0.0.11")
        unknown = self.guess("127.0.0.12", user=b"nadie")
        # Meanwhile another client is served as usual (few enough round
        # trips that a loaded machine still makes them within the second).
        for _ in range(10):
            self.assertEqual(other.voidcmd("NOOP"), "200 Ok")
        blocks = []
        other.retrbinary("RETR data.bin", blocks.append)
        self.assertEqual(b"".join(blocks), self.payload)
        served = time.monotonic()
        # Unknown names and wrong passwords alike: the same reply, a second late.
        self.assertEqual(read_line(guesser), b"550 Permission denied\r\n")
        self.assertEqual(read_line(unknown), b"550 Permission denied\r\n")
        answered = time.monotonic()
        self.assertGreaterEqual(answered - started, 1.0)
        self.assertLess(served, answered)
        self.server.expect("Inicio de sesi\u00f3n fallido de 127.0.0.11 (usuario ana)\n",
                           "Inicio de sesi\u00f3n fallido de 127.0.0.12 (usuario nadie)\n")

    def test_ten_failures_ban_the_address_and_spare_its_logged_in_sessions(self):
        self.start()
        address = "127.0.0.21"
        logged_in = self.login(address)
        waiting = connect(self.server.port, address)
        self.addCleanup(waiting.close)
        guessers = [self.guess(address) for _ in range(10)]
        self.server.expect("Direcci\u00f3n 127.0.0.21 bloqueada durante 15 minutos\n")
        self.server.expect_count("Inicio de sesi\u00f3n fallido de 127.0.0.21 (usuario ana)\n", 10)
        # Its connections that had not logged in are closed; the ban's
        # own failure gets no reply at all.
        self.assertTrue(closed_without_a_word(waiting))
        self.assertTrue(closed_without_a_word(guessers[-1]))
        # A new connection is accepted and closed at once, without a greeting.
        fresh = socket.create_connection(("127.0.0.1", self.server.port), timeout=scaled(10),
                                         source_address=(address, 0))
        self.addCleanup(fresh.close)
        self.assertTrue(closed_without_a_word(fresh))
        # The logged-in session stays, and other addresses are served.
        self.assertEqual(logged_in.voidcmd("NOOP"), "200 Ok")
        self.assertEqual(self.login("127.0.0.22").voidcmd("NOOP"), "200 Ok")

    def test_a_ban_ends_after_its_time_and_only_age_clears_the_count(self):
        self.start(logins="BanAfter=2\nTestBanSeconds=1\n")
        # One failure, then a success: the count goes on, and the next
        # failure bans.
        self.assertEqual(read_line(self.guess("127.0.0.31")), b"550 Permission denied\r\n")
        self.assertEqual(self.login("127.0.0.31").voidcmd("NOOP"), "200 Ok")
        self.assertTrue(closed_without_a_word(self.guess("127.0.0.31")))
        self.server.expect("Direcci\u00f3n 127.0.0.31 bloqueada durante 15 minutos\n")
        # The (shortened) ban ends; the right password logs in again, but
        # the failures that earned the ban still count: one more bans anew.
        self.server.expect("Direcci\u00f3n 127.0.0.31 desbloqueada\n")
        self.assertEqual(self.login("127.0.0.31").voidcmd("NOOP"), "200 Ok")
        self.assertTrue(closed_without_a_word(self.guess("127.0.0.31")))
        self.server.expect_count("Direcci\u00f3n 127.0.0.31 bloqueada", 2)

    def test_ten_wrong_passwords_between_anonymous_logins_ban_the_address(self):
        for extended in (False, True):
            with self.subTest(extended=extended):
                self.start(extended=extended)
                address = "127.0.0.81" if extended else "127.0.0.82"
                for _ in range(9):
                    # An account that takes any password clears nothing.
                    self.anonymous(address).close()
                    self.assertEqual(read_line(self.guess(address)),
                                     b"550 Permission denied\r\n")
                self.anonymous(address).close()
                self.assertTrue(closed_without_a_word(self.guess(address)))
                self.server.expect("Direcci\u00f3n %s bloqueada durante 15 minutos\n" % address)
                fresh = socket.create_connection(("127.0.0.1", self.server.port),
                                                 timeout=scaled(10), source_address=(address, 0))
                self.addCleanup(fresh.close)
                self.assertTrue(closed_without_a_word(fresh))

    def test_a_login_again_on_a_logged_in_session_during_a_ban_closes_it(self):
        refused = b"421 Too many failed logins from your address.\r\n"
        for extended in (False, True):
            with self.subTest(extended=extended):
                self.start(extended=extended, logins="BanAfter=2\n")
                address = "127.0.0.91" if extended else "127.0.0.92"
                ana = self.logged_in(address, b"ana", b"pw")
                anonymous = self.logged_in(address, b"anonymous", b"x")
                for _ in range(2):
                    self.guess(address)
                self.server.expect("Direcci\u00f3n %s bloqueada" % address)
                # The logged-in sessions keep working...
                ana.sendall(b"NOOP\r\n")
                self.assertEqual(read_line(ana), b"200 Ok\r\n")
                # ...until they try to log in again: the right password
                # too is refused, and the session closed.
                anonymous.sendall(b"USER ana\r\n")
                self.assertEqual(read_line(anonymous), refused)
                self.assertTrue(closed_without_a_word(anonymous))
                ana.sendall(b"PASS pw\r\n")
                self.assertEqual(read_line(ana), refused)
                self.assertTrue(closed_without_a_word(ana))
                # Each refusal is logged as a failed login, and nobody
                # logged in after the ban.
                text = self.server.expect_count("fallido de %s" % address, 4)
                self.assertIn("fallido de %s (usuario ana)\n" % address,
                              text.split("bloqueada")[-1])
                text = self.server.settle()
                self.assertEqual(text.count("Usuario ana logeado"), 1)
                self.assertEqual(text.count("Inicio de sesi\u00f3n fallido de %s" % address), 4)

    def test_timed_a_wrong_pass_on_a_logged_in_session_counts_and_is_answered_late(self):
        self.start(logins="BanAfter=2\n")
        address = "127.0.0.93"
        ana = self.logged_in(address, b"ana", b"pw")
        anonymous = self.logged_in(address, b"anonymous", b"x")
        # USER on a logged-in session logs it out; its wrong PASS counts.
        anonymous.sendall(b"USER ana\r\n")
        self.assertEqual(read_line(anonymous), b"331 Enter PASS command\r\n")
        anonymous.sendall(b"PASS wrong\r\n")
        self.assertEqual(read_line(anonymous), b"550 Permission denied\r\n")
        # A PASS alone on a logged-in session counts as well, and bans:
        # the session, still logged in, gets its late answer and stays.
        started = time.monotonic()
        ana.sendall(b"PASS wrong\r\n")
        self.assertEqual(read_line(ana), b"550 Permission denied\r\n")
        self.assertGreaterEqual(time.monotonic() - started, 1.0)
        self.server.expect("Direcci\u00f3n %s bloqueada durante 15 minutos\n" % address)
        self.assertTrue(closed_without_a_word(anonymous))
        ana.sendall(b"NOOP\r\n")
        self.assertEqual(read_line(ana), b"200 Ok\r\n")

    def test_zero_never_bans(self):
        self.start(logins="BanAfter=0\n")
        guessers = [self.guess("127.0.0.41") for _ in range(12)]
        for sock in guessers:
            self.assertEqual(read_line(sock), b"550 Permission denied\r\n")
        self.assertEqual(self.login("127.0.0.41").voidcmd("NOOP"), "200 Ok")
        self.assertNotIn("bloqueada", self.server.settle())

    def test_timed_pipelined_pass_lines_are_answered_in_order_a_second_apart(self):
        self.start(extended=True)
        sock = connect(self.server.port, "127.0.0.51")
        self.addCleanup(sock.close)
        # Times are taken from before the lines leave: a reply cannot come
        # sooner than the server sent it, however late this client reads.
        started = time.monotonic()
        sock.sendall(b"USER ana\r\nPASS one\r\nPASS two\r\nPASS pw\r\nPWD\r\n")
        replies = []
        for _ in range(5):
            replies.append((read_line(sock), time.monotonic() - started))
        self.assertEqual([reply for reply, _ in replies],
                         [b"331 Enter PASS command\r\n", b"550 Permission denied\r\n",
                          b"550 Permission denied\r\n", b"230 Logged in\r\n",
                          b'257 "/" is current directory\r\n'])
        # Each wrong PASS waits its own second: the second answer no sooner
        # than two seconds after the lines (the gap between two readings is
        # no measure on a loaded machine, where the first may be read late).
        self.assertGreaterEqual(replies[1][1], 1.0)
        self.assertGreaterEqual(replies[2][1], 2.0)

    def test_bad_input_fails_or_gets_the_usual_reply(self):
        self.start()
        sock = connect(self.server.port, "127.0.0.61")
        self.addCleanup(sock.close)
        # PASS without USER: the usual reply, at once, and no failure counted.
        sock.sendall(b"PASS x\r\n")
        self.assertEqual(read_line(sock), b"503 Login with USER first.\r\n")
        # An empty PASS and a very long one are failures like any other.
        for password in ("", "p" * 5000):
            sock.sendall(b"USER ana\r\n")
            self.assertEqual(read_line(sock), b"331 Enter PASS command\r\n")
            sock.sendall(b"PASS " + password.encode() + b"\r\n")
            self.assertEqual(read_line(sock), b"550 Permission denied\r\n")
        # A user without password still logs in with any.
        sock.sendall(b"USER anonymous\r\n")
        self.assertEqual(read_line(sock), b"331 Enter PASS command\r\n")
        sock.sendall(b"PASS \r\n")
        self.assertEqual(read_line(sock), b"230 Logged in\r\n")
        self.server.expect_count("Inicio de sesi\u00f3n fallido de 127.0.0.61", 2)

    def test_a_user_name_is_cut_at_255_bytes(self):
        self.start()
        sock = connect(self.server.port, "127.0.0.62")
        self.addCleanup(sock.close)
        # 200 two-byte characters: cut between characters, at 254 bytes.
        name = "\u00e9" * 200
        sock.sendall(b"USER " + name.encode() + b"\r\n")
        self.assertEqual(read_line(sock), b"331 Enter PASS command\r\n")
        sock.sendall(b"PASS x\r\n")
        self.assertEqual(read_line(sock), b"550 Permission denied\r\n")
        text = self.server.expect("fallido de 127.0.0.62")
        self.assertIn("(usuario %s)\n" % name[:127], text)

    @unittest.skipUnless(shutil.which("fail2ban-regex"), "fail2ban is not installed")
    def test_the_fail2ban_filter_matches_every_failed_login_of_a_real_log(self):
        self.start()
        for address in ("127.0.0.71", "127.0.0.72", "127.0.0.72"):
            self.assertEqual(read_line(self.guess(address)), b"550 Permission denied\r\n")
        self.login("127.0.0.73")
        log = os.path.join(self.server.root, "skerrow.log")
        with open(log, "w", encoding="utf-8") as out:
            out.write(self.server.expect_count("fallido de", 3))
        result = subprocess.run(["fail2ban-regex", "--print-all-matched", log, FILTER],
                                capture_output=True, text=True, timeout=scaled(60))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout, r"Failregex: 3 total")
        matched = [line for line in result.stdout.splitlines()
                   if "fallido de" in line and "<ADDR>" not in line]
        self.assertEqual(sorted(line.split("fallido de ")[1].split()[0] for line in matched),
                         ["127.0.0.71", "127.0.0.72", "127.0.0.72"])


if __name__ == "__main__":
    unittest.main()
