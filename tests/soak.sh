#!/usr/bin/env bash
# Proof that the suite is steady: `make test` on a fresh clone of the
# committed work, run again and again under a load heavier than a busy
# desktop's: stress-ng keeps every core busy and runs four more processor
# workers and two that flush the disk. Prints how many runs passed, each
# with its time and the load it ran under; fails unless all of them did.
#   RUNS=5 (how many), SOAK_DIR (where the clone goes; a temporary folder),
#   SOAK_LOAD (stress-ng's workers; by default --cpu <cores + 4> --io 2).
set -uo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
runs="${RUNS:-5}"
sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo
command -v stress-ng >/dev/null || { $sudo apt-get update -q && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q stress-ng; } || exit 1

dir="${SOAK_DIR:-$(mktemp -d /tmp/skerrow-soak-XXXXXX)}"
rm -rf "$dir/clone"
git clone -q "$here" "$dir/clone" || exit 1
load_args="${SOAK_LOAD:---cpu $(( $(nproc) + 4 )) --io 2}"
echo "soak: $runs runs of make test in $dir/clone, with stress-ng $load_args on $(nproc) cores"

# shellcheck disable=SC2086 # the workers are words of their own
stress-ng $load_args --timeout 0 >/dev/null 2>&1 &
load=$!
trap 'kill $load 2>/dev/null; wait $load 2>/dev/null' EXIT

passed=0
for run in $(seq 1 "$runs"); do
    started=$(date +%s)
    ( while sleep 10; do cut -d' ' -f1 /proc/loadavg; done ) >"$dir/load-$run.txt" &
    sampler=$!
    if make -C "$dir/clone" test >"$dir/run-$run.log" 2>&1; then
        passed=$((passed + 1)); outcome=passed
    else
        outcome="FAILED (see $dir/run-$run.log)"
    fi
    kill "$sampler" 2>/dev/null; wait "$sampler" 2>/dev/null
    highest=$(sort -g "$dir/load-$run.txt" | tail -n 1)
    average=$(awk '{ sum += $1 } END { if (NR) printf "%.1f", sum / NR }' "$dir/load-$run.txt")
    echo "soak: run $run $outcome in $(( $(date +%s) - started )) s, load average ${average:-?} (highest ${highest:-?})"
done
echo "soak: $passed of $runs runs passed"
[ "$passed" = "$runs" ]
