"""Identity scenarios: the removal decides by what a folder is, not by how
its path is written. Links, other drive letters, shares and Z: that lead out
of the product, and paths that climb out of the folder they are written
against, change nothing outside the product. Each compares the whole machine
tree, links and their targets included, before and after."""
import os
import shutil
import subprocess
import time

from e2e import check, contains, lacks, scenario
from safety_scenarios import (EarlyProduct, check_tree, group_paths, machine_tree, others, product_paths,
                              registry_state, relative_to_machine, temp_folder)
from e2e import builder
from uninstall_scenarios import box_text, regtool


def profile(product):
    """The user's profile folder, a Windows path."""
    return product.programs.split("\\AppData\\")[0]


def link(side, windows_link, target_host):
    """A symbolic link at a Windows path (replacing what is there)."""
    host = side.host_path(windows_link)
    if os.path.islink(host) or os.path.isfile(host):
        os.remove(host)
    elif os.path.isdir(host):
        shutil.rmtree(host)
    os.makedirs(os.path.dirname(host), exist_ok=True)
    os.symlink(target_host, host)
    return host


def linked_tree(side):
    """The machine tree with every link and what it leads to, and the bytes
    of every file, so that a target changed in place shows too."""
    root = side.machine_folder
    tree = set()
    for path in machine_tree(side):
        host = os.path.join(root, path)
        if os.path.islink(host.rstrip(os.sep)):
            tree.add("%s -> %s" % (path.rstrip(os.sep), os.readlink(host.rstrip(os.sep))))
        elif os.path.isfile(host) and os.path.getsize(host) < 4096:
            with open(host, "rb") as f:
                tree.add("%s = %r" % (path, f.read()))
    for folder, folders, files in os.walk(root):
        for name in folders + files:
            host = os.path.join(folder, name)
            if os.path.islink(host):
                tree.add("%s -> %s" % (os.path.relpath(host, root), os.readlink(host)))
    return tree | machine_tree(side)


def victims(side, folder, names):
    """Files of the user's own, named like the product's."""
    paths = [folder + "\\" + name for name in names]
    others(side, paths)
    return paths


def refused_before_question(side, product, value, quiet=True):
    check(regtool(side, "set", "HKCU", product.product_key, "Install Path", value)[0] == 0, "product key")
    before, keys = linked_tree(side), registry_state(product)
    if quiet:
        code, reports = product.uninstall([], args=["-Quiet"])
        check(code == 4, "%s: exit code %d under -Quiet" % (value, code))
    else:
        code, reports = product.uninstall([("Uninstall problem...", "OK"), ("!Uninstall...", "1500")])
        check(code == 0, "%s: exit code %d" % (value, code))
        text = box_text(side, reports, "Uninstall problem...")
        contains(text, "is not a folder of its own", value)
        lacks(text, "Are you sure", value)
    after = linked_tree(side)
    check(after == before, "%s: changed: %s" % (value, sorted(after ^ before)[:10]))
    check(registry_state(product) == keys, "%s: the registry changed" % value)


