"""Relaunch scenarios: a start runs only the fresh copy it made itself,
loads no DLL planted beside it, and leaves no copy of ours behind."""
import getpass
import os
import re
import shutil
import subprocess

from e2e import (PRODUCT_SOURCE, build_product, check, contains, lacks, log_of, read_text, relaunched_copy, scenario,
                 wait_for)

COPY_FOLDER = re.compile(r"^Del[0-9A-F]{8}$")
SESSION_MANAGER = "System\\CurrentControlSet\\Control\\Session Manager"
RECORD = "C:\\e2e\\plant-record.log"


def temp_folder(side):
    """The temporary folder as the program sees it, with its trailing '\\'."""
    user = getpass.getuser() if side.name == "win32" else (os.environ.get("USER") or "user")
    return "C:\\users\\%s\\Temp\\" % user


def host_temp(side):
    """The temporary folder on this host (made if no run has made it yet)."""
    temp = side.host_path(temp_folder(side))
    os.makedirs(temp, exist_ok=True)
    return temp


def copies_of_ours(side):
    """Each folder named as the relaunch names its own: name -> its entries."""
    temp = host_temp(side)
    return {name: sorted(os.listdir(os.path.join(temp, name))) for name in os.listdir(temp)
            if COPY_FOLDER.match(name) and os.path.isdir(os.path.join(temp, name))
            and not os.path.islink(os.path.join(temp, name))}


