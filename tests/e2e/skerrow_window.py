"""Runs the real skerrow window under a private Xvfb display.

The display is chosen by Xvfb itself (-displayfd); the program gets its own
configuration folder and a port the system has chosen, as the headless
helper does. Windows are found and driven with xdotool.
"""

import errno
import glob
import os
import re
import socket
import struct
import subprocess
import threading
import time

from skerrow_server import BINARY, PortReservation, SkerrowServer, scaled, wait_for

# Where X clients look for a display's socket file (the X library tries the
# abstract socket of the same name first, where it has one).
X11_DIR = "/tmp/.X11-unix"


def x_server_answers(path):
    """True when an X server on the Unix socket at path accepts a client:
    the connection set-up (little-endian, protocol 11.0, no authorization)
    is answered with success."""
    try:
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
            sock.settimeout(scaled(5))
            sock.connect(path)
            sock.sendall(struct.pack("<BxHHHH2x", ord("l"), 11, 0, 0, 0))
            status = sock.recv(1)
    except OSError:
        return False
    return status == b"\x01"


class Xvfb:
    """A private X display for the time of a test.

    Xvfb picks the first display number whose abstract socket it can bind
    and listens there and on the socket file in /tmp/.X11-unix, where the
    program's X library looks when the abstract socket cannot be reached.
    Xvfb replaces the socket file of the number it takes, so the abstract
    names of the numbers other X servers show (a socket file or a lock
    file, from a server this network namespace cannot see) are held while
    it starts: it passes over them. A lock file for the chosen number keeps
    X servers started on a fixed number (xvfb-run, say) off it.

    It runs with -noreset: an X server resets when its last client leaves,
    and the check that it answers is such a client; a program connecting
    while the reset runs is refused ("could not connect to display")."""

    def __init__(self):
        held = self._hold_numbers_in_use()
        try:
            self._start()
        finally:
            for sock in held:
                sock.close()
        self._lock = self._take_lock()
        path = os.path.join(X11_DIR, "X" + self.number)
        if not wait_for(lambda: x_server_answers(path), 20, 0.05):
            self.stop()
            raise RuntimeError("Xvfb %s does not answer on %s" % (self.display, path))

    @staticmethod
    def _hold_numbers_in_use():
        numbers = set()
        for name in glob.glob(os.path.join(X11_DIR, "X*")) + glob.glob("/tmp/.X*-lock"):
            found = re.fullmatch(r"\.?X(\d+)(-lock)?", os.path.basename(name))
            if found:
                numbers.add(int(found.group(1)))
        held = []
        for number in sorted(numbers):
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                sock.bind("\0%s/X%d" % (X11_DIR, number))
                sock.listen(1)
                held.append(sock)
            except OSError:  # its own X server holds it already
                sock.close()
        return held

    def _start(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
             "-nolisten", "tcp", "-listen", "unix", "-noreset"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + scaled(20)
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        if not number.strip():
            self.process.kill()
            self.process.wait()
            raise RuntimeError("Xvfb did not start")
        self.number = number.decode().strip()
        self.display = ":" + self.number

    def _take_lock(self):
        """The lock file an X server keeps for its display, with Xvfb's
        process id; None when one is there already."""
        path = "/tmp/.X%s-lock" % self.number
        try:
            descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o444)
        except OSError as error:
            if error.errno == errno.EEXIST:
                return None
            raise
        with os.fdopen(descriptor, "w") as lock:
            lock.write("%10d\n" % self.process.pid)
        return path

    def env(self):
        return dict(os.environ, DISPLAY=self.display)

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=scaled(10))
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        if getattr(self, "_lock", None):
            os.unlink(self._lock)
            self._lock = None


def port_open(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=scaled(2)) as probe:
            probe.recv(256)
        return True
    except OSError:
        return False


class SkerrowWindow(SkerrowServer):
    """The windowed program on an Xvfb display, with its own settings."""

    def __init__(self, xvfb, **kwargs):
        super().__init__(**kwargs)
        self.xvfb = xvfb

    def start(self, preset_port=None, preexec_fn=None, wait_port=True):
        reservation = None if preset_port else PortReservation()
        try:
            self.port = preset_port or reservation.port
            self.write_settings()
            env = dict(self.xvfb.env(), XDG_CONFIG_HOME=self.config_home, HOME=self.home,
                       TMPDIR=self.tmp, LC_ALL="C.UTF-8")
            env.pop("WAYLAND_DISPLAY", None)
            env.pop("QT_QPA_PLATFORM", None)
            env.pop("XDG_RUNTIME_DIR", None)
            self._output = bytearray()
            self.process = subprocess.Popen([BINARY], stdout=subprocess.PIPE,
                                            stderr=subprocess.STDOUT, env=env, cwd=self.root,
                                            preexec_fn=preexec_fn)
            self._thread = threading.Thread(target=self._reader, daemon=True)
            self._thread.start()
            self.window = self.find_window("^Skerrow$")
            if self.window is None:
                raise RuntimeError("the window did not appear: %r" % self.output())
            if wait_port and not wait_for(lambda: port_open(self.port), 20):
                raise RuntimeError("the window's server does not listen: %r" % self.output())
            self.keep_port(reservation)
            reservation = None
        finally:
            if reservation:
                reservation.release()
        return self

    def xdotool(self, *args, check=True):
        return subprocess.run(["xdotool", *args], env=self.xvfb.env(), capture_output=True,
                              text=True, timeout=scaled(30), check=check)

    def find_window(self, name, timeout=20):
        found = []

        def look():
            result = self.xdotool("search", "--onlyvisible", "--name", name, check=False)
            found[:] = result.stdout.split()
            return bool(found)
        return int(found[-1]) if wait_for(look, timeout, 0.1) else None

    def key(self, window, *keys):
        self.xdotool("windowactivate", "--sync", str(window), check=False)
        self.xdotool("windowfocus", "--sync", str(window), check=False)
        self.xdotool("key", *keys)
