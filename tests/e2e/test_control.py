"""Control connection end to end: the real program, Python's ftplib and curl."""

import configparser
import ftplib
import os
import re
import signal
import socket
import stat
import subprocess
import unittest

from skerrow_server import BINARY, scaled, SkerrowServer, wait_for

GREETING = re.compile(r"^220 (.*) FTP version 0\.7 ready at "
                      r"(Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d \d{4}$")


class ControlTests(unittest.TestCase):
    def setUp(self):
        self.server = SkerrowServer(folders=None)
        self.addCleanup(self.server.cleanup)
        self.server.start()

    def connect(self):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.server.port, timeout=scaled(10))
        self.addCleanup(ftp.close)
        return ftp

    def test_greeting_syst_noop_quit_and_the_log(self):
        ftp = self.connect()
        self.assertRegex(ftp.getwelcome(), GREETING)
        self.assertEqual(ftp.sendcmd("USER anonymous"), "331 Enter PASS command")
        self.assertEqual(ftp.sendcmd("PASS guest@"), "230 Logged in")
        self.assertEqual(ftp.sendcmd("SYST"), "215 Windows95/NT Type: L8 Version: 0.7")
        self.assertEqual(ftp.sendcmd("NOOP"), "200 Ok")
        self.assertEqual(ftp.sendcmd("PWD"), '257 "/" is current directory')
        self.assertEqual(ftp.quit(), "221 Goodbye!")
        self.assertTrue(self.server.wait_output("Conexión a 127.0.0.1 closed\n"))
        log = self.server.text()
        first = log.split("\n")[0]
        self.assertRegex(first, r"^.* FTP versión 0\.7 iniciado [A-Z][a-z]{2} [A-Z][a-z]{2} [ \d]\d "
                                r"\d\d:\d\d:\d\d \d{4}$")
        self.assertRegex(log, r"\nEscuchando en dirección \d+\.\d+\.\d+\.\d+ y puerto %d\n"
                         % self.server.port)
        events = log.split("\n", 2)[2]
        self.assertEqual(events, "Conectado a 127.0.0.1\n"
                                 "Usuario anonymous logeado en, cas es /\n"
                                 "Conexión a 127.0.0.1 closed\n")

    def test_curl_logs_in_and_lists(self):
        result = subprocess.run(
            ["curl", "-s", "-S", "--max-time", "%d" % scaled(20), "ftp://127.0.0.1:%d/" % self.server.port],
            capture_output=True, timeout=scaled(30))
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.decode().split("\n")
        self.assertTrue(lines[0].startswith("drwx------   1 ftp      users"), lines)
        self.assertTrue(self.server.wait_output("Usuario anonymous logeado en, cas es /\n"))

    def test_quit_before_login_and_the_gate(self):
        ftp = self.connect()
        with self.assertRaises(ftplib.error_perm) as refused:
            ftp.sendcmd("PWD")
        self.assertEqual(str(refused.exception), "530 Please log in with USER and PASS")
        self.assertEqual(ftp.sendcmd("QUIT"), "221 Goodbye!")
        # The server ends its side; the connection stays until we close.
        self.assertEqual(ftp.sock.recv(10), b"")

    def test_sigterm_and_sigint_stop_and_save(self):
        ftp = self.connect()
        ftp.login()
        self.assertEqual(self.server.stop(signal.SIGTERM), 0)
        log = self.server.text()
        self.assertRegex(log, r"\n.* FTP versión 0\.7 parado [A-Z][a-z]{2} .*\d{4}\n$")
        store = configparser.ConfigParser(interpolation=None)
        store.optionxform = str
        store.read(self.server.settings_file)
        self.assertEqual(store["Config"]["Port"], str(self.server.port))
        self.assertEqual(store["Config"]["Timeout"], "100")
        self.assertEqual(store["Users"]["UserCount"], "1")
        self.assertEqual(store["Users"]["User0"].strip('"'), "anonymous,,0,1")
        public = os.path.join(self.server.home, "Public")
        self.assertEqual(store["Mapping"]["Map0"].strip('"'), "/=%s/,1,1" % public)
        self.assertTrue(os.path.isdir(public))
        self.assertEqual(stat.S_IMODE(os.stat(self.server.settings_file).st_mode), 0o600)
        self.server.start()
        self.assertEqual(self.server.stop(signal.SIGINT), 0)

    def test_many_clients_and_a_reset(self):
        clients = [self.connect() for _ in range(20)]
        for ftp in clients:
            ftp.login()
        raw = socket.create_connection(("127.0.0.1", self.server.port))
        raw.recv(200)
        raw.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        raw.close()
        for ftp in clients:
            self.assertEqual(ftp.sendcmd("NOOP"), "200 Ok")


class StartupTests(unittest.TestCase):
    def test_port_in_use(self):
        holder = socket.socket()
        holder.bind(("0.0.0.0", 0))
        holder.listen(1)
        self.addCleanup(holder.close)
        server = SkerrowServer()
        self.addCleanup(server.cleanup)
        server.port = holder.getsockname()[1]
        server.write_settings()
        env = dict(os.environ, XDG_CONFIG_HOME=server.config_home, HOME=server.home)
        result = subprocess.run([BINARY, "--headless"], capture_output=True, env=env, timeout=scaled(20))
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout, b"Error: no es posible iniciar Skerrow\n")

    def test_help_version_and_unknown_options(self):
        self.assertEqual(subprocess.run([BINARY, "--version"], capture_output=True).stdout,
                         b"skerrow 0.7\n")
        result = subprocess.run([BINARY, "--help"], capture_output=True)
        self.assertEqual(result.returncode, 0)
        self.assertIn(b"--headless", result.stdout)
        self.assertEqual(subprocess.run([BINARY, "--bogus"], capture_output=True).returncode, 2)


if __name__ == "__main__":
    unittest.main()
