"""Unattended scenarios: "-Quiet" removes the product with no window at all,
the process that was started waits for the work and tells its outcome by
its exit code; files held open go at the next restart."""
import fcntl
import os
import re
import subprocess

from e2e import check, contains, lacks, patch_script, read_text, scenario, wait_for
from safety_scenarios import (check_tree, group_paths, machine_tree, product_paths, registry_state,
                              relative_to_machine)
from uninstall_scenarios import Product, regtool
from relaunch_scenarios import SESSION_MANAGER, pending_removals

# Windows gives the whole number; a Linux parent (the harness, the host
# build) only sees its low eight bits.
RESTART_NEEDED = 3010


def exit_code_seen(code):
    return code & 0xFF


# No window may show: any box would wait for a click the run never gets.
NO_WINDOWS = [("!Please wait...", "4000"), ("!Uninstall...", "500"), ("!Uninstaller...", "500"),
              ("!Uninstall problem...", "500"), ("!Internal error...", "500")]


def quiet_run(product, args=()):
    code, reports = product.uninstall(NO_WINDOWS, args=["-Quiet"] + list(args))
    # Under Wine the driver fails on any window; the host prints its boxes.
    if product.side.name == "host":
        for caption in ["Please wait", "[Uninstall", "(y/n)"]:
            lacks("\n".join(reports), caption, "what the run showed")
    return code


def logs(product):
    """The starting process's log and its copy's (with "-debug")."""
    first = read_text(product.host(product.install_path + "debug.log"))
    copy = [line.split(" -> ", 1)[1] for line in first.splitlines() if line.startswith("Copy: ")][0]
    return first, read_text(product.host(copy.rsplit("\\", 1)[0] + "\\debug.log"))


@scenario
def quiet_removes_product(side):
    """The whole machine afterwards is the machine before less exactly the
    product, its shortcuts, the program that was started and its folder."""
    product = Product(side, "quiet").install()
    before = machine_tree(side)
    code = quiet_run(product)
    check(code == 0, "exit code %d" % code)
    check_tree(side, before, machine_tree(side), product_paths(product) | group_paths(product))
    check(registry_state(product) == (True, product.install_path, False, "DllUnregisterServer\n"),
          "registry: %s" % (registry_state(product),))


@scenario
def quiet_exit_codes(side):
    """Each outcome has its code, and each box its line in the log."""
    def not_installed(product):
        check(regtool(side, "delete", "HKCU", product.product_key)[0] == 0, "product key")

    def incomplete(product):
        # A listed file that turned into a folder of someone's things.
        os.remove(product.host(product.install_path + "license.txt"))
        os.makedirs(product.host(product.install_path + "license.txt"))
        with open(product.host(product.install_path + "license.txt\\notes.txt"), "w") as f:
            f.write("mine")

    def damaged(product):
        patch_script(side, product.host(product.exe), b"\x16PRODUCT VERSION:", b"\x16PRODUCT VERSIOX:")

    cases = [("not installed", not_installed, 2, "[Uninstall problem...] Unable to find previous installation"),
             ("incomplete", incomplete, 3, "[Uninstaller...] Unable to remove some files of Acme Viewer"),
             ("damaged script", damaged, 4, "[Uninstall problem...] Installation script corrupted!")]
    for what, spoil, expected, line in cases:
        product = Product(side, "quiet " + what).install()
        spoil(product)
        before = machine_tree(side)
        code = quiet_run(product, ["-debug"])
        check(code == expected, "%s: exit code %d" % (what, code))
        first, copy = logs(product)
        contains(first, "Exit code %d\n" % expected, what + ": the starting log")
        contains(copy, line, what + ": the copy's log")
        if expected != 3:
            check_tree(side, before, machine_tree(side))
        else:
            contains(copy, "[Uninstall...] Are you sure you want to uninstall Acme Viewer? Yes\n", what)
            check(product.exists("license.txt\\notes.txt"), "someone's file went")
            check(product.key_exists("HKLM", product.uninstall_key), "the entry went while files stay")


