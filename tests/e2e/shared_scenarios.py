"""Shared-file scenarios: what a script names through a path variable
outside the product's folder belongs to other programs too. It goes only
with its last usage count (SharedDLLs); without a count, or when the system
protects it, it stays and nothing of it is called. No component is loaded
from a folder anyone can write. Each compares the whole machine tree and the
whole registry before and after."""
import os
import re
import shutil

from e2e import check, contains, lacks, scenario
from identity_scenarios import profile, refused_before_question
from safety_scenarios import (LoneProduct, check_tree, group_paths, machine_tree, others, product_paths,
                              relative_to_machine, temp_folder)
from uninstall_scenarios import SHARED_DLLS, box_text, regtool
from relaunch_scenarios import RECORD, plant_record, start_recording

UNINSTALL_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
# Keys Wine itself rewrites while any program runs, and the restart's list
# (the relaunched copy is scheduled there).
VOLATILE = re.compile(r"^\[(HKEY_[A-Z_]+\\)?(Software\\Wine|Software\\Microsoft\\Windows\\CurrentVersion\\Explorer"
                      r"|Volatile Environment|Environment|Software\\Microsoft\\Windows NT\\CurrentVersion"
                      r"\\(Windows|Fonts|Perflib)|System\\CurrentControlSet\\Control\\(Session Manager|Class))", re.IGNORECASE)
# The folder values Wine writes again into the CurrentVersion key whenever
# a prefix starts.
WINE_FOLDER_VALUE = re.compile(r'^\[Software\\Microsoft\\Windows\\CurrentVersion\]$', re.IGNORECASE)


def registry(side):
    """The whole registry as (file, key, line) entries: the host machine's
    registry file, or the Wine prefix's system and user hives once its
    server has written them."""
    side.wait_idle()
    files = ["registry.txt"] if side.name == "host" else ["system.reg", "user.reg"]
    entries = set()
    for name in files:
        key = None
        with open(os.path.join(side.machine_folder, name), encoding="latin-1") as f:
            for line in f.read().replace("\\\n", "").split("\n"):
                line = line.rstrip("\r")
                if line.startswith("["):
                    # Wine's key lines carry the time the key was written.
                    key = re.sub(r"\] \d+$", "]", line)
                elif line and not line.startswith("#") and not line.startswith(";") and key:
                    entries.add((name, key, line))
    return entries


def registry_changes(side, before, after):
    """What changed, less what Wine changes by itself."""
    changed = before ^ after
    def volatile(entry):
        key = entry[1].replace("\\\\", "\\")
        return VOLATILE.match(key) or (side.name == "win32" and WINE_FOLDER_VALUE.match(key) and "=str(2):" in entry[2])
    return {entry for entry in changed if entry[2] and not volatile(entry)}


def key_line(side, key):
    """A key as the registry files write it."""
    if side.name == "host":
        return "[HKEY_LOCAL_MACHINE\\%s]" % key
    return "[%s]" % key.replace("\\", "\\\\")


class SharedProduct(LoneProduct):
    """The lone product with lines of its own: more file-list entries and
    components."""

    def __init__(self, side, name, entries=(), components=()):
        LoneProduct.__init__(self, side, name)
        self.entries = list(entries)
        self.components = list(components)

    def script(self):
        text = LoneProduct.script(self)
        if self.entries:
            text = text.replace("FILE LIST: ", "FILE LIST: " + ",\n  ".join(self.entries) + ",\n  ")
        # As installers write them: the components before the removal, so
        # that one is unregistered before its file goes.
        lines = ["OLE: REGISTER | " + component for component in self.components]
        return text.replace("INSTALL:", "\n".join(lines + ["INSTALL:"]))


def component_file(side):
    return os.path.join(side.build, "tests", "testcomponent-normal" + (".dll" if side.name == "win32" else ".so"))


def uninstalled(side, product):
    code, reports = product.uninstall([("Uninstall...", "Yes"), ("Uninstaller...", "OK")])
    check(code == 0, "exit code %d" % code)
    contains(box_text(side, reports, "Uninstaller..."), "Acme Viewer has been uninstalled!", "the final box")
    check(not product.key_exists("HKLM", product.uninstall_key), "the installed-programs entry stayed")


def shared_component(side, count):
    """A component of the product's in the system folder, listed and
    registered, used by count programs (none: no count)."""
    dll = "C:\\windows\\system32\\acmectl.dll"
    product = SharedProduct(side, "shared %s" % count, ["$2acmectl.dll"], ["$2acmectl.dll"]).install()
    shutil.copy2(component_file(side), side.host_path(dll))
    if count is not None:
        check(regtool(side, "dword", "HKLM", SHARED_DLLS, dll, str(count))[0] == 0, "usage count")
    before, keys = machine_tree(side), registry(side)
    uninstalled(side, product)
    last = count == 1
    removed = product_paths(product) | group_paths(product)
    if last:
        removed.add(relative_to_machine(side, dll))
    check_tree(side, before, machine_tree(side), removed)
    check(product.component_record() == ("DllUnregisterServer\n" if last else ""),
          "component: %r" % product.component_record())
    # The registry: the product's entry goes, and the count goes down once.
    expected = {entry for entry in keys if entry[1] == key_line(side, product.uninstall_key)}
    counted = {entry for entry in keys if entry[1] == key_line(side, SHARED_DLLS) and "acmectl" in entry[2]}
    if count is not None:
        check(len(counted) == 1, "the count in the registry file: %s" % counted)
        expected |= counted
        if count > 1:
            value = list(counted)[0]
            expected.add((value[0], value[1], re.sub(r"dword:0*%x$" % count, "dword:%08x" % (count - 1), value[2])))
    changes = registry_changes(side, keys, registry(side))
    check(changes == expected, "registry: changed %s\nexpected %s" % (sorted(changes)[:10], sorted(expected)[:10]))
    code, text = regtool(side, "get", "HKLM", SHARED_DLLS, dll)
    check((code, text) == ((0, "dword:%d" % (count - 1)) if count and count > 1 else (1, "")),
          "count afterwards: %s %r" % (code, text))
    if os.path.exists(side.host_path(dll)):
        os.remove(side.host_path(dll))


