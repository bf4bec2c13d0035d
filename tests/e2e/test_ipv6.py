"""IPv6 in the extended mode: today's clients over ::1 (list, download,
upload, resume, rename, passive and active), the replies of RFC 2428 for
either family, every address rule for IPv6, and the classic mode still on
IPv4 alone."""

import ftplib
import io
import os
import shutil
import signal
import socket
import subprocess
import sys
import unittest

from skerrow_server import answer, scaled, SkerrowServer, wait_for

HERE = os.path.dirname(os.path.abspath(__file__))


def has_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


def login6(test, port, user="ana", password="pw"):
    ftp = ftplib.FTP()
    ftp.connect("::1", port, timeout=scaled(30))
    test.addCleanup(ftp.close)
    ftp.login(user, password)
    return ftp


@unittest.skipUnless(has_ipv6_loopback(), "this machine has no IPv6 loopback")
class Ipv6Tests(unittest.TestCase):
    def start(self, extended=True, extra=""):
        server = SkerrowServer(log_level=2, extra_config="[Extended]\nEnabled=%d\n%s"
                               % (1 if extended else 0, extra))
        self.addCleanup(server.cleanup)
        self.root = server.folder("root")
        self.work = server.folder("client")
        server.folders = ["/=%s/,1,1" % self.root]
        server.users = ["ana,pw,1,1"]
        server.start()
        self.server = server
        self.payload = os.urandom(1024 * 1024 + 7)
        with open(os.path.join(self.root, "data.bin"), "wb") as out:
            out.write(self.payload)
        return server

    def url(self, path=""):
        return "ftp://ana:pw@[::1]:%d/%s" % (self.server.port, path)

    def run_client(self, args, ok=True):
        result = subprocess.run(args, capture_output=True, timeout=scaled(120), cwd=self.work,
                                stdin=subprocess.DEVNULL,
                                env=dict(os.environ, HOME=self.server.home))
        if ok:
            self.assertEqual(result.returncode, 0, "%s\n%s\n%s" % (
                args[0], result.stderr.decode(errors="replace"), self.server.tail()))
        return result

    def read(self, name):
        with open(os.path.join(self.root, name), "rb") as source:
            return source.read()

    def test_curl_lists_downloads_uploads_resumes_and_renames(self):
        self.start()
        self.server.expect("Escuchando tambi\u00e9n en IPv6, direcci\u00f3n :: y puerto %d\n"
                           % self.server.port)
        curl = ["curl", "-s", "-S", "--max-time", "%d" % scaled(60)]
        for mode in ([], ["-P", "-"]):  # passive (EPSV), then active (EPRT)
            listing = self.run_client(curl + mode + [self.url()]).stdout.decode()
            self.assertIn("data.bin", listing)
            got = self.run_client(curl + mode + [self.url("data.bin")]).stdout
            self.assertEqual(got, self.payload)
        upload = os.path.join(self.work, "up.bin")
        with open(upload, "wb") as out:
            out.write(self.payload)
        # A broken upload, then its rest.
        with open(os.path.join(self.root, "up.bin"), "wb") as out:
            out.write(self.payload[:300000])
        self.run_client(curl + ["-C", "-", "-T", upload, self.url("up.bin")])
        self.assertEqual(self.read("up.bin"), self.payload)
        self.run_client(curl + ["-Q", "-RNFR up.bin", "-Q", "-RNTO moved.bin", self.url()])
        self.assertEqual(self.read("moved.bin"), self.payload)
        # Addresses as inet_ntop writes them.
        self.server.expect("Conectado a ::1\n", "Usuario ana logeado en, cas es /\n",
                           "Conexi\u00f3n a ::1 closed\n")

    def test_lftp_wget_and_rclone(self):
        self.start()
        script = ("set net:max-retries 1; set net:timeout %d; set cmd:fail-exit yes; " % scaled(15)
                  + "set xfer:clobber on; ls; get data.bin -o got.bin; put got.bin -o put.bin; "
                  "mv put.bin renamed.bin; quit")
        listing = self.run_client(["lftp", "-e", script, "ftp://ana:pw@[::1]:%d"
                                   % self.server.port]).stdout.decode()
        self.assertIn("data.bin", listing)
        self.assertEqual(self.read("renamed.bin"), self.payload)
        self.run_client(["wget", "-q", "-O", "wget.bin", self.url("data.bin")])
        with open(os.path.join(self.work, "wget.bin"), "rb") as got:
            self.assertEqual(got.read(), self.payload)
        obscured = self.run_client(["rclone", "obscure", "pw"]).stdout.decode().strip()
        # rclone takes an IPv6 host in brackets, quoted for its colons.
        remote = ":ftp,host='[::1]',port=%d,user=ana,pass=%s:" % (self.server.port, obscured)
        back = os.path.join(self.work, "back")
        self.run_client(["rclone", "--config", "/dev/null", "--retries", "1", "copy",
                         remote + "data.bin", back])
        with open(os.path.join(back, "data.bin"), "rb") as got:
            self.assertEqual(got.read(), self.payload)

    def test_ftplib_uses_epsv_and_eprt_by_itself(self):
        self.start()
        ftp = login6(self, self.server.port)
        for passive in (True, False):
            ftp.set_pasv(passive)
            received = io.BytesIO()
            ftp.retrbinary("RETR data.bin", received.write)
            self.assertEqual(received.getvalue(), self.payload)
            ftp.storbinary("STOR copy.bin", io.BytesIO(self.payload))
            self.assertEqual(self.read("copy.bin"), self.payload)
        self.assertIn(" Connected from ::1\n", ftp.sendcmd("STAT"))

    def test_rfc_2428_replies_for_each_family(self):
        self.start()
        v6 = login6(self, self.server.port)
        for command in ("PASV", "PORT 127,0,0,1,200,10"):
            self.assertEqual(answer(v6, command), "425 Use EPSV or EPRT on an IPv6 connection.")
        self.assertEqual(answer(v6, "EPSV 1"), "522 Network protocol not supported, use (2)")
        self.assertEqual(answer(v6, "EPRT |1|127.0.0.1|5000|"),
                         "522 Network protocol not supported, use (2)")
        for bad in ("|2|fe80::1%lo|5000|", "|2|::1|70000|", "|2|::1|0|", "|2|not-an-address|5000|",
                    "|3|::1|5000|", "|2|127.0.0.1|5000|"):
            self.assertEqual(answer(v6, "EPRT " + bad)[:4], "501 ", bad)
        # Never a connection elsewhere: another address, or a privileged port.
        self.assertEqual(answer(v6, "EPRT |2|2001:db8::1|5000|"), "550 Permission denied")
        self.assertEqual(answer(v6, "EPRT |2|::1|80|"), "550 Permission denied")
        self.assertEqual(answer(v6, "EPRT |2|::ffff:127.0.0.1|5000|"), "550 Permission denied")
        self.assertEqual(answer(v6, "EPRT |2|::1|5000|"), "200 EPRT command okay")
        # EPSV's listener is on the address the client reached.
        reply = answer(v6, "EPSV 2")
        self.assertRegex(reply, r"^229 Entering Extended Passive Mode \(\|\|\|\d+\|\)$")
        port = int(reply.split("|||")[1].rstrip("|)"))
        with socket.create_connection(("::1", port), timeout=scaled(10)):
            pass
        # IPv4 clients of the same listener see what they always saw.
        v4 = ftplib.FTP()
        v4.connect("127.0.0.1", self.server.port, timeout=scaled(30))
        self.addCleanup(v4.close)
        v4.login("ana", "pw")
        self.assertEqual(answer(v4, "EPSV 2"), "522 Network protocol not supported, use (1)")
        self.assertEqual(answer(v4, "EPRT |2|::1|5000|"),
                         "522 Network protocol not supported, use (1)")
        self.assertRegex(answer(v4, "PASV"), r"^227 Entering passive mode \(127,0,0,1,\d+,\d+\)$")
        self.server.expect("Conectado a 127.0.0.1\n")

    def test_classic_mode_listens_on_ipv4_only_until_the_mode_is_turned_on(self):
        self.start(extended=False)
        with self.assertRaises(OSError):
            socket.create_connection(("::1", self.server.port), timeout=scaled(10)).close()
        self.assertNotIn("IPv6", self.server.settle())
        v4 = ftplib.FTP()
        v4.connect("127.0.0.1", self.server.port, timeout=scaled(30))
        self.addCleanup(v4.close)
        v4.login("ana", "pw")
        # A reload that turns the extended mode on opens IPv6 in place: the
        # IPv4 session goes on.
        with open(self.server.settings_file, encoding="utf-8") as source:
            text = source.read()
        with open(self.server.settings_file, "w", encoding="utf-8") as out:
            out.write(text.replace("Enabled=0", "Enabled=1"))
        self.server.process.send_signal(signal.SIGHUP)
        self.server.expect("Escuchando tambi\u00e9n en IPv6")
        self.assertEqual(v4.voidcmd("NOOP"), "200 Ok")
        v6 = login6(self, self.server.port)
        self.assertEqual(v6.sendcmd("FEAT")[:4], "211-")

    def test_rules_by_address_inside_a_network_of_its_own(self):
        # Two client addresses of one /64 (::1 and ::2) need a network of the
        # test's own: a user and network namespace, where the test may add
        # an address to its loopback.
        probe = subprocess.run(["unshare", "-rn", "true"], capture_output=True)
        if probe.returncode != 0:
            self.skipTest("no network namespace can be made here: %s"
                          % probe.stderr.decode(errors="replace").strip())
        for kind in ("InNamespace", "WithoutIpv6"):
            result = subprocess.run(
                ["unshare", "-rn", sys.executable, os.path.abspath(__file__), kind],
                capture_output=True, timeout=scaled(120), cwd=HERE,
                env=dict(os.environ, SKERROW_TEST_NETNS=kind))
            self.assertEqual(result.returncode, 0, result.stdout.decode(errors="replace")
                             + result.stderr.decode(errors="replace"))


