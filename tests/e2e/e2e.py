#!/usr/bin/env python3
"""Whole-program scenarios, run the way a person runs the program.

win32: Uninstall.exe under Wine on an Xvfb display, with uidriver.exe
pressing the buttons of its windows. host: the host build on a machine root
of its own, its message boxes answered through standard input.

    e2e.py --list --side win32|host [--wine NAME]
    e2e.py --side win32|host [--wine NAME] --build DIR --source DIR SCENARIO
    e2e.py --side win32 [--wine NAME] --build DIR --run NAME [--display] -- COMMAND...

--wine names the Wine side of the win32 tree (its wine.json): "default", or
"wow64" for the 32-bit program in a 64-bit prefix, where only the scenarios
marked for it run.

Under Wine each scenario (and each --run command) runs in a copy of the
tree's prepared prefix (make prefix), DIR/e2e-prefixes/NAME, with its own
wineserver and Xvfb display, so that CTest can run them side by side. The
copy goes when the run passes and is kept for a look when it fails.
"""
import argparse
import contextlib
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SCENARIOS = {}
TOOL = None


def scenario(function):
    SCENARIOS[function.__name__] = function
    return function


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def contains(text, expected, what):
    check(expected in text, "%s lacks %r:\n%s" % (what, expected, text))


def lacks(text, unexpected, what):
    check(unexpected not in text, "%s holds %r:\n%s" % (what, unexpected, text))


def read_text(path):
    with open(path, "rb") as f:
        return f.read().decode("latin-1").replace("\r\n", "\n")


class Display:
    """A private Xvfb display for the scenario. Xvfb itself takes the first
    free display number (-displayfd), so scenarios started side by side
    never meet on one display."""

    def __init__(self):
        self.process = None
        self.name = None

    def __enter__(self):
        for _ in range(3):
            read, write = os.pipe()
            try:
                self.process = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24",
                                                 "-nolisten", "tcp"], pass_fds=(write,),
                                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            finally:
                os.close(write)
            number = b""
            deadline = time.monotonic() + 30
            with os.fdopen(read, "rb", buffering=0) as pipe:
                while not number.endswith(b"\n") and time.monotonic() < deadline:
                    ready, _, _ = select.select([pipe], [], [], 0.5)
                    if ready:
                        piece = pipe.read(16)
                        if not piece:
                            break  # Xvfb ended
                        number += piece
            if number.strip().isdigit():
                self.name = ":" + number.strip().decode()
                return self
            self.__exit__()
        raise Failure("no Xvfb display could be started")

    def __exit__(self, *exc):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)


class Side:
    """What differs between the two builds: how a program runs, where a
    Windows path lies on this host, how a person answers a box."""

    def __init__(self, build, source):
        self.build = build
        self.source = source

    def program(self, name):
        raise NotImplementedError

    def host_path(self, windows_path):
        """Where a Windows path lies on this host: drive_<x>/ of the machine
        folder (the Wine prefix or the host machine root), Z: at /."""
        check(windows_path[1:3] == ":\\", "not an absolute path: " + windows_path)
        drive = windows_path[0].lower()
        rest = windows_path[3:].replace("\\", "/")
        if drive == "z":
            return "/" + rest
        return os.path.join(self.machine_folder, "drive_" + drive, rest)

    def scratch(self, name):
        """A fresh folder on C: for the scenario: (windows path, host path)."""
        windows = "C:\\e2e\\" + name
        host = self.host_path(windows)
        shutil.rmtree(host, ignore_errors=True)
        os.makedirs(host)
        return windows, host