@scenario
def shared_component_used_by_another(side):
    """Count 2: the count goes to 1; file and registration stay."""
    shared_component(side, 2)


@scenario
def shared_component_last_use(side):
    """Count 1: the value goes, the component is unregistered, the file goes."""
    shared_component(side, 1)


@scenario
def shared_component_without_count(side):
    """No count: all stays, nothing is called, and the uninstall is still
    complete."""
    shared_component(side, None)


@scenario
def shared_system_files_stay(side):
    """What the system owns, named through the path variables, stays: the
    Windows folder's win.ini, the system's kernel32.dll, another program's
    file in the temporary folder, and (under Wine) the system's own jscript
    component, whose registration keeps every key. The uninstall is still
    complete."""
    components = ["$2jscript.dll"] if side.name == "win32" else []
    product = SharedProduct(side, "system files", ["$1win.ini", "$2kernel32.dll", "$4other-session.dat"],
                            components).install()
    temp = temp_folder(side)
    if side.name == "host":
        others(side, ["C:\\windows\\win.ini", "C:\\windows\\system32\\kernel32.dll"])
    others(side, [temp + "\\other-session.dat"])
    named = ["C:\\windows\\win.ini", "C:\\windows\\system32\\kernel32.dll", temp + "\\other-session.dat"]

    def contents():
        with_bytes = {}
        for path in named:
            with open(side.host_path(path), "rb") as f:
                with_bytes[path] = f.read()
        return with_bytes

    before, keys, kept = machine_tree(side), registry(side), contents()
    uninstalled(side, product)
    check_tree(side, before, machine_tree(side), product_paths(product) | group_paths(product))
    check(contents() == kept, "a kept file changed")
    expected = {entry for entry in keys if entry[1] == key_line(side, product.uninstall_key)}
    changes = registry_changes(side, keys, registry(side))
    check(changes == expected, "registry: changed %s" % sorted(changes - expected)[:10])
    os.remove(side.host_path(temp + "\\other-session.dat"))


@scenario
def shared_component_in_writable_folder_never_loaded(side):
    """A component in the temporary folder, or in another product's folder,
    is never loaded, even with a count that makes this product its last
    user: a planted library that records its loading finds no record."""
    product = SharedProduct(side, "writable", [], ["$4acmetmp.dll", "$0Other Product\\othershell.dll"]).install()
    temp = temp_folder(side)
    other = "C:\\Program Files\\Other Product"
    places = [temp + "\\acmetmp.dll", other + "\\othershell.dll"]
    for place in places:
        os.makedirs(side.host_path(place.rsplit("\\", 1)[0]), exist_ok=True)
        if side.name == "win32":
            shutil.copy2(os.path.join(side.build, "tests", "plantdll.dll"), side.host_path(place))
        else:
            shutil.copy2(component_file(side), side.host_path(place))
    for place in places:
        check(regtool(side, "dword", "HKLM", SHARED_DLLS, place, "1")[0] == 0, "usage count")
    start_recording(side)
    before, keys = machine_tree(side), registry(side)
    uninstalled(side, product)
    check(plant_record(side) == "", "a planted library was loaded: %r" % plant_record(side))
    check(product.component_record() == "", "a component was called: %r" % product.component_record())
    check_tree(side, before, machine_tree(side), product_paths(product) | group_paths(product))
    expected = {entry for entry in keys if entry[1] == key_line(side, product.uninstall_key)}
    changes = registry_changes(side, keys, registry(side))
    check(changes == expected, "registry: changed %s" % sorted(changes - expected)[:10])
    os.remove(side.host_path(places[0]))
    shutil.rmtree(side.host_path(other))


@scenario
def shared_local_programs_refused(side):
    """The per-user program files folder (LocalAppData\\Programs) recorded as
    the product's folder is refused before the question; a product in a
    folder of its own below it uninstalls."""
    product = LoneProduct(side, "local programs")
    programs = profile(product) + "\\AppData\\Local\\Programs"
    product.install_path = programs + "\\"
    product.exe = product.install_path + "Uninstall.exe"
    product.install()
    refused_before_question(side, product, programs + "\\", quiet=False)
    shutil.rmtree(side.host_path(programs))
    below = LoneProduct(side, "below local programs")
    below.install_path = programs + "\\Acme Viewer\\"
    below.exe = below.install_path + "Uninstall.exe"
    below.install()
    before = machine_tree(side)
    uninstalled(side, below)
    check(os.path.isdir(side.host_path(programs)), "the per-user program files folder went")
    check_tree(side, before, machine_tree(side), product_paths(below) | group_paths(below))
