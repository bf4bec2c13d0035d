"""A hostile client against the real program: no way around the permissions,
no spin, no stall, nothing held for ever."""

import ftplib
import io
import os
import re
import resource
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest

from skerrow_server import (BINARY, answer, cpu_seconds, logged_in, PortReservation, scaled,
                            SkerrowServer, wait_for)


def assert_upload_refused_at_once(test, ftp, name, limit):
    """An upload of name that the server cannot take: the client's sending
    fails, the reply is 425, all within limit seconds of the command."""
    started = time.monotonic()
    data = ftp.transfercmd("STOR " + name)
    with test.assertRaises(OSError):
        for _ in range(64):
            data.sendall(b"x" * 1024 * 1024)
    data.close()
    with test.assertRaises(ftplib.error_temp) as error:
        ftp.voidresp()
    test.assertEqual(str(error.exception), "425 Data connection reset")
    test.assertLess(time.monotonic() - started, limit)


def descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def listening_on(port):
    """True while a socket of this machine listens on the IPv4 port; read
    from the system's table, so that asking disturbs nothing."""
    with open("/proc/net/tcp") as table:
        rows = [line.split() for line in table.readlines()[1:]]
    return any(row[1].endswith(":%04X" % port) and row[3] == "0A" for row in rows)


def greeted(sock, timeout):
    """True when the server's greeting arrives on sock within timeout."""
    sock.settimeout(timeout)
    try:
        return sock.recv(4096).startswith(b"220 ")
    except OSError:
        return False


