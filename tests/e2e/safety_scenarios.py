"""Safety scenarios: the uninstall removes what the product installed and
nothing else, and nothing at all before the user agrees. Each one compares
the whole machine tree (and the product's registry keys) before and after."""
import os
import re
import subprocess

from e2e import check, contains, lacks, scenario
from uninstall_scenarios import SHARED_DLLS, Product, box_text, regtool

NOT_FOUND = "Unable to find previous installation; files could not be removed."


def volatile(relative):
    """What a run may change beside the product: the registry files (read
    through regtool instead), the relaunched copies and their private
    folders (gone at the next start or restart), and the logs."""
    name = os.path.basename(relative)
    if any(re.fullmatch(r"Del[0-9A-F]{8}", part) for part in relative.split(os.sep)):
        return True
    if relative in ("registry.txt",) or (os.sep not in relative and name.endswith(".reg")):
        return True
    if name == "debug.log" or (name.startswith("Del") and name.endswith(".exe")):
        return True
    return relative.startswith(os.path.join("drive_c", "e2e", "records"))


def machine_tree(side):
    """Every file and folder below the machine folder (symbolic links, such
    as Wine's drive letters, are not followed)."""
    root = side.machine_folder
    tree = set()
    for folder, folders, files in os.walk(root):
        relative = os.path.relpath(folder, root)
        if relative != "." and not volatile(relative):
            tree.add(relative + os.sep)
        for name in files:
            path = os.path.normpath(os.path.join(relative, name))
            if not volatile(path):
                tree.add(path)
    return tree


def registry_state(product):
    code, path = regtool(product.side, "get", "HKCU", product.product_key, "Install Path")
    return (product.key_exists("HKCU", product.product_key), path if code == 0 else None,
            product.key_exists("HKLM", product.uninstall_key), product.component_record())


def relative_to_machine(side, windows_path):
    return os.path.normpath(os.path.relpath(side.host_path(windows_path), side.machine_folder))


def check_tree(side, before, after, removed=()):
    """The tree after is the tree before less exactly the paths removed
    (host paths relative to the machine folder; folders end in os.sep)."""
    removed = set(removed)
    gone = before - after
    added = after - before
    check(not added, "appeared: %s" % sorted(added)[:20])
    check(gone == removed, "removed but not the product's: %s\nleft though the product's: %s"
          % (sorted(gone - removed)[:20], sorted(removed - gone)[:20]))


def product_paths(product):
    """The product's files and folders as an uninstall that goes well
    removes them, and its shortcut group."""
    side = product.side
    paths = set()
    for relative in product.files + ["install.log", "Uninstall.exe"]:
        paths.add(relative_to_machine(side, product.install_path + relative))
        folder = relative.rsplit("\\", 1)[0] if "\\" in relative else ""
        while folder:
            paths.add(relative_to_machine(side, product.install_path + folder) + os.sep)
            folder = folder.rsplit("\\", 1)[0] if "\\" in folder else ""
    paths.add(relative_to_machine(side, product.install_path) + os.sep)
    # The shared component, whose last user the product was, and its
    # folder.
    if "OLE: REGISTER | $0Common Files" in product.script():
        paths.add(relative_to_machine(side, product.component))
        paths.add(relative_to_machine(side, product.component.rsplit("\\", 1)[0]) + os.sep)
    return paths


def group_paths(product):
    side = product.side
    paths = {relative_to_machine(side, product.programs + "\\" + product.group + "\\" + item + ".lnk")
             for item in product.items}
    group = product.group
    while group:
        paths.add(relative_to_machine(side, product.programs + "\\" + group) + os.sep)
        group = group.rsplit("\\", 1)[0] if "\\" in group else ""
    return paths


def others(side, windows_paths):
    """Files of nobody's product, where a careless removal would reach them."""
    for path in windows_paths:
        host = side.host_path(path)
        if not os.path.exists(host):
            os.makedirs(os.path.dirname(host), exist_ok=True)
            with open(host, "w") as f:
                f.write("not the product's")


class EarlyProduct(Product):
    """The sample product's order: shortcuts and the component before the
    question, as the installer's own script has them."""

    def script(self):
        lines = Product.script(self).split("\n")
        lines.remove("INSTALL:")
        lines.insert(lines.index("DONE:"), "INSTALL:")
        return "\n".join(lines)


BAD_FOLDERS = [
    ("empty", ""),
    ("relative", "Acme Viewer\\"),
    ("backslash", "\\"),
    ("drive root", "C:\\"),
    ("windows folder", "C:\\windows\\"),
    ("climbing to the root", "C:\\Apps\\..\\"),
    ("too long", "C:\\" + "x" * 200 + "\\"),
]


