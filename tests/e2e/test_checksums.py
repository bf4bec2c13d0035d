"""Checksums in the extended mode: HASH (with OPTS HASH and RANG) and the
X words, checked against Python's hashlib and zlib, through raw commands and
through real clients; the download permission; a folder; bad ranges; the
classic mode, where the words stay unknown; a big file read off the event
loop while another client is served; ABOR and a closed connection cancel
the reading."""

import ftplib
import hashlib
import os
import re
import socket
import ssl
import subprocess
import time
import unittest
import zlib

from skerrow_server import answer, logged_in, read_line, scaled, SkerrowServer, wait_for

ALGORITHMS = {"SHA-1": hashlib.sha1, "SHA-256": hashlib.sha256, "SHA-512": hashlib.sha512,
              "MD5": hashlib.md5}
MIB = 1024 * 1024


def sparse_file(path, size):
    """A file of size zero bytes that takes no room on the disk: reading it
    costs the checksum's processor time only."""
    with open(path, "wb") as out:
        out.truncate(size)


def digest_of_zeros(name, size):
    digest = ALGORITHMS[name]()
    block = bytes(MIB)
    for _ in range(size // MIB):
        digest.update(block)
    digest.update(bytes(size % MIB))
    return digest.hexdigest()


class RawClient:
    """A logged-in control connection read a line at a time."""

    def __init__(self, test, port, user="ana", password="pw"):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=scaled(30))
        test.addCleanup(self.close)
        self.line()
        # One line at a time: the classic mode reads nothing after a line
        # end in the same read.
        self.send("USER %s\r\n" % user)
        self.line()
        self.send("PASS %s\r\n" % password)
        test.assertTrue(self.line().startswith("230"))

    def send(self, text):
        self.sock.sendall(text.encode())

    def line(self):
        return read_line(self.sock).decode(errors="replace").rstrip("\r\n")

    def close(self):
        self.sock.close()


class ChecksumServer:
    def setup_server(self, extended=True, tls=False):
        extra = "[Extended]\nEnabled=1\n" if extended else ""
        extra += "TlsMode=1\n" if tls else ""
        server = SkerrowServer(log_level=2, extra_config=extra)
        self.addCleanup(server.cleanup)
        self.root = server.folder("root")
        self.readonly = server.folder("nodownload")
        server.folders = ["/=%s/,1,1" % self.root, "/nodl=%s/,1,0" % self.readonly]
        server.users = ["ana,pw,1,1", "up,pw,1,0"]
        server.start()
        self.server = server
        self.payload = os.urandom(3 * MIB + 12345)
        for folder in (self.root, self.readonly):
            with open(os.path.join(folder, "data.bin"), "wb") as out:
                out.write(self.payload)
        with open(os.path.join(self.root, "with space.txt"), "wb") as out:
            out.write(b"spaced out\n")
        open(os.path.join(self.root, "empty"), "wb").close()
        os.mkdir(os.path.join(self.root, "sub"))