class HostileTests(unittest.TestCase):
    def setUp(self):
        server = SkerrowServer(log_level=0)
        self.addCleanup(server.cleanup)
        self.root = server.folder("root")
        self.drop = server.folder("drop")
        self.ro = server.folder("ro")
        self.outside = server.folder("outside")
        self.secret = b"S" * 123457
        self.write(self.outside, "secret.txt", self.secret)
        os.makedirs(os.path.join(self.outside, "dir"))
        self.write(self.drop, "f", b"not for download")
        self.write(self.ro, "f", b"read only")
        self.write(self.root, "inside.txt", b"inside")
        os.symlink(os.path.join(self.outside, "secret.txt"), os.path.join(self.root, "passwd_link"))
        os.symlink("../outside/dir", os.path.join(self.root, "dir_out"))
        os.symlink("passwd_link", os.path.join(self.root, "chain"))
        os.symlink("loop2", os.path.join(self.root, "loop1"))
        os.symlink("loop1", os.path.join(self.root, "loop2"))
        os.symlink("inside.txt", os.path.join(self.root, "rel_in"))
        os.symlink(os.path.join(self.root, "inside.txt"), os.path.join(self.root, "abs_in"))
        os.symlink(self.ro, os.path.join(server.root, "ro_link"))
        self.write(os.path.join(server.root, "nowhere"), "f", b"hand-edited entry")
        server.folders = ["/=%s/,1,1" % self.root, "/drop=%s/,1,0" % self.drop,
                          "/ro=%s/,0,1" % self.ro, "/pub=%s/,0,1" % os.path.join(server.root, "ro_link"),
                          "/ro/sub=%s" % os.path.join(server.root, "nowhere"), "/empty=,1,1"]
        server.users = ["admin,pw,1,1"]
        server.start()
        self.server = server

    @staticmethod
    def write(folder, name, data):
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)

    def login(self):
        return logged_in(self, self.server.port, "admin", "pw")

    def answer(self, ftp, command):
        return answer(ftp, command)

    def retr(self, ftp, path):
        chunks = []
        try:
            ftp.retrbinary("RETR " + path, chunks.append)
        except ftplib.Error as error:
            return str(error)
        return b"".join(chunks)

    def stor(self, ftp, path, data):
        try:
            return ftp.storbinary("STOR " + path, io.BytesIO(data))
        except ftplib.Error as error:
            return str(error)

    def test_doubled_separators_are_governed_by_the_entry_they_name(self):
        ftp = self.login()
        for path in ("//drop/f", "///drop//f", "\\\\drop\\f", "/./drop/./f", "/ro/..//drop/f",
                     "//drop/../drop/f", "drop//f"):
            self.assertEqual(self.retr(ftp, path), "550 Permission denied", path)
        for command in ("DELE //ro/f", "DELE \\\\ro\\f", "MKD //ro/new", "RMD //ro//", "STOR //ro/x"):
            self.assertEqual(self.answer(ftp, command), "550 Permission denied", command)
        self.assertEqual(self.stor(ftp, "//ro//new", b"x"), "550 Permission denied")
        self.assertEqual(os.listdir(self.ro), ["f"])
        self.assertEqual(self.answer(ftp, "CWD //ro//./"), '257 "/ro/" is current directory')
        self.assertEqual(self.answer(ftp, "PWD"), '257 "/ro/" is current directory')
        self.assertEqual(self.retr(ftp, "f"), b"read only")
        self.assertEqual(self.answer(ftp, "DELE f"), "550 Permission denied")

    def test_links_out_of_a_published_folder_count_as_missing(self):
        ftp = self.login()
        for path in ("passwd_link", "chain", "dir_out/../outside/secret.txt", "loop1",
                     "/pub/../passwd_link"):
            self.assertEqual(self.retr(ftp, path), '550 Can\'t read file "%s"' % path, path)
        # Writing through a link out fails; the file outside is untouched.
        self.assertEqual(self.stor(ftp, "passwd_link", b"overwritten"), "425 Data connection reset")
        self.assertEqual(self.stor(ftp, "dir_out/new", b"planted"), "425 Data connection reset")
        with open(os.path.join(self.outside, "secret.txt"), "rb") as src:
            self.assertEqual(src.read(), self.secret)
        self.assertEqual(os.listdir(os.path.join(self.outside, "dir")), [])
        self.assertEqual(self.answer(ftp, "DELE passwd_link"), "550 Delete failed")
        self.assertTrue(os.path.islink(os.path.join(self.root, "passwd_link")))
        self.assertEqual(self.answer(ftp, "MKD dir_out/made"), "550 MKD failed")
        self.assertEqual(self.answer(ftp, "RMD dir_out"), "550 RMD failed")
        self.assertEqual(self.answer(ftp, "CWD dir_out"), '553 Can\'t change directory to "dir_out"')
        # A listing shows the link itself, never what lies outside.
        lines = []
        ftp.retrlines("LIST", lines.append)
        link_line = [line for line in lines if line.endswith(" passwd_link")][0]
        self.assertNotIn(str(len(self.secret)), link_line)
        lines = []
        ftp.retrlines("LIST dir_out", lines.append)
        self.assertEqual(lines, [])
        # Links that stay inside work, and a published folder may be a link.
        self.assertEqual(self.retr(ftp, "rel_in"), b"inside")
        self.assertEqual(self.retr(ftp, "abs_in"), b"inside")
        self.assertEqual(self.retr(ftp, "/pub/f"), b"read only")

    def test_folder_entries_without_flags_or_local_folder_govern_nothing(self):
        ftp = self.login()
        # "/ro/sub" has no flags and no local folder: /ro governs (read only).
        self.assertEqual(self.retr(ftp, "/ro/sub/f"), '550 Can\'t read file "/ro/sub/f"')
        self.assertEqual(self.stor(ftp, "/ro/sub/x", b"x"), "550 Permission denied")
        # An empty local path is not the file system's root.
        self.assertEqual(self.retr(ftp, "/empty/etc/passwd"), '550 Can\'t read file "/empty/etc/passwd"')
        self.assertEqual(self.answer(ftp, "CWD /empty/etc"), '553 Can\'t change directory to "/empty/etc"')

    def test_upload_that_cannot_be_written_fails_at_once(self):
        ftp = self.login()
        # Another upload holds the file: the second one is refused at once.
        first = ftp.transfercmd("STOR held.bin")
        first.sendall(b"first part")
        self.assertTrue(wait_for(lambda: os.path.exists(os.path.join(self.root, "held.bin"))))
        second_ftp = self.login()
        assert_upload_refused_at_once(self, second_ftp, "held.bin", 5)
        first.close()
        self.assertEqual(ftp.voidresp(), "226 Transfer complete")
        with open(os.path.join(self.root, "held.bin"), "rb") as src:
            self.assertEqual(src.read(), b"first part")

    def test_download_cut_by_the_client_is_not_complete(self):
        ftp = self.login()
        self.write(self.root, "big.bin", os.urandom(4 * 1024 * 1024))
        for _ in range(3):
            host, port = ftp.makepasv()
            ftp.putcmd("RETR big.bin")
            self.assertTrue(ftp.getresp().startswith("150 "))
            data = socket.create_connection((host, port), timeout=scaled(10))
            received = 0
            while received < 64 * 1024:
                received += len(data.recv(65536))
            # The client ends its side (a plain close, not a reset) long
            # before the end of the file.
            data.shutdown(socket.SHUT_WR)
            try:
                while chunk := data.recv(65536):
                    received += len(chunk)
            except ConnectionResetError:
                pass
            data.close()
            self.assertLess(received, 4 * 1024 * 1024)
            with self.assertRaises(ftplib.error_temp) as error:
                ftp.voidresp()
            self.assertEqual(str(error.exception), "425 Data connection reset")
        self.assertEqual(self.answer(ftp, "NOOP"), "200 Ok")

    def test_transfers_a_client_may_hold_are_bounded(self):
        ftp = self.login()
        baseline = descriptors(self.server.process.pid)
        for _ in range(4):
            ftp.sendcmd("PASV")
            self.assertTrue(ftp.sendcmd("LIST").startswith("150 "))
        host, port = ftplib.parse227(ftp.sendcmd("PASV"))
        ftp.putcmd("LIST")
        self.assertTrue(ftp.getresp().startswith("150 "))
        with self.assertRaises(ftplib.error_temp) as error:
            ftp.getresp()
        self.assertEqual(str(error.exception), "425 Data connection reset")
        # The refused fifth holds nothing: no listing, no passive port.
        self.assertEqual(len(self.server.temp_listings()), 4)
        self.assertLessEqual(descriptors(self.server.process.pid), baseline + 4)
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection((host, port), timeout=scaled(10)).close()
        ftp.close()
        self.assertTrue(wait_for(lambda: descriptors(self.server.process.pid) <= baseline - 1))
        self.assertTrue(wait_for(lambda: not self.server.temp_listings()))


