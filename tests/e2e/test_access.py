"""Who may connect and how many at once, against the real program: the Allow
and Deny lists of [Logins] (both modes, behind a balancer too), lists that
cannot be read at the start and at a reload, and the extended mode's
MaxConnections."""

import ftplib
import os
import re
import signal
import socket
import unittest

from skerrow_server import SkerrowServer, scaled, wait_for

NOT_ADMITTED = "Conexión de %s cerrada: dirección no admitida\n"


def connect(port, address):
    sock = socket.socket()
    sock.settimeout(scaled(10))
    sock.bind((address, 0))
    sock.connect(("127.0.0.1", port))
    return sock


def has_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


def received_until_closed(sock):
    """Everything the server sends before it closes the connection."""
    data = b""
    while True:
        try:
            chunk = sock.recv(4096)
        except ConnectionResetError:
            return data
        if not chunk:
            return data
        data += chunk


class AllowAndDeny(unittest.TestCase):
    def start(self, logins, extended=False, extra=""):
        server = SkerrowServer(log_level=1, extra_config=(
            "[Extended]\nEnabled=%d\n%s[Logins]\n%s" % (1 if extended else 0, extra, logins)))
        self.addCleanup(server.cleanup)
        server.folders = ["/=%s/,1,1" % server.folder("root")]
        server.users = ["ana,pw,1,1"]
        self.server = server
        return server

    def assert_refused(self, address):
        sock = connect(self.server.port, address)
        self.addCleanup(sock.close)
        self.assertEqual(received_until_closed(sock), b"", address)

    def assert_served(self, address):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.server.port, timeout=scaled(10),
                    source_address=(address, 0))
        self.addCleanup(ftp.close)
        self.assertEqual(ftp.login("ana", "pw")[:3], "230")
        self.assertEqual(ftp.voidcmd("NOOP")[:3], "200")

    def assert_logged_once(self, address, ever_served=False):
        # Everything before this point is in the output once settle returns.
        text = self.server.settle()
        self.assertEqual(text.count(NOT_ADMITTED % address), 1, text)
        if not ever_served:
            self.assertNotIn("Conectado a %s\n" % address, text)

    def test_a_denied_address_gets_no_greeting_and_the_others_are_served(self):
        self.start("Deny=127.0.0.2\n").start()
        self.assert_refused("127.0.0.2")
        self.assert_served("127.0.0.1")
        self.assert_logged_once("127.0.0.2")

    def test_outside_a_non_empty_allow_list_no_one_is_served_and_deny_wins(self):
        # The extended mode listens on IPv6 too: IPv4 clients reach it as
        # mapped addresses and still match their IPv4 networks. The last
        # network lets the harness's own probe connections in.
        self.start("Allow=127.0.0.0/30, 127.77.0.0/16\nDeny=127.0.0.2\n", extended=True).start()
        self.assert_served("127.0.0.1")
        self.assert_served("127.0.0.3")
        self.assert_refused("127.0.0.2")
        self.assert_refused("127.0.0.5")
        self.assert_logged_once("127.0.0.2")
        self.assert_logged_once("127.0.0.5")

    @unittest.skipUnless(has_ipv6_loopback(), "this machine has no IPv6 loopback")
    def test_ipv6_clients_match_ipv6_networks_only(self):
        self.start("Allow=127.0.0.0/8\nDeny=::ffff:127.0.0.2\n", extended=True).start()
        v6 = socket.create_connection(("::1", self.server.port), timeout=scaled(10))
        self.addCleanup(v6.close)
        self.assertEqual(received_until_closed(v6), b"")
        self.assert_refused("127.0.0.2")
        self.assert_served("127.0.0.3")
        self.assert_logged_once("::1")
        self.assert_logged_once("127.0.0.2")

    def test_behind_a_balancer_the_lists_see_the_client_it_names(self):
        server = self.start("Deny=192.0.2.7\n", extended=True,
                            extra="ProxyProtocol=1\nProxyFrom=127.0.0.1\n").start()
        denied = connect(server.port, "127.0.0.1")
        self.addCleanup(denied.close)
        denied.sendall(b"PROXY TCP4 192.0.2.7 127.0.0.1 50000 21\r\n")
        self.assertEqual(received_until_closed(denied), b"")
        admitted = connect(server.port, "127.0.0.1")
        self.addCleanup(admitted.close)
        admitted.sendall(b"PROXY TCP4 192.0.2.8 127.0.0.1 50000 21\r\n")
        self.assertTrue(admitted.recv(100).startswith(b"220"))
        server.expect("Conectado a 192.0.2.8\n")
        self.assert_logged_once("192.0.2.7")
        self.assertNotIn("Conexión de 127.0.0.1 cerrada", server.settle())

    def test_a_list_that_cannot_be_read_stops_the_start_and_names_it(self):
        for logins, key, value in (("Allow=10.0.0.0/33\n", "Allow", "10.0.0.0/33"),
                                   ("Deny=127.0.0.2,,127.0.0.3\n", "Deny", "127.0.0.2,,127.0.0.3"),
                                   ("Deny=\"127.0.0.2 ; ::1\"\n", "Deny", "127.0.0.2 ; ::1")):
            server = self.start(logins)
            with self.assertRaises(RuntimeError):
                server.start()
            self.assertIn("Error: %s=%s no es una lista de direcciones y redes separadas por "
                          "comas\nError: no es posible iniciar Skerrow\n" % (key, value),
                          server.text())

    def test_a_reload_with_a_bad_list_keeps_the_lists_in_force(self):
        server = self.start("Deny=127.0.0.2\n").start()
        self.assert_refused("127.0.0.2")
        with open(server.settings_file, encoding="utf-8") as src:
            settings = src.read()
        with open(server.settings_file, "w", encoding="utf-8") as out:
            out.write(settings.replace("Deny=127.0.0.2", "Deny=127.0.0.3/99"))
        server.process.send_signal(signal.SIGHUP)
        server.expect("Error: Deny=127.0.0.3/99 no es una lista de direcciones y redes "
                      "separadas por comas\n")
        self.assert_refused("127.0.0.2")
        self.assert_served("127.0.0.3")
        self.assertNotIn("no es posible iniciar", server.settle())
        # Mended, the new list is in force from the next reload on.
        with open(server.settings_file, "w", encoding="utf-8") as out:
            out.write(settings.replace("Deny=127.0.0.2", "Deny=127.0.0.3"))
        reloads = server.text().count("Configuración recargada")
        server.process.send_signal(signal.SIGHUP)
        self.assertTrue(wait_for(
            lambda: server.text().count("Configuración recargada") > reloads))
        self.assert_served("127.0.0.2")
        self.assert_refused("127.0.0.3")
        self.assert_logged_once("127.0.0.3", ever_served=True)


