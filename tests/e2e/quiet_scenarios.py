"""Unattended scenarios: "-Quiet" removes the product with no window at all,
the process that was started waits for the work and tells its outcome by
its exit code."""
import os
import subprocess

from e2e import check, contains, lacks, patch_script, read_text, scenario
from safety_scenarios import check_tree, group_paths, machine_tree, product_paths, registry_state
from uninstall_scenarios import Product, regtool

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
