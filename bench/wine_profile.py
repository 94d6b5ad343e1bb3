#!/usr/bin/env python3
"""Where the removal's time goes under Wine: the requests to the Wine
server per file, for the program's removal and for the bare delete loop,
read from a WINEDEBUG=+server trace of one removal_bench round (removal
first, then the bare loop). Every request is a round trip to another
process, the cost that grows most when the machine is busy.

    wine_profile.py WIN_BUILD [FILES] [FOLDERS]
"""
import collections
import json
import os
import re
import subprocess
import sys
import tempfile

from removal_run import check_prefix

REQUEST = re.compile(r"^[0-9a-f]+: ([a-z_]+)\(")
REPLY = re.compile(r"^[0-9a-f]+: [a-z_]+\(\) = ")


def phases(lines):
    """The requests of the removal and of the bare loop: each runs from the
    end of a tree's making (its files created, create=5) to the next making
    or the end. The tree is made three times: the warm-up, then before each
    timed run."""
    making = [i for i, text in enumerate(lines) if "create_file(" in text and "create=5," in text]
    clusters = [[making[0], making[0]]]
    for i in making[1:]:
        if i - clusters[-1][1] < 40:
            clusters[-1][1] = i
        else:
            clusters.append([i, i])
    if len(clusters) != 3:
        raise SystemExit("the trace does not show three trees made (%d)" % len(clusters))
    return lines[clusters[1][1] + 1:clusters[2][0]], lines[clusters[2][1] + 1:]


def count(lines):
    found = collections.Counter()
    for text in lines:
        match = REQUEST.match(text)
        if match and not REPLY.match(text):
            found[match.group(1)] += 1
    return found


def main():
    win_build = sys.argv[1]
    files = sys.argv[2] if len(sys.argv) > 2 else "2000"
    folders = sys.argv[3] if len(sys.argv) > 3 else "20"
    with open(os.path.join(win_build, "wine.json")) as f:
        wine = json.load(f)["default"]
    # Never in a prefix whose profile still links to the real home.
    check_prefix(win_build)
    env = dict(os.environ, WINEPREFIX=wine["prefix"], WINEARCH=wine["arch"])
    # The trace is the server's: it starts with this run, and ends with it.
    subprocess.run([wine["server"], "-w"], env=env, check=True)
    with tempfile.TemporaryFile() as trace:
        subprocess.run([wine["loader"], os.path.join(win_build, "bench", "removal_bench.exe"), "C:\\removal-bench",
                        files, folders, "1"], env=dict(env, WINEDEBUG="+server"), stdout=subprocess.DEVNULL,
                       stderr=trace, check=True)
        subprocess.run([wine["server"], "-w"], env=env, check=True)
        trace.seek(0)
        lines = trace.read().decode("latin-1").splitlines()
    removal, bare = (count(part) for part in phases(lines))
    n = int(files)
    print("Wine server requests per file, %s files in %s folders:" % (files, folders))
    for name, found in (("removal", removal), ("bare loop", bare)):
        detail = ", ".join("%s %.2f" % (k, v / n) for k, v in found.most_common() if v / n >= 0.01)
        print("  %-9s %.2f  (%s)" % (name, sum(found.values()) / n, detail))


if __name__ == "__main__":
    main()