class MaxConnections(unittest.TestCase):
    def start(self, extended):
        server = SkerrowServer(log_level=1, extra_config=(
            "[Extended]\nEnabled=%d\nMaxConnections=5\n" % (1 if extended else 0)))
        self.addCleanup(server.cleanup)
        server.folders = ["/=%s/,1,1" % server.folder("root")]
        server.users = ["ana,pw,1,1"]
        return server.start()

    def greeted(self, server, address):
        sock = connect(server.port, address)
        self.addCleanup(sock.close)
        self.assertTrue(sock.recv(1024).startswith(b"220 "), address)
        return sock

    def test_beyond_the_limit_a_connection_is_told_and_closed_until_one_leaves(self):
        server = self.start(extended=True)
        five = [self.greeted(server, "127.0.1.%d" % n) for n in range(1, 6)]
        sixth = connect(server.port, "127.0.1.6")
        self.addCleanup(sixth.close)
        self.assertEqual(received_until_closed(sixth), b"421 Too many connections.\r\n")
        # The five are still served (and asked to log in first).
        for sock in five:
            sock.sendall(b"NOOP\r\n")
            self.assertTrue(sock.recv(1024).startswith(b"530 "))
        five[0].close()
        server.expect("Conexión a 127.0.1.1 closed\n")
        self.greeted(server, "127.0.1.7")
        again = connect(server.port, "127.0.1.8")
        self.addCleanup(again.close)
        self.assertEqual(received_until_closed(again), b"421 Too many connections.\r\n")

    def test_the_classic_mode_has_no_limit(self):
        server = self.start(extended=False)
        for n in range(1, 8):
            self.greeted(server, "127.0.1.%d" % n)


if __name__ == "__main__":
    unittest.main()