class OverlappingFolderTests(unittest.TestCase):
    """/ publishes a folder read-write; /archive publishes a folder inside it
    read-only. What lies in the archive stays read-only however it is
    reached: through /arch, or through a link."""

    def start(self, extended):
        server = SkerrowServer(log_level=0, extra_config="[Extended]\nEnabled=%d\n" % extended)
        self.addCleanup(server.cleanup)
        self.root = server.folder("ftp")
        self.arch = os.path.join(self.root, "arch")
        os.makedirs(self.arch)
        with open(os.path.join(self.arch, "record.txt"), "wb") as out:
            out.write(b"record")
        os.symlink("arch", os.path.join(self.root, "shortcut"))
        server.folders = ["/=%s/,1,1" % self.root, "/archive=%s/,0,1" % self.arch]
        server.users = ["admin,pw,1,1"]
        server.start()
        self.server = server
        return logged_in(self, server.port, "admin", "pw")

    def answer(self, ftp, command):
        return answer(ftp, command)

    def test_the_most_restrictive_entry_governs_in_both_modes(self):
        for extended in (0, 1):
            ftp = self.start(extended)
            for path in ("/arch/record.txt", "/shortcut/record.txt", "/archive/record.txt"):
                self.assertEqual(self.answer(ftp, "DELE " + path), "550 Permission denied")
                with self.assertRaises(ftplib.error_perm):
                    ftp.storbinary("STOR " + path, io.BytesIO(b"overwritten"))
            self.assertEqual(self.answer(ftp, "MKD /arch/new"), "550 Permission denied")
            # Reading is what both entries allow.
            blocks = []
            ftp.retrbinary("RETR /arch/record.txt", blocks.append)
            self.assertEqual(b"".join(blocks), b"record")
            with open(os.path.join(self.arch, "record.txt"), "rb") as src:
                self.assertEqual(src.read(), b"record")
            # Elsewhere under / nothing changes.
            ftp.storbinary("STOR /free.txt", io.BytesIO(b"free"))
            self.assertEqual(self.answer(ftp, "DELE /free.txt"), "250 File deleted")

    def test_a_link_out_is_listed_as_unreachable(self):
        ftp = self.start(1)
        outside = self.server.folder("outside")
        with open(os.path.join(outside, "secret.txt"), "wb") as out:
            out.write(b"S" * 4321)
        os.symlink(os.path.join(outside, "secret.txt"), os.path.join(self.root, "out"))
        conn = ftp.transfercmd("MLSD /")
        listing = b""
        while chunk := conn.recv(65536):
            listing += chunk
        conn.close()
        ftp.voidresp()
        line = [l for l in listing.split(b"\r\n") if l.endswith(b" out")][0]
        self.assertIn(b";perm=;", line)
        self.assertNotIn(b"size=", line)
        self.assertNotIn(b"4321", line)

    def test_a_published_folder_cannot_be_renamed_or_changed_through_another_path(self):
        ftp = self.start(1)
        mode = os.stat(self.arch).st_mode
        for command in ("RNFR /arch", "RNFR /shortcut/", "SITE CHMOD 000 /arch",
                        "MFMT 20200102030405 /arch"):
            self.assertTrue(self.answer(ftp, command).startswith("550 "), command)
        ftp.mkd("/other")
        self.assertEqual(ftp.sendcmd("RNFR /other"), "350 Ready for RNTO")
        self.assertTrue(self.answer(ftp, "RNTO /arch").startswith("55"))
        self.assertTrue(os.path.isdir(self.arch))
        self.assertEqual(os.stat(self.arch).st_mode, mode)
        self.assertEqual(sorted(os.listdir(self.arch)), ["record.txt"])


