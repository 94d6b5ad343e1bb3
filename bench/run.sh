#!/bin/sh
# Removal benchmark on both builds, on this machine, in one run.
#   bench/run.sh [BUILD_DIR]
# Host: the program's removal and a bare delete loop, against `rm -rf` of
# the same tree. Win32 under Wine: the removal against a bare DeleteFile
# loop under Wine. The log is off in every run.
set -e
build=${1:-build}
scratch=$(mktemp -d /tmp/removal-bench.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
export TESSEL_MACHINE="$scratch/machine" WINEDEBUG=-all

rm_rf() {  # files folders
  mkdir -p "$scratch/rm/tree"
  i=0; f=0
  while [ $f -lt "$2" ]; do mkdir -p "$scratch/rm/tree/d$f"; f=$((f + 1)); done
  python3 -c "
import sys
n, m, base = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
for i in range(n):
    open('%s/d%d/file%d.dat' % (base, i % m, i), 'w').write('x')
" "$1" "$2" "$scratch/rm/tree"
  start=$(date +%s.%N)
  rm -rf "$scratch/rm/tree"
  end=$(date +%s.%N)
  echo "files=$1 folders=$2 rm-rf=$(echo "$end - $start" | bc -l | sed 's/^\./0./')s"
}

echo "== host (ASan build if that is what $build/host holds)"
for shape in "20000 200" "20000 1"; do
  set -- $shape
  "$build/host/bench/removal_bench" "Z:$scratch/host" "$1" "$2"
  rm_rf "$1" "$2"
done

echo "== win32 under Wine"
export WINEPREFIX="$build/win32/wineprefix"
for shape in "5000 50" "5000 1"; do
  set -- $shape
  wine "$build/win32/bench/removal_bench.exe" "C:\\removal-bench" "$1" "$2"
done
