"""An ordinary product, uninstalled: the folders it leaves empty above its
own go with it, its read-only files go too, and nothing of anyone else's
changes. Each compares the whole machine tree before and after."""
import os
import subprocess

from e2e import check, contains, scenario
from safety_scenarios import EarlyProduct, check_tree, group_paths, machine_tree, product_paths, relative_to_machine
from uninstall_scenarios import box_text

FINAL = [("Uninstall...", "Yes"), ("Uninstaller...", "OK")]


class NestedProduct(EarlyProduct):
    """Installed with "INSTALL DIR: Acme\\Viewer", as a maker of several
    products lays them out."""

    def __init__(self, side, name, **kwargs):
        EarlyProduct.__init__(self, side, name, **kwargs)
        self.folder = "Acme\\Viewer"
        self.install_path = "%s\\%s\\" % (self.program_files, self.folder)
        self.exe = self.install_path + "Uninstall.exe"
        self.maker = "%s\\Acme" % self.program_files

    def script(self):
        return EarlyProduct.script(self).replace("INSTALL DIR: Acme Viewer", "INSTALL DIR: Acme\\Viewer")


def folder_path(side, windows):
    return relative_to_machine(side, windows) + os.sep


@scenario
def ordinary_emptied_parents_go(side):
    """The maker's folder goes once the product's folder was the last thing
    in it; another product's file keeps it; and a folder that this run did
    not empty (the product's folder already empty, its files gone) stays."""
    product = NestedProduct(side, "nested").install()
    contains(product.script(), "INSTALL DIR: Acme\\Viewer\n", "the script")
    before = machine_tree(side)
    code, reports = product.uninstall(FINAL)
    check(code == 0, "exit code %d" % code)
    contains(box_text(side, reports, "Uninstaller..."), "Acme Viewer has been uninstalled!", "the final box")
    check(os.path.isdir(product.host(product.program_files)), "the program files folder went")
    removed = product_paths(product) | group_paths(product) | {folder_path(side, product.maker)}
    check_tree(side, before, machine_tree(side), removed)

    product = NestedProduct(side, "nested beside another").install()
    other = product.maker + "\\Paint\\paint.exe"
    os.makedirs(os.path.dirname(product.host(other)), exist_ok=True)
    with open(product.host(other), "w") as f:
        f.write("another product of the same maker")
    before = machine_tree(side)
    code, reports = product.uninstall(FINAL)
    check(code == 0, "exit code %d" % code)
    check_tree(side, before, machine_tree(side), product_paths(product) | group_paths(product))

    # A run after the files went by other means, started from elsewhere:
    # every listed file is missing, and a missing file proves nothing. The
    # product's emptied folders go, the maker's folder (which this run did
    # not empty of anything) stays.
    product = NestedProduct(side, "nested, files gone").install()
    os.remove(product.host(other))
    os.rmdir(product.host(other.rsplit("\\", 1)[0]))
    windows, host = side.scratch("nested runner")
    os.rename(product.host(product.exe), os.path.join(host, "Uninstall.exe"))
    for relative in product.files + ["install.log"]:
        os.remove(product.host(product.install_path + relative))
    product.exe = windows + "\\Uninstall.exe"
    before = machine_tree(side)
    code, reports = product.uninstall(FINAL)
    check(code == 0, "exit code %d" % code)
    folders = {path for path in product_paths(product) if path.endswith(os.sep)}
    # The shared component was there, and this product its last user.
    component = {relative_to_machine(side, product.component)}
    check_tree(side, before, machine_tree(side), folders | component | group_paths(product))


def set_read_only(side, windows_path, hidden=False):
    if side.name == "win32":
        flags = ["+R"] + (["+H"] if hidden else [])
        result = subprocess.run(side.command("attrib", flags + [windows_path]), env=side.env,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        check(result.returncode == 0, "attrib: " + result.stdout.decode("latin-1"))
    else:
        os.chmod(side.host_path(windows_path), 0o444)
    check(not os.access(side.host_path(windows_path), os.W_OK) or os.geteuid() == 0, "not read-only: " + windows_path)


def attributes(host_path):
    """What a file's attributes are made of here: its mode (Wine keeps the
    read-only attribute in it) and its extended attributes (Wine keeps the
    others there)."""
    status = os.stat(host_path)
    extended = {name: os.getxattr(host_path, name) for name in os.listxattr(host_path)}
    return status.st_mode, extended


@scenario
def ordinary_read_only_files_go(side):
    """A read-only and a read-only hidden listed file go with the rest, and
    with them the product's entry; a read-only file of the user's beside
    them stays, attributes and all."""
    product = EarlyProduct(side, "read-only").install()
    set_read_only(side, product.install_path + "bin\\viewer.exe")
    set_read_only(side, product.install_path + "help\\viewer.chm", hidden=True)
    mine = product.install_path + "bin\\my-notes.txt"
    with open(product.host(mine), "w") as f:
        f.write("the user's")
    set_read_only(side, mine)
    kept = attributes(product.host(mine))
    before = machine_tree(side)
    code, reports = product.uninstall(FINAL)
    check(code == 0, "exit code %d" % code)
    contains(box_text(side, reports, "Uninstaller..."), "Acme Viewer has been uninstalled!", "the final box")
    removed = product_paths(product) | group_paths(product)
    for folder in ["bin", ""]:
        removed.discard(folder_path(side, product.install_path + folder))
    check_tree(side, before, machine_tree(side), removed)
    check(attributes(product.host(mine)) == kept, "the user's file changed: %s, was %s"
          % (attributes(product.host(mine)), kept))
    check(not product.key_exists("HKLM", product.uninstall_key), "the installed-programs entry stayed")
