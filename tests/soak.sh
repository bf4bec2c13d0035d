#!/usr/bin/env bash
# Proof that the suite is steady: `make test` on a fresh clone of the
# committed work, run again and again while another load keeps every core
# busy. Prints how many runs passed; fails unless all of them did.
#   RUNS=5 (how many), SOAK_DIR (where the clone goes; a temporary folder).
set -uo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
runs="${RUNS:-5}"
sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo
command -v stress-ng >/dev/null || { $sudo apt-get update -q && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q stress-ng; } || exit 1

dir="${SOAK_DIR:-$(mktemp -d /tmp/skerrow-soak-XXXXXX)}"
rm -rf "$dir/clone"
git clone -q "$here" "$dir/clone" || exit 1
echo "soak: $runs runs of make test in $dir/clone, with stress-ng on $(nproc) cores"

stress-ng --cpu "$(nproc)" --timeout 0 >/dev/null 2>&1 &
load=$!
trap 'kill $load 2>/dev/null; wait $load 2>/dev/null' EXIT

passed=0
for run in $(seq 1 "$runs"); do
    started=$(date +%s)
    if make -C "$dir/clone" test >"$dir/run-$run.log" 2>&1; then
        passed=$((passed + 1)); outcome=passed
    else
        outcome="FAILED (see $dir/run-$run.log)"
    fi
    echo "soak: run $run $outcome in $(( $(date +%s) - started )) s"
done
echo "soak: $passed of $runs runs passed"
[ "$passed" = "$runs" ]
