#!/bin/sh
# Removal benchmark on both builds, on this machine, in one run.
#   bench/run.sh HOST_BUILD WIN_BUILD   (make bench passes an optimised
#                                        host build without sanitizers, and
#                                        build/win32 or build/win64)
# Host: the program's removal and a bare delete loop, against `rm -rf` of
# the same tree. Windows under Wine: the removal against a bare DeleteFile
# loop, with the loader and prefix of the tree's wine.json. The log is off
# in every run.
# Last, the registration receiver (host only): regserver under load from
# bodies of the program's own encoder, and killed under load.
set -e
host_build=${1:-build/bench-host}
win32_build=${2:-build/win32}
scratch=$(mktemp -d /tmp/removal-bench.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
export TESSEL_MACHINE="$scratch/machine" WINEDEBUG=-all

rm_rf() {  # files folders: the same tree, removed by rm -rf
  python3 - "$1" "$2" "$scratch/rm/tree" <<'PY'
import os, subprocess, sys, time
n, m, base = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
for f in range(m):
    os.makedirs("%s/d%d" % (base, f), exist_ok=True)
for i in range(n):
    open("%s/d%d/file%d.dat" % (base, i * m // n, i), "w").write("x")
start = time.monotonic()
subprocess.run(["rm", "-rf", base], check=True)
print("files=%d folders=%d rm-rf=%.3fs" % (n, m, time.monotonic() - start))
PY
}

echo "== host"
for shape in "20000 200" "20000 1"; do
  set -- $shape
  "$host_build/bench/removal_bench" "Z:$scratch/host" "$1" "$2"
  rm_rf "$1" "$2"
done

wine_side() {  # loader arch prefix of the tree's own Wine
  python3 -c 'import json, sys; d = json.load(open(sys.argv[1]))["default"]; print(d[sys.argv[2]])' \
    "$win32_build/wine.json" "$1"
}
# Only in a prefix with folders of its own (make prefix prepares it).
python3 "$(dirname "$0")/../tests/e2e/wineprefix.py" --check "$win32_build"
loader=$(wine_side loader)
export WINEPREFIX="$(wine_side prefix)" WINEARCH="$(wine_side arch)"
echo "== $(basename "$win32_build") under Wine ($loader, $WINEARCH)"
for shape in "20000 200" "20000 1"; do
  set -- $shape
  "$loader" "$win32_build/bench/removal_bench.exe" "C:\\removal-bench" "$1" "$2"
done

echo "== download: 100 MB from nginx on 127.0.0.1"
python3 "$(dirname "$0")/net_run.py" "$host_build" "$win32_build"

echo "== the update's download: a signed 100 MB installer into the product's folder"
python3 "$(dirname "$0")/net_update_run.py" "$host_build" "$win32_build"

echo "== the registration receiver: 10,000 registrations from 64 connections, then killed under load"
mkdir -p "$scratch/receiver"
"$host_build/bench/receiver_bench" "$host_build/server/regserver" "$scratch/receiver" --count 10000 --connections 64
"$host_build/bench/receiver_bench" "$host_build/server/regserver" "$scratch/receiver" --count 10000 --connections 64 \
  --kill-after 4000
