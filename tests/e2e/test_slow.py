"""Abandoned transfers, with the real 60-second wait for a data connection."""

import ftplib
import os
import time
import unittest

from skerrow_server import scaled, SkerrowServer, wait_for


def descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


class AbandonedTransferTests(unittest.TestCase):
    def test_timed_a_storm_of_abandoned_transfers_is_given_back_after_60_seconds(self):
        server = SkerrowServer()
        self.addCleanup(server.cleanup)
        root = server.folder("root")
        with open(os.path.join(root, "file.bin"), "wb") as out:
            out.write(b"x" * 1000)
        server.folders = ["/=%s/,1,1" % root]
        server.users = ["anonymous,,0,1"]
        server.start()
        pid = server.process.pid
        clients = []
        self.addCleanup(lambda: [c.close() for c in clients])
        for _ in range(100):
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", server.port, timeout=scaled(90))
            ftp.login()
            clients.append(ftp)
        baseline = descriptors(pid)
        started = time.monotonic()
        for i, ftp in enumerate(clients):
            ftp.sendcmd("PASV")
            ftp.putcmd("LIST" if i % 2 else "RETR file.bin")
            self.assertTrue(ftp.getresp().startswith("150 "))
        self.assertEqual(len(server.temp_listings()), 50)
        self.assertGreaterEqual(descriptors(pid), baseline + 100)
        # Everyone else is still served at once meanwhile.
        probe = ftplib.FTP()
        probe.connect("127.0.0.1", server.port, timeout=scaled(5))
        self.assertEqual(probe.login(), "230 Logged in")
        probe.close()
        for ftp in clients:
            with self.assertRaises(ftplib.error_temp) as error:
                ftp.getresp()
            self.assertEqual(str(error.exception), "425 Data connection reset")
        self.assertGreaterEqual(time.monotonic() - started, 59)
        self.assertTrue(wait_for(lambda: descriptors(pid) == baseline, 5), descriptors(pid))
        self.assertEqual(server.temp_listings(), [])
        for ftp in clients:
            self.assertEqual(ftp.sendcmd("NOOP"), "200 Ok")


if __name__ == "__main__":
    unittest.main()