@scenario
def safety_bad_recorded_folder(side):
    """A recorded folder that cannot be the product's stops the uninstall
    before the question, with nothing touched."""
    product = EarlyProduct(side, "bad folder").install()
    others(side, ["C:\\readme.txt", "C:\\license.txt", "C:\\windows\\readme.txt", "C:\\windows\\license.txt",
                  "C:\\e2e\\readme.txt"])
    for what, value in BAD_FOLDERS:
        check(regtool(side, "set", "HKCU", product.product_key, "Install Path", value)[0] == 0, "product key")
        before, keys = machine_tree(side), registry_state(product)
        code, reports = product.uninstall([("Uninstall problem...", "OK"), ("!Uninstall...", "1500"),
                                           ("!Uninstaller...", "1000")])
        check(code == 0, "%s: exit code %d" % (what, code))
        text = box_text(side, reports, "Uninstall problem...")
        contains(text, "is not a folder of its own", what)
        lacks(text, "Are you sure", what)
        check_tree(side, before, machine_tree(side))
        check(registry_state(product) == keys, "%s: the registry changed" % what)


@scenario
def safety_recorded_folder_after_a_long_value(side):
    """The recorded folder is found behind a value too long for the lookup,
    and taken without its final separator; the computed folder's files (of
    another installation) stay."""
    decoy = EarlyProduct(side, "decoy").install()
    product = EarlyProduct(side, "elsewhere")
    product.install_path = "C:\\Apps\\Acme Viewer\\"
    product.exe = product.install_path + "Uninstall.exe"
    product.install()
    check(regtool(side, "delete", "HKCU", product.product_key)[0] == 0, "product key")
    check(regtool(side, "set", "HKCU", product.product_key, "A long value", "y" * 400)[0] == 0, "long value")
    check(regtool(side, "set", "HKCU", product.product_key, "Install Path", "C:\\Apps\\Acme Viewer")[0] == 0, "key")
    before = machine_tree(side)
    code, reports = product.uninstall([("Uninstall...", "Yes"), ("Uninstaller...", "OK")])
    check(code == 0, "exit code %d" % code)
    contains(box_text(side, reports, "Uninstaller..."), "Acme Viewer has been uninstalled!", "the final box")
    # C:\Apps held nothing but the product's folder: it goes too.
    apps = relative_to_machine(side, "C:\\Apps") + os.sep
    check_tree(side, before, machine_tree(side), product_paths(product) | group_paths(product) | {apps})
    check(all(decoy.exists(relative) for relative in decoy.files), "the computed folder's files went")


class LoneProduct(EarlyProduct):
    """A product with no shared component: alone in the program files folder."""

    def script(self):
        return "\n".join(line for line in EarlyProduct.script(self).split("\n") if not line.startswith("OLE:"))


@scenario
def safety_program_files_left_empty(side):
    product = LoneProduct(side, "lone").install()
    common = product.host(product.program_files + "\\Common Files\\Acme")
    for name in os.listdir(common):
        os.remove(os.path.join(common, name))
    os.rmdir(common)
    if side.name == "host":
        os.rmdir(product.host(product.program_files + "\\Common Files"))
    before = machine_tree(side)
    code, reports = product.uninstall([("Uninstall...", "Yes"), ("Uninstaller...", "OK")])
    check(code == 0, "exit code %d" % code)
    contains(box_text(side, reports, "Uninstaller..."), "Acme Viewer has been uninstalled!", "the final box")
    check(os.path.isdir(product.host(product.program_files)), "the program files folder went")
    check_tree(side, before, machine_tree(side), product_paths(product) | group_paths(product))


class ClimbingGroupProduct(EarlyProduct):
    """Its group is written ..\\Programs: the shortcuts lie in the programs
    folder itself."""

    def script(self):
        return EarlyProduct.script(self).replace("CREATE GROUP: " + self.group, "CREATE GROUP: ..\\Programs")


@scenario
def safety_group_climbing_to_programs(side):
    product = ClimbingGroupProduct(side, "climbing group").install()
    import shutil
    shutil.rmtree(product.host(product.programs + "\\Acme"))
    shortcuts = []
    for item in product.items:
        path = product.programs + "\\" + item + ".lnk"
        with open(product.host(path), "wb") as f:
            f.write(b"shortcut")
        shortcuts.append(relative_to_machine(side, path))
    before = machine_tree(side)
    code, reports = product.uninstall([("Uninstall...", "Yes"), ("Uninstaller...", "OK")])
    check(code == 0, "exit code %d" % code)
    check(os.path.isdir(product.host(product.programs)), "the programs folder went")
    check_tree(side, before, machine_tree(side), product_paths(product) | set(shortcuts))


def temp_folder(side):
    """The temporary folder as the program sees it, a Windows path."""
    users = [name for name in os.listdir(side.host_path("C:\\users"))
             if name != "Public" and os.path.isdir(os.path.join(side.host_path("C:\\users"), name))]
    user = (os.environ.get("USER") or "user") if side.name == "host" or not users else users[0]
    for windows in ["C:\\users\\%s\\AppData\\Local\\Temp" % user, "C:\\users\\%s\\Temp" % user]:
        if os.path.isdir(side.host_path(windows)):
            return windows
    raise AssertionError("no temporary folder")


