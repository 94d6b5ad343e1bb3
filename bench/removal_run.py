#!/usr/bin/env python3
"""Removal benchmark on both builds, on this machine, in one run: for each
shape (files, folders) removal_bench interleaves the program's removal and a
bare delete loop, ROUNDS each; the host side also times `rm -rf` of the same
tree. Prints the machine's load, a line per shape and side, and how the time
per file grows from 20,000 to 80,000 files in one folder.

    removal_run.py HOST_BUILD WIN_BUILD [ROUNDS]
"""
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SHAPES = [(20000, 200), (20000, 1), (80000, 1)]
FIELDS = ("removal-best", "removal-median", "bare-best", "bare-median", "ratio-best", "ratio-median",
          "removal-calls/file", "bare-calls/file")


def load():
    return subprocess.run(["uptime"], stdout=subprocess.PIPE, check=True).stdout.decode().strip()


def bench(command, env):
    result = subprocess.run(command, env=env, stdout=subprocess.PIPE, timeout=7200)
    out = result.stdout.decode(errors="replace")
    summary = [line for line in out.splitlines() if line.startswith("files=")]
    if result.returncode != 0 or not summary:
        raise SystemExit("%s failed (%d):\n%s" % (command[0], result.returncode, out))
    fields = dict(re.findall(r"(\S+)=(\S+)", summary[-1]))
    return {name: float(fields[name].rstrip("s")) for name in FIELDS}


def rm_rf(files, folders, base, rounds):
    """The median of `rm -rf` over the same tree."""
    times = []
    for _ in range(rounds):
        for f in range(folders):
            os.makedirs("%s/d%d" % (base, f), exist_ok=True)
        for i in range(files):
            with open("%s/d%d/file%d.dat" % (base, i * folders // files, i), "w") as f:
                f.write("x")
        start = time.monotonic()
        subprocess.run(["rm", "-rf", base], check=True)
        times.append(time.monotonic() - start)
    return statistics.median(times)


def line(side, files, folders, r, extra=""):
    return ("%-28s %6d files %3d folders  removal %7.3f s (best %7.3f)  bare %7.3f s (best %7.3f)  "
            "ratio %.2f (best %.2f)  calls/file %.2f vs %.2f%s" % (
                side, files, folders, r["removal-median"], r["removal-best"], r["bare-median"], r["bare-best"],
                r["ratio-median"], r["ratio-best"], r["removal-calls/file"], r["bare-calls/file"], extra))


def linearity(side, results):
    small, large = results[(20000, 1)], results[(80000, 1)]
    grow = {kind: (large[kind + "-median"] / 80000) / (small[kind + "-median"] / 20000) for kind in ("removal", "bare")}
    print("%-28s per file, 80,000 against 20,000 in one folder: removal %.2fx, bare loop %.2fx" % (
        side, grow["removal"], grow["bare"]))


def check_prefix(win_build):
    """Makes the tree's prefix if it is not there, or prepares again one
    made before: folders of its own for the profile (tests/e2e/wineprefix.py)."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "e2e"))
    import e2e  # noqa: E402
    if not e2e.Win32(win_build, win_build).boot():
        raise SystemExit("Wine could not make the prefix of " + win_build)


def main():
    host_build, win_build = sys.argv[1], sys.argv[2]
    rounds = sys.argv[3] if len(sys.argv) > 3 else "5"
    scratch = tempfile.mkdtemp(prefix="removal-bench-")
    try:
        print("load before: " + load())
        host_env = dict(os.environ, TESSEL_MACHINE=os.path.join(scratch, "machine"))
        host = {}
        for files, folders in SHAPES:
            host[(files, folders)] = r = bench(
                [os.path.join(host_build, "bench", "removal_bench"), "C:\\removal-bench", str(files), str(folders),
                 rounds], host_env)
            rm = rm_rf(files, folders, os.path.join(scratch, "rm", "tree"), int(rounds))
            print(line("host", files, folders, r, "  rm -rf %.3f s" % rm))
        linearity("host", host)

        with open(os.path.join(win_build, "wine.json")) as f:
            wine = json.load(f)["default"]
        # Never in a prefix whose profile still links to the real home.
        check_prefix(win_build)
        wine_env = dict(os.environ, WINEPREFIX=wine["prefix"], WINEARCH=wine["arch"], WINEDEBUG="-all")
        side = "%s under Wine (%s)" % (os.path.basename(os.path.normpath(win_build)), wine["arch"])
        windows = {}
        for files, folders in SHAPES:
            windows[(files, folders)] = r = bench(
                [wine["loader"], os.path.join(win_build, "bench", "removal_bench.exe"), "C:\\removal-bench",
                 str(files), str(folders), rounds], wine_env)
            print(line(side, files, folders, r))
        linearity(side, windows)
        print("load after: " + load())
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
