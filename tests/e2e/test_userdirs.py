"""A folder of each user's own: "%u" in a published folder's local path
stands for the logged-in user's name (extended mode). Real clients (ftplib,
curl, lftp) log in as two users and each reaches only their own folder."""

import ftplib
import io
import os
import signal
import stat
import subprocess
import unittest

from skerrow_server import answer, logged_in, scaled, SkerrowServer, wait_for


class UserFolders(unittest.TestCase):
    def start(self, extended=True, make=False, users=None):
        server = SkerrowServer(log_level=1, extra_config="[Extended]\nEnabled=%d\n"
                               "MakeUserFolders=%d\n" % (extended, make))
        self.addCleanup(server.cleanup)
        self.homes = server.folder("homes")
        self.work = server.folder("client")
        server.folders = ["/=%s/%%u/,1,1" % self.homes]
        server.users = users or ["ana,pa,1,1", "bea,pb,1,1"]
        self.server = server
        return server

    def home(self, user, *names):
        return os.path.join(self.homes, user, *names)

    def write(self, path, data):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(data)

    def client(self, args, ok=True):
        result = subprocess.run(args, capture_output=True, timeout=scaled(60), cwd=self.work,
                                stdin=subprocess.DEVNULL,
                                env=dict(os.environ, HOME=self.server.home))
        if ok:
            self.assertEqual(result.returncode, 0, "%s\n%s\n%s" % (
                args[0], (result.stderr + result.stdout).decode(errors="replace"),
                self.server.tail()))
        return result

    def curl(self, user, password, path, *args, ok=True):
        url = "ftp://%s:%s@127.0.0.1:%d%s" % (user, password, self.server.port, path)
        return self.client(["curl", "-s", "-S", "--max-time", "%d" % scaled(30)] + list(args)
                           + [url], ok=ok)

    def lftp(self, user, password, commands, ok=True):
        script = ("set net:max-retries 1; set net:timeout %d; set cmd:fail-exit yes; "
                  % scaled(15) + commands + "; quit")
        return self.client(["lftp", "-u", "%s,%s" % (user, password), "-p",
                            str(self.server.port), "-e", script, "127.0.0.1"], ok=ok)

    def assert_no_download(self, ftp, path):
        with self.assertRaises(ftplib.error_perm, msg=path):
            ftp.retrbinary("RETR " + path, lambda data: self.fail("%s: %r" % (path, data)))

    def refusal(self, user, password):
        """The reply to a login that does not let the client in."""
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.server.port, timeout=scaled(10))
        self.addCleanup(ftp.close)
        with self.assertRaises(ftplib.error_perm, msg=user) as refused:
            ftp.login(user, password)
        return str(refused.exception)

    def test_two_users_each_see_and_write_only_their_own_folder(self):
        server = self.start()
        for user in ("ana", "bea"):
            os.makedirs(self.home(user))
        self.write(self.home("bea", "privado.txt"), b"de bea\n")
        server.start()
        ana = logged_in(self, self.server.port, "ana", "pa")
        ana.storbinary("STOR de-ana.txt", as_file(b"de ana\n"))
        self.assertEqual(ana.nlst(), ["de-ana.txt"])
        self.assertEqual(read(self.home("ana", "de-ana.txt")), b"de ana\n")
        self.assert_no_download(ana, "privado.txt")
        # curl as bea: her listing, her file, her upload.
        listing = self.curl("bea", "pb", "/", "-l").stdout.decode()
        self.assertEqual(listing.split(), ["privado.txt"])
        self.assertEqual(self.curl("bea", "pb", "/privado.txt").stdout, b"de bea\n")
        self.write(os.path.join(self.work, "subida.txt"), b"subida de bea\n")
        self.curl("bea", "pb", "/subida.txt", "-T", "subida.txt")
        self.assertEqual(read(self.home("bea", "subida.txt")), b"subida de bea\n")
        self.assertNotEqual(self.curl("bea", "pb", "/de-ana.txt", ok=False).returncode, 0)
        # lftp as ana: only her own file, however she looks.
        out = self.lftp("ana", "pa", "cls -1; cls -1 /; cd ..; cls -1").stdout.decode()
        self.assertEqual(out.split(), ["de-ana.txt", "/de-ana.txt", "de-ana.txt"])
        self.assertEqual(sorted(os.listdir(self.home("ana"))), ["de-ana.txt"])
        self.assertEqual(sorted(os.listdir(self.home("bea"))), ["privado.txt", "subida.txt"])

    def test_dot_dot_and_links_cannot_cross_to_the_other_folder(self):
        server = self.start()
        os.makedirs(self.home("ana"))
        self.write(self.home("bea", "secreto.txt"), b"secreto\n")
        os.symlink(self.home("bea"), self.home("ana", "a-bea"))
        os.symlink(self.home("bea", "secreto.txt"), self.home("ana", "enlace.txt"))
        os.symlink("../bea", self.home("ana", "relativo"))
        server.start()
        ana = logged_in(self, self.server.port, "ana", "pa")
        for path in ("../bea/secreto.txt", "/../bea/secreto.txt", "a-bea/secreto.txt",
                     "enlace.txt", "relativo/secreto.txt"):
            self.assert_no_download(ana, path)
        self.assertTrue(answer(ana, "CWD ../bea").startswith("550"))
        self.assertIn('"/"', answer(ana, "PWD"))
        # Refused, or failed once the link is met: never written there.
        for path in ("a-bea/nuevo.txt", "../bea/nuevo.txt", "relativo/nuevo.txt"):
            with self.assertRaises(ftplib.all_errors, msg=path):
                ana.storbinary("STOR " + path, as_file(b"x"))
        self.assertIn("550", answer(ana, "DELE a-bea/secreto.txt"))
        self.assertEqual(os.listdir(self.home("bea")), ["secreto.txt"])
        # The same with real clients.
        self.assertNotEqual(self.curl("ana", "pa", "/a-bea/secreto.txt", ok=False).returncode, 0)
        result = self.lftp("ana", "pa", "get enlace.txt -o copia.txt", ok=False)
        self.assertNotEqual(result.returncode, 0)
        self.assertFalse(os.path.exists(os.path.join(self.work, "copia.txt")))
        self.assertEqual(read(self.home("bea", "secreto.txt")), b"secreto\n")

    def test_a_name_that_could_leave_its_parent_cannot_log_in(self):
        users = ["ana,pa,1,1", "x/../bea,pw,1,1", "..,pw,1,1", "a..b,pw,1,1", ".,pw,1,1"]
        server = self.start(make=True, users=users)
        os.makedirs(self.home("ana"))
        server.start()
        failed = self.refusal("ana", "wrong")
        for name in ("x/../bea", "..", "a..b", "."):
            # Answered as a wrong password is.
            self.assertEqual(self.refusal(name, "pw"), failed, name)
            self.server.expect("Inicio de sesión rechazado de 127.0.0.1 (usuario %s): el nombre "
                               "no vale para una carpeta %%u" % name)
        text = self.server.settle()
        self.assertEqual(text.count("Inicio de sesión rechazado"), 4)
        # The password was right: no guess is counted, nothing is made.
        self.assertEqual(text.count("Inicio de sesión fallido"), 1)
        self.assertNotIn("Carpeta de usuario creada", text)
        self.assertEqual(sorted(os.listdir(self.homes)), ["ana"])
        self.assertEqual(logged_in(self, self.server.port, "ana", "pa").nlst(), [])
        # Where no local path names the user, such a name logs in as before.
        with open(self.server.settings_file, encoding="utf-8") as src:
            settings = src.read()
        with open(self.server.settings_file, "w", encoding="utf-8") as out:
            out.write(settings.replace("%u/", "ana/"))
        reloads = self.server.text().count("Configuración recargada")
        self.server.process.send_signal(signal.SIGHUP)
        self.assertTrue(wait_for(
            lambda: self.server.text().count("Configuración recargada") > reloads))
        logged_in(self, self.server.port, "x/../bea", "pw")

    def test_the_folder_is_made_at_login_when_asked_and_not_otherwise(self):
        users = ["ana,pa,1,1", "invitado,,0,1"]
        self.start(make=True, users=users).start()
        ana = logged_in(self, self.server.port, "ana", "pa")
        self.server.expect("Carpeta de usuario creada %s\n" % self.home("ana"))
        info = os.lstat(self.home("ana"))
        self.assertTrue(stat.S_ISDIR(info.st_mode))
        self.assertEqual(stat.S_IMODE(info.st_mode), 0o750)
        ana.storbinary("STOR a.txt", as_file(b"a\n"))
        self.assertEqual(read(self.home("ana", "a.txt")), b"a\n")
        # An empty password's user gets a folder named after them too.
        self.lftp("invitado", "", "cls -1")
        self.assertTrue(os.path.isdir(self.home("invitado")))
        # Made once: the next login finds it.
        logged_in(self, self.server.port, "ana", "pa")
        self.assertEqual(self.server.settle().count("Carpeta de usuario creada"), 2)

        second = self.start(make=False)
        second.start()
        again = logged_in(self, second.port, "ana", "pa")
        self.assertFalse(os.path.exists(self.home("ana")))
        # A missing folder: logged in all the same, with nothing to reach.
        with self.assertRaises(ftplib.all_errors):
            again.storbinary("STOR a.txt", as_file(b"a\n"))
        self.assertFalse(os.path.exists(self.home("ana")))
        self.assertNotIn("Carpeta de usuario creada", second.settle())

    def test_a_reload_reaches_a_session_already_logged_in(self):
        server = self.start()
        os.makedirs(self.home("ana"))
        server.start()
        ana = logged_in(self, self.server.port, "ana", "pa")
        self.assertEqual(ana.nlst(), [])
        others = self.server.folder("otras")
        self.write(os.path.join(others, "ana", "nuevo.txt"), b"n\n")
        with open(self.server.settings_file, encoding="utf-8") as src:
            settings = src.read()
        with open(self.server.settings_file, "w", encoding="utf-8") as out:
            out.write(settings.replace(self.homes, others))
        reloads = self.server.text().count("Configuración recargada")
        self.server.process.send_signal(signal.SIGHUP)
        self.assertTrue(wait_for(
            lambda: self.server.text().count("Configuración recargada") > reloads))
        self.assertEqual(ana.nlst(), ["nuevo.txt"])

    def test_the_classic_mode_reads_the_placeholder_as_text(self):
        server = self.start(extended=False, make=True,
                            users=["ana,pa,1,1", "x/../bea,pw,1,1"])
        self.write(os.path.join(self.homes, "%u", "literal.txt"), b"literal\n")
        server.start()
        for user, password in (("ana", "pa"), ("x/../bea", "pw")):
            ftp = logged_in(self, self.server.port, user, password)
            self.assertEqual([name for name in ftp.nlst() if name not in (".", "..")],
                             ["literal.txt"])
        self.assertEqual(sorted(os.listdir(self.homes)), ["%u"])
        text = self.server.settle()
        self.assertNotIn("rechazado", text)
        self.assertNotIn("Carpeta de usuario", text)


def as_file(data):
    return io.BytesIO(data)


def read(path):
    with open(path, "rb") as src:
        return src.read()


if __name__ == "__main__":
    unittest.main()
