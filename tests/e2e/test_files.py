"""Files over FTP end to end, driven by Python's ftplib."""

import ftplib
import io
import os
import resource
import socket
import threading
import time
import unittest

from skerrow_server import scaled, SkerrowServer, wait_for

BINARY_DATA = bytes(range(256)) * 41 + b"\r\n\x1a\r\n tail"


class FilesTests(unittest.TestCase):
    def setUp(self):
        server = SkerrowServer(log_level=2)
        self.addCleanup(server.cleanup)
        self.root = server.folder("root")
        self.ro = server.folder("readonly")
        self.wo = server.folder("writeonly")
        self.outside = server.folder("outside")
        with open(os.path.join(self.outside, "secret.txt"), "w") as out:
            out.write("secret")
        server.folders = ["/=%s/,1,1" % self.root, "/ro=%s/,0,1" % self.ro,
                          "/wo=%s/,1,0" % self.wo, "/deep/er=%s/,1,1" % self.ro]
        server.users = ["anonymous,,0,1", "admin,pw,1,1", "uploader,up,1,0"]
        server.start()
        self.server = server
        self.write(self.root, "data.bin", BINARY_DATA)
        self.write(self.root, "text.txt", b"one\r\ntwo\r\nthree\r\n")
        self.write(self.ro, "ro.txt", b"read only")
        os.makedirs(os.path.join(self.root, "sub"))

    def tearDown(self):
        # Whatever happened, no temporary listing stays behind.
        self.assertTrue(wait_for(lambda: not self.server.temp_listings(), 5),
                        self.server.temp_listings())

    @staticmethod
    def write(folder, name, data):
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)

    @staticmethod
    def read(folder, name):
        with open(os.path.join(folder, name), "rb") as src:
            return src.read()

    def login(self, user="admin", password="pw"):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.server.port, timeout=scaled(10))
        self.addCleanup(ftp.close)
        ftp.login(user, password)
        return ftp

    def retr(self, ftp, command, rest=None):
        chunks = []
        ftp.retrbinary(command, chunks.append, rest=rest)
        return b"".join(chunks)

    @staticmethod
    def raw_retr(ftp, command):
        """Downloads in the type already set (ftplib would switch to I)."""
        conn = ftp.transfercmd(command)
        data = b""
        while chunk := conn.recv(65536):
            data += chunk
        conn.close()
        ftp.voidresp()
        return data

    @staticmethod
    def raw_stor(ftp, command, data):
        conn = ftp.transfercmd(command)
        conn.sendall(data)
        conn.close()
        return ftp.voidresp()

    @staticmethod
    def final_reply(ftp):
        try:
            return ftp.getresp()
        except ftplib.Error as error:
            return str(error)

    def refused(self, ftp, command):
        with self.assertRaises(ftplib.Error) as error:
            ftp.sendcmd(command)
        return str(error.exception)

    # Downloads and uploads -------------------------------------------------

    def test_binary_download_and_upload_are_byte_exact(self):
        ftp = self.login()
        self.assertEqual(ftp.sendcmd("TYPE I"), "200 Type I OK")
        self.assertEqual(self.retr(ftp, "RETR data.bin"), BINARY_DATA)
        self.assertEqual(ftp.lastresp, "226")
        big = os.urandom(3 * 1024 * 1024 + 17)
        self.assertEqual(ftp.storbinary("STOR up.bin", io.BytesIO(big)), "226 Transfer complete")
        self.assertEqual(self.read(self.root, "up.bin"), big)
        self.assertEqual(self.retr(ftp, "RETR up.bin"), big)
        self.server.expect("Enviando %s/data.bin\n" % self.root,
                           "Recibiendo %s/up.bin\n" % self.root,
                           '150 Opening data connection for retr "/data.bin"\r\n',
                           '150 Opening data connection for stor "/up.bin"\r\n')

    def test_ascii_transfers_translate_line_ends(self):
        ftp = self.login()
        self.assertEqual(ftp.sendcmd("TYPE A"), "200 Type A OK")
        lines = []
        ftp.retrlines("RETR text.txt", lines.append)
        self.assertEqual(lines, ["one", "two", "three"])
        # Raw bytes of an ASCII download: CR LF became LF, Ctrl-Z ended it.
        self.assertEqual(self.raw_retr(ftp, "RETR text.txt"), b"one\ntwo\nthree\n")
        self.assertEqual(self.raw_retr(ftp, "RETR data.bin"),
                         BINARY_DATA.split(b"\x1a")[0].replace(b"\r\n", b"\n"))
        # An ASCII upload stores LF as CR LF and keeps a client's CR LF.
        self.raw_stor(ftp, "STOR up.txt", b"a\nb\r\nc\rd\n")
        self.assertEqual(self.read(self.root, "up.txt"), b"a\r\nb\r\nc\rd\r\n")
        self.assertEqual(ftp.sendcmd("TYPE L 8"), "200 Type  8 OK")
        self.assertEqual(self.raw_retr(ftp, "RETR text.txt"), b"one\r\ntwo\r\nthree\r\n")
        self.assertEqual(ftp.sendcmd("TYPE A N"), "200 Type A N OK")

    def test_restart_offsets(self):
        ftp = self.login()
        ftp.sendcmd("TYPE I")
        self.assertEqual(self.retr(ftp, "RETR data.bin", rest=1000), BINARY_DATA[1000:])
        # The offset is used up by its transfer.
        self.assertEqual(self.retr(ftp, "RETR data.bin"), BINARY_DATA)
        self.assertEqual(self.retr(ftp, "RETR data.bin", rest=len(BINARY_DATA)), b"")
        self.assertEqual(ftp.lastresp, "226")
        self.assertEqual(self.retr(ftp, "RETR data.bin", rest=10 ** 12), b"")
        with self.assertRaises(ftplib.error_temp) as error:
            self.retr(ftp, "RETR data.bin", rest=-5)
        self.assertEqual(str(error.exception), "425 Data connection reset")
        self.write(self.root, "resume.bin", b"0123456789")
        ftp.storbinary("STOR resume.bin", io.BytesIO(b"ab"), rest=3)
        self.assertEqual(self.read(self.root, "resume.bin"), b"012ab56789")
        ftp.storbinary("STOR resume.bin", io.BytesIO(b"new"))
        self.assertEqual(self.read(self.root, "resume.bin"), b"new")
        self.assertEqual(ftp.sendcmd("REST 5000000000"), "350 Restarting at 5000000000 ok")

    def test_passive_both_orders_and_active(self):
        ftp = self.login()
        ftp.sendcmd("TYPE I")
        # Transfer command first, connection afterwards.
        host, port = ftp.makepasv()
        self.assertEqual(host, "127.0.0.1")
        ftp.putcmd("RETR data.bin")
        self.assertEqual(ftp.getresp(), '150 Opening data connection for retr "/data.bin"')
        data = socket.create_connection((host, port), timeout=scaled(10))
        received = b""
        while chunk := data.recv(65536):
            received += chunk
        data.close()
        self.assertEqual(received, BINARY_DATA)
        self.assertEqual(ftp.getresp(), "226 Transfer complete")
        # The listener served its one connection.
        with self.assertRaises(OSError):
            socket.create_connection((host, port), timeout=scaled(2)).recv(1)
        # A second PASV replaces the first: only the new port is used.
        first = ftp.makepasv()
        second = ftp.makepasv()
        self.assertNotEqual(first, second)
        self.assertEqual(self.retr(ftp, "RETR data.bin"), BINARY_DATA)
        # Active mode.
        ftp.set_pasv(False)
        self.assertEqual(self.retr(ftp, "RETR data.bin"), BINARY_DATA)
        ftp.storbinary("STOR active.bin", io.BytesIO(b"active upload"))
        self.assertEqual(self.read(self.root, "active.bin"), b"active upload")

    def test_port_arguments(self):
        ftp = self.login()
        self.assertEqual(self.refused(ftp, "PORT 127,0,0,1,4"), "501 Bad port syntax")
        self.assertEqual(ftp.sendcmd("PORT 127,0,0,1,4,1"), "200 Port command okay")
        # No bouncing to other hosts or to privileged ports.
        self.assertEqual(self.refused(ftp, "PORT 10,1,2,3,4,1"), "550 Permission denied")
        self.assertEqual(self.refused(ftp, "PORT 127,0,0,1,0,21"), "550 Permission denied")
        # After a refused PORT the data address is zero: the transfer fails.
        ftp.putcmd("RETR data.bin")
        self.assertEqual(ftp.getresp(), '150 Opening data connection for retr "/data.bin"')
        with self.assertRaises(ftplib.error_temp) as error:
            ftp.getresp()
        self.assertEqual(str(error.exception), "425 Data connection reset")

    def test_active_connection_refused(self):
        ftp = self.login()
        # Bound but not listening: a connection to it is refused, and no one
        # else can be handed the port while the test runs.
        probe = socket.socket()
        self.addCleanup(probe.close)
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        ftp.sendcmd("PORT 127,0,0,1,%d,%d" % (port >> 8, port & 255))
        ftp.putcmd("LIST")
        self.assertTrue(ftp.getresp().startswith('150 Opening data connection for list "'))
        with self.assertRaises(ftplib.error_temp):
            ftp.getresp()
        self.assertEqual(ftp.sendcmd("NOOP"), "200 Ok")

    def test_passive_port_is_only_for_the_client(self):
        ftp = self.login()
        ftp.sendcmd("TYPE I")
        host, port = ftp.makepasv()
        ftp.putcmd("RETR data.bin")
        ftp.getresp()
        stranger = socket.socket()
        stranger.bind(("127.0.0.2", 0))
        stranger.settimeout(scaled(10))
        stranger.connect((host, port))
        self.assertEqual(stranger.recv(10), b"")  # turned away
        stranger.close()
        data = socket.create_connection((host, port), timeout=scaled(10))
        received = b""
        while chunk := data.recv(65536):
            received += chunk
        data.close()
        self.assertEqual(received, BINARY_DATA)
        self.assertEqual(ftp.getresp(), "226 Transfer complete")

    def test_two_transfers_at_once_on_one_connection(self):
        ftp = self.login()
        ftp.sendcmd("TYPE I")
        # Larger than the socket buffers of both ends can hold, so the first
        # transfer is still running when the second command is answered.
        big = os.urandom(32 * 1024 * 1024)
        self.write(self.root, "big.bin", big)
        first = ftp.transfercmd("RETR big.bin")
        second = ftp.transfercmd("RETR data.bin")

        def drain(sock, out):
            while chunk := sock.recv(65536):
                out.append(chunk)
            sock.close()
        parts = ([], [])
        threads = [threading.Thread(target=drain, args=(s, p)) for s, p in zip((first, second), parts)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(scaled(30))
        self.assertEqual(b"".join(parts[0]), big)
        self.assertEqual(b"".join(parts[1]), BINARY_DATA)
        self.assertEqual(ftp.getresp(), "226 Transfer complete")
        self.assertEqual(ftp.getresp(), "226 Transfer complete")

    # Listings --------------------------------------------------------------

    def test_list_and_nlst(self):
        ftp = self.login()
        os.chmod(os.path.join(self.ro, "ro.txt"), 0o444)
        lines = []
        ftp.retrlines("LIST", lines.append)
        self.assertEqual(lines[0][:41], "dr-x------   1 ftp      users          0 ")
        self.assertTrue(lines[0].endswith(" ro"))
        self.assertTrue(lines[1].endswith(" wo"))
        self.assertTrue(lines[2].endswith(" deep"))
        by_name = {line[54:]: line for line in lines[3:]}
        self.assertEqual(set(by_name), {".", "..", "data.bin", "text.txt", "sub"})
        self.assertTrue(by_name["data.bin"].startswith(
            "-rwx------   1 ftp      users %10d " % len(BINARY_DATA)))
        self.assertTrue(by_name["sub"].startswith("drwx------"))
        self.assertRegex(by_name["data.bin"][40:54], r"^ [A-Z][a-z]{2} \d\d \d\d:\d\d $")
        names = ftp.nlst("/ro")
        self.assertEqual(sorted(names), [".", "..", "ro.txt"])
        lines = []
        ftp.retrlines("LIST /ro", lines.append)
        self.assertTrue([l for l in lines if l.endswith(" ro.txt")][0].startswith("-r-x------"))
        # Options are folder names: LIST -l lists a folder called "-l".
        lines = []
        self.assertEqual(ftp.retrlines("LIST -l", lines.append), "226 Transfer complete")
        self.assertEqual(lines, [])
        # A folder that is only part of a folder-map entry lists that entry.
        self.assertEqual(ftp.nlst("/deep"), ["er"])
        self.server.expect_regex(r'150 Opening data connection for list "%s/[^"]*FLS[^"]+"\r\n'
                                 % self.server.tmp)
        self.server.expect_regex(r'150 Opening data connection for nlst "%s/[^"]*FLS[^"]+"\r\n'
                                 % self.server.tmp)

    def test_listing_lines_end_in_a_single_lf_in_any_type(self):
        ftp = self.login()
        for type_ in ("A", "I"):
            ftp.sendcmd("TYPE " + type_)
            raw = self.raw_retr(ftp, "NLST /ro")
            self.assertEqual(sorted(raw.split(b"\n")), [b"", b".", b"..", b"ro.txt"])
            self.assertNotIn(b"\r", raw)

    def test_listing_of_an_unmapped_path_holds_only_the_folder_map(self):
        server = self.server
        ftp = self.login()
        ftp.cwd("/sub")  # moves the working directory of the process
        ftp.sendcmd("TYPE I")
        self.assertEqual(self.retr(ftp, "NLST /deep/"), b"er\n")
        self.assertEqual(server.temp_listings(), [])

    # Directories -----------------------------------------------------------

    def test_pwd_cwd_cdup(self):
        ftp = self.login("anonymous", "x")
        self.assertEqual(ftp.sendcmd("CWD sub"), '257 "/sub/" is current directory')
        self.assertEqual(ftp.sendcmd("PWD"), '257 "/sub/" is current directory')
        self.assertEqual(ftp.sendcmd("CDUP"), '257 "/" is current directory')
        self.assertEqual(ftp.sendcmd("CDUP"), '257 "/" is current directory')
        self.assertEqual(ftp.sendcmd("CWD /a/./b/../../sub"), '257 "/sub/" is current directory')
        self.assertEqual(ftp.sendcmd("CWD ..\\ro"), '257 "/ro/" is current directory')
        self.assertEqual(self.refused(ftp, "CWD /missing"), '553 Can\'t change directory to "/missing"')
        self.assertEqual(self.refused(ftp, "CWD /deep"), '553 Can\'t change directory to "/deep"')
        self.assertEqual(self.refused(ftp, "CWD data.bin/"), '553 Can\'t change directory to "data.bin/"')
        self.assertEqual(ftp.sendcmd("XPWD"), '257 "/ro/" is current directory')
        self.assertEqual(self.refused(ftp, "CWD"), '500 "cwd" : invalid number of parameters')

    def test_paths_never_leave_the_published_folders(self):
        ftp = self.login()
        rel = os.path.relpath(os.path.join(self.outside, "secret.txt"), self.root)
        for attempt in (rel, "../outside/secret.txt", "..\\..\\outside\\secret.txt",
                        "/../../" + rel, "/./../outside/secret.txt", "....//secret.txt"):
            with self.assertRaises(ftplib.error_perm, msg=attempt) as error:
                self.retr(ftp, "RETR " + attempt)
            self.assertEqual(str(error.exception), '550 Can\'t read file "%s"' % attempt)
            self.assertEqual(self.refused(ftp, "DELE " + attempt), "550 Delete failed")
        self.assertTrue(os.path.exists(os.path.join(self.outside, "secret.txt")))
        self.assertEqual(ftp.nlst("../../../"), ftp.nlst("/"))

    # File commands and permissions -----------------------------------------

    def test_dele_mkd_rmd(self):
        ftp = self.login()
        self.assertEqual(ftp.sendcmd("MKD newdir"), "257 MKD ok")
        self.assertTrue(os.path.isdir(os.path.join(self.root, "newdir")))
        self.assertEqual(self.refused(ftp, "MKD newdir"), "550 MKD failed")
        self.assertEqual(self.refused(ftp, "MKD no/such/parent"), "550 MKD failed")
        self.write(os.path.join(self.root, "newdir"), "f", b"x")
        self.assertEqual(self.refused(ftp, "RMD newdir"), "550 RMD failed")
        self.assertEqual(self.refused(ftp, "DELE newdir"), "550 Delete failed")
        self.assertEqual(ftp.sendcmd("DELE newdir/f"), "250 File deleted")
        self.assertEqual(ftp.sendcmd("Rmdir newdir"), "200 RMD ok")
        self.assertEqual(self.refused(ftp, "DELE nothing.txt"), "550 Delete failed")
        # A folder where a file is expected: the transfer fails.
        with self.assertRaises(ftplib.error_temp) as error:
            self.retr(ftp, "RETR sub")
        self.assertEqual(str(error.exception), "425 Data connection reset")
        self.server.expect("Carpeta creada %s/newdir/\n" % self.root,
                           "Borrar archivo %s/newdir/f\n" % self.root,
                           "Quitar carpeta %s/newdir/\n" % self.root)
        # A published folder's own path is refused where the folder refuses.
        self.assertEqual(self.refused(ftp, "RMD /ro"), "550 Permission denied")
        # Where it may be changed, RMD removes the published folder itself,
        # only when it is empty.
        self.assertEqual(self.refused(ftp, "RMD /"), "550 RMD failed")
        self.assertTrue(os.path.isdir(self.root))
        self.write(self.wo, "f", b"x")
        self.assertEqual(self.refused(ftp, "RMD /wo"), "550 RMD failed")
        os.remove(os.path.join(self.wo, "f"))
        self.assertEqual(ftp.sendcmd("RMD /wo/"), "200 RMD ok")
        self.assertFalse(os.path.exists(self.wo))
        self.server.expect("Quitar carpeta %s/\n" % self.wo)
        self.assertEqual(self.refused(ftp, "RMD /wo"), "550 RMD failed")

    def test_permissions_of_user_and_folder(self):
        anonymous = self.login("anonymous", "")
        for command in ("DELE data.bin", "MKD x", "RMD sub"):
            self.assertEqual(self.refused(anonymous, command), "550 Permission denied")
        with self.assertRaises(ftplib.error_perm) as error:
            anonymous.storbinary("STOR new.bin", io.BytesIO(b"x"))
        self.assertEqual(str(error.exception), "550 Permission denied")
        self.assertEqual(self.retr(anonymous, "RETR data.bin"), BINARY_DATA)

        uploader = self.login("uploader", "up")
        with self.assertRaises(ftplib.error_perm):
            self.retr(uploader, "RETR data.bin")
        uploader.storbinary("STOR /wo/u.bin", io.BytesIO(b"up"))
        self.assertEqual(self.read(self.wo, "u.bin"), b"up")
        # Listing and moving need no permission.
        self.assertIn("u.bin", uploader.nlst("/wo"))
        self.assertEqual(uploader.cwd("/ro"), '257 "/ro/" is current directory')

        admin = self.login()
        # The folder refuses even a user who may.
        with self.assertRaises(ftplib.error_perm) as error:
            self.retr(admin, "RETR /wo/u.bin")
        self.assertEqual(str(error.exception), "550 Permission denied")
        with self.assertRaises(ftplib.error_perm):
            admin.storbinary("STOR /ro/x.bin", io.BytesIO(b"x"))
        self.assertEqual(self.refused(admin, "DELE /ro/ro.txt"), "550 Permission denied")
        self.assertEqual(self.retr(admin, "RETR /ro/ro.txt"), b"read only")
        self.assertEqual(self.retr(admin, "RETR /deep/er/ro.txt"), b"read only")
        self.assertEqual(self.refused(admin, "RETR missing.txt"), '550 Can\'t read file "missing.txt"')

    def test_stor_to_an_unmapped_path(self):
        server = SkerrowServer(users=["admin,pw,1,1"], folders=["/pub=%s/,1,1" % self.root])
        self.addCleanup(server.cleanup)
        server.start()
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", server.port, timeout=scaled(10))
        self.addCleanup(ftp.close)
        ftp.login("admin", "pw")
        # Without a root entry nothing outside /pub is governed.
        self.assertEqual(self.refused(ftp, "STOR /x.bin"), "550 Permission denied")
        self.assertEqual(ftp.nlst("/"), ["pub"])
        self.assertEqual(self.refused(ftp, "CWD /nowhere"), '553 Can\'t change directory to "/nowhere"')

    # Faults ----------------------------------------------------------------

    def test_client_abandons_transfers(self):
        ftp = self.login()
        ftp.sendcmd("TYPE I")
        big = os.urandom(8 * 1024 * 1024)
        self.write(self.root, "big.bin", big)
        # Closes the data connection early: the server goes on serving.
        conn = ftp.transfercmd("RETR big.bin")
        conn.recv(1000)
        conn.close()
        self.assertIn(self.final_reply(ftp)[:3], ("226", "425"))
        # An upload reset in the middle is a failure, not a success.
        conn = ftp.transfercmd("STOR partial.bin")
        conn.sendall(b"x" * 100000)
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        conn.close()
        with self.assertRaises(ftplib.error_temp):
            ftp.getresp()
        # Never connecting to a passive port, then leaving: all cleaned up.
        other = self.login()
        other.makepasv()
        other.putcmd("LIST")
        self.assertTrue(other.getresp().startswith("150 "))
        self.assertTrue(wait_for(lambda: len(self.server.temp_listings()) == 1))
        other.close()
        self.assertTrue(wait_for(lambda: not self.server.temp_listings()))
        self.assertEqual(self.retr(ftp, "RETR data.bin"), BINARY_DATA)

    def test_failed_write_ends_with_a_reply(self):
        server = SkerrowServer(users=["admin,pw,1,1"], folders=["/=%s/,1,1" % self.root])
        self.addCleanup(server.cleanup)
        limit = 64 * 1024
        server.start(preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit)))
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", server.port, timeout=scaled(10))
        self.addCleanup(ftp.close)
        ftp.login("admin", "pw")
        ftp.voidcmd("TYPE I")
        conn = ftp.transfercmd("STOR toobig.bin")
        # The server closes a failed upload at once: the sending may end in
        # a broken pipe or a reset before everything is out. Either way the
        # reply is there to read.
        try:
            conn.sendall(b"z" * (limit * 4))
        except (BrokenPipeError, ConnectionResetError):
            pass
        conn.close()
        with self.assertRaises(ftplib.error_temp) as error:
            ftp.voidresp()
        self.assertEqual(str(error.exception), "425 Data connection reset")
        self.assertEqual(ftp.sendcmd("NOOP"), "200 Ok")
        ftp.storbinary("STOR small.bin", io.BytesIO(b"fits"))
        self.assertEqual(self.read(self.root, "small.bin"), b"fits")

    def test_a_file_being_written_cannot_be_read(self):
        ftp = self.login()
        ftp.sendcmd("TYPE I")
        upload = ftp.transfercmd("STOR busy.bin")
        upload.sendall(b"partial")
        reader = self.login()
        reader.sendcmd("TYPE I")
        self.assertTrue(wait_for(lambda: os.path.exists(os.path.join(self.root, "busy.bin"))))
        with self.assertRaises(ftplib.error_temp):
            self.retr(reader, "RETR busy.bin")
        upload.close()
        self.assertEqual(ftp.getresp(), "226 Transfer complete")
        self.assertEqual(self.retr(reader, "RETR busy.bin"), b"partial")


if __name__ == "__main__":
    unittest.main()