@scenario
def quiet_only_in_the_arguments(side):
    """A folder named like the switch changes nothing: the user is asked."""
    product = Product(side, "x-quiet", company="x-Quiet").install()
    check("-Quiet" in product.exe, product.exe)
    code, reports = product.uninstall([("Uninstall...", "Yes"), ("Uninstaller...", "OK")])
    check(code == 0, "exit code %d" % code)
    contains("\n".join(reports), "Are you sure you want to uninstall x-Quiet Viewer?", "the question")
    check(not product.exists("bin\\viewer.exe"), "not removed")


def hold(side, path):
    """Keeps a file open against deletion: on Windows without sharing, on
    the host under an exclusive flock. Gives what to release."""
    if side.name == "win32":
        holder = subprocess.Popen(side.command(side.tool("uidriver"), ["hold", path, "60000"]), env=side.env,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        check(holder.stdout.readline().decode().strip() == "holding", "the holder did not open the file")
        return lambda: (holder.kill(), holder.wait())
    f = open(side.host_path(path), "rb")
    fcntl.flock(f, fcntl.LOCK_EX)
    return f.close


@scenario
def quiet_file_in_use_at_restart(side):
    """A held file, and the folders it alone keeps, go at the next restart;
    the run says so with 3010."""
    product = Product(side, "quiet held").install()
    held = product.install_path + "bin\\plugins\\jpeg.vpl"
    before = machine_tree(side)
    release = hold(side, held)
    try:
        # While the file is held the session goes on: no restart yet.
        process = subprocess.run(side.command(product.host(product.exe), ["-Quiet", "-debug"]), env=side.env,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        check(process.returncode == exit_code_seen(RESTART_NEEDED), "exit code %d" % process.returncode)
        pending = pending_removals(side)
    finally:
        release()
    side.wait_idle()
    for path in [held, product.install_path + "bin\\plugins", product.install_path + "bin"]:
        check("\\??\\" + path in pending, "not scheduled for the restart: %s in %s" % (path, pending))
    lacks("\n".join(pending), product.install_path + "Uninstall.exe", "the pending operations")
    # Nothing but the product is scheduled (besides the relaunched copies,
    # which schedule themselves), and nothing but the product went.
    for path in filter(None, (entry.replace("\\??\\", "", 1) for entry in pending)):
        check(path.startswith(product.install_path) or re.search(r"\\Del[0-9A-F]{8}(\\|$)", path),
              "scheduled though not the product's: %s" % path)
    kept = {relative_to_machine(side, held), relative_to_machine(side, product.install_path) + os.sep}
    for folder in ("bin\\plugins", "bin"):
        kept.add(relative_to_machine(side, product.install_path + folder) + os.sep)
    wait_for(lambda: not product.exists("Uninstall.exe"), 40, "the started program's own file to go")
    check_tree(side, before, machine_tree(side), (product_paths(product) | group_paths(product)) - kept)
    first, copy = logs(product)
    # The starting process reads the copy's whole code where the system keeps one.
    whole = RESTART_NEEDED if side.name == "win32" else exit_code_seen(RESTART_NEEDED)
    contains(first, "Exit code %d\n" % whole, "the starting log")
    contains(copy, "Unable to delete file '%s'\nDelete file '%s' at restart\n" % (held, held), "the copy's log")
    contains(copy, "[Uninstaller...] Acme Viewer has been uninstalled! Some of its files are in use", "the log")
    check(not product.key_exists("HKLM", product.uninstall_key), "installed-programs entry left")
    for relative in product.files:
        if relative != "bin\\plugins\\jpeg.vpl":
            check(not product.exists(relative), "left behind: " + relative)
    if side.name == "win32":
        # Wine takes a new session for a restart and carries the removals out.
        regtool(side, "get", "HKLM", SESSION_MANAGER, "PendingFileRenameOperations")
        side.wait_idle()
        check(not product.exists("bin"), "the held file's folders outlived the restart")
    else:
        check(product.exists("bin\\plugins\\jpeg.vpl"), "the held file went before the restart")
