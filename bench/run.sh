#!/usr/bin/env bash
# Benchmarks Skerrow against Debian's vsftpd and pure-ftpd in the same run
# (see run.py). The two peers conflict as packages: vsftpd is installed,
# pure-ftpd is unpacked beside it.
set -euo pipefail
cd "$(dirname "$0")/.."
SUDO=$([ "$(id -u)" = 0 ] || echo sudo)
missing=""
command -v vsftpd >/dev/null || [ -x /usr/sbin/vsftpd ] || missing="$missing vsftpd"
command -v taskset >/dev/null || missing="$missing util-linux"
command -v haproxy >/dev/null || [ -x /usr/sbin/haproxy ] || missing="$missing haproxy"
if [ -n "$missing" ]; then
  $SUDO apt-get update -q && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q $missing
fi
PURE_DIR=/tmp/skerrow-bench-pure
if ! [ -x "$PURE_DIR/usr/sbin/pure-ftpd" ]; then
  work=$(mktemp -d)
  (cd "$work" && apt-get download pure-ftpd >/dev/null 2>&1 && dpkg -x pure-ftpd_*.deb "$PURE_DIR")
  rm -rf "$work"
fi
export PURE_FTPD="$PURE_DIR/usr/sbin/pure-ftpd"
python3 bench/run.py "$@"
python3 bench/extended.py "$@"
python3 bench/tls.py "$@"
python3 bench/tlsidle.py "$@"
python3 bench/logins.py "$@"
python3 bench/ipv6.py "$@"
python3 bench/who.py "$@"
python3 bench/balancer.py "$@"
exec python3 bench/window.py
