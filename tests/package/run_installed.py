"""Starts the installed skerrow headless, as the user service would set it up,
and lists its folder with curl."""

import os
import select
import socket
import subprocess
import tempfile
import time

FACTOR = max(1.0, float(os.environ.get("SKERROW_TEST_TIME_FACTOR") or 1))

root = tempfile.mkdtemp(prefix="skerrow-installed-")
home = os.path.join(root, "home")
os.makedirs(home)
# The port stays ours (bound, never listening) until the server listens on it.
reservation = socket.socket()
reservation.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
reservation.bind(("0.0.0.0", 0))
port = reservation.getsockname()[1]
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
    # Served once it says that it listens.
    deadline = time.monotonic() + 20 * FACTOR
    said = b""
    while b"puerto" not in said:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([server.stdout], [], [], left)[0]:
            break
        chunk = os.read(server.stdout.fileno(), 4096)
        if not chunk:
            break
        said += chunk
    reservation.close()
    assert b"puerto" in said, said
    result = subprocess.run(["curl", "-s", "-S", "ftp://127.0.0.1:%d/" % port],
                            capture_output=True, timeout=60 * FACTOR)
    listing = result.stdout.decode() if result.returncode == 0 else None
    assert listing is not None and "hello.txt" in listing, listing
    got = subprocess.run(["curl", "-s", "ftp://127.0.0.1:%d/hello.txt" % port],
                         capture_output=True, timeout=60 * FACTOR).stdout
    assert got == b"hello", got
    print("installed skerrow served", repr(listing.splitlines()[-1]))
finally:
    server.terminate()
    assert server.wait(15 * FACTOR) == 0
