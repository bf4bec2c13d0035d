"""Today's clients against the extended mode: curl, lftp, wget, ncftp, aria2c,
rclone and Python's ftplib, each doing what it could not do in the classic
mode (rename, resume an upload, keep times and permission bits, list with
options, ABOR, EPSV)."""

import filecmp
import ftplib
import os
import select
import shutil
import socket
import subprocess
import time
import unittest

from skerrow_server import scaled, SkerrowServer, wait_for


def tree(root, with_modes=False):
    """Relative path -> (bytes, mtime, mode) of every file below root."""
    found = {}
    for folder, dirs, files in os.walk(root):
        rel = os.path.relpath(folder, root)
        for name in files:
            path = os.path.join(folder, name)
            info = os.stat(path)
            with open(path, "rb") as src:
                key = os.path.normpath(os.path.join(rel, name))
                found[key] = (src.read(), int(info.st_mtime),
                              info.st_mode & 0o777 if with_modes else None)
    return found


class ExtendedClientTests(unittest.TestCase):
    def setUp(self):
        server = SkerrowServer(log_level=2, extra_config="[Extended]\nEnabled=1\n")
        self.addCleanup(server.cleanup)
        self.root = server.folder("root")
        self.ro = server.folder("ro")
        self.work = server.folder("client")
        server.folders = ["/=%s/,1,1" % self.root, "/ro=%s/,0,1" % self.ro]
        server.users = ["admin,pw,1,1"]
        server.start()
        self.server = server
        self.payload = os.urandom(3 * 1024 * 1024 + 17)
        with open(os.path.join(self.root, "data.bin"), "wb") as out:
            out.write(self.payload)

    def tearDown(self):
        self.assertTrue(wait_for(lambda: not self.server.temp_listings(), 5))

    def url(self, path, user="admin:pw"):
        return "ftp://%s@127.0.0.1:%d%s" % (user, self.server.port, path)

    def run_client(self, args, timeout=scaled(120), ok=True):
        result = subprocess.run(args, capture_output=True, timeout=timeout, cwd=self.work,
                                stdin=subprocess.DEVNULL,
                                env=dict(os.environ, HOME=self.server.home))
        if ok:
            self.assertEqual(result.returncode, 0,
                             "%s\n%s\n%s" % (args[0], result.stderr.decode(errors="replace")
                                             + result.stdout.decode(errors="replace"),
                                             self.server.text()[-3000:]))
        return result

    def curl(self, *args):
        return self.run_client(["curl", "-s", "-S", "--max-time", "%d" % scaled(60)] + list(args)).stdout

    def lftp(self, commands):
        script = ("set net:max-retries 1; set net:timeout %d; set cmd:fail-exit yes; " % scaled(15)
                  + "set xfer:clobber on; " + commands + "; quit")
        return self.run_client(["lftp", "-u", "admin,pw", "-p", str(self.server.port), "-e",
                                script, "127.0.0.1"]).stdout.decode()

    def rclone(self, *args):
        obscured = self.run_client(["rclone", "obscure", "pw"]).stdout.decode().strip()
        remote = ":ftp,host=127.0.0.1,port=%d,user=admin,pass=%s:" % (self.server.port, obscured)
        return self.run_client(["rclone", "--config", "/dev/null", "--retries", "1"]
                               + [arg.replace("R:", remote) for arg in args])

    def login(self):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.server.port, timeout=scaled(30))
        self.addCleanup(ftp.close)
        ftp.login("admin", "pw")
        return ftp

    def write(self, path, data):
        with open(path, "wb") as out:
            out.write(data)

    # rename ------------------------------------------------------------------

    def test_rename_with_curl_lftp_and_rclone(self):
        self.curl("-Q", "-RNFR data.bin", "-Q", "-RNTO renamed.bin", self.url("/"))
        self.assertFalse(os.path.exists(os.path.join(self.root, "data.bin")))
        self.lftp("mv renamed.bin again.bin")
        self.rclone("moveto", "R:again.bin", "R:final.bin")
        with open(os.path.join(self.root, "final.bin"), "rb") as src:
            self.assertEqual(src.read(), self.payload)
        self.assertEqual(sorted(os.listdir(self.root)), ["final.bin"])
        # Into a folder without upload permission: refused, nothing moves.
        result = self.run_client(["curl", "-s", "-Q", "-RNFR final.bin", "-Q", "-RNTO ro/x",
                                  self.url("/")], ok=False)
        self.assertNotEqual(result.returncode, 0)
        self.assertTrue(os.path.exists(os.path.join(self.root, "final.bin")))

    # resume ------------------------------------------------------------------

    def test_upload_resume_with_curl_and_lftp(self):
        source = os.path.join(self.work, "big.bin")
        self.write(source, self.payload)
        self.write(os.path.join(self.root, "big.bin"), self.payload[:1000000])
        self.curl("-C", "-", "-T", source, self.url("/big.bin"))
        self.assertTrue(filecmp.cmp(source, os.path.join(self.root, "big.bin"), shallow=False))
        # curl asks the size, then appends the rest.
        self.server.expect("213 1000000\r\n", "APPE big.bin\r\n")

        self.write(os.path.join(self.root, "big2.bin"), self.payload[:777777])
        self.lftp("put -c %s -o big2.bin" % source)
        self.assertTrue(filecmp.cmp(source, os.path.join(self.root, "big2.bin"), shallow=False))
        self.server.expect("350 Restarting at 777777 ok\r\n")

    # downloads ---------------------------------------------------------------

    def test_aria2c_and_wget_download(self):
        self.run_client(["aria2c", "-q", "--allow-overwrite=true", "-d", self.work,
                         self.url("/data.bin")])
        with open(os.path.join(self.work, "data.bin"), "rb") as src:
            self.assertEqual(src.read(), self.payload)
        os.remove(os.path.join(self.work, "data.bin"))
        result = self.run_client(["wget", "-O", "w.bin", self.url("/data.bin")])
        self.assertIn("Length: %d" % len(self.payload), result.stderr.decode())
        with open(os.path.join(self.work, "w.bin"), "rb") as src:
            self.assertEqual(src.read(), self.payload)

    def test_aria2c_takes_small_files_at_once(self):
        # aria2c waits ten seconds for a 226 that came in the same read as
        # its 150; each small file must come well before that.
        for size in (0, 1, 1000, 64 * 1024):
            data = os.urandom(size)
            self.write(os.path.join(self.root, "s%d.bin" % size), data)
            start = time.monotonic()
            self.run_client(["aria2c", "-q", "--allow-overwrite=true", "-d", self.work,
                             self.url("/s%d.bin" % size)], timeout=scaled(30))
            self.assertLess(time.monotonic() - start, scaled(2), size)
            with open(os.path.join(self.work, "s%d.bin" % size), "rb") as src:
                self.assertEqual(src.read(), data)

    def test_ncftpls_and_curl_list_with_options(self):
        os.makedirs(os.path.join(self.root, "sub"))
        self.write(os.path.join(self.root, "sub", "inner.txt"), b"in\n")
        result = self.run_client(["ncftpls", "-u", "admin", "-p", "pw", "-P",
                                  str(self.server.port), "-1", "ftp://127.0.0.1/"])
        self.assertEqual(sorted(result.stdout.decode().split()), ["data.bin", "ro", "sub"])
        # A file path lists that file; "." and ".." are never listed.
        line = self.curl("-X", "LIST data.bin", self.url("/")).decode()
        self.assertTrue(line.startswith("-rw-") and line.rstrip().endswith(" data.bin"), line)
        self.assertEqual(line.count("\n"), 1)
        names = self.curl("--list-only", self.url("/sub/")).decode()
        self.assertEqual(names.split(), ["inner.txt"])

    # tree copies keep times and bits -----------------------------------------

    def test_lftp_mirror_keeps_times_and_modes(self):
        source = os.path.join(self.root, "tree")
        os.makedirs(os.path.join(source, "a"))
        files = {"top.txt": (b"top\n", 0o640, 1500000000),
                 "a/one.bin": (os.urandom(50000), 0o755, 1600000000)}
        for rel, (data, mode, when) in files.items():
            path = os.path.join(source, rel)
            self.write(path, data)
            os.chmod(path, mode)
            os.utime(path, (when, when))
        down = os.path.join(self.work, "down")
        self.lftp("mirror /tree %s" % down)
        self.assertEqual(tree(down, True), tree(source, True))

        # And back up: times set with MFMT, bits with SITE CHMOD.
        up = os.path.join(self.work, "up")
        shutil.copytree(down, up)
        self.lftp("mirror -R --no-umask %s /back" % up)
        self.assertEqual(tree(os.path.join(self.root, "back"), True), tree(source, True))

    def test_gio_changes_permissions_through_a_gvfs_mount(self):
        # GNOME Files' way: the mount asks SITE HELP, then uses SITE CHMOD
        # when it names CHMOD. The D-Bus session starts gvfs on demand.
        path = os.path.join(self.root, "notes.txt")
        with open(path, "w") as out:
            out.write("notes")
        os.chmod(path, 0o644)
        url = self.url("/", user="admin")
        script = ("set -e\n"
                  "echo pw | gio mount '{0}'\n"
                  "gio info -w '{0}notes.txt'\n"
                  "gio set -t uint32 '{0}notes.txt' unix::mode 384\n"
                  "gio info -a unix::mode '{0}notes.txt'\n"
                  "gio mount -u '{0}'\n").format(url)
        result = subprocess.run(["dbus-run-session", "--", "bash", "-c", script],
                                capture_output=True, timeout=scaled(120), cwd=self.work,
                                env=dict(os.environ, HOME=self.server.home))
        shown = result.stdout.decode(errors="replace")
        self.assertEqual(result.returncode, 0, shown + result.stderr.decode(errors="replace"))
        self.assertIn("unix::mode (uint32", shown)
        self.assertIn("unix::mode: %d" % (0o100600), shown)
        self.assertEqual(os.stat(path).st_mode & 0o777, 0o600)
        self.server.expect("SITE CHMOD 0600 /notes.txt\r\n200 SITE CHMOD ok\r\n")

    def test_rclone_copy_then_check(self):
        source = os.path.join(self.work, "src")
        os.makedirs(os.path.join(source, "d"))
        for rel in ("x.bin", "d/y.bin"):
            self.write(os.path.join(source, rel), os.urandom(200000))
        self.rclone("copy", source, "R:copied")
        self.rclone("check", source, "R:copied")
        back = os.path.join(self.work, "back")
        self.rclone("copy", "R:copied", back)
        self.assertEqual(tree(back), tree(source))

    # ftplib ------------------------------------------------------------------

    def test_ftplib_mlsd_and_abort_during_retr(self):
        ftp = self.login()
        facts = dict(ftp.mlsd())
        self.assertEqual(facts["data.bin"]["type"], "file")
        self.assertEqual(facts["data.bin"]["size"], str(len(self.payload)))
        self.assertEqual(facts["ro"]["type"], "dir")
        self.assertNotIn(".", facts)

        big = os.path.join(self.root, "huge.bin")
        with open(big, "wb") as out:
            out.truncate(2 * 1024 * 1024 * 1024)
        ftp.voidcmd("TYPE I")
        conn = ftp.transfercmd("RETR huge.bin")
        conn.recv(65536)
        reply = ftp.abort()
        self.assertIn(reply[:3], ("426", "225", "226"))
        conn.close()
        # The session goes on: the next command is answered in order.
        ftp.voidresp() if reply.startswith("426") else None
        self.assertEqual(ftp.sendcmd("NOOP"), "200 Ok")
        self.server.expect("ABOR")
        self.assertEqual(ftp.sendcmd("ABOR"), "225 No transfer to abort")

    def test_timed_idle_time_out_spares_a_session_with_a_transfer(self):
        self.server.stop()
        # The server's idle time-out under test, in whole seconds: one, or
        # more on a slow machine, where the gaps between a client's own
        # commands must not reach it.
        idle_seconds = max(1, round(scaled(1)))
        server = SkerrowServer(log_level=1, timeout=idle_seconds,
                               extra_config="[Extended]\nEnabled=1\n")
        self.addCleanup(server.cleanup)
        root = server.folder("root")
        server.folders = ["/=%s/,1,1" % root]
        server.users = ["admin,pw,1,1"]
        server.start()
        self.server = server
        idle = ftplib.FTP()
        idle.connect("127.0.0.1", server.port, timeout=scaled(10))
        self.addCleanup(idle.close)
        idle.login("admin", "pw")
        busy = ftplib.FTP()
        busy.connect("127.0.0.1", server.port, timeout=scaled(10))
        self.addCleanup(busy.close)
        busy.login("admin", "pw")
        # A transfer command waiting for its connection is a transfer pending.
        busy.sendcmd("PASV")
        busy.putcmd("LIST")
        self.assertEqual(busy.getline()[:4], "150 ")
        # A passive port, even with its connection made, carries nothing:
        # it keeps no session awake.
        unused = ftplib.FTP()
        unused.connect("127.0.0.1", server.port, timeout=scaled(10))
        self.addCleanup(unused.close)
        unused.login("admin", "pw")
        host, port = ftplib.parse227(unused.sendcmd("PASV"))
        unused_data = socket.create_connection((host, port), timeout=scaled(10))
        self.addCleanup(unused_data.close)
        self.assertEqual(idle.getline(), "421 Timeout.")
        self.assertEqual(idle.sock.recv(10), b"")
        self.assertEqual(unused.getline(), "421 Timeout.")
        # Another full time-out passes without a word to the busy session.
        ready, _, _ = select.select([busy.sock], [], [], 1.5 * idle_seconds)
        self.assertEqual(ready, [])
        self.assertEqual(busy.sendcmd("NOOP"), "200 Ok")
        # Leaving, it gives back its pending listing.
        busy.close()


if __name__ == "__main__":
    unittest.main()
