"""Speed limits of the extended mode with real clients: the server's
download and upload limits, a user's own limit shared by its transfers,
another user left alone, a limit changed by a reload reaching the running
transfer, TLS and text mode alike, the limit shown by --who, and the
classic mode ignoring the Limits group.

A limit gives a lower bound on a transfer's time, which holds however
loaded the machine is; the upper bounds are generous and stretched by the
suite's time factor."""

import filecmp
import json
import os
import signal
import subprocess
import time
import unittest

from skerrow_server import BINARY, scaled, SkerrowServer, wait_for

MIB = 1024 * 1024


class LimitTests(unittest.TestCase):
    def start(self, limits, extended=True, runtime=False, more=""):
        server = SkerrowServer(extra_config=self.config(limits, extended, more))
        self.addCleanup(server.cleanup)
        self.root = server.folder("root")
        self.work = server.folder("client")
        server.folders = ["/=%s/,1,1" % self.root]
        server.users = ["ana,pw,1,1", "bob,pw,1,1"]
        if runtime:
            self.runtime = server.folder("runtime")
            os.chmod(self.runtime, 0o700)
            server.extra_env = {"XDG_RUNTIME_DIR": self.runtime}
        server.start()
        self.server = server
        return server

    @staticmethod
    def config(limits, extended=True, more=""):
        return "[Extended]\nEnabled=%d\n%s\n[Limits]\n%s\n" % (int(extended), more, limits)

    def file(self, name, size, folder=None):
        """A file of size bytes (sparse: quick to make, its bytes all sent)."""
        path = os.path.join(folder or self.root, name)
        with open(path, "wb") as out:
            out.truncate(size)
        return path

    def url(self, path, user="ana"):
        return "ftp://%s:pw@127.0.0.1:%d%s" % (user, self.server.port, path)

    def curl(self, *args):
        """A curl client started; its output goes to the client folder."""
        return subprocess.Popen(["curl", "-s", "-S", "-o", os.devnull] + list(args),
                                cwd=self.work, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def finish(self, client, timeout):
        """Waits for a curl client to end well; its time since started."""
        try:
            _, errors = client.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            client.kill()
            client.communicate()
            self.fail("curl still running after %.0f s:\n%s" % (timeout, self.server.tail()))
        self.assertEqual(client.returncode, 0, errors.decode(errors="replace"))
        return time.monotonic()

    def who(self, *args):
        env = dict(os.environ, XDG_RUNTIME_DIR=self.runtime, LC_ALL="C.UTF-8")
        return subprocess.run([BINARY, "--who"] + list(args), capture_output=True,
                              timeout=scaled(30), env=env).stdout.decode()

    def test_curl_download_and_upload_held_to_the_server_limits_and_shown_by_who(self):
        # 32 MiB each way at 2 MiB/s: about 16 s, both at once (directions
        # are limited apart).
        self.start("Download=2048\nUpload=2048", runtime=True)
        self.file("down.bin", 32 * MIB)
        source = self.file("up.bin", 32 * MIB, self.work)
        started = time.monotonic()
        download = self.curl(self.url("/down.bin"))
        upload = self.curl("-T", source, self.url("/up.bin"))
        # Both under way, each held to the limit, as --who says.
        self.assertTrue(wait_for(lambda: self.who().count("limitada a 2.0 MB/s") == 2, 10),
                        self.who())
        limits = [transfer.get("limit") for session in json.loads(self.who("--json"))["sessions"]
                  for transfer in session["transfers"]]
        self.assertEqual(limits, [2 * MIB, 2 * MIB])
        download_end = self.finish(download, scaled(60))
        upload_end = self.finish(upload, scaled(60))
        # 10 % below the limit's 16 s is the lower bound.
        self.assertGreaterEqual(download_end - started, 14.4)
        self.assertGreaterEqual(upload_end - started, 14.4)
        self.assertLessEqual(max(download_end, upload_end) - started, scaled(30))
        self.assertTrue(filecmp.cmp(source, os.path.join(self.root, "up.bin"), shallow=False))

    def test_a_users_transfers_share_its_limit_and_another_user_is_not_slowed(self):
        self.start("User.ana=512,0")
        self.file("a.bin", 1 * MIB)
        self.file("b.bin", 1 * MIB)
        self.file("big.bin", 32 * MIB)
        started = time.monotonic()
        first = self.curl(self.url("/a.bin"))
        second = self.curl(self.url("/b.bin"))
        # Bob has no limit: 32 MiB would take a minute at ana's.
        other = self.curl(self.url("/big.bin", user="bob"))
        other_end = self.finish(other, scaled(60))
        self.assertLess(other_end - started, scaled(10))
        last_end = max(self.finish(first, scaled(60)), self.finish(second, scaled(60)))
        # Two MiB through ana's 512 KiB/s take 4 s, however they share it.
        self.assertGreaterEqual(last_end - started, 3.6)

    def test_a_reload_reaches_the_running_transfer(self):
        # 64 MiB at 256 KiB/s would take more than four minutes.
        self.start("Download=256", runtime=True)
        self.file("big.bin", 64 * MIB)
        download = self.curl(self.url("/big.bin"))
        self.assertTrue(wait_for(lambda: "limitada a 256 KB/s" in self.who()), self.who())
        self.server.extra_config = self.config("Download=0")
        self.server.write_settings()
        reloads = self.server.text().count("Configuración recargada")
        self.server.process.send_signal(signal.SIGHUP)
        self.assertTrue(wait_for(
            lambda: self.server.text().count("Configuración recargada") > reloads))
        reloaded = time.monotonic()
        self.assertLess(self.finish(download, scaled(120)) - reloaded, scaled(30))

    def test_tls_and_text_mode_are_held_alike(self):
        self.start("User.ana=256,256\nUser.bob=256,0", more="TlsMode=1")
        cert = os.path.join(self.server.config_home, "Orvane", "skerrow-cert.pem")
        self.assertTrue(wait_for(lambda: os.path.exists(cert)))
        with open(os.path.join(self.root, "text.txt"), "wb") as out:
            out.write(b"a line of text\n" * (MIB // 15))
        self.file("tls.bin", 1 * MIB)
        source = self.file("tls-up.bin", 1 * MIB, self.work)
        tls = ["--ssl-reqd", "--cacert", cert]
        started = time.monotonic()
        clients = [self.curl(*tls, self.url("/tls.bin")),
                   self.curl(*tls, "-T", source, self.url("/tls-up.bin")),
                   self.curl("--use-ascii", self.url("/text.txt", user="bob"))]
        for client in clients:
            # 1 MiB at 256 KiB/s: 4 s each.
            self.assertGreaterEqual(self.finish(client, scaled(60)) - started, 3.6)
        self.assertTrue(filecmp.cmp(source, os.path.join(self.root, "tls-up.bin"),
                                    shallow=False))

    def test_the_classic_mode_ignores_the_limits(self):
        # 4 MiB at 64 KiB/s would take a minute.
        self.start("Download=64\nUpload=64\nUser.ana=64,64", extended=False)
        self.file("big.bin", 4 * MIB)
        started = time.monotonic()
        self.finish(self.curl(self.url("/big.bin")), scaled(60))
        self.assertLess(time.monotonic() - started, scaled(20))
        self.assertNotIn("limitada", self.server.settle())


if __name__ == "__main__":
    unittest.main()
