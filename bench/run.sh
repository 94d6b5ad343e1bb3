#!/bin/sh
# The removal and download benchmarks on both builds, on this machine, in
# one run.
#   bench/run.sh HOST_BUILD WIN_BUILD   (make bench passes an optimised
#                                        host build without sanitizers, and
#                                        build/win32 or build/win64)
# BENCH=removal runs the removal benchmark alone.
# The removal: the program's removal against a bare delete loop over the
# same tree, interleaved, five rounds each (bench/removal_run.py); on the
# host inside its machine root, under Wine with the loader and prefix of the
# tree's wine.json. The log is off in every run.
# Last, the registration receiver (host only): regserver under load from
# bodies of the program's own encoder against a bare loop of the same rows,
# beside 1,000 slow connections, and killed under load.
set -e
host_build=${1:-build/bench-host}
win32_build=${2:-build/win32}
export WINEDEBUG=-all
scratch=$(mktemp -d /tmp/tessel-bench.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

# Only in a prefix with folders of its own (make prefix prepares it).
python3 "$(dirname "$0")/../tests/e2e/wineprefix.py" --check "$win32_build"
echo "== removal: 20,000 files in 200 folders and in one, 80,000 in one"
python3 "$(dirname "$0")/removal_run.py" "$host_build" "$win32_build"
[ "${BENCH:-all}" = removal ] && exit 0

echo "== download: 100 MB from nginx on 127.0.0.1"
python3 "$(dirname "$0")/net_run.py" "$host_build" "$win32_build"

echo "== the update's download: a signed 100 MB installer into the product's folder"
python3 "$(dirname "$0")/net_update_run.py" "$host_build" "$win32_build"

echo "== the registration receiver: 10,000 registrations from 64 connections against the bare loop, 1,000 slow"
echo "   connections beside honest ones, then killed under load"
mkdir -p "$scratch/receiver"
"$host_build/bench/receiver_bench" "$host_build/server/regserver" "$scratch/receiver" --count 10000 --connections 64 \
  --slow 1000
"$host_build/bench/receiver_bench" "$host_build/server/regserver" "$scratch/receiver" --count 10000 --connections 64 \
  --kill-after 4000