class Win32(Side):
    """The Windows build under Wine. The loader, the prefix and its
    architecture come from the build tree's wine.json, written when the tree
    was configured: "default" is the tree's own Wine, "wow64" (where the
    tree has it) the 32-bit program in a 64-bit prefix."""
    name = "win32"

    @property
    def machine_folder(self):
        return self.prefix

    def __init__(self, build, source, wine="default"):
        super().__init__(build, source)
        config = os.path.join(build, "wine.json")
        check(os.path.exists(config), "no %s: configure the tree first" % config)
        with open(config) as f:
            sides = json.load(f)
        check(wine in sides, "%s has no Wine side %r (it has %s)" % (config, wine, ", ".join(sides)))
        self.wine = wine
        self.loader = sides[wine]["loader"]
        self.server = sides[wine]["server"]
        self.arch = sides[wine]["arch"]
        self.prefix = sides[wine]["prefix"]
        self.display = None
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all", WINEARCH=self.arch,
                        WINEDLLOVERRIDES="mscoree,mshtml=")

    def start(self, display):
        """Before anything runs in the prefix: it must have folders of its
        own (wineprefix.py)."""
        try:
            wineprefix.require_prepared(self.prefix)
        except wineprefix.PrefixError as error:
            raise Failure(str(error))
        self.display = display
        self.env["DISPLAY"] = display.name

    def boot(self):
        """Makes the prefix if it is not there yet and prepares it, or
        prepares again one made before (wineprefix.py). False if Wine could
        not make it."""
        try:
            return wineprefix.make(self)
        except wineprefix.PrefixError as error:
            raise Failure(str(error))

    def program(self, name):
        return os.path.join(self.build, name + ".exe") if not name.endswith(".exe") else os.path.join(self.build, name)

    def tool(self, name):
        """A test program of the tree (regtool, uidriver)."""
        return os.path.join(self.build, "tests", name + ".exe")

    def command(self, exe_host_path, args=()):
        """The command line that starts a Windows program (the prefix's
        server up first)."""
        self.start_server()
        return [self.loader, exe_host_path] + list(args)

    def start_server(self):
        """The first program of a session brings up the prefix's server and
        Wine's own processes (services, explorer), which keep its output
        until the server ends: a pipe read to its end would then wait for
        that, seconds after the program's own end. So the session starts
        here, with no output of anyone's. Where a server runs already, the
        new one ends at once (2)."""
        quiet = dict(env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                     timeout=120)
        if subprocess.run([self.server], **quiet).returncode == 0:
            subprocess.run([self.loader, "cmd.exe", "/c", "exit"], **quiet)

    def run(self, exe_host_path, args, answers=None, timeout=120):
        """Runs a program; answers is a list of (caption, button) that the
        driver presses in order. Returns (exit code, driver reports)."""
        process = subprocess.Popen(self.command(exe_host_path, args), env=self.env,
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        # One driver process takes all the steps, so that no window can come
        # and go while a driver starts.
        steps = ["%s=%s" % (caption, button or "") for caption, button in answers or []]
        reports = [self.driver("steps", *steps, timeout=max(120, timeout))] if steps else []
        try:
            out, _ = process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            raise Failure("program did not end: %s" % exe_host_path)
        self.wait_idle()
        return process.returncode, reports

    def driver(self, *args, timeout=120):
        # Into a file, not a pipe: a Wine server that the driver's start
        # brought up inherits its output and outlives it while the program
        # waits at a box, and a pipe would not end until the server does.
        with tempfile.TemporaryFile() as output:
            result = subprocess.run(self.command(self.tool("uidriver"), args),
                                    env=self.env, stdout=output, stderr=subprocess.STDOUT, timeout=timeout)
            output.seek(0)
            text = output.read().decode("latin-1").replace("\r\n", "\n")
        check(result.returncode == 0, "driver %s failed (%d):\n%s" % (args, result.returncode, text))
        return text

    def wait_idle(self):
        subprocess.run([self.server, "-w"], env=self.env, timeout=120)

    def own_prefix(self, name):
        """Runs from now on in a copy of the prepared prefix, named name."""
        copy = PrefixCopy(self.prefix, os.path.join(self.build, "e2e-prefixes", name)).make(self.server)
        self.prefix = copy.path
        self.env["WINEPREFIX"] = copy.path
        return copy

    def stop(self):
        """Ends every process of the prefix, its server included."""
        subprocess.run([self.server, "-k"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=60)


class PrefixCopy:
    """A Wine prefix of the scenario's own, made from the prepared one, so
    that scenarios run side by side: each copy has its own wineserver (its
    WINEPREFIX differs) and nothing a scenario leaves reaches another.

    Folders, links and every file that Wine or a scenario may change (the
    registry, the profiles, ini files) are copied; the DLLs, programs and
    fonts of the Windows folder, which make up most of the size and which
    Wine only reads, are hard links to the prepared prefix's. Removing such
    a file in a copy removes only the copy's name; a change in place would
    reach the prepared prefix, so the copy checks them before it goes."""
    SHARED = (".dll", ".exe", ".drv", ".sys", ".ocx", ".acm", ".cpl", ".tlb", ".nls", ".ax", ".ds", ".mui",
              ".ttf", ".ttc", ".fon", ".otf", ".msstyles", ".mof", ".vxd")

    def __init__(self, master, path):
        self.master = master
        self.path = path
        self.shared = {}

    def make(self, server):
        check(os.path.exists(os.path.join(self.master, "system.reg")),
              "no prepared prefix at %s: run make prefix first" % self.master)
        if os.path.lexists(self.path):
            # What a failed run kept: its processes go first.
            subprocess.run([server, "-k"], env=dict(os.environ, WINEPREFIX=self.path),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
            shutil.rmtree(self.path)
        windows = os.path.join(self.master, "drive_c", "windows") + os.sep
        for folder, folders, files in os.walk(self.master):
            relative = os.path.relpath(folder, self.master)
            target = os.path.normpath(os.path.join(self.path, relative))
            os.makedirs(target)
            shutil.copystat(folder, target)
            for name in folders + files:
                source = os.path.join(folder, name)
                if os.path.islink(source):
                    os.symlink(os.readlink(source), os.path.join(target, name))
            for name in files:
                source = os.path.join(folder, name)
                if os.path.islink(source):
                    continue
                if source.startswith(windows) and name.lower().endswith(self.SHARED):
                    os.link(source, os.path.join(target, name))
                    status = os.stat(source)
                    self.shared[source] = (status.st_size, status.st_mtime_ns)
                else:
                    shutil.copy2(source, os.path.join(target, name))
            # Symbolic links to folders are listed among the folders: not
            # walked into, they were made above.
            folders[:] = [name for name in folders if not os.path.islink(os.path.join(folder, name))]
        self.own_profile_folders()
        return self

    def own_profile_folders(self):
        """Wine links the profile's Documents, Desktop and the like to the
        home folder of whoever runs it; in a copy they are folders of its
        own, whatever the prepared prefix has."""
        inside = os.path.realpath(self.path) + os.sep
        for folder, folders, files in os.walk(os.path.join(self.path, "drive_c", "users")):
            for name in folders + files:
                place = os.path.join(folder, name)
                if os.path.islink(place) and not os.path.realpath(place).startswith(inside):
                    os.remove(place)
                    os.makedirs(place)

    def changed_shared(self):
        """The shared files whose bytes changed in place since the copy."""
        changed = []
        for source, (size, mtime) in self.shared.items():
            status = os.stat(source) if os.path.exists(source) else None
            if status is None or (status.st_size, status.st_mtime_ns) != (size, mtime):
                changed.append(source)
        return changed

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)


class Host(Side):
    name = "host"

    @property
    def machine_folder(self):
        return self.machine

    def __init__(self, build, source):
        super().__init__(build, source)
        self.machine = tempfile.mkdtemp(prefix="tessel-e2e-")
        self.env = dict(os.environ, TESSEL_MACHINE=self.machine)

    def start(self, display):
        pass

    def program(self, name):
        return os.path.join(self.build, name)

    def tool(self, name):
        return os.path.join(self.build, "tests", name)

    def command(self, exe_host_path, args=()):
        return [exe_host_path] + list(args)

    def run(self, exe_host_path, args, answers=None, timeout=120):
        """Answers are typed on standard input: y or n for a question, a
        line for OK. The reports are what the program printed."""
        lines = ""
        for caption, button in answers or []:
            if button is None or caption.startswith("!"):
                continue
            if button.startswith(("click ", "set ", "check ")):
                lines += button + "\n"  # a dialog's command, as typed
                continue
            lines += {"Yes": "y", "No": "n"}.get(button.replace("&", ""), "") + "\n"
        result = subprocess.run(self.command(exe_host_path, args), env=self.env, input=lines.encode(),
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
        out = result.stdout.decode("latin-1")
        return result.returncode, [out]

    def wait_idle(self):
        pass


def log_of(side, exe_windows_path):
    folder = exe_windows_path.rsplit("\\", 1)[0]
    return side.host_path(folder + "\\debug.log")


def copy_program(side, name, folder_name, target_name=None):
    windows, host = side.scratch(folder_name)
    target_name = target_name or os.path.basename(side.program(name))
    target = os.path.join(host, target_name)
    shutil.copy2(side.program(name), target)
    return windows + "\\" + target_name, target


def wait_for(predicate, seconds, what):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if predicate():
            return
        time.sleep(0.1)
    raise Failure("timed out waiting for " + what)


def relaunched_copy(side, first_log):
    """The Windows path of the copy named in the "Copy:" line."""
    for line in first_log.splitlines():
        if line.startswith("Copy: "):
            return line.split(" -> ", 1)[1]
    raise Failure("no Copy: line in\n" + first_log)


@scenario
def relaunch(side):
    exe_windows, exe_host = build_product(side, "relaunch", PRODUCT_SOURCE, "Uninstall.exe")
    code, _ = side.run(exe_host, ["-debug"])
    check(code == 0, "exit code %d" % code)
    first = read_text(log_of(side, exe_windows))
    contains(first, "Uninstall Version 1.50 (Release)\n", "first log")
    contains(first, "Cmdline '", "first log")
    contains(first, "' '-debug'\n", "first log")
    contains(first, "Copy: %s -> " % exe_windows, "first log")
    copy = relaunched_copy(side, first)
    name = copy.rsplit("\\", 1)[1]
    check(name.startswith("Del") and name.endswith(".exe"), "copy name " + name)
    contains(first, 'Exec: "%s" -Spawn -debug (0x' % copy, "first log")
    check(first.endswith("Successful Exit...\n"), "first log ends:\n" + first)
    lacks(first, "Memory Init", "first log")
    copy_log = log_of(side, copy)
    wait_for(lambda: os.path.exists(copy_log) and "Successful Exit...\n" in read_text(copy_log), 30, copy_log)
    second = read_text(copy_log)
    check(second.startswith("Tessel v0.32\n"), "copy log starts:\n" + second)
    contains(second, "-Spawn -debug'", "copy log")
    contains(second, "====[Memory Init]", "copy log")
    contains(second, "Memory Initialized (Maximum)\n", "copy log")
    contains(second, "====[Memory Remove]", "copy log")
    lacks(second, "Copy: ", "copy log")
    # The copy sits in a folder of its own, named like it, and goes at the
    # next restart.
    folder, copy_name = copy.rsplit("\\", 1)
    check(folder.rsplit("\\", 1)[1] + ".exe" == copy_name, "the copy's folder " + folder)
    import relaunch_scenarios
    relaunch_scenarios.check_scheduled(side, copy)


@scenario
def relaunch_passes_tail(side):
    exe_windows, exe_host = build_product(side, "relaunch tail", PRODUCT_SOURCE, "Uninstall.exe")
    code, _ = side.run(exe_host, ["-Register", "-debug"])
    check(code == 0, "exit code %d" % code)
    first = read_text(log_of(side, exe_windows))
    copy = relaunched_copy(side, first)
    contains(first, 'Exec: "%s" -Spawn -Register -debug (0x' % copy, "first log")
    copy_log = log_of(side, copy)
    wait_for(lambda: os.path.exists(copy_log) and "Successful Exit...\n" in read_text(copy_log), 30, copy_log)


@scenario
def runs_in_place(side):
    for switch in ["-InstReg", "-Spawn"]:
        exe_windows, exe_host = build_product(side, "in place " + switch[1:], PRODUCT_SOURCE, "Uninstall.exe")
        code, _ = side.run(exe_host, [switch, "-debug"])
        check(code == 0, "exit code %d" % code)
        log = read_text(log_of(side, exe_windows))
        lacks(log, "Copy: ", "log of " + switch)
        contains(log, "====[Memory Init]", "log of " + switch)
        check(log.endswith("Successful Exit...\n"), "log of %s ends:\n%s" % (switch, log))


@scenario
def fatal_report(side):
    exe_windows, exe_host = copy_program(side, "tests/fatalprobe" if side.name == "host" else "tests/fatalprobe.exe",
                                         "fatal")
    code, reports = side.run(exe_host, ["-debug"], answers=[("Internal error...", "OK")])
    check(code == 1, "exit code %d" % code)
    if side.name == "win32":
        contains(reports[0], "caption: Internal error...", "the box")
        contains(reports[0], "ASSERT:Pointer is NULL...", "the box")
        contains(reports[0], "(fatalprobe/42)", "the box")
    else:
        contains(reports[0], "[Internal error...] ASSERT:Pointer is NULL...\n       (fatalprobe/42)", "the output")
    log = read_text(log_of(side, exe_windows))
    contains(log, "fatalprobe running\n\n\nASSERT:Pointer is NULL...\n       (fatalprobe/42)\n", "log")
    lacks(log, "not reached", "log")


# ---- products built with the builder tool ---------------------------------

PRODUCT_SOURCE = """# e2e: a product whose script only sets properties
COMPANY NAME: Acme
PRODUCT NAME: Viewer
PRODUCT VERSION: 2.4
TEXT: VIEWER-STD
FONT: Arial | 10
MESSAGE: Welcome | This installs Acme Viewer.
REGISTRY PATH: Software\\Acme\\Viewer
UPDATE URL: http://updates.acme.example/viewer/versions.txt
LISTSERVER: 12 | acme-news | about once a month
INSTALL SIZE: 18432
FILE LIST: bin\\viewer.exe,bin\\viewshell.dll,help\\viewer.chm
"""


def builder(side):
    """The host build's ffsbuild: this build's own, or that of the host
    build beside a win32 build."""
    tool = TOOL or os.path.join(side.build if side.name == "host" else os.path.join(os.path.dirname(side.build), "host"),
                                "tools", "ffsbuild")
    check(os.path.exists(tool), "no builder tool at " + tool)
    return tool


def build_product(side, folder_name, source_text, name="Acme-Uninstall.exe"):
    """Uninstall with the script appended, in a fresh folder: (windows path,
    host path)."""
    windows, host = side.scratch(folder_name)
    source = os.path.join(host, "product.script.txt")
    with open(source, "wb") as f:
        f.write(source_text.encode("latin-1"))
    target = os.path.join(host, name)
    result = subprocess.run([builder(side), "build", "--exe", side.program("Uninstall"), source, "-o", target],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    check(result.returncode == 0, "ffsbuild failed:\n" + result.stdout.decode("latin-1"))
    return windows + "\\" + name, target


def patch_script(side, exe_host, old, new):
    """Changes script bytes inside the scrambled archive: scrambling is a
    XOR with a fixed stream, so XORing the difference into the stored byte
    changes the script byte the same way."""
    check(len(old) == len(new), "a patch keeps the length")
    script = os.path.join(os.path.dirname(exe_host), "install.dat")
    result = subprocess.run([builder(side), "extract", exe_host, "-o", script], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    check(result.returncode == 0, "ffsbuild extract failed:\n" + result.stdout.decode("latin-1"))
    with open(script, "rb") as f:
        at = f.read().find(old)
    check(at >= 0, "script lacks %r" % old)
    with open(exe_host, "r+b") as f:
        f.seek(-4, os.SEEK_END)
        block = int.from_bytes(f.read(4), "little") + 4
        f.seek(block + at)
        stored = bytearray(f.read(len(old)))
        for i in range(len(old)):
            stored[i] ^= old[i] ^ new[i]
        f.seek(block + at)
        f.write(bytes(stored))


def copy_log_of_run(side, exe_windows):
    """Waits for the relaunched copy to finish; its log text."""
    first = read_text(log_of(side, exe_windows))
    copy_log = log_of(side, relaunched_copy(side, first))
    wait_for(lambda: os.path.exists(copy_log) and "Successful Exit...\n" in read_text(copy_log), 30, copy_log)
    return first, read_text(copy_log)


def in_order(text, parts, what):
    at = 0
    for part in parts:
        found = text.find(part, at)
        check(found >= 0, "%s lacks %r after position %d:\n%s" % (what, part, at, text))
        at = found + len(part)


@scenario
def script_runs_in_copy(side):
    exe_windows, exe_host = build_product(side, "script", PRODUCT_SOURCE)
    code, _ = side.run(exe_host, ["-debug"])
    check(code == 0, "exit code %d" % code)
    first, second = copy_log_of_run(side, exe_windows)
    lacks(first, "Flat/Fast File System", "first log")
    in_order(second, ["====[Memory Init]", "Flat/Fast File System Initialized...\n",
                      "Company Name   : Acme\nProduct Name   : Viewer\nFile Count     : 3\nInstall Path   :  []\n",
                      "Flat/Fast File System Removed...\n", "====[Memory Remove]", "Successful Exit...\n"],
             "copy log")
    lacks(second, "Script failed somewhere", "copy log")
    lacks(second, "Unknown script command", "copy log")
    lacks(second, "Not all memory was free'd", "copy log")


@scenario
def damaged_archive(side):
    exe_windows, exe_host = build_product(side, "damaged", PRODUCT_SOURCE)
    with open(exe_host, "r+b") as f:
        f.seek(-4, os.SEEK_END)
        tag = int.from_bytes(f.read(4), "little")
        f.seek(-4, os.SEEK_END)
        f.write((tag + 1).to_bytes(4, "little"))
    size = os.path.getsize(exe_host)
    code, reports = side.run(exe_host, ["-Spawn", "-debug"], answers=[("Uninstall problem...", "OK")])
    check(code == 0, "exit code %d" % code)
    damaged = "The installation file has been damaged, please download a new copy."
    if side.name == "win32":
        contains(reports[0], "caption: Uninstall problem...", "the box")
        contains(reports[0], damaged, "the box")
        contains(reports[0], "pressed: OK", "the box")
    else:
        contains(reports[0], "[Uninstall problem...] " + damaged + "\n", "the output")
    log = read_text(log_of(side, exe_windows))
    in_order(log, ["FFS Does not contain proper tag (Read %d from %d)!!!\n" % (tag + 1, size - 4),
                   "Flat/Fast File System Removed...\n", "====[Memory Remove]", "Successful Exit...\n"], "log")
    lacks(log, "Flat/Fast File System Initialized", "log")
    lacks(log, "Company Name", "log")


@scenario
def unknown_keyword(side):
    exe_windows, exe_host = build_product(side, "unknown", PRODUCT_SOURCE)
    patch_script(side, exe_host, b"\x16MESSAGE:", b"\x16MASSAGE:")
    code, reports = side.run(exe_host, ["-debug"], answers=[("Uninstall problem...", "OK")])
    check(code == 0, "exit code %d" % code)
    if side.name == "win32":
        contains(reports[0], "caption: Uninstall problem...", "the box")
        contains(reports[0], "Installation script corrupted!", "the box")
    else:
        contains(reports[0], "[Uninstall problem...] Installation script corrupted!\n", "the output")
    _, second = copy_log_of_run(side, exe_windows)
    in_order(second, ["Flat/Fast File System Initialized...\n", "Unknown script command 'MASSAGE'\n",
                      "Script failed somewhere\n", "Flat/Fast File System Removed...\n", "Successful Exit...\n"],
             "copy log")
    lacks(second, "Company Name   :", "copy log")


class Overdue(Exception):
    pass


def overdue(signum, frame):
    raise Overdue()


def main():
    argv = sys.argv[1:]
    command = argv[argv.index("--") + 1:] if "--" in argv else []
    argv = argv[:argv.index("--")] if "--" in argv else argv
    parser = argparse.ArgumentParser()
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--side", choices=["win32", "host"])
    parser.add_argument("--build")
    parser.add_argument("--source")
    parser.add_argument("--wine", default="default", help="the Wine side of the win32 tree (default, wow64)")
    parser.add_argument("--tool", help="the builder tool (default: the host build's tools/ffsbuild)")
    parser.add_argument("--deadline", type=int, help="seconds the run may take; past them it fails and ends what "
                        "it started (a CTest timeout would kill it and leave its Wine processes)")
    parser.add_argument("--run", metavar="NAME", help="run the command after -- in a prefix of its own, NAME")
    parser.add_argument("--display", action="store_true", help="with --run: on an Xvfb display of its own")
    parser.add_argument("scenario", nargs="?")
    args = parser.parse_args(argv)
    global TOOL
    TOOL = args.tool and os.path.abspath(args.tool)
    if args.list:
        print("\n".join(name for name, function in SCENARIOS.items()
                        if args.side in getattr(function, "sides", ("win32", "host", None))
                        and (args.wine == "default" or args.wine in getattr(function, "wines", ()))))
        return 0
    if args.deadline:
        signal.signal(signal.SIGALRM, overdue)
        signal.alarm(args.deadline)
    if args.side == "host":
        side = Host(os.path.abspath(args.build), os.path.abspath(args.source))
        try:
            SCENARIOS[args.scenario](side)
        except Failure as failure:
            print("FAILED: %s" % failure)
            return 1
        except Overdue:
            print("FAILED: %s took longer than %d s" % (args.scenario, args.deadline))
            return 1
        finally:
            shutil.rmtree(side.machine, ignore_errors=True)
        print("ok: %s (host)" % args.scenario)
        return 0

    side = Win32(os.path.abspath(args.build), os.path.abspath(args.source or args.build), args.wine)
    name = args.run or args.scenario
    copy = side.own_prefix(name if args.wine == "default" else args.wine + "." + name)
    code = 1
    try:
        if args.run:
            with Display() if args.display else contextlib.nullcontext() as display:
                env = dict(side.env, DISPLAY=display.name) if display else side.env
                code = subprocess.run(command, env=env).returncode
                side.wait_idle()
        else:
            with Display() as display:
                side.start(display)
                SCENARIOS[args.scenario](side)
                side.wait_idle()
            code = 0
        changed = copy.changed_shared()
        if changed:
            code = 1
            print("FAILED: files shared with the prepared prefix changed: %s" % ", ".join(changed[:10]))
    except Failure as failure:
        print("FAILED: %s" % failure)
    except Overdue:
        print("FAILED: %s took longer than %d s" % (name, args.deadline))
    finally:
        signal.alarm(0)
        if code != 0:
            side.stop()
            print("The prefix of the run is kept: %s" % copy.path)
        else:
            copy.remove()
    if code == 0 and not args.run:
        print("ok: %s (%s, %s)" % (args.scenario, side.name, side.wine))
    return code


# Scenario modules beside this file register themselves through this one.
sys.modules.setdefault("e2e", sys.modules[__name__])
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wineprefix  # noqa: E402
import uninstall_scenarios  # noqa: E402,F401
import relaunch_scenarios  # noqa: E402,F401
import safety_scenarios  # noqa: E402,F401
import identity_scenarios  # noqa: E402,F401
import sandbox_scenarios  # noqa: E402,F401
import net_scenarios  # noqa: E402,F401
import update_scenarios  # noqa: E402,F401
import update_held_scenarios  # noqa: E402,F401
import quiet_scenarios  # noqa: E402,F401
import register_scenarios  # noqa: E402,F401
import register_phase_scenarios  # noqa: E402,F401
import tls_scenarios  # noqa: E402,F401
import signed_scenarios  # noqa: E402,F401
import ordinary_scenarios  # noqa: E402,F401
import shared_scenarios  # noqa: E402,F401

if __name__ == "__main__":
    sys.exit(main())
