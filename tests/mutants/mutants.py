#!/usr/bin/env python3
"""One-line faults put into the units that decide what is removed, run,
trusted and stored, one at a time, to see that a test notices each.

    mutants.py --route 32|64 [--only REGEX] [--list] [--keep-going]

The faults are data (faults.txt beside this file). Each is applied to a
scratch copy of the checkout (build/mutants/src), which is built
incrementally in trees of its own (build/mutants/host, and the route's
Windows tree for faults in the Windows seam); then the fault's tests run.
A fault is caught when one of them fails, survives when all pass, and is
left out of the score when it does not build or its text is not found.
The checkout itself is never changed.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.abspath(os.path.join(HERE, "..", ".."))
WORK = os.path.join(SOURCE, "build", "mutants")
SCRATCH = os.path.join(WORK, "src")


class Fault:
    def __init__(self, unit, name):
        self.unit, self.name = unit, name
        self.file = self.find = self.replace = None
        self.tests = []

    @property
    def windows(self):
        return self.file.startswith("TESSEL/os/win32/")


def read_faults(path):
    """Stanzas of "file:", "find:", "replace:" and "tests:" lines, each
    opened by "[name]"; a "## unit" line names the unit of those after it."""
    faults, unit, fault = [], None, None
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.rstrip("\n")
            if line.startswith("## "):
                unit = line[3:].strip()
            elif line.startswith("#") or not line.strip():
                continue
            elif line.startswith("[") and line.endswith("]"):
                fault = Fault(unit, line[1:-1])
                faults.append(fault)
            else:
                key, _, value = line.partition(": ")
                if fault is None or key not in ("file", "find", "replace", "tests"):
                    sys.exit("%s:%d: not a fault line: %r" % (path, number, line))
                if key == "tests":
                    fault.tests = value.split()
                else:
                    setattr(fault, key, value.replace("\\n", "\n"))
    for fault in faults:
        if not (fault.unit and fault.file and fault.find is not None and fault.replace is not None and fault.tests):
            sys.exit("fault %s is incomplete" % fault.name)
    return faults


def copy_checkout():
    """The checkout's files as they are now, committed or not."""
    listed = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=SOURCE,
                            capture_output=True, check=True).stdout.decode().split("\0")
    wanted = set(filter(None, listed))
    # What the checkout no longer has goes from the copy too (a unit split
    # into a folder would otherwise be built twice).
    for folder, _, files in os.walk(SCRATCH):
        for file in files:
            path = os.path.join(folder, file)
            if os.path.relpath(path, SCRATCH) not in wanted:
                os.remove(path)
    for name in wanted:
        source, target = os.path.join(SOURCE, name), os.path.join(SCRATCH, name)
        if not os.path.isfile(source):
            continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if not os.path.exists(target) or open(source, "rb").read() != open(target, "rb").read():
            # A fresh time, so that the copy's build sees the change.
            shutil.copyfile(source, target)
            shutil.copymode(source, target)


def run(command, cwd=None, env=None, timeout=None):
    try:
        result = subprocess.run(command, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                timeout=timeout)
        return result.returncode, result.stdout.decode(errors="replace")
    except subprocess.TimeoutExpired:
        return -1, "timed out"


class Tree:
    """A build tree of the scratch copy."""

    def __init__(self, name, configure, wine=None):
        self.path = os.path.join(WORK, name)
        self.configure, self.wine = configure, wine

    def prepare(self):
        env = dict(os.environ)
        if shutil.which("ccache"):
            env.setdefault("CMAKE_CXX_COMPILER_LAUNCHER", "ccache")
            env.setdefault("CMAKE_C_COMPILER_LAUNCHER", "ccache")
        if not os.path.exists(os.path.join(self.path, "build.ninja")):
            code, out = run(["cmake", "-S", SCRATCH, "-B", self.path, "-G", "Ninja"] + self.configure, env=env)
            if code:
                sys.exit("configure %s failed:\n%s" % (self.path, out))
        code, out = self.build()
        if code:
            sys.exit("the scratch copy does not build in %s:\n%s" % (self.path, out[-4000:]))
        if self.wine:
            code, out = run([sys.executable, os.path.join(SCRATCH, "tests", "e2e", "wineprefix.py"), self.path])
            if code:
                sys.exit("the prefix of %s could not be prepared:\n%s" % (self.path, out))

    def build(self):
        return run(["cmake", "--build", self.path, "-j", str(os.cpu_count() or 2)])

    def test(self, tests, timeout):
        """0 when every test passed; the first failure's output otherwise."""
        for test in tests:
            if test.startswith("gtest:"):
                code, out = self.gtest(test[6:], timeout)
            else:
                code, out = run(["ctest", "--output-on-failure", "-R", "^(%s)$" % test], cwd=self.path,
                                timeout=timeout)
                if code == 0 and "No tests were found" in out:
                    return 1, "no test named %s in %s" % (test, self.path)
            if code:
                return code, "%s: %s" % (test, out[-3000:])
        return 0, ""

    def gtest(self, pattern, timeout):
        program = os.path.join(self.path, "tests", "unit_tests")
        if not self.wine:
            env = dict(os.environ, TESSEL_MACHINE=os.path.join(self.path, "test-machine"))
            return run([program, "--gtest_filter=" + pattern], env=env, timeout=timeout)
        with open(os.path.join(self.path, "wine.json")) as f:
            wine = json.load(f)["default"]
        env = dict(os.environ, WINEPREFIX=wine["prefix"], WINEARCH=wine["arch"], WINEDEBUG="-all",
                   WINEDLLOVERRIDES="mscoree,mshtml=", DISPLAY="")
        return run([sys.executable, os.path.join(SCRATCH, "tests", "e2e", "e2e.py"), "--side", "win32", "--build",
                    self.path, "--run", "mutant", "--deadline", str(timeout - 30), "--", wine["loader"],
                    program + ".exe", "--gtest_filter=" + pattern], env=env, timeout=timeout)