class ResourceTests(unittest.TestCase):
    def start(self, preexec_fn=None, **kwargs):
        server = SkerrowServer(**kwargs)
        self.addCleanup(server.cleanup)
        self.root = server.folder("root")
        server.folders = ["/=%s/,1,1" % self.root]
        server.users = ["admin,pw,1,1"]
        server.start(preexec_fn=preexec_fn)
        return server

    def test_timed_descriptor_exhaustion_waits_without_spinning(self):
        def low_limit():
            resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))
        server = self.start(preexec_fn=low_limit)
        pid = server.process.pid
        # What the start opens after its listening line (the control socket)
        # is in place once a barrier connection has come and gone.
        server.settle()
        baseline = descriptors(pid)
        clients = []
        self.addCleanup(lambda: [c.close() for c in clients])
        # Every descriptor in use; then one more client, which cannot be taken.
        while descriptors(pid) < 64:
            clients.append(socket.create_connection(("127.0.0.1", server.port),
                                                    timeout=scaled(5)))
            self.assertTrue(greeted(clients[-1], scaled(10)))
        waiting = socket.create_connection(("127.0.0.1", server.port), timeout=scaled(5))
        # Exhausted: the server waits instead of spinning on accept.
        before = cpu_seconds(pid)
        time.sleep(1.0)
        self.assertLess(cpu_seconds(pid) - before, 0.1)
        # A connected client is still served.
        clients[0].sendall(b"USER admin\r\n")
        clients[0].settimeout(scaled(5))
        self.assertEqual(clients[0].recv(100), b"331 Enter PASS command\r\n")
        # One leaves: the waiting client is greeted.
        clients.pop().close()
        self.assertTrue(greeted(waiting, scaled(5)))
        waiting.close()
        for sock in clients:
            sock.close()
        clients.clear()
        self.assertTrue(wait_for(lambda: descriptors(pid) == baseline), descriptors(pid))
        fresh = socket.create_connection(("127.0.0.1", server.port), timeout=scaled(5))
        self.assertTrue(greeted(fresh, scaled(5)))
        fresh.close()

    def test_a_passive_transfer_that_waited_for_descriptors_completes(self):
        limit = 64
        server = self.start(preexec_fn=lambda: resource.setrlimit(
            resource.RLIMIT_NOFILE, (limit, limit)))
        pid = server.process.pid
        payload = os.urandom(300000)
        with open(os.path.join(self.root, "file.bin"), "wb") as out:
            out.write(payload)
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", server.port, timeout=scaled(20))
        self.addCleanup(ftp.close)
        ftp.login("admin", "pw")
        ftp.sendcmd("TYPE I")
        # One passive transfer first, with descriptors to spare: the
        # sanitizer build checks the type behind a virtual call the first
        # time through a pipe, which it cannot make once none is left.
        blocks = []
        ftp.retrbinary("RETR file.bin", blocks.append)
        self.assertEqual(b"".join(blocks), payload)
        # So does a session's end, which a connection refused for want of a
        # descriptor goes through.
        server.settle()
        host, port = ftplib.parse227(ftp.sendcmd("PASV"))
        ftp.putcmd("RETR file.bin")
        self.assertEqual(ftp.getresp(), '150 Opening data connection for retr "/file.bin"')
        # Every descriptor of the server in use, none waiting to be accepted.
        clients = []
        self.addCleanup(lambda: [c.close() for c in clients])
        while descriptors(pid) < limit:
            clients.append(socket.create_connection(("127.0.0.1", server.port),
                                                    timeout=scaled(10)))
            self.assertTrue(greeted(clients[-1], scaled(10)))
        # The data connection waits in the passive listener's backlog.
        data = socket.create_connection((host, port), timeout=scaled(20))
        self.addCleanup(data.close)
        # One descriptor comes free: the connection takes it (its listener
        # goes), and opening the file, which takes two (the published folder
        # and the file), waits for the next instead of failing.
        clients.pop().close()
        self.assertTrue(wait_for(lambda: not listening_on(port)))
        clients.pop().close()
        received = b""
        while chunk := data.recv(65536):
            received += chunk
        self.assertEqual(received, payload)
        self.assertEqual(ftp.getresp(), "226 Transfer complete")

    def test_listings_of_a_killed_server_are_removed_at_the_next_start(self):
        server = self.start()
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", server.port, timeout=scaled(10))
        ftp.login("admin", "pw")
        ftp.sendcmd("PASV")
        ftp.putcmd("LIST")
        self.assertTrue(ftp.getresp().startswith("150 "))
        self.assertEqual(len(server.temp_listings()), 1)
        # Killed with the listing waiting for its data connection.
        server.stop(signal.SIGKILL)
        ftp.close()
        self.assertEqual(len(server.temp_listings()), 1)
        # The listings live in a folder private to the user.
        folder = os.path.dirname(os.path.dirname(
            [os.path.join(d, f) for d, _, fs in os.walk(server.tmp) for f in fs
             if f.startswith("FLS")][0]))
        self.assertEqual(os.stat(folder).st_mode & 0o777, 0o700)
        server.start()
        self.assertEqual(server.temp_listings(), [])
        server.stop()
        self.assertEqual(os.listdir(folder), [])

    def test_upload_past_the_file_size_limit_fails_at_once(self):
        def small_files():
            resource.setrlimit(resource.RLIMIT_FSIZE, (1024 * 1024, 1024 * 1024))
        server = self.start(preexec_fn=small_files)
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", server.port, timeout=scaled(10))
        self.addCleanup(ftp.close)
        ftp.login("admin", "pw")
        ftp.sendcmd("TYPE I")
        assert_upload_refused_at_once(self, ftp, "big.bin", 5)
        self.assertEqual(ftp.sendcmd("NOOP"), "200 Ok")

    @unittest.skipUnless(os.geteuid() == 0, "mounts a small file system of its own (root)")
    def test_a_disk_that_fills_during_an_upload_fails_it_at_once(self):
        import ctypes
        libc = ctypes.CDLL(None, use_errno=True)

        def small_disk():
            # The server alone sees a 4 MiB file system over its folder.
            clone_newns, ms_rec, ms_private = 0x00020000, 0x4000, 0x40000
            if (libc.unshare(clone_newns) != 0
                    or libc.mount(None, b"/", None, ms_rec | ms_private, None) != 0
                    or libc.mount(b"tmpfs", self.root.encode(), b"tmpfs", 0, b"size=4m") != 0):
                os._exit(70)
        server = self.start(preexec_fn=small_disk)
        for binary in (True, False):
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", server.port, timeout=scaled(10))
            self.addCleanup(ftp.close)
            ftp.login("admin", "pw")
            # In TYPE I the bytes go through a pipe without a copy; in TYPE A
            # through the process: either way the upload ends at once.
            ftp.sendcmd("TYPE I" if binary else "TYPE A")
            assert_upload_refused_at_once(self, ftp, "full%d.bin" % binary, scaled(5))
            self.assertEqual(ftp.sendcmd("DELE full%d.bin" % binary), "250 File deleted")
            self.assertEqual(ftp.sendcmd("NOOP"), "200 Ok")

    def test_ports_outside_the_tcp_range_do_not_start(self):
        for port in (0, -1, 65536, 70000, 92146):
            server = SkerrowServer()
            self.addCleanup(server.cleanup)
            server.port = port
            server.write_settings()
            env = dict(os.environ, XDG_CONFIG_HOME=server.config_home, HOME=server.home,
                       TMPDIR=server.tmp)
            env.pop("DISPLAY", None)
            result = subprocess.run([BINARY, "--headless"], env=env, capture_output=True,
                                    timeout=scaled(30), cwd=server.root)
            self.assertEqual(result.returncode, 1, port)
            self.assertIn(b"Error: no es posible iniciar Skerrow\n", result.stdout)
            self.assertNotIn(b"puerto", result.stdout)

    def test_log_that_makes_the_cut_reaches_standard_output(self):
        server = self.start(log_level=2)
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", server.port, timeout=scaled(10))
        self.addCleanup(ftp.close)
        ftp.login("admin", "pw")
        for i in range(1500):
            ftp.sendcmd("NOOP marker-%d" % i)
        ftp.quit()
        self.assertTrue(server.wait_output("Conexión a 127.0.0.1 closed\n"))
        output = server.output()
        missing = [i for i in range(1500) if b"NOOP marker-%d\r\n" % i not in output]
        self.assertEqual(missing[:10], [])