def recorded_folders_refused(side, name, which):
    """A recorded folder that reaches another folder by another name (a link
    to the system folder, a link on the way, another drive letter for C:,
    Z:, the admin share), or one of the system's and the shell's folders, is
    refused before the question: nothing is touched, -Quiet ends with 4.
    which picks the cases: "links", "aliases" or "system"."""
    product = EarlyProduct(side, name).install()
    machine = side.machine_folder
    drive_c = os.path.join(machine, "drive_c")
    system = side.host_path("C:\\windows\\system32")
    victims(side, "C:\\windows\\system32", ["bin\\viewer.exe", "readme.txt", "license.txt"])
    link(side, "C:\\Apps\\Sys", system)
    link(side, "C:\\Apps\\Way", side.host_path(product.program_files))
    folder = product.install_path.split("\\", 2)[2]  # below C:\
    # D: for C: (Wine's drive letters are links in dosdevices; the host's
    # drive folders), and the admin share.
    letter = next(c for c in "dyxwvu" if not os.path.lexists(os.path.join(machine, "drive_" + c)) and
                  not (side.name == "win32" and os.path.lexists(os.path.join(side.prefix, "dosdevices", c + ":"))))
    if side.name == "win32":
        drive_d = os.path.join(side.prefix, "dosdevices", letter + ":")
        share = None
    else:
        drive_d = os.path.join(machine, "drive_" + letter)
        share = os.path.join(machine, "unc", "localhost", "c$")
        os.makedirs(os.path.dirname(share), exist_ok=True)
        os.symlink(drive_c, share)
    os.symlink(os.path.relpath(drive_c, os.path.dirname(drive_d)) if side.name == "win32" else drive_c, drive_d)
    user = profile(product)
    others_profile = user.rsplit("\\", 1)[0] + "\\someone"
    others(side, [others_profile + "\\Documents\\letter.txt", "C:\\windows\\Fonts\\aliases.ttf"])
    cases = {"links": ["C:\\Apps\\Sys\\", "C:\\Apps\\Way\\" + product.folder + "\\"],
             "aliases": [letter.upper() + ":\\" + folder, "Z:" + side.host_path(product.install_path).replace("/", "\\"),
                         "\\\\localhost\\c$\\" + folder],
             "system": ["C:\\windows\\Fonts\\", product.programs + "\\Startup\\", others_profile + "\\",
                        others_profile + "\\Documents\\", user + "\\Downloads\\", "C:\\windows\\system32\\drivers\\"]}[which]
    try:
        for number, value in enumerate(cases):
            refused_before_question(side, product, value, quiet=number > 0)
    finally:
        for path in (drive_d, share):
            if path and os.path.islink(path):
                os.remove(path)
        # A Wine prefix lives on between scenarios: take back what was planted.
        shutil.rmtree(side.host_path(others_profile), ignore_errors=True)
        shutil.rmtree(side.host_path("C:\\Apps"), ignore_errors=True)
        os.remove(side.host_path("C:\\windows\\Fonts\\aliases.ttf"))
        for name in ["bin\\viewer.exe", "readme.txt", "license.txt"]:
            path = side.host_path("C:\\windows\\system32\\" + name)
            if os.path.exists(path):
                os.remove(path)
        shutil.rmtree(side.host_path("C:\\windows\\system32\\bin"), ignore_errors=True)


# In three, so that they run side by side.
@scenario
def identity_recorded_folder_through_a_link(side):
    recorded_folders_refused(side, "linked", "links")


@scenario
def identity_recorded_folder_by_another_name(side):
    recorded_folders_refused(side, "aliases", "aliases")


@scenario
def identity_recorded_system_and_shell_folders(side):
    recorded_folders_refused(side, "system folders", "system")


@scenario
def identity_links_inside_the_product(side):
    """bin is a link to the user's Documents, readme.txt a link to one of the
    user's files: nothing is followed, the targets keep every byte, the rest
    of the product goes, and the run says some files stayed (-Quiet: 3)."""
    product = EarlyProduct(side, "inner links").install()
    documents = profile(product) + "\\Documents\\inner-links"
    shutil.rmtree(side.host_path(documents), ignore_errors=True)
    victims(side, documents, ["viewer.exe", "viewcore.dll", "plugins\\jpeg.vpl", "plugins\\png.vpl", "notes.txt"])
    shutil.rmtree(product.host(product.install_path + "bin"))
    link(side, product.install_path + "bin", side.host_path(documents))
    link(side, product.install_path + "readme.txt", side.host_path(documents + "\\notes.txt"))
    before = linked_tree(side)
    code, reports = product.uninstall([], args=["-Quiet"])
    check(code == 3, "exit code %d under -Quiet" % code)
    after = linked_tree(side)
    # What went: the product's other files and folders, the shortcuts; the
    # links stay (Wine cannot remove a link as a link; the host and Windows
    # remove readme.txt as a link) and so does the product's folder.
    gone = before - after
    check(not (after - before), "appeared: %s" % sorted(after - before)[:10])
    inside = relative_to_machine(side, product.install_path)
    shortcuts = relative_to_machine(side, product.programs)
    # The shared component, whose last user the product was, goes too.
    shared = relative_to_machine(side, product.component.rsplit("\\", 1)[0])
    for path in gone:
        where = path.split(" -> ")[0].split(" = ")[0]
        check((where.startswith((inside, shortcuts)) and not where.startswith(inside + os.sep + "bin" + os.sep)) or
              where.rstrip(os.sep) == shared or where.startswith(shared + os.sep), "went: %s" % path)
    for victim in ["viewer.exe", "viewcore.dll", "plugins/jpeg.vpl", "notes.txt"]:
        check(os.path.exists(side.host_path(documents + "\\" + victim.replace("/", "\\"))), "target went: " + victim)
    check(os.path.islink(product.host(product.install_path + "bin")), "the link bin went")
    check(not product.exists("license.txt") and not product.exists("help"), "the product's own files stayed")
    check(product.key_exists("HKLM", product.uninstall_key), "the entry of a product still there went")


