"""Starts the real skerrow binary headless for end-to-end tests.

Each server gets its own configuration folder (XDG_CONFIG_HOME), its own home
folder, published folders of its own and a port the system has chosen.
"""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

BINARY = os.path.abspath(os.environ.get(
    "SKERROW_BINARY",
    os.path.join(os.path.dirname(__file__), "..", "..", "build", "skerrow")))


def free_port():
    """A port the system has just handed out and released."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for(condition, timeout=10.0, interval=0.01):
    """Polls condition() until it is true; False when the time runs out."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(interval)
    return condition()


def quote(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


class SkerrowServer:
    """One headless server process with its own settings and folders."""

    def __init__(self, users=None, folders=None, log_level=1, extra_config=None, timeout=None):
        self.root = tempfile.mkdtemp(prefix="skerrow-e2e-")
        self.config_home = os.path.join(self.root, "config")
        self.home = os.path.join(self.root, "home")
        self.tmp = os.path.join(self.root, "tmp")
        for path in (self.config_home, self.home, self.tmp):
            os.makedirs(path)
        self.users = users
        self.folders = folders
        self.log_level = log_level
        self.extra_config = extra_config or ""
        self.timeout = timeout
        self.port = None
        self.process = None
        self._output = bytearray()
        self._lock = threading.Lock()

    @property
    def settings_file(self):
        return os.path.join(self.config_home, "Orvane", "skerrow.conf")

    def folder(self, name):
        """A fresh local folder inside the server's own area."""
        path = os.path.join(self.root, name)
        os.makedirs(path, exist_ok=True)
        return path

    def write_settings(self):
        lines = ["[Config]", "Port=%d" % self.port, "LogLevel=%d" % self.log_level]
        if self.timeout is not None:
            lines.append("Timeout=%d" % self.timeout)
        if self.users is not None:
            lines += ["[Users]", "UserCount=%d" % len(self.users)]
            lines += ["User%d=%s" % (i, quote(u)) for i, u in enumerate(self.users)]
        if self.folders is not None:
            lines += ["[Mapping]", "MapCount=%d" % len(self.folders)]
            lines += ["Map%d=%s" % (i, quote(f)) for i, f in enumerate(self.folders)]
        os.makedirs(os.path.dirname(self.settings_file), exist_ok=True)
        with open(self.settings_file, "w", encoding="utf-8") as out:
            out.write("\n".join(lines) + "\n" + self.extra_config)

    def start(self, preset_port=None, preexec_fn=None):
        for _ in range(5):
            self.port = preset_port or free_port()
            self.write_settings()
            env = dict(os.environ, XDG_CONFIG_HOME=self.config_home, HOME=self.home,
                       TMPDIR=self.tmp, LC_ALL="C.UTF-8")
            env.pop("DISPLAY", None)
            env.pop("WAYLAND_DISPLAY", None)
            self._output = bytearray()
            # Standard error apart: run as root, the server warns there.
            self.process = subprocess.Popen(
                [BINARY, "--headless"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                env=env, cwd=self.root, preexec_fn=preexec_fn)
            self._errors = bytearray()
            self._thread = threading.Thread(target=self._reader, daemon=True)
            self._thread.start()
            self._error_thread = threading.Thread(target=self._error_reader, daemon=True)
            self._error_thread.start()
            if wait_for(lambda: b"puerto" in self.output() or b"Error:" in self.output()
                        or self.process.poll() is not None):
                if b"puerto" in self.output():
                    return self
            self.stop()
            if preset_port:
                break
        raise RuntimeError("skerrow did not start: %r" % self.output())

    def _reader(self):
        stream = self.process.stdout
        while True:
            chunk = stream.read1(65536)
            if not chunk:
                return
            with self._lock:
                self._output += chunk

    def _error_reader(self):
        stream = self.process.stderr
        while True:
            chunk = stream.read1(65536)
            if not chunk:
                return
            with self._lock:
                self._errors += chunk

    def errors(self):
        with self._lock:
            return bytes(self._errors)

    def output(self):
        with self._lock:
            return bytes(self._output)

    def text(self):
        return self.output().decode("utf-8", "replace")

    def wait_output(self, needle, timeout=10.0):
        if isinstance(needle, str):
            needle = needle.encode("utf-8")
        return wait_for(lambda: needle in self.output(), timeout)

    def stop(self, sig=signal.SIGTERM):
        """Ends the server as closing the window would; returns its status."""
        if self.process is None:
            return None
        if self.process.poll() is None:
            self.process.send_signal(sig)
        try:
            status = self.process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.process.kill()
            status = self.process.wait()
        self._thread.join(timeout=5)
        if getattr(self, "_error_thread", None):
            self._error_thread.join(timeout=5)
            self.process.stderr.close()
        self.process.stdout.close()
        self.process = None
        return status

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.root, ignore_errors=True)

    def temp_listings(self):
        return [name for name in os.listdir(self.tmp) if name.startswith("FLS")]
