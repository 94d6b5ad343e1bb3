#!/usr/bin/env python3
"""Removal benchmark on both builds, on this machine, in one run: for each
shape (files, folders) removal_bench interleaves the program's removal and a
bare delete loop, ROUNDS each; the host side also times `rm -rf` of the same
tree. Under Wine this script makes each tree itself, straight in the
prefix's drive_c (Wine lists a whole folder for every new name, so its own
making of 80,000 files in one folder takes longer than all the removals).
Prints the machine's load, a line per shape and side, and how the time per
file grows from 20,000 to 80,000 files in one folder; last, under Wine, what
one file's removal costs request by request (removal_requests).

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

# REMOVAL_SHAPES="2000x20,2000x1,8000x1" for a quick look; the linearity
# line compares the last two.
SHAPES = [tuple(int(n) for n in shape.split("x"))
          for shape in os.environ.get("REMOVAL_SHAPES", "20000x200,20000x1,80000x1").split(",")]
FIELDS = ("removal-best", "removal-median", "bare-best", "bare-median", "ratio-best", "ratio-median",
          "removal-calls/file", "bare-calls/file")


def load():
    return subprocess.run(["uptime"], stdout=subprocess.PIPE, check=True).stdout.decode().strip()


def make_tree(base, files, folders):
    """The tree removal_bench makes: d<folder>/file<n>.dat, folder by folder."""
    for f in range(folders):
        os.makedirs("%s/d%d" % (base, f), exist_ok=True)
    for i in range(files):
        with open("%s/d%d/file%d.dat" % (base, i * folders // files, i), "w") as f:
            f.write("x")


def bench(command, env, tree=None):
    """Runs removal_bench; with tree (files, folders, host folder) this
    script makes each tree when the program asks for it."""
    if tree is None:
        result = subprocess.run(command, env=env, stdout=subprocess.PIPE, timeout=7200)
        out = result.stdout.decode(errors="replace")
        returncode = result.returncode
    else:
        files, folders, host_folder = tree
        process = subprocess.Popen(command + ["--caller-makes-trees"], env=env, stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE)
        lines = []
        for raw in process.stdout:
            text = raw.decode(errors="replace").rstrip("\r\n")
            lines.append(text)
            if text.startswith("make-tree "):
                # The program removed the last one; what is left of it fails the run.
                make_tree(host_folder, files, folders)
                process.stdin.write(b"made\n")
                process.stdin.flush()
            elif text.startswith("files="):
                break  # the summary; Wine's server may keep the pipe open a while after
        process.stdin.close()
        returncode = process.wait(timeout=600)
        out = "\n".join(lines)
    summary = [line for line in out.splitlines() if line.startswith("files=")]
    if returncode != 0 or not summary:
        raise SystemExit("%s failed (%d):\n%s" % (command[0], returncode, out))
    fields = dict(re.findall(r"(\S+)=(\S+)", summary[-1]))
    return {name: float(fields[name].rstrip("s")) for name in FIELDS}


def rm_rf(files, folders, base, rounds):
    """The median of `rm -rf` over the same tree."""
    times = []
    for _ in range(rounds):
        make_tree(base, files, folders)
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
    (small_files, _), (large_files, _) = SHAPES[-2], SHAPES[-1]
    small, large = results[SHAPES[-2]], results[SHAPES[-1]]
    grow = {kind: (large[kind + "-median"] / large_files) / (small[kind + "-median"] / small_files)
            for kind in ("removal", "bare")}
    print("%-28s per file, %d against %d in one folder: removal %.2fx, bare loop %.2fx" % (
        side, large_files, small_files, grow["removal"], grow["bare"]))


def requests(win_build, wine, env, drive_c):
    """One file's removal request by request, and what each way does to
    the target of a link in place of a file: a link this script makes in
    the prefix to a file of its own there."""
    program = os.path.join(win_build, "bench", "removal_requests.exe")
    if not os.path.exists(program):
        return
    links = os.path.join(drive_c, "removal-requests")
    shutil.rmtree(links, ignore_errors=True)
    os.makedirs(os.path.join(links, "product"))
    os.makedirs(os.path.join(links, "elsewhere"))
    target = os.path.join(links, "elsewhere", "target.txt")
    os.symlink(target, os.path.join(links, "product", "file.dat"))
    try:
        result = subprocess.run([wine["loader"], program, "C:\\removal-requests\\files", "3000", "5",
                                 "C:\\removal-requests\\product\\file.dat",
                                 "C:\\removal-requests\\elsewhere\\target.txt"],
                                env=env, stdout=subprocess.PIPE, timeout=3600)
        for text in result.stdout.decode(errors="replace").splitlines():
            print("%-28s %s" % ("requests under Wine", text.strip()))
    finally:
        shutil.rmtree(links, ignore_errors=True)


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
        drive_c = os.path.join(wine["prefix"], "drive_c")
        windows = {}
        for files, folders in SHAPES:
            windows[(files, folders)] = r = bench(
                [wine["loader"], os.path.join(win_build, "bench", "removal_bench.exe"), "C:\\removal-bench",
                 str(files), str(folders), rounds], wine_env,
                tree=(files, folders, os.path.join(drive_c, "removal-bench", "tree")))
            print(line(side, files, folders, r))
        linearity(side, windows)
        requests(win_build, wine, wine_env, drive_c)
        print("load after: " + load())
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