@scenario
def identity_link_swapped_in_while_asking(side):
    """The help folder is swapped for a link to the user's Documents while
    the question is open: after the Yes nothing is followed."""
    product = EarlyProduct(side, "swapped").install()
    documents = profile(product) + "\\Documents\\swapped"
    shutil.rmtree(side.host_path(documents), ignore_errors=True)
    victims(side, documents, ["viewer.chm", "images\\toolbar.png"])
    host = side.name == "host"
    process = subprocess.Popen(side.command(product.host(product.exe), ["-Spawn"] if host else []), env=side.env,
                               stdin=subprocess.PIPE if host else subprocess.DEVNULL,
                               stdout=subprocess.PIPE if host else subprocess.DEVNULL, stderr=subprocess.STDOUT)
    if side.name == "win32":
        side.driver("steps", "Uninstall...=")
    else:
        deadline = time.monotonic() + 60
        seen = b""
        while b"Are you sure" not in seen and time.monotonic() < deadline:
            seen += process.stdout.read1(4096)
        check(b"Are you sure" in seen, "no question: %r" % seen)
    shutil.rmtree(product.host(product.install_path + "help"))
    link(side, product.install_path + "help", side.host_path(documents))
    before = linked_tree(side)
    if side.name == "win32":
        side.driver("steps", "Uninstall...=Yes", "Uninstaller...=OK")
        process.wait(timeout=120)
        side.wait_idle()
    else:
        process.communicate(b"y\n\n", timeout=120)
    after = linked_tree(side)
    check(not (after - before), "appeared: %s" % sorted(after - before)[:10])
    for path in before - after:
        check("swapped" not in path or "Acme" in path.split("Documents")[0], "went: %s" % path)
    for victim in ["viewer.chm", "images\\toolbar.png"]:
        check(os.path.exists(side.host_path(documents + "\\" + victim)), "target went: " + victim)
    check(not product.exists("license.txt"), "the product's own files stayed")


class ClimbingProduct(EarlyProduct):
    """Entries that climb out of their variable's folder with .., entries for
    absent files in the Windows folder's own sub-folders, components outside
    the product, and a group named Startup."""

    def __init__(self, side, name, user):
        EarlyProduct.__init__(self, side, name, group="Startup")
        self.user = user

    def script(self):
        relative_user = self.user.split("\\", 1)[1]
        climbing = ["$4..\\..\\climb-victim.txt", "$1..\\%s\\Documents\\climb-victim.txt" % relative_user,
                    "$0..\\climb-victim.txt", "..\\climb-victim.txt",
                    "$1help\\a.hlp", "$1logs\\x.log", "$1tasks\\t.job", "$1temp\\a.log", "$1Fonts\\a.ttf"]
        text = EarlyProduct.script(self).replace("FILE LIST: ", "FILE LIST: " + ",\n  ".join(climbing) + ",\n  ")
        components = ["OLE: REGISTER | ..\\..\\windows\\system32\\climbshell.dll",
                      "OLE: REGISTER | $0..\\windows\\system32\\climbshell.dll",
                      "OLE: UNREGISTER | $2..\\system32\\climbshell.dll"]
        return text.replace("DONE:", "\n".join(components) + "\nDONE:")