@unittest.skipUnless(os.environ.get("SKERROW_TEST_NETNS") == "InNamespace",
                     "run by test_rules_by_address_inside_a_network_of_its_own")
class InNamespace(unittest.TestCase):
    """Run by the test above inside its own network namespace: ::1 and ::2
    are two addresses of the client's /64."""

    @classmethod
    def setUpClass(cls):
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        subprocess.run(["ip", "-6", "addr", "add", "::2/128", "dev", "lo"], check=True)

    def start(self, extra=""):
        server = SkerrowServer(log_level=1, extra_config="[Extended]\nEnabled=1\n" + extra)
        self.addCleanup(server.cleanup)
        root = server.folder("root")
        server.folders = ["/=%s/,1,1" % root]
        server.users = ["ana,pw,1,1"]
        server.start()
        with open(os.path.join(root, "data.bin"), "wb") as out:
            out.write(b"x" * 100000)
        return server

    def connect_from(self, source, port):
        sock = socket.socket(socket.AF_INET6)
        sock.settimeout(scaled(10))
        sock.bind((source, 0))
        sock.connect(("::1", port))
        return sock

    def test_a_passive_port_is_its_clients_alone(self):
        server = self.start()
        owner = login6(self, server.port)
        owner.sendcmd("TYPE I")
        port = int(owner.sendcmd("EPSV").split("|||")[1].rstrip("|)"))
        owner.putcmd("RETR data.bin")
        self.assertEqual(owner.getline()[:3], "150")
        # Another address of the same network gets nothing, and the port
        # goes on waiting for its own client.
        with self.connect_from("::2", port) as intruder:
            taken = b""
            try:
                while chunk := intruder.recv(65536):
                    taken += chunk
            except ConnectionResetError:
                pass
        self.assertEqual(taken, b"")
        with self.connect_from("::1", port) as own:
            received = b""
            while chunk := own.recv(65536):
                received += chunk
        self.assertEqual(received, b"x" * 100000)
        self.assertEqual(owner.voidresp(), "226 Transfer complete")
        # Active connections go to the client's own address only.
        self.assertEqual(answer(owner, "EPRT |2|::2|5000|"), "550 Permission denied")

    def test_the_limit_counts_a_64_as_one_client(self):
        server = self.start("MaxPerAddress=1\n")
        first = self.connect_from("::1", server.port)
        self.addCleanup(first.close)
        self.assertEqual(first.recv(1024)[:4], b"220 ")
        with self.connect_from("::2", server.port) as second:
            self.assertEqual(second.recv(1024),
                             b"421 Too many connections from your address.\r\n")

    def test_bans_count_a_64_as_one_client(self):
        server = self.start("[Logins]\nBanAfter=2\n")
        # Two failed logins from ::2 ban the whole /64: ::1 is turned away.
        for _ in range(2):
            with self.connect_from("::2", server.port) as sock:
                lines = sock.makefile("rb")
                self.assertEqual(lines.readline()[:4], b"220 ")
                sock.sendall(b"USER ana\r\nPASS wrong\r\n")
                self.assertEqual(lines.readline()[:4], b"331 ")
                self.assertIn(lines.readline()[:4], (b"550 ", b""))
        server.expect("Direcci\u00f3n ::/64 bloqueada durante 15 minutos\n")
        with self.connect_from("::1", server.port) as banned:
            try:
                greeting = banned.recv(1024)
            except ConnectionResetError:
                greeting = b""
        self.assertEqual(greeting, b"")

