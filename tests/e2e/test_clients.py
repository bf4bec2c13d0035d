"""Real FTP clients against the real program: curl and lftp."""

import filecmp
import os
import subprocess
import unittest

from skerrow_server import scaled, SkerrowServer, wait_for


def tree(root):
    """Relative path -> bytes of every file below root; folders end in /."""
    found = {}
    for folder, dirs, files in os.walk(root):
        rel = os.path.relpath(folder, root)
        for name in dirs:
            found[os.path.normpath(os.path.join(rel, name)) + "/"] = None
        for name in files:
            with open(os.path.join(folder, name), "rb") as src:
                found[os.path.normpath(os.path.join(rel, name))] = src.read()
    return found


class ClientTests(unittest.TestCase):
    def setUp(self):
        server = SkerrowServer(log_level=2)
        self.addCleanup(server.cleanup)
        self.root = server.folder("root")
        self.pub = server.folder("pubfiles")
        self.work = server.folder("client")
        server.folders = ["/=%s/,1,1" % self.root, "/pub=%s/,1,1" % self.pub]
        server.users = ["anonymous,,0,1", "admin,pw,1,1"]
        server.start()
        self.server = server
        self.payload = os.urandom(700 * 1024 + 3)
        with open(os.path.join(self.root, "data.bin"), "wb") as out:
            out.write(self.payload)
        with open(os.path.join(self.pub, "inpub.txt"), "wb") as out:
            out.write(b"under a folder-map entry\n")

    def tearDown(self):
        self.assertTrue(wait_for(lambda: not self.server.temp_listings(), 5))

    def url(self, path, user=None):
        auth = "%s@" % user if user else ""
        return "ftp://%s127.0.0.1:%d%s" % (auth, self.server.port, path)

    def curl(self, *args):
        result = subprocess.run(["curl", "-s", "-S", "--max-time", "%d" % scaled(30)] + list(args),
                                capture_output=True, timeout=scaled(60), cwd=self.work)
        self.assertEqual(result.returncode, 0, result.stderr.decode() + self.server.text()[-3000:])
        return result.stdout

    def lftp(self, commands):
        script = ("set net:max-retries 1; set net:timeout %d; set ftp:passive-mode on; " % scaled(15)
                  + "set cmd:fail-exit yes; set xfer:clobber on; " + commands + "; quit")
        result = subprocess.run(
            ["lftp", "-u", "admin,pw", "-p", str(self.server.port), "-e", script, "127.0.0.1"],
            capture_output=True, timeout=scaled(120), cwd=self.work, stdin=subprocess.DEVNULL,
            env=dict(os.environ, HOME=self.server.home))
        self.assertEqual(result.returncode, 0,
                         result.stderr.decode() + result.stdout.decode() + self.server.text()[-3000:])
        return result.stdout.decode()

    # curl --------------------------------------------------------------------

    def test_curl_download_passive_and_active(self):
        self.assertEqual(self.curl(self.url("/data.bin")), self.payload)
        self.assertEqual(self.curl("-P", "127.0.0.1", self.url("/data.bin")), self.payload)
        self.assertEqual(self.curl(self.url("/pub/inpub.txt")), b"under a folder-map entry\n")
        # curl's probes it does not need get the unknown-command reply.
        self.server.expect('500 Unknown command "epsv"\r\n', '500 Unknown command "eprt"\r\n')

    def test_curl_upload_passive_and_active(self):
        source = os.path.join(self.work, "up.bin")
        with open(source, "wb") as out:
            out.write(self.payload[::-1])
        self.curl("-T", source, self.url("/up.bin", "admin:pw"))
        self.assertTrue(filecmp.cmp(source, os.path.join(self.root, "up.bin"), shallow=False))
        self.curl("-P", "127.0.0.1", "-T", source, self.url("/pub/up2.bin", "admin:pw"))
        self.assertTrue(filecmp.cmp(source, os.path.join(self.pub, "up2.bin"), shallow=False))

    def test_curl_resumes_a_download(self):
        target = os.path.join(self.work, "partial.bin")
        with open(target, "wb") as out:
            out.write(self.payload[:300000])
        self.curl("-C", "-", "-o", target, self.url("/data.bin"))
        with open(target, "rb") as src:
            self.assertEqual(src.read(), self.payload)
        self.server.expect("350 Restarting at 300000 ok\r\n")

    def test_curl_lists_a_directory(self):
        listing = self.curl(self.url("/")).decode()
        lines = listing.split("\n")
        self.assertTrue(lines[0].startswith("dr-x------   1 ftp      users          0 "))
        self.assertTrue(lines[0].endswith(" pub"))
        self.assertIn(" data.bin", listing)
        names = self.curl("--list-only", self.url("/pub/")).decode().split("\n")
        self.assertEqual(sorted(names), ["", ".", "..", "inpub.txt"])

    # lftp --------------------------------------------------------------------

    def test_lftp_ls_mirror_both_ways_and_file_commands(self):
        source = os.path.join(self.root, "tree")
        os.makedirs(os.path.join(source, "a", "b"))
        files = {"top.txt": b"top\n", "a/one.bin": os.urandom(50000),
                 "a/b/two.bin": os.urandom(123457), "a/b/empty": b""}
        for rel, data in files.items():
            with open(os.path.join(source, rel), "wb") as out:
                out.write(data)
        listing = self.lftp("ls")
        self.assertIn("data.bin", listing)
        self.assertIn("pub", listing)

        down = os.path.join(self.work, "down")
        self.lftp("mirror /tree %s" % down)
        self.assertEqual(tree(down), tree(source))

        upload = os.path.join(self.work, "upsrc")
        os.makedirs(os.path.join(upload, "x", "y"))
        up_files = {"u.txt": b"u\n", "x/y/deep.bin": os.urandom(77777)}
        for rel, data in up_files.items():
            with open(os.path.join(upload, rel), "wb") as out:
                out.write(data)
        self.lftp("mirror -R %s /pub/uploaded" % upload)
        self.assertEqual(tree(os.path.join(self.pub, "uploaded")), tree(upload))

        self.lftp("rm /pub/uploaded/u.txt; mkdir /pub/made; rmdir /pub/made")
        self.assertFalse(os.path.exists(os.path.join(self.pub, "uploaded", "u.txt")))
        self.assertFalse(os.path.exists(os.path.join(self.pub, "made")))
        self.server.expect("Carpeta creada %s/made/\n" % self.pub,
                           "Quitar carpeta %s/made/\n" % self.pub)


if __name__ == "__main__":
    unittest.main()
