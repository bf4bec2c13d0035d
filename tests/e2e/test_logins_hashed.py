"""Passwords stored as Argon2id hashes against the real program: the save at
exit that hashes them (only with HashPasswords=1), logins checked off the
event loop, a wrong name as slow as a wrong password, and a hash that cannot
be read."""

import ftplib
import re
import socket
import threading
import time
import unittest

from skerrow_server import TIME_FACTOR, SkerrowServer, read_line, scaled

PLAIN_USERS = ["anonymous,,0,1", "ana,pw,1,1", "bea,a,b=c,1,0"]


def stored_users(path):
    """The user records of a settings file, in order."""
    with open(path, encoding="utf-8") as source:
        text = source.read()
    found = dict(re.findall(r'^User(\d+)="?(.*?)"?$', text, re.M))
    return [found[str(k)] for k in range(len(found))]


def connect(port):
    sock = socket.create_connection(("127.0.0.1", port), timeout=scaled(30))
    assert read_line(sock).startswith(b"220 ")
    return sock


def timed_pass(port, user, password):
    """The reply to a PASS and how long it took, from the PASS."""
    sock = connect(port)
    try:
        sock.sendall(b"USER " + user + b"\r\n")
        assert read_line(sock).startswith(b"331 ")
        start = time.monotonic()
        sock.sendall(b"PASS " + password + b"\r\n")
        reply = read_line(sock)
        return reply, time.monotonic() - start
    finally:
        sock.close()


class HashedLoginTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # A server of plain passwords with HashPasswords=1 hashes them in
        # the file it saves at exit; the hashed records serve every test.
        server = SkerrowServer(users=list(PLAIN_USERS), folders=[],
                               extra_config="[Logins]\nHashPasswords=1\n")
        try:
            server.folders = ["/=%s/,1,1" % server.folder("root")]
            server.start()
            server.stop()
            cls.hashed = stored_users(server.settings_file)
        finally:
            server.cleanup()

    def start(self, users, extra=""):
        server = SkerrowServer(users=users, extra_config="[Logins]\nBanAfter=0\n" + extra)
        self.addCleanup(server.cleanup)
        server.folders = ["/=%s/,1,1" % server.folder("root")]
        server.start()
        return server

    def test_the_exit_hashes_plain_passwords_and_keeps_the_empty_one(self):
        self.assertEqual(self.hashed[0], "anonymous,,0,1")
        for record, name, flags in ((self.hashed[1], "ana", ",1,1"),
                                    (self.hashed[2], "bea", ",1,0")):
            self.assertTrue(record.startswith(name + ",$argon2id$v=19$m=65536,t=2,p=1$"), record)
            self.assertTrue(record.endswith(flags), record)
            self.assertNotIn(",pw,", record)

    def test_an_old_plain_file_works_unchanged_and_stays_plain(self):
        server = self.start(list(PLAIN_USERS))
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", server.port, timeout=scaled(10))
        ftp.login("bea", "a,b=c")
        ftp.quit()
        server.stop()
        users = stored_users(server.settings_file)
        self.assertEqual(users, PLAIN_USERS)
        with open(server.settings_file, encoding="utf-8") as source:
            self.assertIn("HashPasswords=0", source.read())

    def test_logins_against_hashes_right_and_wrong(self):
        server = self.start(self.hashed)
        for user, password in (("ana", "pw"), ("bea", "a,b=c")):
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", server.port, timeout=scaled(10))
            ftp.login(user, password)
            self.assertEqual(ftp.voidcmd("NOOP")[:3], "200")
            ftp.quit()
        reply, took = timed_pass(server.port, b"ana", b"wrong")
        self.assertTrue(reply.startswith(b"550 "), reply)
        self.assertGreaterEqual(took, 0.95)
        # The hash stays in the file as it was.
        server.stop()
        self.assertEqual(stored_users(server.settings_file), self.hashed)

    def test_an_unknown_name_takes_as_long_as_a_wrong_password(self):
        server = self.start(self.hashed)
        known, unknown = [], []
        # Interleaved, and the quickest of each kind: a loaded machine
        # slows some tries (a hash waiting for a core past the second of
        # the delay), never speeds one up; a name answered sooner than a
        # password would show in the quickest.
        for _ in range(5):
            reply, took = timed_pass(server.port, b"ana", b"wrong")
            self.assertTrue(reply.startswith(b"550 "), reply)
            known.append(took)
            reply, took = timed_pass(server.port, b"nadie", b"wrong")
            self.assertTrue(reply.startswith(b"550 "), reply)
            unknown.append(took)
        quickest_known, quickest_unknown = min(known), min(unknown)
        margin = 0.2 * quickest_known * TIME_FACTOR
        self.assertLessEqual(abs(quickest_known - quickest_unknown), margin, (known, unknown))

    def test_twenty_logins_at_once_while_another_client_is_served(self):
        server = self.start(self.hashed)
        watcher = ftplib.FTP()
        watcher.connect("127.0.0.1", server.port, timeout=scaled(10))
        watcher.login("anonymous", "x")
        self.addCleanup(watcher.close)
        results, done = [], threading.Event()

        def log_in():
            try:
                ftp = ftplib.FTP()
                ftp.connect("127.0.0.1", server.port, timeout=scaled(60))
                results.append(ftp.login("ana", "pw")[:3])
                ftp.close()
            except Exception as error:  # noqa: BLE001 (reported below)
                results.append(repr(error))

        threads = [threading.Thread(target=log_in) for _ in range(20)]
        burst_started = time.monotonic()
        for thread in threads:
            thread.start()
        waiter = threading.Thread(target=lambda: ([t.join() for t in threads], done.set()))
        waiter.start()
        latencies = []
        while not done.is_set():
            start = time.monotonic()
            self.assertEqual(watcher.voidcmd("NOOP")[:3], "200")
            latencies.append(time.monotonic() - start)
        waiter.join()
        burst = time.monotonic() - burst_started
        self.assertEqual(results, ["230"] * 20)
        # Hashed on the loop, the twenty would hold a NOOP for most of the
        # burst (twenty hashes of 50 to 100 ms each, back to back); off it,
        # each answers at once. Measured against the burst itself, which a
        # loaded machine stretches as much as it delays one NOOP.
        self.assertGreater(len(latencies), 3)
        self.assertLess(max(latencies), 0.5 * burst, (burst, latencies))

    def test_a_hash_that_cannot_be_read_is_logged_and_lets_no_one_in(self):
        server = self.start(self.hashed + ["carl,$argon2id$v=19$broken,1,1"])
        server.expect("usuario carl: contraseña cifrada no válida\n")
        for password in (b"", b"$argon2id$v=19$broken", b"x"):
            reply, _ = timed_pass(server.port, b"carl", password)
            self.assertTrue(reply.startswith(b"550 "), reply)
        self.assertEqual(server.text().count("contraseña cifrada no válida"), 1)


if __name__ == "__main__":
    unittest.main()