@unittest.skipUnless(os.environ.get("SKERROW_TEST_NETNS") == "WithoutIpv6",
                     "run by test_rules_by_address_inside_a_network_of_its_own")
class WithoutIpv6(unittest.TestCase):
    """Run inside a network namespace whose IPv6 is turned off."""

    def test_the_extended_mode_serves_ipv4_and_says_why_not_ipv6(self):
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        for name in ("all", "default", "lo"):
            with open("/proc/sys/net/ipv6/conf/%s/disable_ipv6" % name, "w") as switch:
                switch.write("1")
        server = SkerrowServer(extra_config="[Extended]\nEnabled=1\n")
        self.addCleanup(server.cleanup)
        server.folders = ["/=%s/,1,1" % server.folder("root")]
        server.users = ["ana,pw,1,1"]
        server.start()
        server.expect("IPv6 no disponible (desactivado en el sistema): escuchando s\u00f3lo en "
                      "IPv4\n")
        self.assertNotIn("Escuchando tambi\u00e9n en IPv6", server.settle())
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", server.port, timeout=scaled(10))
        self.addCleanup(ftp.close)
        ftp.login("ana", "pw")
        self.assertEqual(ftp.nlst(), [])


if __name__ == "__main__":
    if sys.argv[1:] in (["InNamespace"], ["WithoutIpv6"]):
        unittest.main(defaultTest=sys.argv[1], argv=sys.argv[:1], verbosity=2)
    else:
        unittest.main(verbosity=2)
