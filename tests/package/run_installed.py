"""Starts the installed skerrow headless, as the user service would set it up,
and lists its folder with curl."""

import os
import socket
import subprocess
import tempfile
import time

root = tempfile.mkdtemp(prefix="skerrow-installed-")
home = os.path.join(root, "home")
os.makedirs(home)
with socket.socket() as probe:
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"), TMPDIR=root)
env.pop("DISPLAY", None)
# The user service's first-start helper writes the settings once.
subprocess.run(["/usr/share/skerrow/first-user-settings"], env=env, check=True)
config = os.path.join(home, ".config", "Orvane", "skerrow.conf")
with open(config) as src:
    text = src.read().replace("Port=2121", "Port=%d" % port)
with open(config, "w") as out:
    out.write(text)
public = os.path.join(home, "Public")
with open(os.path.join(public, "hello.txt"), "w") as out:
    out.write("hello")
server = subprocess.Popen(["/usr/bin/skerrow", "--headless"], env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL)
try:
    deadline = time.monotonic() + 10
    listing = None
    while time.monotonic() < deadline:
        result = subprocess.run(["curl", "-s", "ftp://127.0.0.1:%d/" % port], capture_output=True)
        if result.returncode == 0:
            listing = result.stdout.decode()
            break
        time.sleep(0.1)
    assert listing is not None and "hello.txt" in listing, listing
    got = subprocess.run(["curl", "-s", "ftp://127.0.0.1:%d/hello.txt" % port],
                         capture_output=True).stdout
    assert got == b"hello", got
    print("installed skerrow served", repr(listing.splitlines()[-1]))
finally:
    server.terminate()
    assert server.wait(15) == 0