class TempEntryProduct(EarlyProduct):
    def script(self):
        return EarlyProduct.script(self).replace("FILE LIST: ", "FILE LIST: $4..\\Temp\\x.tmp,\n  ")


@scenario
def safety_entry_through_the_temp_folder(side):
    """$4..\\Temp\\x.tmp names a file in the temporary folder, a shared
    file that the product alone uses: it goes, the folder stays even when
    it is left empty."""
    product = TempEntryProduct(side, "temp entry").install()
    temp = temp_folder(side)
    if side.name == "host":
        for name in os.listdir(product.host(temp)):
            os.remove(os.path.join(product.host(temp), name))
    with open(product.host(temp + "\\x.tmp"), "w") as f:
        f.write("the product's scratch file")
    check(regtool(side, "dword", "HKLM", SHARED_DLLS, temp + "\\x.tmp", "1")[0] == 0, "usage count")
    before = machine_tree(side)
    # On the host the program runs in place, so that nothing else is left in
    # the temporary folder; Windows cannot delete a running program.
    args = ["-Spawn"] if side.name == "host" else []
    code, reports = product.uninstall([("Uninstall...", "Yes"), ("Uninstaller...", "OK")], args=args)
    check(code == 0, "exit code %d" % code)
    check(os.path.isdir(product.host(temp)), "the temporary folder went")
    removed = product_paths(product) | group_paths(product) | {relative_to_machine(side, temp + "\\x.tmp")}
    check_tree(side, before, machine_tree(side), removed)


@scenario
def safety_nothing_changes_without_a_yes(side):
    """Shortcut, group and component commands before the question: after a
    No, or no answer at all, nothing has changed."""
    product = EarlyProduct(side, "early no").install()
    answers = [[("Uninstall...", "No")]]
    if side.name == "host":
        answers += [[], [("Uninstall...", "maybe")]]  # no answer; an answer that is no Yes
    for answer in answers:
        before, keys = machine_tree(side), registry_state(product)
        code, reports = product.uninstall(answer + [("!Uninstaller...", "2000"), ("!Uninstall problem...", "500")])
        check(code == 0, "exit code %d" % code)
        lacks("\n".join(reports), "has been uninstalled", "the output")
        check_tree(side, before, machine_tree(side))
        check(registry_state(product) == keys, "the registry changed: %s" % (registry_state(product),))
        product.assert_untouched()


@scenario
def safety_early_commands_act_after_the_yes(side):
    product = EarlyProduct(side, "early yes").install()
    before = machine_tree(side)
    code, reports = product.uninstall([("Uninstall...", "Yes"), ("Uninstaller...", "OK")])
    check(code == 0, "exit code %d" % code)
    contains(box_text(side, reports, "Uninstaller..."), "Acme Viewer has been uninstalled!", "the final box")
    check_tree(side, before, machine_tree(side), product_paths(product) | group_paths(product))
    check(product.component_record() == "DllUnregisterServer\n", "component: " + product.component_record())
    check(not product.key_exists("HKLM", product.uninstall_key), "installed-programs entry left behind")


@scenario
def safety_incomplete_removal_says_so(side):
    """A folder so long that no listed path fits: nothing of the product's
    files goes, and the final box says so; the product stays listed."""
    product = EarlyProduct(side, "deep")
    product.install_path = "C:\\Deep\\" + "d" * 140 + "\\"
    product.exe = product.install_path + "Uninstall.exe"
    product.install()
    before = machine_tree(side)
    code, reports = product.uninstall([("Uninstall...", "Yes"), ("Uninstaller...", "OK")])
    check(code == 0, "exit code %d" % code)
    text = box_text(side, reports, "Uninstaller...")
    contains(text, "Unable to remove some files of Acme Viewer", "the final box")
    lacks(text, "has been uninstalled", "the final box")
    check_tree(side, before, machine_tree(side), group_paths(product))
    check(product.key_exists("HKLM", product.uninstall_key), "the entry of a product still there went")


@scenario
def safety_two_runs_at_once(side):
    files = ["data\\set%02d\\item%04d.dat" % (i % 30, i) for i in range(900)]
    product = EarlyProduct(side, "twice", files=files).install()
    before = machine_tree(side)
    runs = [subprocess.Popen(side.command(product.host(product.exe), ["-Spawn"]), env=side.env,
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            for _ in range(2)]
    outputs = [run.communicate(b"y\n\n", timeout=120)[0].decode("latin-1") for run in runs]
    for run, output in zip(runs, outputs):
        check(run.returncode == 0, "exit code %d:\n%s" % (run.returncode, output[-2000:]))
        contains(output, "Acme Viewer has been uninstalled!", "the output")
    check_tree(side, before, machine_tree(side), product_paths(product) | group_paths(product))


# Two runs answered at once need the host's standard input.
safety_two_runs_at_once.sides = ("host",)
