"""The headless server as a service: reload on SIGHUP, hand edits kept at
exit, the warning when run as root."""

import ftplib
import os
import re
import signal
import socket
import subprocess
import unittest

from skerrow_server import PortReservation, scaled, SkerrowServer, wait_for


def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=scaled(1)).close()
        return True
    except OSError:
        return False


class ServiceTests(unittest.TestCase):
    def setUp(self):
        self.server = SkerrowServer()
        self.addCleanup(self.server.cleanup)
        self.first = self.server.folder("first")
        self.second = self.server.folder("second")
        with open(os.path.join(self.second, "new.txt"), "w") as out:
            out.write("from the second folder")
        self.server.folders = ["/=%s/,1,1" % self.first]
        self.server.users = ["ana,pw,1,1"]
        self.server.start()

    def login(self, user="ana", password="pw", port=None):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", port or self.server.port, timeout=scaled(10))
        self.addCleanup(ftp.close)
        ftp.login(user, password)
        return ftp

    def edit(self, port=None, users=None, folders=None, extra=""):
        self.server.port = port or self.server.port
        self.server.users = users or self.server.users
        self.server.folders = folders or self.server.folders
        self.server.extra_config = extra
        self.server.write_settings()

    def reloaded(self):
        """The whole lines that say the settings were reloaded."""
        return re.findall(r"Configuración recargada[^\n]*\n", self.server.text())

    def reload(self, count=1):
        before = len(self.reloaded())
        self.server.process.send_signal(signal.SIGHUP)
        self.assertTrue(wait_for(lambda: len(self.reloaded()) >= before + count))

    def test_reload_applies_a_new_port_user_and_folder(self):
        old_port = self.server.port
        connected = self.login()
        reservation = PortReservation()
        self.addCleanup(reservation.release)
        new_port = reservation.port
        self.edit(port=new_port, users=["ana,pw,1,1", "bob,x,0,1"],
                  folders=["/=%s/,1,1" % self.second])
        self.reload()
        self.assertTrue(wait_for(lambda: listening(new_port)))
        reservation.release()
        self.assertFalse(listening(old_port))
        self.server.expect("Configuración recargada de %s\n" % self.server.settings_file)
        # Sessions already connected were stopped with the old listener, as
        # a restart on a new port does; new clients find the new settings.
        bob = self.login("bob", "x", port=new_port)
        self.assertIn("new.txt", bob.nlst())

    def test_reload_keeps_the_port_and_the_sessions_when_the_port_is_the_same(self):
        connected = self.login()
        self.assertNotIn("new.txt", connected.nlst())
        self.edit(folders=["/=%s/,1,1" % self.second])
        self.reload()
        # The folders apply at the session's next command.
        self.assertIn("new.txt", connected.nlst())
        self.assertEqual(self.server.settle().count(" iniciado "), 1)

    def test_garbage_values_take_their_defaults_and_are_named(self):
        self.edit(extra="")
        with open(self.server.settings_file) as src:
            text = src.read().replace("LogLevel=1", "LogLevel=loud")
        with open(self.server.settings_file, "w") as out:
            out.write(text + "\n[Config]\nTimeout=soon\n")
        self.reload()
        line = self.reloaded()[-1]
        self.assertIn("valores por omisión para:", line)
        self.assertIn("LogLevel", line)
        self.assertIn("Timeout", line)
        self.assertTrue(listening(self.server.port))

    def test_a_port_taken_by_another_program_stops_until_the_next_reload(self):
        taken = socket.socket()
        taken.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        taken.bind(("0.0.0.0", 0))
        taken.listen(1)
        busy_port = taken.getsockname()[1]
        self.edit(port=busy_port)
        self.reload()
        self.assertTrue(self.server.wait_output("Error: no es posible iniciar Skerrow\n"))
        taken.close()
        self.reload()
        self.assertTrue(wait_for(lambda: listening(busy_port)))
        self.assertEqual(self.server.stop(), 0)

    def test_a_transfer_survives_a_reload_and_two_reloads_in_a_row(self):
        with open(os.path.join(self.first, "big.bin"), "wb") as out:
            out.write(os.urandom(32 * 1024 * 1024))
        ftp = self.login()
        ftp.sendcmd("TYPE I")
        conn = ftp.transfercmd("RETR big.bin")
        received = len(conn.recv(65536))
        self.server.process.send_signal(signal.SIGHUP)
        self.server.process.send_signal(signal.SIGHUP)
        while chunk := conn.recv(1 << 20):
            received += len(chunk)
        conn.close()
        self.assertEqual(ftp.voidresp(), "226 Transfer complete")
        self.assertEqual(received, 32 * 1024 * 1024)
        self.assertTrue(wait_for(lambda: "recargada" in self.server.text()))

    def test_hand_edits_survive_a_stop_and_sigterm_right_after_sighup(self):
        self.edit(users=["ana,pw,1,1", "added,by,hand,1"])
        self.server.process.send_signal(signal.SIGHUP)
        self.assertEqual(self.server.stop(), 0)
        with open(self.server.settings_file) as src:
            self.assertIn("added,by,hand,1", src.read())

    def test_an_edit_made_while_running_is_not_lost_at_exit(self):
        self.edit(users=["ana,pw,1,1", "carla,secret,1,1"])
        self.assertEqual(self.server.stop(), 0)
        with open(self.server.settings_file) as src:
            text = src.read()
        self.assertIn("carla,secret,1,1", text)
        self.assertIn("UserCount=2", text)

    def test_a_deleted_settings_file_is_written_again_at_exit(self):
        os.remove(self.server.settings_file)
        self.assertEqual(self.server.stop(), 0)
        with open(self.server.settings_file) as src:
            self.assertIn("ana,pw,1,1", src.read())

    def test_a_service_that_may_only_read_its_settings_writes_only_its_state(self):
        # As the system service runs it: another user, the settings folder
        # read-only, the state folder writable, TLS required and no PEM given.
        if os.geteuid() != 0:
            self.skipTest("running as another user needs root")
        nobody = 65534
        server = SkerrowServer(users=["ana,pw,1,1"],
                               extra_config="[Extended]\nEnabled=1\nTlsMode=2\n")
        self.addCleanup(server.cleanup)
        public = server.folder("pub")
        with open(os.path.join(public, "hola.txt"), "w") as out:
            out.write("hola")
        server.folders = ["/=%s/,1,1" % public]
        state = server.folder("state")
        os.chmod(server.root, 0o755)
        for path in (server.home, server.tmp, state):
            os.chown(path, nobody, nobody)
        server.extra_env = {"XDG_STATE_HOME": state}

        def as_nobody():
            os.setgid(nobody)
            os.setuid(nobody)
        server.start(preexec_fn=as_nobody)
        # It holds passwords: not dumpable, so its /proc entries are root's,
        # not its own user's, and no core of it is written.
        self.assertEqual(os.stat("/proc/%d/environ" % server.process.pid).st_uid, 0)
        with open(server.settings_file) as src:
            written = src.read()
        cert = os.path.join(state, "skerrow", "skerrow-cert.pem")
        self.assertTrue(os.path.exists(cert))
        self.assertEqual(os.stat(os.path.join(state, "skerrow", "skerrow-key.pem")).st_mode & 0o777,
                         0o600)
        self.assertEqual(sorted(os.listdir(os.path.dirname(server.settings_file))),
                         ["skerrow.conf"])
        result = subprocess.run(["curl", "-s", "-S", "--ssl-reqd", "--cacert", cert,
                                 "ftp://ana:pw@127.0.0.1:%d/hola.txt" % server.port],
                                capture_output=True, timeout=scaled(30))
        self.assertEqual(result.stdout, b"hola", result.stderr)
        self.assertEqual(server.stop(), 0)
        self.assertIn("Configuraci\u00f3n no guardada: %s es de s\u00f3lo lectura\n"
                      % server.settings_file, server.text())
        with open(server.settings_file) as src:
            self.assertEqual(src.read(), written)

    def test_root_is_told_about_the_service(self):
        if os.geteuid() != 0:
            self.skipTest("not run as root")
        self.assertTrue(wait_for(lambda: b"root" in self.server.errors()))
        self.assertIn(b"systemctl enable --now skerrow", self.server.errors())


if __name__ == "__main__":
    unittest.main()
