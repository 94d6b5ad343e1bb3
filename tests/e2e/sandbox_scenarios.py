"""The host machine root as a sandbox: a hostile product's uninstall, run as
a person would run it, changes nothing outside the machine root and nothing
of the machine's own, whatever its paths say and whatever links lie in its
folder."""
import os
import shutil
import tempfile

from e2e import check, contains, copy_log_of_run, read_text, scenario, wait_for
from uninstall_scenarios import Product, regtool


def tree(folder):
    """Everything below a host folder, links not followed: relative path ->
    "<dir>", "-> target" or the file's bytes."""
    entries = {}
    for base, folders, files in os.walk(folder):
        for name in folders + files:
            path = os.path.join(base, name)
            relative = os.path.relpath(path, folder)
            if os.path.islink(path):
                entries[relative] = "-> " + os.readlink(path)
            elif os.path.isdir(path):
                entries[relative] = "<dir>"
            else:
                with open(path, "rb") as f:
                    entries[relative] = f.read()
    return entries


def changes(before, after):
    """(removed, added, changed) relative paths."""
    removed = sorted(set(before) - set(after))
    added = sorted(set(after) - set(before))
    changed = sorted(p for p in set(before) & set(after) if before[p] != after[p])
    return removed, added, changed


class HostileProduct(Product):
    """The test product with file list entries that climb out of its folder
    and beyond the drive's root."""

    EXTRA = ["..\\..\\..\\registry.txt", "..\\..\\..\\..\\..\\..\\outside.txt", "..\\..\\Temp\\..\\..\\..\\..\\x.txt"]

    def script(self):
        return super().script().replace("FILE LIST: ", "FILE LIST: " + ",\n  ".join(self.EXTRA) + ",\n  ", 1)


def others_files(folder):
    """Files of someone else's outside the machine root, with the names the
    product lists."""
    for relative in ["bin/viewer.exe", "bin/viewcore.dll", "plugins/jpeg.vpl", "plugins/png.vpl", "readme.txt",
                     "license.txt", "help/viewer.chm", "install.log", "Uninstall.exe", "outside.txt"]:
        path = os.path.join(folder, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(b"someone else's " + relative.encode())


@scenario
def sandbox_keeps_outside(side):
    outside = tempfile.mkdtemp(prefix="tessel-outside-")
    try:
        others_files(outside)
        product = HostileProduct(side, "sandbox").install()
        folder = product.host(product.install_path)
        # Links planted in the product's folder that lead out of the machine
        # root: a listed folder and a listed file.
        shutil.rmtree(os.path.join(folder, "bin", "plugins"))
        os.symlink(os.path.join(outside, "plugins"), os.path.join(folder, "bin", "plugins"))
        os.remove(os.path.join(folder, "license.txt"))
        os.symlink(os.path.join(outside, "license.txt"), os.path.join(folder, "license.txt"))
        started = os.path.join(outside, "Acme-Uninstall.exe")
        shutil.copy2(product.host(product.exe), started)
        outside_before = tree(outside)
        machine_before = tree(side.machine)

        code, _ = product.uninstall([("Uninstall...", "Yes"), ("Uninstaller...", "OK")], args=["-debug"])
        check(code == 0, "exit code %d" % code)
        copy_log_of_run(side, product.exe)
        removed, added, changed = changes(outside_before, tree(outside))
        check(not (removed or added or changed),
              "outside the machine root: removed %s, added %s, changed %s" % (removed, added, changed))

        # In the machine: only the product's own files and folders, its
        # group, the registry file, the test component's record and the
        # temporary folder's relaunch copy and logs may differ.
        install = os.path.relpath(folder, side.machine).rstrip("/")
        group = os.path.relpath(product.host(product.programs + "\\Acme"), side.machine)
        records = os.path.relpath(product.host(product.record), side.machine)
        temp = os.path.relpath(product.host("C:\\users\\%s\\Temp" % (os.environ.get("USER") or "user")), side.machine)
        removed, added, changed = changes(machine_before, tree(side.machine))
        # The shared component, whose last user the product was, and its
        # folder go too.
        shared = os.path.relpath(product.host(product.component.rsplit("\\", 1)[0]), side.machine)
        for path in removed:
            check(path.startswith(install + "/") or path == install or path.startswith(group) or
                  path == shared or path.startswith(shared + "/"), "removed in the machine: " + path)
        for path in added + changed:
            check(path.startswith(temp + "/") or path in ("registry.txt", records) or path.startswith(install + "/"),
                  "changed in the machine: " + path)
        check(os.path.exists(os.path.join(side.machine, "registry.txt")), "the machine's registry file went")
        check(not product.exists("readme.txt"), "the product's own file was left")

        # A recorded folder on Z: names the folder outside; the uninstaller
        # started from there reads its own file (the relaunch copies it into
        # the temporary folder) but writes nothing there, not even its log.
        check(regtool(side, "set", "HKCU", product.product_key, "Install Path",
                      "Z:" + outside.replace("/", "\\") + "\\")[0] == 0, "product key")
        temp_folder = os.path.join(side.machine, temp)
        copies_before = set(os.listdir(temp_folder))
        outside_before = tree(outside)
        code, _ = side.run(started, ["-debug"], answers=[("Uninstall...", "Yes"), ("Uninstaller...", "OK")])
        check(code == 0, "exit code %d" % code)

        def copy_folders():  # the private folders of copies made by this run
            return [os.path.join(temp_folder, name) for name in set(os.listdir(temp_folder)) - copies_before
                    if name.startswith("Del") and os.path.isdir(os.path.join(temp_folder, name))]

        def finished():
            return any("Successful Exit...\n" in read_text(os.path.join(folder, "debug.log"))
                       for folder in copy_folders() if os.path.exists(os.path.join(folder, "debug.log")))
        wait_for(finished, 30, "the copy's log in a new folder of " + temp_folder)
        removed, added, changed = changes(outside_before, tree(outside))
        check(not (removed or added or changed),
              "outside the machine root: removed %s, added %s, changed %s" % (removed, added, changed))
        with open(started, "rb") as f:
            program = f.read()
        copies = [os.path.join(folder, name) for folder in copy_folders() for name in os.listdir(folder)
                  if name.endswith(".exe")]
        check(any(open(path, "rb").read() == program for path in copies),
              "no copy of the program started from Z: in the temporary folder: %s" % copies)
        logs = [read_text(os.path.join(folder, "debug.log")) for folder in copy_folders()
                if os.path.exists(os.path.join(folder, "debug.log"))]
        contains("".join(logs), "Flat/Fast File System Initialized...\n", "the copy's log")
    finally:
        shutil.rmtree(outside, ignore_errors=True)



sandbox_keeps_outside.sides = ("host",)