def pending_removals(side):
    result = subprocess.run(side.command(side.tool("regtool"), ["get", "HKLM", SESSION_MANAGER,
                                                                "PendingFileRenameOperations"]),
                            env=side.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    return result.stdout.decode("latin-1").replace("\r\n", "\n").split("\n") if result.returncode == 0 else []


def check_scheduled(side, copy):
    """The copy and its folder are to go at the next restart. Wine takes the
    start of a new session for a restart and carries the removals out then:
    there the copy is gone once the next program has started."""
    folder = copy.rsplit("\\", 1)[0]
    pending = pending_removals(side)
    if side.name == "win32":
        check(not os.path.exists(side.host_path(copy)), "the copy outlived a restart: " + copy)
    else:
        for path in [copy, folder]:
            check("\\??\\" + path in pending, "not scheduled for removal at restart: %s in %s" % (path, pending))


def plant_record(side):
    path = side.host_path(RECORD)
    return read_text(path) if os.path.exists(path) else ""


def start_recording(side):
    path = side.host_path(RECORD)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if os.path.exists(path):
        os.remove(path)
    side.env["PLANT_RECORD"] = RECORD if side.name == "win32" else path


def plant_program(side):
    return side.tool("plantexe")


def run_to_end(side, exe_host, args):
    """Runs the program; with a log, waits for the copy to finish too."""
    code, reports = side.run(exe_host, args)
    check(code == 0, "exit code %d:\n%s" % (code, "\n".join(reports)))
    return reports


@scenario
def relaunch_leaves_nothing_behind(side):
    """Each run's copy sits in a folder of its own, is scheduled for removal
    at the next restart, and is gone after the next start; its log stays
    only when a log was asked for."""
    exe_windows, exe_host = build_product(side, "leave nothing", PRODUCT_SOURCE)
    temp = temp_folder(side)
    before = copies_of_ours(side)
    run_to_end(side, exe_host, [])
    first = {name: entries for name, entries in copies_of_ours(side).items() if name not in before}
    check(len(first) == 1, "one copy made: %s" % first)
    name, entries = list(first.items())[0]
    check(entries == [name + ".exe"], "the copy's folder holds %s" % entries)
    check_scheduled(side, "%s%s\\%s.exe" % (temp, name, name))

    run_to_end(side, exe_host, [])
    now = copies_of_ours(side)
    check(name not in now, "the first run's copy is left: %s" % now)
    second = [n for n in now if n not in before]
    check(len(second) == 1 and now[second[0]] == [second[0] + ".exe"], "after two runs: %s" % now)

    run_to_end(side, exe_host, ["-debug"])
    copy = relaunched_copy(side, read_text(log_of(side, exe_windows)))
    copy_log = log_of(side, copy)
    wait_for(lambda: os.path.exists(copy_log) and "Successful Exit...\n" in read_text(copy_log), 30, copy_log)
    now = copies_of_ours(side)
    check(second[0] not in now, "the second run's copy is left: %s" % now)
    third = copy.rsplit("\\", 2)[1]
    check(now.get(third) == sorted([third + ".exe", "debug.log"]), "the logged run's folder: %s" % now)
    check(copy == "%s%s\\%s.exe" % (temp, third, third), "copy name " + copy)

    # The next start takes the copy and leaves the log that was asked for.
    run_to_end(side, exe_host, [])
    now = copies_of_ours(side)
    check(third + ".exe" not in now.get(third, []), "the logged run's copy is left: %s" % now)
    if side.name == "host":
        check(now.get(third) == ["debug.log"], "the log that was asked for went: %s" % now)
    check(len([n for n in now if n not in before and (n + ".exe") in now[n]]) <= 1, "copies left: %s" % now)


@scenario
def relaunch_never_runs_planted(side):
    """Programs planted in the temporary folder, at the names an earlier
    relaunch used and at names like the relaunch's own, are never run and
    never removed; a busy one is left to the process running it."""
    exe_windows, exe_host = build_product(side, "planted", PRODUCT_SOURCE)
    temp = host_temp(side)
    planted = [os.path.join(temp, "Del%X.exe" % n) for n in (0x1, 0x2, 0x92B1, 0xFFFF)]
    folders = {"Del0000BEEF": ["Del0000BEEF.exe"],                 # ours by its look, but busy
               "Del0000CAFE": ["Del0000CAFE.exe", "notes.txt"],    # someone else's things beside it
               "del0000abcd": ["del0000abcd.exe"],                 # another name
               "Del0000F00D": ["Other.exe"]}                       # another program
    for name, entries in folders.items():
        shutil.rmtree(os.path.join(temp, name), ignore_errors=True)
        os.makedirs(os.path.join(temp, name))
        planted += [os.path.join(temp, name, entry) for entry in entries]
    for path in planted:
        shutil.copy2(plant_program(side), path)
    links = []
    if side.name == "host":
        # A link named like a copy folder leads elsewhere: never followed.
        elsewhere = os.path.join(temp, "..", "elsewhere")
        shutil.rmtree(elsewhere, ignore_errors=True)
        os.makedirs(elsewhere)
        shutil.copy2(plant_program(side), os.path.join(elsewhere, "Del0000D00D.exe"))
        link = os.path.join(temp, "Del0000D00D")
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(elsewhere, link)
        links = [os.path.join(elsewhere, "Del0000D00D.exe")]
    start_recording(side)
    busy = os.path.join(temp, "Del0000BEEF", "Del0000BEEF.exe")
    holder = subprocess.Popen(side.command(busy, ["sleep", "6000"]), env=side.env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT)
    try:
        check(holder.stdout.readline().decode().strip() == "running", "the busy program did not start")
        run_to_end(side, exe_host, ["-debug"])
        first = read_text(log_of(side, exe_windows))
        copy_log = log_of(side, relaunched_copy(side, first))
        wait_for(lambda: os.path.exists(copy_log) and "Successful Exit...\n" in read_text(copy_log), 30, copy_log)
    finally:
        holder.kill()
        holder.wait()
    record = plant_record(side)
    lacks(record, "-Spawn", "the planted programs' record")
    for path in planted + links:
        check(os.path.exists(path), "a planted file was removed: " + path)
    for name in folders:
        lacks(first, name, "the first log")
    for name in folders:
        shutil.rmtree(os.path.join(temp, name), ignore_errors=True)
    for path in planted[:4]:
        os.remove(path)


def failed_start(side, exe_windows, exe_host, args, answers, text, lines):
    """Runs a start whose copy cannot be made or run: the box (or its log
    line), the log's lines in order, the exit code."""
    code, reports = side.run(exe_host, args, answers=answers)
    quiet = "-Quiet" in args
    if not quiet and side.name == "win32":
        contains(reports[0], "caption: Uninstall problem...", "the box")
        contains(reports[0], text, "the box")
    elif not quiet:
        contains(reports[0], "[Uninstall problem...] " + text + "\n", "the output")
    if lines is None:
        return code
    log = read_text(log_of(side, exe_windows))
    at = 0
    for line in lines + (["[Uninstall problem...] " + text + "\n"] if quiet else []) + ["Successful Exit...\n"]:
        found = log.find(line, at)
        check(found >= 0, "the log lacks %r after position %d:\n%s" % (line, at, log))
        at = found + len(line)
    lacks(log, "Memory Init", "the log")
    return code


@scenario
def relaunch_failure_starts_nothing(side):
    """When no copy can be made, or the copy cannot be started, nothing is
    started: the user is told, the log says why, and the start ends as an
    orderly one, with 0; unattended, with 5, so the caller learns that
    nothing was done."""
    exe_windows, exe_host = build_product(side, "no copy", PRODUCT_SOURCE)
    temp = host_temp(side).rstrip("/")
    aside = temp + ".aside"
    os.rename(temp, aside)
    not_copied = "Unable to start: the program could not be copied to the temporary folder."
    no_box = [("!Uninstall problem...", "1500")]
    try:
        with open(temp, "wb") as f:
            f.write(b"a file where the temporary folder should be")
        lines = ["Unable to create folder '%s" % temp_folder(side), "Failed to copy file (3) (0x00000003)\n"]
        code = failed_start(side, exe_windows, exe_host, ["-debug"], [("Uninstall problem...", "OK")],
                            not_copied, lines)
        check(code == 0, "exit code %d" % code)
        code = failed_start(side, exe_windows, exe_host, ["-Quiet", "-debug"], no_box, not_copied, lines)
        check(code == 5, "unattended: exit code %d" % code)
    finally:
        os.remove(temp)
        os.rename(aside, temp)
    log = read_text(log_of(side, exe_windows))
    lacks(log, "Exec: ", "the log")

    # A tail that fits the start's command line (at most 32766 characters)
    # but not the copy's, a little longer: the copy is made, never run, and
    # taken back. (Without a log: a log line that long ends the program.)
    before = copies_of_ours(side)
    not_run = "Unable to start: the program's temporary copy could not be run."
    name = "Del" + "0" * 8
    length = 32770 - len('"%s%s\\%s.exe" -Spawn ' % (temp_folder(side), name, name))
    for args, answers, expected in [(["x" * length], [("Uninstall problem...", "OK")], 0),
                                    (["-Quiet", "x" * (length - 7)], no_box, 5)]:
        code = failed_start(side, exe_windows, exe_host, args, answers, not_run, None)
        check(code == expected, "%s: exit code %d" % (args[0][:6], code))
    left = set(copies_of_ours(side)) - set(before)
    check(not left, "a copy was left: %s" % sorted(left))


PLANTED_DLLS = ["comctl32", "uxtheme", "wsock32", "dwmapi", "version"]


@scenario
def relaunch_loads_no_planted_dll(side):
    """DLLs named like system DLLs, planted beside the program and in the
    temporary folder and preferred from disk, are never loaded."""
    exe_windows, exe_host = build_product(side, "planted dll", PRODUCT_SOURCE)
    temp = host_temp(side)
    beside = os.path.dirname(exe_host)
    dll = os.path.join(side.build, "tests", "plantdll.dll")
    # Wine's own user32 imports version.dll, so Wine takes that one from the
    # folder of any program it starts; Windows's user32 does not.
    places = [(beside, [n for n in PLANTED_DLLS if n != "version"]), (temp, PLANTED_DLLS)]
    made = []
    for folder, names in places:
        for name in names:
            made.append(os.path.join(folder, name + ".dll"))
            shutil.copy2(dll, made[-1])
    start_recording(side)
    overrides = side.env["WINEDLLOVERRIDES"]
    side.env["WINEDLLOVERRIDES"] = overrides + ";" + ",".join(PLANTED_DLLS) + "=n,b"
    try:
        run_to_end(side, exe_host, ["-debug"])
        copy_log = log_of(side, relaunched_copy(side, read_text(log_of(side, exe_windows))))
        wait_for(lambda: os.path.exists(copy_log) and "Successful Exit...\n" in read_text(copy_log), 30, copy_log)
        second = read_text(copy_log)
    finally:
        side.env["WINEDLLOVERRIDES"] = overrides
        for path in made:
            os.remove(path)
    check(plant_record(side) == "", "planted DLLs were loaded:\n" + plant_record(side))
    contains(second, "====[Memory Remove]", "the copy's log")


relaunch_loads_no_planted_dll.sides = ("win32",)
