#!/bin/sh
# Pictures of the window for people: runs build/skerrow under Xvfb with a
# temporary configuration, connects a client, and writes PNGs to docs/.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
exec python3 "$root/tests/ui/screenshots.py" "$root" "$@"