# Starts the server (argv[1]) as its child and never reaps it while it
# runs: killed, the server stays a zombie until this parent's standard
# input closes. Prints the server's process id.
ZOMBIE_PARENT = r"""
import os, sys
pid = os.fork()
if pid == 0:
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.execv(sys.argv[1], [sys.argv[1], "--headless"])
print(pid, flush=True)
sys.stdin.read()
os.waitpid(pid, 0)
"""


def process_state(pid):
    try:
        with open("/proc/%d/stat" % pid) as stat:
            return stat.read().rsplit(")", 1)[1].split()[0]
    except OSError:
        return None


class ListingFolderTests(unittest.TestCase):
    """Where the listings are written: a folder of the server's own that no
    other user can take first, swept after a server that died."""

    def server(self, extended=True):
        server = SkerrowServer(extra_config="[Extended]\nEnabled=1\n" if extended else "")
        self.addCleanup(server.cleanup)
        self.root = server.folder("root")
        with open(os.path.join(self.root, "a.txt"), "wb") as out:
            out.write(b"a")
        server.folders = ["/=%s/,1,1" % self.root]
        server.users = ["admin,pw,1,1"]
        return server

    def listings(self, ftp):
        """LIST, NLST, MLSD and STAT of the root: what each answered."""
        lines = []
        ftp.retrlines("LIST", lines.append)
        names = ftp.nlst()
        facts = [name for name, entry in ftp.mlsd() if entry.get("type") == "file"]
        status = ftp.sendcmd("STAT /")
        return lines, names, facts, status

    def test_a_planted_user_folder_leaves_listings_working_with_one_log_line(self):
        server = self.server()
        planted = os.path.join(server.tmp, "skerrow-%d" % os.geteuid())
        if os.geteuid() == 0:
            # Another user's, made first in the temporary folder.
            os.mkdir(planted, 0o777)
            os.chown(planted, 12345, 12345)
            why = "es del usuario 12345"
        else:
            os.symlink(server.folder("elsewhere"), planted)
            why = "es un enlace"
        server.start()
        ftp = logged_in(self, server.port, "admin", "pw")
        for _ in range(2):
            lines, names, facts, status = self.listings(ftp)
            self.assertEqual(len(lines), 1, lines)
            self.assertTrue(lines[0].endswith(" a.txt"), lines)
            self.assertEqual(names, ["a.txt"])
            self.assertEqual(facts, ["a.txt"])
            self.assertIn(" a.txt\n", status)
        log = server.settle()
        line = re.escape("La carpeta %s no es propia y privada (%s): los listados se escriben en "
                         % (planted, why)) + r"(.*)\n"
        self.assertEqual(len(re.findall(line, log)), 1, log)
        folder = re.search(line, log).group(1)
        self.assertEqual(os.path.dirname(folder), server.tmp)
        self.assertEqual(os.lstat(folder).st_mode & 0o7777, 0o700)
        self.assertEqual(os.listdir(os.path.realpath(planted)), [])
        server.stop()
        self.assertFalse(os.path.exists(folder))

    def test_a_listing_that_cannot_be_written_is_answered_and_logged(self):
        missing = "/nonexistent-skerrow-%d" % os.getpid()
        for extended, reply in ((True, "451 Local error: the listing cannot be written"),
                                (False, '553 Can\'t change directory to ""')):
            server = self.server(extended)
            server.extra_env = {"TMPDIR": missing}
            server.start()
            ftp = logged_in(self, server.port, "admin", "pw")
            commands = ["LIST", "NLST"] + (["MLSD", "STAT /"] if extended else [])
            for command in commands:
                with self.subTest(command=command, extended=extended):
                    if command.startswith("STAT"):
                        self.assertEqual(answer(ftp, command), reply)
                    else:
                        with self.assertRaises(ftplib.Error) as error:
                            ftp.retrlines(command)
                        self.assertEqual(str(error.exception), reply)
            self.assertEqual(ftp.sendcmd("NOOP"), "200 Ok")
            server.expect_count("Listado de / no escrito en la carpeta temporal: "
                                "No such file or directory\n", len(commands))
            server.stop()

    def test_a_listing_cut_short_by_the_file_size_limit_is_answered_and_logged(self):
        server = self.server()
        for i in range(4000):
            open(os.path.join(self.root, "%04d-%s" % (i, "n" * 120)), "wb").close()

        def small_files():
            resource.setrlimit(resource.RLIMIT_FSIZE, (128 * 1024, 128 * 1024))
        server.start(preexec_fn=small_files)
        ftp = logged_in(self, server.port, "admin", "pw")
        for command in ("LIST", "MLSD"):
            with self.subTest(command):
                # Refused at once, or after its 150 once the limit is met:
                # 451 all the same.
                with self.assertRaises(ftplib.error_temp) as error:
                    ftp.retrlines(command, lambda line: None)
                self.assertEqual(str(error.exception),
                                 "451 Local error: the listing cannot be written")
        self.assertEqual(ftp.sendcmd("NOOP"), "200 Ok")
        server.expect_count("Listado de / no escrito en la carpeta temporal: "
                            "File too large\n", 2)

    def test_a_zombies_listing_folder_goes_at_the_next_start(self):
        server = self.server(extended=False)
        reservation = PortReservation()
        self.addCleanup(reservation.release)
        server.port = reservation.port
        server.write_settings()
        env = dict(os.environ, XDG_CONFIG_HOME=server.config_home, HOME=server.home,
                   TMPDIR=server.tmp, LC_ALL="C.UTF-8")
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR"):
            env.pop(name, None)
        parent = subprocess.Popen([sys.executable, "-c", ZOMBIE_PARENT, BINARY], env=env,
                                  cwd=server.root, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL)
        self.addCleanup(parent.stdout.close)
        self.addCleanup(parent.wait, timeout=scaled(30))
        self.addCleanup(parent.stdin.close)
        pid = int(parent.stdout.readline())
        self.addCleanup(lambda: process_state(pid) not in (None, "Z") and os.kill(pid, 9))
        user = os.path.join(server.tmp, "skerrow-%d" % os.geteuid())

        def folders():
            return [name for name in os.listdir(user) if name.startswith("listings-")] \
                if os.path.isdir(user) else []
        self.assertTrue(wait_for(lambda: listening_on(server.port)))
        reservation.release()
        self.assertEqual(len(folders()), 1)
        zombie = folders()[0]
        os.kill(pid, signal.SIGKILL)
        self.assertTrue(wait_for(lambda: process_state(pid) == "Z"))
        server.start()
        # The process is still there, a zombie, and its folder has gone.
        self.assertEqual(process_state(pid), "Z")
        self.assertNotIn(zombie, folders())
        self.assertEqual(len(folders()), 1)
        server.stop()
        self.assertEqual(folders(), [])


