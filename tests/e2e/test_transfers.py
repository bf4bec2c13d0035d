"""Transfers in large blocks: byte-exact at every block boundary, in both
types and both modes, with restart offsets; listings written in slices; a
file cut while being sent. A download's 150 before its first byte and its
226 once the client has closed the data connection, in both protocols."""

import ftplib
import io
import os
import select
import socket
import threading
import time
import unittest

from skerrow_server import scaled, SkerrowServer, wait_for

BLOCK = 128 * 1024      # text downloads and uploads
BUDGET = 256 * 1024     # bytes per event
STREAM = 64 * 1024      # the file stream's own buffer
SMALL = 16 * 1024       # a binary download sent whole with its end
SIZES = sorted({0, 1, SMALL - 1, SMALL, SMALL + 1, STREAM - 1, STREAM, STREAM + 1, BLOCK - 1,
                BLOCK, BLOCK + 1, BUDGET - 1, BUDGET, BUDGET + 1, 5 * BLOCK + 1})


def text_download(raw):
    """What a download in type A sends: CR LF as LF, up to the first Ctrl-Z."""
    return raw.split(b"\x1a")[0].replace(b"\r\n", b"\n")


class TransferTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = SkerrowServer()
        cls.root = cls.server.folder("root")
        cls.server.folders = ["/=%s/,1,1" % cls.root]
        cls.server.users = ["admin,pw,1,1"]
        cls.server.start()
        rng = __import__("random").Random(7)
        cls.files = {}
        for size in SIZES:
            data = bytes(rng.choice(b"ab\r\n\x00\xff") if rng.random() < 0.2 else rng.randrange(32, 127)
                         for _ in range(size))
            # A CR LF split exactly at each block boundary, and no Ctrl-Z.
            data = bytearray(data.replace(b"\x1a", b"Z"))
            for edge in (STREAM, BLOCK, BUDGET):
                if edge < size:
                    data[edge - 1:edge + 1] = b"\r\n"
            cls.files[size] = bytes(data)
            with open(os.path.join(cls.root, "f%d" % size), "wb") as out:
                out.write(cls.files[size])

    @classmethod
    def tearDownClass(cls):
        cls.server.cleanup()

    def login(self, passive=True):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.server.port, timeout=scaled(30))
        self.addCleanup(ftp.close)
        ftp.login("admin", "pw")
        ftp.set_pasv(passive)
        return ftp

    @staticmethod
    def download(ftp, command, rest=None):
        conn = ftp.transfercmd(command, rest)
        chunks = []
        while chunk := conn.recv(1 << 20):
            chunks.append(chunk)
        conn.close()
        ftp.voidresp()
        return b"".join(chunks)

    def test_downloads_are_byte_exact_at_every_boundary(self):
        for passive in (True, False):
            ftp = self.login(passive)
            for size, data in self.files.items():
                ftp.sendcmd("TYPE I")
                self.assertEqual(self.download(ftp, "RETR f%d" % size), data, (passive, size))
                for rest in sorted({0, 1, STREAM, BLOCK, BUDGET, size, size + 1}):
                    self.assertEqual(self.download(ftp, "RETR f%d" % size, rest), data[rest:],
                                     (passive, size, rest))
                ftp.sendcmd("TYPE A")
                self.assertEqual(self.download(ftp, "RETR f%d" % size), text_download(data),
                                 (passive, size))
                if size > BLOCK:
                    self.assertEqual(self.download(ftp, "RETR f%d" % size, BLOCK),
                                     text_download(data[BLOCK:]), (passive, size))

    def test_uploads_are_byte_exact_at_every_boundary(self):
        for passive in (True, False):
            ftp = self.login(passive)
            for size, data in self.files.items():
                name = "up%d_%d" % (size, passive)
                ftp.sendcmd("TYPE I")
                ftp.storbinary("STOR " + name, io.BytesIO(data), blocksize=100003)
                with open(os.path.join(self.root, name), "rb") as src:
                    self.assertEqual(src.read(), data, (passive, size))
                if size > BLOCK:
                    ftp.storbinary("STOR " + name, io.BytesIO(b"#" * 10), rest=BLOCK)
                    with open(os.path.join(self.root, name), "rb") as src:
                        self.assertEqual(src.read(), data[:BLOCK] + b"#" * 10 + data[BLOCK + 10:])
                ftp.sendcmd("TYPE A")
                conn = ftp.transfercmd("STOR " + name)
                conn.sendall(data)
                conn.close()
                ftp.voidresp()
                expected = bytearray()
                last_cr = False
                for byte in data:
                    if byte == 10 and not last_cr:
                        expected += b"\r"
                    expected.append(byte)
                    last_cr = byte == 13
                with open(os.path.join(self.root, name), "rb") as src:
                    self.assertEqual(src.read(), bytes(expected), (passive, size))

    def test_a_file_cut_while_it_is_sent_ends_with_425(self):
        path = os.path.join(self.root, "shrinking.bin")
        with open(path, "wb") as out:
            out.write(os.urandom(64 * 1024 * 1024))
        ftp = self.login()
        ftp.sendcmd("TYPE I")
        conn = ftp.transfercmd("RETR shrinking.bin")
        received = len(conn.recv(65536))
        os.truncate(path, 1024 * 1024)
        while chunk := conn.recv(1 << 20):
            received += len(chunk)
        conn.close()
        with self.assertRaises(ftplib.error_temp) as error:
            ftp.voidresp()
        self.assertEqual(str(error.exception), "425 Data connection reset")
        self.assertLess(received, 64 * 1024 * 1024)

    def test_a_file_that_grows_while_it_is_sent_is_sent_whole(self):
        path = os.path.join(self.root, "growing.bin")
        with open(path, "wb") as out:
            out.write(b"a" * (32 * 1024 * 1024))
        ftp = self.login()
        ftp.sendcmd("TYPE I")
        conn = ftp.transfercmd("RETR growing.bin")
        received = len(conn.recv(65536))
        with open(path, "ab") as out:
            out.write(b"b" * 1000)
        while chunk := conn.recv(1 << 20):
            received += len(chunk)
        conn.close()
        self.assertEqual(ftp.voidresp(), "226 Transfer complete")
        self.assertEqual(received, 32 * 1024 * 1024 + 1000)

    def test_a_large_listing_is_whole_and_others_are_served_meanwhile(self):
        folder = os.path.join(self.root, "many")
        os.makedirs(folder)
        names = ["file%05d.txt" % i for i in range(20000)]
        for name in names:
            open(os.path.join(folder, name), "w").close()
        ftp = self.login()
        other = self.login()
        lines = []
        done = threading.Event()

        def listing():
            ftp.retrlines("LIST many", lines.append)
            done.set()
        thread = threading.Thread(target=listing)
        thread.start()
        while not done.is_set():
            self.assertEqual(other.sendcmd("NOOP"), "200 Ok")
        thread.join(scaled(30))
        listed = sorted(line.split()[-1] for line in lines)
        self.assertEqual(listed, sorted(names + [".", ".."]))
        self.assertTrue(all(line.endswith(("txt", ".")) for line in lines))
        nlst = ftp.nlst("many")
        self.assertEqual(len(nlst), 20002)
        self.assertTrue(wait_for(lambda: not self.server.temp_listings(), 5))

    def test_many_simultaneous_downloads(self):
        data = self.files[5 * BLOCK + 1]
        results = []

        def one():
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", self.server.port, timeout=scaled(60))
            ftp.login("admin", "pw")
            chunks = []
            ftp.retrbinary("RETR f%d" % len(data), chunks.append)
            ftp.quit()
            results.append(b"".join(chunks) == data)
        threads = [threading.Thread(target=one) for _ in range(50)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(scaled(60))
        self.assertEqual(results, [True] * 50)


class Control:
    """A control connection read line by line, so that what arrived together
    with a reply stays visible."""

    def __init__(self, test, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=scaled(30))
        test.addCleanup(self.sock.close)
        self.pending = b""
        test.assertTrue(self.reply().startswith("220 "))
        test.assertTrue(self.command("USER admin").startswith("331 "))
        test.assertTrue(self.command("PASS pw").startswith("230 "))
        test.assertTrue(self.command("TYPE I").startswith("200 "))

    def reply(self):
        """The next reply line (the socket's time-out bounds the wait)."""
        while b"\r\n" not in self.pending:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise AssertionError("control connection closed; pending %r" % self.pending)
            self.pending += chunk
        line, self.pending = self.pending.split(b"\r\n", 1)
        return line.decode()

    def command(self, line):
        self.sock.sendall(line.encode() + b"\r\n")
        return self.reply()

    def quiet_for(self, seconds):
        """True when nothing more arrives within seconds. A server that is
        late only makes this true: it never fails a correct server."""
        readable, _, _ = select.select([self.sock], [], [], seconds)
        return not self.pending and not readable

    def data_connection(self):
        """A passive data connection, made before its transfer command."""
        reply = self.command("PASV")
        numbers = [int(n) for n in reply[reply.index("(") + 1:reply.index(")")].split(",")]
        return socket.create_connection(("127.0.0.1", numbers[4] * 256 + numbers[5]),
                                        timeout=scaled(30))


def read_all(sock):
    chunks = []
    while chunk := sock.recv(1 << 20):
        chunks.append(chunk)
    return b"".join(chunks)


class DownloadReplyTests(unittest.TestCase):
    """The connection is made before RETR, so a small file goes whole within
    the command: its 150 must still come first, and its 226 only once the
    client has closed the data connection (or after the grace, or before
    the reply to the client's next command)."""

    SIZES = (0, 1, 1000, SMALL - 1, SMALL, STREAM - 1, STREAM + 1, BLOCK + 1, BUDGET + 1)
    # A grace no test waits out: the 226 can only come from the client.
    LONG_GRACE_MS = 600000

    def start(self, extended, grace_ms=None):
        server = SkerrowServer(extra_config="[Extended]\nEnabled=1\n" if extended else "")
        self.addCleanup(server.cleanup)
        root = server.folder("root")
        server.folders = ["/=%s/,1,1" % root]
        server.users = ["admin,pw,1,1"]
        server.reply_grace_ms = grace_ms
        server.start()
        self.files = {}
        for size in self.SIZES:
            self.files[size] = os.urandom(size)
            with open(os.path.join(root, "f%d" % size), "wb") as out:
                out.write(self.files[size])
        return Control(self, server.port)

    def test_150_first_and_226_after_the_client_closes(self):
        for extended in (False, True):
            control = self.start(extended, self.LONG_GRACE_MS)
            for size, data in self.files.items():
                where = (extended, size)
                conn = control.data_connection()
                # The control connection is read first: the 150 is there
                # before the client has taken a byte, and nothing with it.
                self.assertEqual(control.command("RETR f%d" % size),
                                 '150 Opening data connection for retr "/f%d"' % size, where)
                self.assertEqual(control.pending, b"", where)
                self.assertEqual(read_all(conn), data, where)
                self.assertTrue(control.quiet_for(0.2), where)
                conn.close()
                self.assertEqual(control.reply(), "226 Transfer complete", where)

    def test_a_client_that_waits_for_the_226_gets_it_after_the_grace(self):
        for extended in (False, True):
            control = self.start(extended)
            # More than the transfers a client may run at once: one whose
            # bytes are all out is not running, though its client keeps
            # the connection.
            kept = []
            for size in (1000, 0, 1, 1000, BUDGET + 1):
                conn = control.data_connection()
                kept.append(conn)
                self.addCleanup(conn.close)
                self.assertTrue(control.command("RETR f%d" % size).startswith("150 "))
                self.assertEqual(read_all(conn), self.files[size], (extended, size))
                self.assertEqual(control.reply(), "226 Transfer complete", (extended, size))
            self.assertEqual(control.command("NOOP"), "200 Ok")

    def test_the_next_command_gets_its_reply_after_the_226(self):
        for extended in (False, True):
            control = self.start(extended, self.LONG_GRACE_MS)
            conn = control.data_connection()
            self.addCleanup(conn.close)
            control.command("RETR f1000")
            self.assertEqual(read_all(conn), self.files[1000])
            self.assertEqual(control.command("NOOP"), "226 Transfer complete")
            self.assertEqual(control.reply(), "200 Ok")
            if not extended:
                continue
            # ABOR after a finished download whose connection is open: its
            # 226 first, then the abort of the open connection.
            conn = control.data_connection()
            self.addCleanup(conn.close)
            control.command("RETR f1")
            self.assertEqual(read_all(conn), self.files[1])
            self.assertEqual(control.command("ABOR"), "226 Transfer complete")
            self.assertEqual(control.reply(), "226 Abort successful")
            self.assertEqual(read_all(conn), b"")
            self.assertEqual(control.command("ABOR"), "225 No transfer to abort")


if __name__ == "__main__":
    unittest.main()
