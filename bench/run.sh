#!/usr/bin/env bash
# Benchmarks Skerrow against Debian's vsftpd in the same run (see run.py).
set -euo pipefail
cd "$(dirname "$0")/.."
SUDO=$([ "$(id -u)" = 0 ] || echo sudo)
if ! command -v vsftpd >/dev/null && ! [ -x /usr/sbin/vsftpd ]; then
  $SUDO apt-get update -q && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q vsftpd
fi
python3 bench/run.py "$@"
exec python3 bench/window.py