class UndrainedOutputTests(unittest.TestCase):
    def test_standard_output_nobody_reads_never_freezes_the_server(self):
        server = SkerrowServer(log_level=2)
        self.addCleanup(server.cleanup)
        root = server.folder("root")
        server.folders = ["/=%s/,1,1" % root]
        server.users = ["admin,pw,1,1"]
        # Held until the server listens on it: a connection is refused until then.
        reservation = PortReservation()
        self.addCleanup(reservation.release)
        server.port = reservation.port
        server.write_settings()
        env = dict(os.environ, XDG_CONFIG_HOME=server.config_home, HOME=server.home,
                   TMPDIR=server.tmp)
        env.pop("DISPLAY", None)
        process = subprocess.Popen([BINARY, "--headless"], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env=env, cwd=server.root)
        self.addCleanup(lambda: process.poll() is None and process.kill())
        errors = bytearray()

        def read_errors():
            while chunk := process.stderr.read1(4096):
                errors.extend(chunk)
        reader = threading.Thread(target=read_errors, daemon=True)
        reader.start()

        def connect():
            sock = socket.socket()
            sock.settimeout(scaled(5))
            try:
                sock.connect(("127.0.0.1", server.port))
                return sock
            except OSError:
                sock.close()
                return None
        self.assertTrue(wait_for(lambda: (lambda s: s and (s.close() or True))(connect())))
        reservation.release()
        # An unauthenticated client makes the log grow well past what the
        # pipe and the queue hold, and is answered all the way.
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", server.port, timeout=scaled(5))
        self.addCleanup(ftp.close)
        long_word = "x" * 2000
        started = time.monotonic()
        for _ in range(1500):
            with self.assertRaises(ftplib.error_perm):
                ftp.sendcmd("NOOP " + long_word)
        self.assertLess(time.monotonic() - started, scaled(20))
        other = ftplib.FTP()
        other.connect("127.0.0.1", server.port, timeout=scaled(5))
        self.assertEqual(other.login("admin", "pw"), "230 Logged in")
        other.close()
        # Once read, the queue drains and the loss is reported once.
        out = bytearray()
        drain = threading.Thread(target=lambda: out.extend(process.stdout.read()), daemon=True)
        drain.start()
        self.assertTrue(wait_for(lambda: b"bytes del registro\n" in errors, 20), errors)
        process.terminate()
        self.assertEqual(process.wait(timeout=scaled(15)), 0)
        drain.join(scaled(5))
        reader.join(scaled(5))
        dropped = [line for line in errors.decode().splitlines() if "descartaron" in line]
        self.assertEqual(len(dropped), 1, errors)
        self.assertRegex(dropped[0], r"^skerrow: salida estándar llena: se descartaron \d+ "
                                     r"bytes del registro$")
        self.assertTrue(b"FTP versi\xc3\xb3n 0.7 parado" in out, out[-300:])


if __name__ == "__main__":
    unittest.main()
