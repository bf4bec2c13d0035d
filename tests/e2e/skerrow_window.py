"""Runs the real skerrow window under a private Xvfb display.

The display is chosen by Xvfb itself (-displayfd); the program gets its own
configuration folder and a port the system has chosen, as the headless
helper does. Windows are found and driven with xdotool.
"""

import os
import socket
import subprocess
import threading
import time

from skerrow_server import BINARY, PortReservation, SkerrowServer, scaled, wait_for


class Xvfb:
    """A private X display for the time of a test."""

    def __init__(self):
        read_end, write_end = os.pipe()
        # Only the abstract local socket: a display's socket file in
        # /tmp/.X11-unix can be removed by another X server that is looking
        # for a free display number at the same moment.
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
             "-nolisten", "unix"],
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
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number.decode().strip()

    def env(self):
        return dict(os.environ, DISPLAY=self.display)

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def port_open(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5) as probe:
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
        finally:
            if reservation:
                reservation.release()
        return self

    def xdotool(self, *args, check=True):
        return subprocess.run(["xdotool", *args], env=self.xvfb.env(), capture_output=True,
                              text=True, timeout=30, check=check)

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
