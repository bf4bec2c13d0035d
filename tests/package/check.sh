#!/usr/bin/env bash
# Checks the Debian package: lintian, the manual page, the metainfo and the
# service units; then installs it here and runs the installed program.
set -euo pipefail
build="$1"
cd "$(dirname "$0")/../.."
deb=$(ls "$build"/skerrow_*.deb | head -n 1)
SUDO=$([ "$(id -u)" = 0 ] || echo sudo)

echo "== lintian $deb"
# Errors fail; warnings are shown.
lintian --fail-on error --tag-display-limit 0 "$deb"

echo "== manual page"
warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 res/man/skerrow.1 2>&1 >/dev/null || true)
if [ -n "$warnings" ]; then echo "$warnings"; exit 1; fi

echo "== metainfo"
appstreamcli validate --no-net res/org.orvane.Skerrow.metainfo.xml

echo "== install"
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --reinstall "./$deb" >/dev/null
skerrow --version | grep -qx "skerrow 0.7"

echo "== units"
systemd-analyze verify /lib/systemd/system/skerrow.service
# The system unit's exposure, as systemd rates it: 2.0 at the most.
exposure=$(systemd-analyze security --offline=true /lib/systemd/system/skerrow.service 2>/dev/null |
           sed -n 's/.*Overall exposure level for skerrow.service: \([0-9.]*\).*/\1/p')
echo "exposure of skerrow.service: $exposure"
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.0) }'
# The template for several instances on one host, as one instance of it.
systemd-analyze verify skerrow@a.service
test -f /usr/share/doc/skerrow/balancer.md
test -f /usr/share/doc/skerrow/haproxy/haproxy.cfg
# The user manager's checks need a runtime folder of their own.
runtime=$(mktemp -d)
XDG_RUNTIME_DIR="$runtime" systemd-analyze --user verify /usr/lib/systemd/user/skerrow.service
rm -rf "$runtime"

echo "== fail2ban filters and jail"
# The journal filter reads only the failed-login records of the services
# (by their event field and the unit the journal records), as fail2ban's
# systemd backend shows them: "HOST skerrow[PID]: " and the record's text.
# The address it takes is the server's, right after the fixed words; a plain
# line without the prefix is not one of those records and matches nothing.
grep -qx "journalmatch = SKERROW_EVENT=login-failed _SYSTEMD_UNIT=skerrow.service" \
    /etc/fail2ban/filter.d/skerrow.conf
grep -qx " *SKERROW_EVENT=login-failed _SYSTEMD_SLICE=system-skerrow.slice" \
    /etc/fail2ban/filter.d/skerrow.conf
records=$(mktemp)
printf '%s\n' \
    'ftp1 skerrow[812]: Inicio de sesión fallido de 192.0.2.7 (usuario ana)' \
    'ftp1 skerrow[812]: Inicio de sesión fallido de 192.0.2.8 (usuario x) Inicio de sesión fallido de 192.0.2.99 (usuario y)' \
    'Inicio de sesión fallido de 192.0.2.99 (usuario z)' \
    'ftp1 skerrow[812]: NOOP Inicio de sesión fallido de 192.0.2.99 (usuario z)' >"$records"
# Read whole before it is searched: grep -q leaving early would break the pipe.
matched=$(fail2ban-regex -v "$records" /etc/fail2ban/filter.d/skerrow.conf)
grep -q "Failregex: 2 total" <<<"$matched"
grep -Eq "^\|  +192\.0\.2\.7 " <<<"$matched"
grep -Eq "^\|  +192\.0\.2\.8 " <<<"$matched"
if grep -E '^\|  +[0-9]' <<<"$matched" | grep -q "192\.0\.2\.99 "; then
    echo "the journal filter took an address a user name named"; exit 1
fi
# The filter for plain log files takes the line as the server writes it.
matched=$(fail2ban-regex "Inicio de sesión fallido de 192.0.2.7 (usuario ana)" \
    /etc/fail2ban/filter.d/skerrow-file.conf)
grep -q "Failregex: 1 total" <<<"$matched"
grep -q "level 0 or 1" /etc/fail2ban/filter.d/skerrow-file.conf
rm -f "$records"
grep -qx "enabled  = false" /etc/fail2ban/jail.d/skerrow.conf
grep -qx "filter   = skerrow" /etc/fail2ban/jail.d/skerrow.conf

echo "== headless start from the installed files"
python3 tests/package/run_installed.py
echo "package checks passed"