def first_failure(output):
    """The line that says what failed, for the table's last column."""
    lines = output.splitlines()
    for line in lines:
        if re.search(r"Failure|FAILED|Failed|failed|Error|error:|timed out", line):
            return line.strip()
    return lines[0].strip() if lines else ""


def apply(fault):
    path = os.path.join(SCRATCH, fault.file)
    with open(path, encoding="utf-8") as f:
        text = f.read()
    count = text.count(fault.find)
    if count != 1:
        return None, "its text is found %d times in %s" % (count, fault.file)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text.replace(fault.find, fault.replace))
    return text, None


def restore(fault, text):
    with open(os.path.join(SCRATCH, fault.file), "w", encoding="utf-8") as f:
        f.write(text)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--route", choices=["32", "64"], required=True)
    parser.add_argument("--only", help="regular expression on unit/name")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--timeout", type=int, default=900)
    args = parser.parse_args()

    faults = read_faults(os.path.join(HERE, "faults.txt"))
    if args.only:
        faults = [f for f in faults if re.search(args.only, "%s/%s" % (f.unit, f.name))]
    if args.list:
        for f in faults:
            print("%-10s %-40s %s" % (f.unit, f.name, " ".join(f.tests)))
        return 0

    os.makedirs(SCRATCH, exist_ok=True)
    copy_checkout()
    host = Tree("host", ["-DCMAKE_BUILD_TYPE=Debug"])
    toolchain = "i686-w64-mingw32" if args.route == "32" else "x86_64-w64-mingw32"
    windows = Tree("win" + args.route, ["-DCMAKE_BUILD_TYPE=Release",
                                        "-DCMAKE_TOOLCHAIN_FILE=%s/cmake/%s.cmake" % (SCRATCH, toolchain)], wine=True)
    trees = {"host": host, "windows": windows}
    needed = {"windows" if f.windows else "host" for f in faults}
    # The scenarios and the unit program need the host's builder tool also
    # for the Windows tree.
    needed.add("host")
    for name in sorted(needed):
        trees[name].prepare()

    # A fault's tests must pass without it, or a failure proves nothing.
    for name in sorted(needed):
        tests = sorted({t for f in faults if ("windows" if f.windows else "host") == name for t in f.tests})
        code, out = trees[name].test(tests, args.timeout)
        if code:
            sys.exit("without any fault, a test already fails in the %s tree:\n%s" % (name, out))

    results = []
    for fault in faults:
        tree = windows if fault.windows else host
        started = time.time()
        text, why = apply(fault)
        if text is None:
            verdict, detail = "not applied", why
        else:
            try:
                code, out = tree.build()
                if code:
                    verdict, detail = "does not build", out.strip().splitlines()[-1] if out.strip() else ""
                else:
                    code, out = tree.test(fault.tests, args.timeout)
                    verdict, detail = ("caught", first_failure(out)) if code else ("survived", "")
            finally:
                restore(fault, text)
        results.append((fault, verdict, detail))
        print("%-14s %-10s %-40s %5.0f s  %s" % (verdict.replace(" ", "-"), fault.unit, fault.name, time.time() - started,
                                                detail[:100]), flush=True)

    print()
    print("%-12s %7s %7s %9s %7s" % ("unit", "faults", "caught", "survived", "score"))
    units = sorted({f.unit for f, _, _ in results})
    total_caught = total_counted = 0
    for unit in units:
        mine = [v for f, v, _ in results if f.unit == unit]
        caught, survived = mine.count("caught"), mine.count("survived")
        counted = caught + survived
        total_caught, total_counted = total_caught + caught, total_counted + counted
        print("%-12s %7d %7d %9d %6s" % (unit, len(mine), caught, survived,
                                         "%d%%" % (100 * caught // counted) if counted else "-"))
    print("%-12s %7d %7d %9d %6s" % ("all", len(results), total_caught, total_counted - total_caught,
                                     "%d%%" % (100 * total_caught // total_counted) if total_counted else "-"))
    left = [(f, v, d) for f, v, d in results if v not in ("caught", "survived")]
    survivors = [f for f, v, _ in results if v == "survived"]
    if survivors:
        print("\nSurvived: " + ", ".join("%s/%s" % (f.unit, f.name) for f in survivors))
    for f, v, d in left:
        print("Not counted: %s/%s (%s: %s)" % (f.unit, f.name, v, d))
    return 1 if left else 0


if __name__ == "__main__":
    sys.exit(main())