class ChecksumTests(ChecksumServer, unittest.TestCase):
    def setUp(self):
        self.setup_server()
        self.ftp = logged_in(self, self.server.port, "ana", "pw")

    def test_hash_each_algorithm_matches_hashlib(self):
        size = len(self.payload)
        for name, digest in ALGORITHMS.items():
            self.assertEqual(self.ftp.sendcmd("OPTS HASH " + name.lower()), "200 " + name)
            self.assertEqual(self.ftp.sendcmd("OPTS HASH"), "200 " + name)
            self.assertEqual(self.ftp.sendcmd("HASH data.bin"), "213 %s 0-%d %s data.bin"
                             % (name, size, digest(self.payload).hexdigest()))
            self.assertEqual(self.ftp.sendcmd("HASH /with space.txt"), "213 %s 0-11 %s /with space.txt"
                             % (name, digest(b"spaced out\n").hexdigest()))
            self.assertEqual(self.ftp.sendcmd("HASH empty"),
                             "213 %s 0-0 %s empty" % (name, digest(b"").hexdigest()))
        self.assertEqual(answer(self.ftp, "OPTS HASH CRC32"), "501 Unknown algorithm")
        self.assertEqual(answer(self.ftp, "OPTS HASH"), "200 MD5")

    def test_feat_names_the_chosen_algorithm(self):
        lines = self.ftp.sendcmd("FEAT").splitlines()
        self.assertIn(" HASH SHA-1;SHA-256*;SHA-512;MD5", lines)
        self.assertIn(" RANG STREAM", lines)
        self.assertTrue(any(line.startswith(" MLST type*;size*;") for line in lines), lines)
        self.ftp.sendcmd("OPTS HASH SHA-512")
        self.assertIn(" HASH SHA-1;SHA-256;SHA-512*;MD5", self.ftp.sendcmd("FEAT").splitlines())

    def test_ranges(self):
        size = len(self.payload)
        self.assertEqual(self.ftp.sendcmd("RANG 10 2000000")[:3], "350")
        self.assertEqual(self.ftp.sendcmd("HASH data.bin"), "213 SHA-256 10-2000000 %s data.bin"
                         % hashlib.sha256(self.payload[10:2000000]).hexdigest())
        # The range served that HASH only.
        self.assertEqual(self.ftp.sendcmd("HASH data.bin"), "213 SHA-256 0-%d %s data.bin"
                         % (size, hashlib.sha256(self.payload).hexdigest()))
        self.ftp.sendcmd("OPTS HASH MD5")
        self.ftp.sendcmd("RANG %d %d" % (size - 5, size))
        self.assertEqual(self.ftp.sendcmd("HASH data.bin"), "213 MD5 %d-%d %s data.bin"
                         % (size - 5, size, hashlib.md5(self.payload[-5:]).hexdigest()))
        # "1 0" drops a range.
        self.ftp.sendcmd("RANG 3 4")
        self.assertEqual(self.ftp.sendcmd("RANG 1 0")[:3], "350")
        self.assertTrue(self.ftp.sendcmd("HASH data.bin").startswith("213 MD5 0-%d " % size))

    def test_bad_ranges(self):
        size = len(self.payload)
        for bad in ("9 5", "a b", "5", "1 2 3", "-1 5", "0 1e3", "0 99999999999999999999"):
            self.assertEqual(answer(self.ftp, "RANG " + bad), "501 Bad range", bad)
            # A refused range leaves none behind.
            self.assertTrue(self.ftp.sendcmd("HASH empty").startswith("213 SHA-256 0-0 "), bad)
        # Past the end: found when the HASH measures the file.
        self.ftp.sendcmd("RANG 0 %d" % (size + 1))
        self.assertEqual(answer(self.ftp, "HASH data.bin"), "501 Bad range")
        self.ftp.sendcmd("RANG %d %d" % (size + 1, size + 2))
        self.assertEqual(answer(self.ftp, "HASH data.bin"), "501 Bad range")
        self.assertEqual(answer(self.ftp, "XMD5 data.bin 0 %d" % (size + 1)), "501 Bad range")
        self.assertEqual(answer(self.ftp, "XCRC data.bin 9 5"), "501 Bad range")

    def test_x_words(self):
        data = self.payload
        crc = lambda blob: "%08X" % zlib.crc32(blob)
        self.assertEqual(self.ftp.sendcmd("XSHA256 data.bin"),
                         "250 " + hashlib.sha256(data).hexdigest().upper())
        self.assertEqual(self.ftp.sendcmd("XSHA1 data.bin 100"),
                         "250 " + hashlib.sha1(data[100:]).hexdigest().upper())
        self.assertEqual(self.ftp.sendcmd("XMD5 data.bin 100 5000"),
                         "250 " + hashlib.md5(data[100:5000]).hexdigest().upper())
        self.assertEqual(self.ftp.sendcmd("XCRC data.bin"), "250 " + crc(data))
        self.assertEqual(self.ftp.sendcmd("XCRC /data.bin 0 1048577"), "250 " + crc(data[:1048577]))
        self.assertEqual(self.ftp.sendcmd('XCRC "with space.txt" 1 3'), "250 " + crc(b"pa"))
        self.assertEqual(self.ftp.sendcmd("XMD5 with space.txt"),
                         "250 " + hashlib.md5(b"spaced out\n").hexdigest().upper())
        # The X words take no range from RANG, and leave it to the HASH.
        self.ftp.sendcmd("RANG 0 1")
        self.assertEqual(self.ftp.sendcmd("XSHA1 empty"), "250 " + hashlib.sha1(b"").hexdigest().upper())
        self.assertEqual(self.ftp.sendcmd("HASH data.bin"), "213 SHA-256 0-1 %s data.bin"
                         % hashlib.sha256(data[:1]).hexdigest())

    def test_download_permission_folder_and_missing(self):
        for command in ("HASH", "XSHA256", "XSHA1", "XMD5", "XCRC"):
            # A folder without the download flag, then a user without it.
            self.assertEqual(answer(self.ftp, command + " /nodl/data.bin"), "550 Permission denied")
            for path in ("/", "sub", "missing.bin"):
                self.assertEqual(answer(self.ftp, "%s %s" % (command, path)), "550 File unavailable")
        uploader = logged_in(self, self.server.port, "up", "pw")
        for command in ("HASH data.bin", "XCRC data.bin", "XMD5 data.bin 0 1"):
            self.assertEqual(answer(uploader, command), "550 Permission denied")
        # Needs a login like any command.
        raw = socket.create_connection(("127.0.0.1", self.server.port), timeout=scaled(10))
        self.addCleanup(raw.close)
        read_line(raw)
        raw.sendall(b"HASH data.bin\r\n")
        self.assertTrue(read_line(raw).startswith(b"530"))

    def test_real_clients_raw_commands(self):
        expected = "213 SHA-256 0-%d %s data.bin" % (len(self.payload),
                                                     hashlib.sha256(self.payload).hexdigest())
        home = dict(os.environ, HOME=self.server.home)
        lftp = subprocess.run(
            ["lftp", "-u", "ana,pw", "-p", str(self.server.port), "-e",
             "set net:max-retries 1; set cmd:fail-exit yes; quote HASH data.bin; "
             "quote OPTS HASH SHA-1; quote XSHA1 data.bin; quit", "127.0.0.1"],
            capture_output=True, timeout=scaled(60), stdin=subprocess.DEVNULL, env=home)
        self.assertEqual(lftp.returncode, 0, lftp.stderr)
        out = lftp.stdout.decode()
        self.assertIn(expected, out)
        self.assertIn("250 " + hashlib.sha1(self.payload).hexdigest().upper(), out)
        curl = subprocess.run(
            ["curl", "-s", "-S", "-v", "--max-time", "%d" % scaled(60), "-Q", "HASH data.bin",
             "-Q", "XCRC data.bin", "--list-only", "ftp://ana:pw@127.0.0.1:%d/" % self.server.port],
            capture_output=True, timeout=scaled(90), stdin=subprocess.DEVNULL, env=home)
        self.assertEqual(curl.returncode, 0, curl.stderr)
        err = curl.stderr.decode(errors="replace")
        self.assertIn("< " + expected, err)
        self.assertIn("< 250 %08X" % zlib.crc32(self.payload), err)