@scenario
def identity_paths_stay_in_their_folders(side):
    """Nothing outside the product changes: the entries that climb out are
    refused, the system's empty sub-folders stay though their listed files
    were never there, no component outside the product is loaded, and the
    Startup group keeps its folder."""
    user = EarlyProduct(side, "climb").programs.split("\\AppData\\")[0]
    product = ClimbingProduct(side, "climb", user)
    product.install()
    users = user.rsplit("\\", 1)[0]
    others(side, [users + "\\climb-victim.txt", user + "\\Documents\\climb-victim.txt", "C:\\climb-victim.txt",
                  product.program_files + "\\climb-victim.txt"])
    for folder, name in [("help", "a.hlp"), ("logs", "x.log"), ("tasks", "t.job"), ("temp", "a.log"),
                         ("Fonts", "a.ttf")]:
        os.makedirs(side.host_path("C:\\windows\\" + folder), exist_ok=True)
        if os.path.exists(side.host_path("C:\\windows\\%s\\%s" % (folder, name))):
            os.remove(side.host_path("C:\\windows\\%s\\%s" % (folder, name)))
    # An evil twin of the product's component in the system folder.
    suffix = ".dll" if side.name == "win32" else ".so"
    shutil.copy2(os.path.join(side.build, "tests", "testcomponent-normal" + suffix),
                 side.host_path("C:\\windows\\system32\\climbshell.dll"))
    before = machine_tree(side)
    code, reports = product.uninstall([], args=["-Quiet"])
    check(code == 3, "exit code %d under -Quiet" % code)
    # Only the product's own files, its shortcuts (Startup keeps its folder).
    removed = product_paths(product) | group_paths(product)
    removed.discard(relative_to_machine(side, product.programs + "\\Startup") + os.sep)
    check_tree(side, before, machine_tree(side), removed)
    check(product.component_record() == "DllUnregisterServer\n", "components: " + product.component_record())
    for victim in [users + "\\climb-victim.txt", user + "\\Documents\\climb-victim.txt", "C:\\climb-victim.txt",
                   product.program_files + "\\climb-victim.txt", "C:\\windows\\system32\\climbshell.dll"]:
        os.remove(side.host_path(victim))


@scenario
def identity_planted_copy_stays(side):
    """A file of someone else's planted under an earlier copy's name in the
    temporary folder is never removed, before the question or after a No."""
    product = EarlyProduct(side, "planted").install()
    temp = temp_folder(side)
    planted = temp + "\\DelFEEDF00D\\DelFEEDF00D.exe"
    others(side, [planted])
    code, reports = product.uninstall([("Uninstall...", "No")])
    check(code == 0, "exit code %d" % code)
    check(os.path.exists(side.host_path(planted)), "the planted file went")
    with open(side.host_path(planted)) as f:
        check(f.read() == "not the product's", "the planted file changed")
    shutil.rmtree(side.host_path(temp + "\\DelFEEDF00D"))


@scenario
def identity_repeated_quiet_run_says_not_installed(side):
    """A second unattended uninstall finds nothing to remove: it ends with 2,
    and changes nothing."""
    product = EarlyProduct(side, "twice quiet").install()
    code, _ = product.uninstall([], args=["-Quiet"])
    check(code == 0, "first run: exit code %d" % code)
    # The same uninstaller again, as a package manager would run it.
    again = side.host_path("C:\\e2e\\again\\Uninstall.exe")
    os.makedirs(os.path.dirname(again), exist_ok=True)
    source = again + ".txt"
    with open(source, "w") as f:
        f.write(product.script())
    result = subprocess.run([builder(side), "build", "--exe", side.program("Uninstall"), source, "-o", again],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    check(result.returncode == 0, "ffsbuild: " + result.stdout.decode())
    os.remove(source)
    product.exe = "C:\\e2e\\again\\Uninstall.exe"
    before = machine_tree(side)
    code, _ = product.uninstall([], args=["-Quiet"])
    check(code == 2, "second run: exit code %d" % code)
    after = machine_tree(side)
    check(after == before, "changed: %s" % sorted(after ^ before)[:10])
    shutil.rmtree(os.path.dirname(again))


@scenario
def identity_copy_outside_the_temporary_folder_stays(side):
    """A program named like a relaunched copy but outside the temporary
    folder never schedules its own removal."""
    from relaunch_scenarios import pending_removals
    product = EarlyProduct(side, "look-alike").install()
    folder = "C:\\e2e\\Del0000ABCD"
    copy = folder + "\\Del0000ABCD.exe"
    shutil.rmtree(side.host_path(folder), ignore_errors=True)
    os.makedirs(side.host_path(folder))
    shutil.copy2(product.host(product.exe), side.host_path(copy))
    code, _ = side.run(side.host_path(copy), ["-Spawn"], answers=[("Uninstall...", "No")])
    check(code == 0, "exit code %d" % code)
    pending = pending_removals(side)
    check(not any(copy in line or line.endswith(folder) for line in pending), "scheduled: %s" % pending)
    regtool(side, "get", "HKCU", product.product_key, "Install Path")  # another start
    check(os.path.exists(side.host_path(copy)), "the look-alike went")
    shutil.rmtree(side.host_path(folder))
