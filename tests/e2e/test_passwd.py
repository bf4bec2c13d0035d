"""skerrow --passwd against the real program: a password set from standard
input or typed at a terminal, stored hashed in the file a running headless
server reads, which is then asked to reload; an unknown user refused."""

import ftplib
import os
import pty
import select
import subprocess
import time
import unittest

from skerrow_server import BINARY, SkerrowServer, scaled, wait_for
from test_logins_hashed import stored_users


class PasswdTests(unittest.TestCase):
    def make_server(self, users, extra=""):
        server = SkerrowServer(users=users, extra_config="[Logins]\nBanAfter=0\n" + extra)
        self.addCleanup(server.cleanup)
        server.folders = ["/=%s/,1,1" % server.folder("root")]
        self.runtime = server.folder("runtime")
        os.chmod(self.runtime, 0o700)
        server.extra_env = {"XDG_RUNTIME_DIR": self.runtime}
        return server

    def passwd(self, server, user, stdin=b"", **streams):
        env = dict(os.environ, XDG_CONFIG_HOME=server.config_home, HOME=server.home,
                   TMPDIR=server.tmp, XDG_RUNTIME_DIR=self.runtime, LC_ALL="C.UTF-8")
        env.pop("XDG_STATE_HOME", None)
        if streams:
            return subprocess.Popen([BINARY, "--passwd", user], env=env, stdin=stdin, **streams)
        return subprocess.run([BINARY, "--passwd", user], input=stdin, capture_output=True,
                              env=env, timeout=scaled(60))

    def logs_in(self, server, user, password):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", server.port, timeout=scaled(30))
        try:
            ftp.login(user, password)
            return True
        except ftplib.error_perm:
            return False
        finally:
            ftp.close()

    def control_socket_listens(self):
        return os.path.exists(os.path.join(self.runtime, "skerrow", "control"))

    def test_from_standard_input_on_a_running_server(self):
        for extra, bea_hashed in (("", False), ("HashPasswords=1\n", True)):
            with self.subTest(HashPasswords=extra or "absent"):
                server = self.make_server(["anonymous,,0,1", "ana,viejo,1,1", "bea,claro,0,1"],
                                          extra)
                server.start()
                self.assertTrue(wait_for(self.control_socket_listens))
                result = self.passwd(server, "ana", b"nueva,con coma\n")
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn("ha vuelto a leer", result.stdout.decode())
                server.expect("recargada")
                self.assertTrue(self.logs_in(server, "ana", "nueva,con coma"))
                self.assertFalse(self.logs_in(server, "ana", "viejo"))
                users = stored_users(server.settings_file)
                self.assertTrue(users[1].startswith("ana,$argon2id$"), users)
                self.assertTrue(users[1].endswith(",1,1"), users)
                self.assertEqual(users[0], "anonymous,,0,1")
                # The other plain passwords are hashed only when the file says so.
                self.assertEqual(users[2].startswith("bea,$argon2id$"), bea_hashed, users)
                with open(server.settings_file, encoding="utf-8") as source:
                    text = source.read()
                self.assertNotIn("nueva", text)
                self.assertNotIn("viejo", text)
                # The server's own save at exit keeps the new hash.
                self.assertEqual(server.stop(), 0)
                self.assertEqual(stored_users(server.settings_file)[1], users[1])

    def test_unknown_user_and_no_password_are_refused(self):
        server = self.make_server(["anonymous,,0,1", "ana,viejo,1,1"])
        server.start()
        with open(server.settings_file, "rb") as source:
            before = source.read()
        unknown = self.passwd(server, "nadie", b"nueva\n")
        self.assertEqual(unknown.returncode, 1)
        self.assertIn("el usuario nadie no existe", unknown.stderr.decode())
        empty = self.passwd(server, "ana", b"\n")
        self.assertEqual(empty.returncode, 1)
        self.assertIn("vac\u00eda", empty.stderr.decode())
        with open(server.settings_file, "rb") as source:
            self.assertEqual(source.read(), before)
        self.assertTrue(self.logs_in(server, "ana", "viejo"))

    def test_without_a_server_it_says_so_and_succeeds(self):
        server = self.make_server(["ana,viejo,1,1"])
        server.port = 2121
        server.write_settings()
        result = self.passwd(server, "ana", b"nueva\n")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("ning\u00fan servidor en marcha al que avisar", result.stdout.decode())
        self.assertTrue(stored_users(server.settings_file)[0].startswith("ana,$argon2id$"))

    def typed(self, server, first, second):
        """Runs --passwd at a terminal, typing the two passwords after their
        prompts; its return code and all the terminal showed."""
        leader, follower = pty.openpty()
        process = self.passwd(server, "ana", stdin=follower, stdout=follower, stderr=follower)
        os.close(follower)
        shown = b""
        deadline = time.monotonic() + scaled(60)
        answers = [(b"Contrase\xc3\xb1a nueva: ", first), (b"Repita la contrase\xc3\xb1a: ", second)]
        while time.monotonic() < deadline:
            ready, _, _ = select.select([leader], [], [], 0.1)
            if ready:
                try:
                    chunk = os.read(leader, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                shown += chunk
            if answers and shown.endswith(answers[0][0]):
                os.write(leader, answers.pop(0)[1] + b"\n")
        os.close(leader)
        return process.wait(timeout=scaled(30)), shown

    def test_typed_twice_at_a_terminal_without_echo(self):
        server = self.make_server(["ana,viejo,1,1"])
        server.port = 2121
        server.write_settings()
        code, shown = self.typed(server, b"uno", b"dos")
        self.assertEqual(code, 1, shown)
        self.assertIn("no coinciden", shown.decode())
        self.assertEqual(stored_users(server.settings_file), ["ana,viejo,1,1"])
        code, shown = self.typed(server, b"secreta", b"secreta")
        self.assertEqual(code, 0, shown)
        self.assertNotIn(b"secreta", shown)
        self.assertTrue(stored_users(server.settings_file)[0].startswith("ana,$argon2id$"))


if __name__ == "__main__":
    unittest.main()