class BigFileTests(ChecksumServer, unittest.TestCase):
    def setUp(self):
        self.setup_server()
        self.size = 256 * MIB
        sparse_file(os.path.join(self.root, "big.bin"), self.size)
        # Big enough that its reading, unless cancelled, outlasts the test.
        sparse_file(os.path.join(self.root, "huge.bin"), 1 << 40)

    def test_noop_answers_promptly_while_a_big_file_is_hashed(self):
        hasher = RawClient(self, self.server.port)
        watcher = logged_in(self, self.server.port, "ana", "pw")
        hasher.send("OPTS HASH SHA-512\r\n")
        self.assertEqual(hasher.line(), "200 SHA-512")
        started = time.monotonic()
        hasher.send("HASH big.bin\r\nNOOP\r\n")
        hasher.sock.setblocking(False)
        latencies = []
        reply = b""
        while reply.count(b"\r\n") < 2:
            asked = time.monotonic()
            self.assertEqual(watcher.voidcmd("NOOP")[:3], "200")
            latencies.append(time.monotonic() - asked)
            try:
                reply += hasher.sock.recv(4096)
            except BlockingIOError:
                pass
            self.assertLess(time.monotonic() - started, scaled(120))
        hashing = time.monotonic() - started
        # The session's own next command waited for the answer.
        self.assertEqual(reply.decode().split("\r\n"), [
            "213 SHA-512 0-%d %s big.bin" % (self.size, digest_of_zeros("SHA-512", self.size)),
            "200 Ok", ""])
        # Read on the loop, the HASH would hold a NOOP for the whole of its
        # reading; off it, each answers at once. Measured against the
        # reading itself, which a loaded machine stretches as much as it
        # delays one NOOP.
        self.assertGreater(len(latencies), 3, (hashing, latencies))
        self.assertLess(max(latencies), 0.5 * hashing, (hashing, latencies))

    def threads_free(self):
        """A small file's checksum is answered: the two reading threads are
        not both held by readings of the terabyte file (which would go on for
        minutes) that should have been cancelled."""
        ftp = logged_in(self, self.server.port, "ana", "pw")
        ftp.sock.settimeout(scaled(60))
        expected = "250 %08X" % zlib.crc32(self.payload)
        # Cancelled checksums still waiting leave the queue as the threads
        # take them (at once): until then a new one may be refused.
        replies = []
        wait_for(lambda: replies.append(answer(ftp, "XCRC data.bin")) or replies[-1][:3] != "450",
                 20, 0.05)
        self.assertEqual(replies[-1], expected)

    def test_abor_cancels(self):
        client = RawClient(self, self.server.port)
        # Sent with the HASH, and sent once the reading has begun.
        client.send("HASH huge.bin\r\nABOR\r\n")
        self.assertEqual(client.line(), "426 Checksum aborted")
        self.assertEqual(client.line(), "226 Abort successful")
        client.send("HASH huge.bin\r\n")
        self.assertTrue(wait_for(lambda: self.server.text().count("HASH huge.bin") >= 2, 10))
        client.send("ABOR\r\n")
        self.assertEqual(client.line(), "426 Checksum aborted")
        self.assertEqual(client.line(), "226 Abort successful")
        # The session goes on, and so do the threads.
        client.send("HASH big.bin\r\n")
        self.assertTrue(client.line().startswith("213 SHA-256 0-%d " % self.size))
        client.send("ABOR\r\n")
        self.assertEqual(client.line(), "225 No transfer to abort")
        self.threads_free()

    def test_closed_connection_cancels(self):
        # Both threads begin a reading, then each session ends.
        for _ in range(2):
            client = RawClient(self, self.server.port)
            client.send("HASH huge.bin\r\n")
            self.assertTrue(wait_for(lambda: "HASH huge.bin" in self.server.text(), 10))
            client.close()
        self.server.expect_count("HASH huge.bin", 2)
        self.threads_free()


    def test_waiting_checksums_are_bounded(self):
        # Two readings run, 32 wait their turn, more are refused. A reading
        # of the terabyte file never ends by itself, so that the first two
        # accepted stay running: 32 to 34 are accepted, the rest refused.
        clients = []
        for count in range(1, 41):
            client = RawClient(self, self.server.port)
            client.send("HASH huge.bin\r\n")
            clients.append(client)
            self.server.expect_count("HASH huge.bin", count)
        # Logged after every earlier command's reply.
        logged_in(self, self.server.port, "ana", "pw").voidcmd("NOOP")
        self.server.expect("NOOP")
        refused = self.server.text().count("450 Too many checksums waiting; try again later")
        self.assertTrue(6 <= refused <= 8, refused)
        # Ended sessions cancel their readings, running and waiting alike.
        for client in clients:
            client.close()
        self.threads_free()


