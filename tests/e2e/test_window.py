"""The real program as a window on a private Xvfb display, with real clients."""

import ftplib
import os
import shutil
import subprocess
import tempfile
import unittest

from skerrow_server import BINARY, scaled, wait_for
from skerrow_window import SkerrowWindow, Xvfb, port_open

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


class WindowTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.xvfb = Xvfb()

    @classmethod
    def tearDownClass(cls):
        cls.xvfb.stop()

    def setUp(self):
        self.session = SkerrowWindow(self.xvfb, users=["ana,secreto,1,1"])
        public = self.session.folder("publico")
        with open(os.path.join(public, "hola.txt"), "wb") as out:
            out.write(b"hola\r\n")
        self.session.folders = ["/=" + public + "/,1,1"]
        self.addCleanup(self.session.cleanup)

    def test_serves_clients_and_escape_closes_and_saves(self):
        self.session.start()
        client = ftplib.FTP()
        client.connect("127.0.0.1", self.session.port, timeout=scaled(10))
        self.assertTrue(client.getwelcome().startswith("220 "))
        client.login("ana", "secreto")
        self.assertEqual(sorted(client.nlst()), [".", "..", "hola.txt"])
        chunks = []
        client.retrbinary("RETR hola.txt", chunks.append)
        self.assertEqual(b"".join(chunks), b"hola\r\n")
        client.quit()
        # The store is rewritten when the window closes: values the seed left
        # out appear with their defaults.
        with open(self.session.settings_file) as stored:
            self.assertNotIn("Timeout", stored.read())
        self.session.key(self.session.window, "Escape")
        self.assertEqual(self.session.process.wait(timeout=scaled(20)), 0)
        with open(self.session.settings_file) as stored:
            text = stored.read()
        self.assertIn("Timeout=100", text)
        self.assertIn("Port=%d" % self.session.port, text)
        self.assertFalse(port_open(self.session.port))
        self.assertEqual(os.stat(self.session.settings_file).st_mode & 0o777, 0o600)

    def test_without_a_display_it_suggests_headless(self):
        env = dict(os.environ, XDG_CONFIG_HOME=self.session.config_home, HOME=self.session.home)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
            env.pop(name, None)
        result = subprocess.run([BINARY], env=env, capture_output=True, timeout=scaled(20))
        self.assertEqual(result.returncode, 2)
        self.assertIn(b"--headless", result.stderr)
        # Nothing was touched.
        self.assertFalse(os.path.exists(self.session.settings_file))


class DesktopIntegrationTest(unittest.TestCase):
    def test_desktop_entry_is_valid(self):
        path = os.path.join(ROOT, "res", "skerrow.desktop")
        result = subprocess.run(["desktop-file-validate", path], capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        with open(path, encoding="utf-8") as entry:
            text = entry.read()
        self.assertIn("Exec=skerrow\n", text)
        self.assertIn("Categories=Network;FileTransfer;", text)

    def test_install_puts_everything_in_its_xdg_place(self):
        build = os.path.dirname(BINARY)
        prefix = tempfile.mkdtemp(prefix="skerrow-install-")
        self.addCleanup(shutil.rmtree, prefix, True)
        subprocess.run(["cmake", "--install", build, "--prefix", prefix], check=True,
                       capture_output=True, timeout=scaled(120))
        for relative in ("bin/skerrow", "share/applications/skerrow.desktop",
                         "share/icons/hicolor/scalable/apps/skerrow.svg",
                         "share/icons/hicolor/48x48/apps/skerrow.png",
                         "share/icons/hicolor/256x256/apps/skerrow.png",
                         "share/help/es/skerrow/index.html"):
            self.assertTrue(os.path.isfile(os.path.join(prefix, relative)), relative)
        with open(os.path.join(prefix, "share/icons/hicolor/48x48/apps/skerrow.png"), "rb") as png:
            self.assertEqual(png.read(8), b"\x89PNG\r\n\x1a\n")


if __name__ == "__main__":
    unittest.main()