class TlsTests(ChecksumServer, unittest.TestCase):
    def test_checksum_and_abor_over_tls(self):
        self.setup_server(tls=True)
        sparse_file(os.path.join(self.root, "huge.bin"), 1 << 40)
        context = ssl.create_default_context()
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        ftp = ftplib.FTP_TLS(context=context)
        ftp.connect("127.0.0.1", self.server.port, timeout=scaled(30))
        self.addCleanup(ftp.close)
        ftp.login("ana", "pw")
        self.assertEqual(ftp.sendcmd("HASH data.bin"), "213 SHA-256 0-%d %s data.bin"
                         % (len(self.payload), hashlib.sha256(self.payload).hexdigest()))
        # The ABOR is read through TLS while the checksum holds the commands.
        ftp.putcmd("HASH huge.bin")
        self.assertTrue(wait_for(lambda: "HASH huge.bin" in self.server.text(), 10))
        ftp.putcmd("ABOR")
        self.assertEqual(ftp.getline(), "426 Checksum aborted")
        self.assertEqual(ftp.getline(), "226 Abort successful")
        self.assertEqual(ftp.sendcmd("XMD5 data.bin 1 2"),
                         "250 " + hashlib.md5(self.payload[1:2]).hexdigest().upper())


class ClassicModeTests(ChecksumServer, unittest.TestCase):
    def test_words_are_unknown_as_before(self):
        self.setup_server(extended=False)
        for command in ("HASH data.bin", "RANG 1 2", "XSHA256 data.bin", "XSHA1 data.bin",
                        "XMD5 data.bin", "XCRC data.bin", "OPTS HASH SHA-1"):
            raw = RawClient(self, self.server.port)
            raw.send(command + "\r\n")
            # A word is its letters: "XSHA256" is "xsha".
            word = re.match("[A-Z]+", command).group(0).lower()
            self.assertEqual(raw.line(), '500 Unknown command "%s"' % word)
            raw.close()


if __name__ == "__main__":
    unittest.main()
