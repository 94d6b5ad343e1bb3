"""Uninstall scenarios: a freshly installed test product is removed, or not,
the way a person at the machine would have it removed."""
import os
import shutil
import subprocess

from e2e import SCENARIOS, build_product, builder, check, contains, copy_log_of_run, lacks, read_text, scenario

RECORDS = "C:\\e2e\\records"


def regtool(side, *args):
    # Wine now and then faults inside a small program at start or exit; its
    # own report then stands in the output. Each verb can simply run again.
    for attempt in range(3):
        result = subprocess.run(side.command(side.tool("regtool"), args), env=side.env, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, timeout=120)
        text = result.stdout.decode("latin-1").strip()
        if "wine: Unhandled" not in text:
            break
    return result.returncode, text


SHARED_DLLS = "Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs"


def program_files(side):
    """The program files folder as the program sees it: a 32-bit program in
    a 64-bit prefix reads "C:\\Program Files (x86)" from its registry view."""
    code, text = regtool(side, "get", "HKLM", "Software\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir")
    check(code == 0 and text[1:3] == ":\\", "no ProgramFilesDir: " + text)
    return text.rstrip("\\")


def programs_folder(side):
    code, text = regtool(side, "get", "HKCU", "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
                         "Programs")
    if code == 0 and text:
        return text.rstrip("\\")
    user = os.environ.get("USER") or "user"
    return "C:\\users\\%s\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs" % user


class Product:
    """A test product as its installer leaves it: files in nested folders
    under "Program Files", the product's key with "Install Path", the
    installed-programs entry, a program group with shortcuts, a registered
    shared component, and the product's uninstaller built by ffsbuild."""

    def __init__(self, side, name, files=None, company="Acme", product="Viewer", group="Acme\\Viewer"):
        self.side = side
        self.company = company
        self.product = product
        self.folder = "%s %s" % (company, product)
        self.program_files = program_files(side)
        self.install_path = "%s\\%s\\" % (self.program_files, self.folder)
        self.files = files or ["bin\\viewer.exe", "bin\\viewcore.dll", "bin\\plugins\\jpeg.vpl",
                               "bin\\plugins\\png.vpl", "help\\viewer.chm", "help\\images\\toolbar.png",
                               "samples\\images\\harbour.jpg", "license.txt", "readme.txt"]
        self.group = group
        self.items = ["%s %s" % (company, product), "Viewer Help", "Register Viewer"]
        self.product_key = "Software\\%s\\%s" % (company, product)
        self.uninstall_key = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%s %s" % (company, product)
        self.component = "%s\\Common Files\\%s\\%sshell.dll" % (self.program_files, company, company.lower())
        self.record = "%s\\%s.log" % (RECORDS, name)
        self.programs = programs_folder(side)
        self.exe = self.install_path + "Uninstall.exe"

    def host(self, windows_path):
        return self.side.host_path(windows_path)

    def script(self):
        lines = ["COMPANY NAME: " + self.company,
                 "PRODUCT NAME: " + self.product,
                 "PRODUCT VERSION: 2.4",
                 "REGISTRY PATH: " + self.product_key,
                 "INSTALL DIR: " + self.folder,
                 "INSTALL PATH:",
                 "FILE LIST: " + ",\n  ".join(self.files),
                 "INSTALL NAME: install.log",
                 "UNINSTALL NAME: Uninstall.exe",
                 "INSTALL:",
                 "CREATE GROUP: " + self.group]
        for number, item in enumerate(self.items):
            arguments = "-Register" if item.startswith("Register") else ""
            lines.append("ADD ITEM: %d | $0%s\\bin\\viewer.exe | %s | %s" % (number, self.folder, arguments, item))
        lines += ["OLE: REGISTER | $0Common Files\\%s\\%sshell.dll" % (self.company, self.company.lower()),
                  "DONE:"]
        return "\n".join(lines) + "\n"

    def install(self):
        side = self.side
        shutil.rmtree(self.host(self.install_path), ignore_errors=True)
        for relative in self.files + ["install.log"]:
            path = self.host(self.install_path + relative)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(b"installed " + relative.encode())
        source = self.host(self.install_path + "install-source.txt")
        with open(source, "w") as f:
            f.write(self.script())
        uninstaller = side.program("Uninstall")
        result = subprocess.run([builder(side), "build", "--exe", uninstaller, source, "-o",
                                 self.host(self.exe)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        check(result.returncode == 0, "ffsbuild: " + result.stdout.decode())
        os.remove(source)
        check(regtool(side, "set", "HKCU", self.product_key, "Install Path", self.install_path)[0] == 0, "product key")
        check(regtool(side, "set", "HKLM", self.uninstall_key, "DisplayName", self.folder)[0] == 0, "uninstall key")
        check(regtool(side, "set", "HKLM", self.uninstall_key, "UninstallString", self.exe)[0] == 0, "uninstall key")
        group = self.host(self.programs + "\\" + self.group)
        shutil.rmtree(self.host(self.programs + "\\" + self.group.split("\\")[0]), ignore_errors=True)
        os.makedirs(group)
        for item in self.items:
            with open(os.path.join(group, item + ".lnk"), "wb") as f:
                f.write(b"shortcut")
        component = self.host(self.component)
        os.makedirs(os.path.dirname(component), exist_ok=True)
        suffix = ".dll" if side.name == "win32" else ".so"
        shutil.copy2(os.path.join(side.build, "tests", "testcomponent-normal" + suffix), component)
        # The component is shared: its installer counted its one use.
        if "OLE:" in self.script():
            check(regtool(side, "dword", "HKLM", SHARED_DLLS, self.component, "1")[0] == 0, "usage count")
        records = self.host(RECORDS)
        os.makedirs(records, exist_ok=True)
        if os.path.exists(self.host(self.record)):
            os.remove(self.host(self.record))
        side.env["COMPONENT_RECORD"] = self.record if side.name == "win32" else self.host(self.record)
        return self

    def exists(self, relative):
        return os.path.exists(self.host(self.install_path + relative))

    def key_exists(self, root, key):
        return regtool(self.side, "exists", root, key)[0] == 0

    def shortcut_folder(self, relative=""):
        return self.host(self.programs + "\\" + self.group + (("\\" + relative) if relative else ""))

    def component_record(self):
        path = self.host(self.record)
        return read_text(path) if os.path.exists(path) else ""

    def uninstall(self, answers, args=None):
        return self.side.run(self.host(self.exe), args or [], answers=answers)

    def assert_untouched(self):
        for relative in self.files + ["install.log", "Uninstall.exe"]:
            check(self.exists(relative), "touched: " + relative)
        for item in self.items:
            check(os.path.exists(self.shortcut_folder(item + ".lnk")), "shortcut touched: " + item)
        check(self.key_exists("HKLM", self.uninstall_key), "installed-programs entry touched")
        check(self.key_exists("HKCU", self.product_key), "product key touched")
        check(self.component_record() == "", "component touched: " + self.component_record())


def box_text(side, reports, caption):
    text = "\n".join(reports)
    if side.name == "win32":
        contains(text, "caption: " + caption, "the boxes")
    else:
        contains(text, "[%s]" % caption, "the output")
    return text


@scenario
def uninstall_yes(side):
    product = Product(side, "yes").install()
    extra = product.host(product.install_path + "bin\\plugins\\my-own-plugin.vpl")
    with open(extra, "w") as f:
        f.write("not the product's")
    code, reports = product.uninstall([("Uninstall...", "Yes"), ("Uninstaller...", "OK")])
    check(code == 0, "exit code %d" % code)
    text = box_text(side, reports, "Uninstaller...")
    contains(text, "Are you sure you want to uninstall Acme Viewer?", "the question")
    contains(text, "Acme Viewer has been uninstalled!", "the final message")
    for relative in product.files + ["install.log", "Uninstall.exe"]:
        check(not product.exists(relative), "left behind: " + relative)
    for folder in ["help\\images", "help", "samples\\images", "samples"]:
        check(not product.exists(folder), "folder left behind: " + folder)
    check(os.path.exists(extra), "a file the product did not list was removed")
    check(product.exists("bin\\plugins"), "the folder of an unlisted file was removed")
    check(not os.path.exists(product.host(product.programs + "\\Acme")), "group folders left behind")
    check(os.path.isdir(product.host(product.programs)), "the programs folder itself went")
    check(not product.key_exists("HKLM", product.uninstall_key), "installed-programs entry left behind")
    check(product.key_exists("HKCU", product.product_key), "the product's own key is not the uninstall's")
    # The product was the shared component's last user.
    check(product.component_record() == "DllUnregisterServer\n", "component: " + product.component_record())
    check(not os.path.exists(product.host(product.component)), "a shared component of no other user stayed")
    check(regtool(side, "get", "HKLM", SHARED_DLLS, product.component)[0] == 1, "its usage count stayed")


@scenario
def uninstall_no(side):
    product = Product(side, "no").install()
    code, reports = product.uninstall([("Uninstall...", "No"), ("!Uninstaller...", "3000"),
                                       ("!Uninstall problem...", "1000")])
    check(code == 0, "exit code %d" % code)
    lacks("\n".join(reports), "has been uninstalled", "the output")
    product.assert_untouched()


@scenario
def uninstall_without_installation(side):
    product = Product(side, "missing").install()
    check(regtool(side, "delete", "HKCU", product.product_key)[0] == 0, "could not delete the product key")
    code, reports = product.uninstall([("Uninstall...", "Yes"), ("Uninstall problem...", "OK"),
                                       ("!Uninstaller...", "2000")])
    check(code == 0, "exit code %d" % code)
    contains(box_text(side, reports, "Uninstall problem..."),
             "Unable to find previous installation; files could not be removed.", "the message")
    regtool(side, "set", "HKCU", product.product_key, "Install Path", product.install_path)
    product.assert_untouched()


@scenario
def uninstall_shows_progress(side):
    files = ["data\\set%02d\\item%04d.dat" % (i % 40, i) for i in range(3000)]
    product = Product(side, "progress", files=files).install()
    code, reports = product.uninstall([("Uninstall...", "Yes"), ("Please wait...", None), ("Uninstaller...", "OK")])
    check(code == 0, "exit code %d" % code)
    text = "\n".join(reports)
    if side.name == "win32":
        contains(text, "caption: Please wait...", "the driver's report")
    else:
        contains(text, "Please wait...", "the output")
    check(not os.path.exists(product.host(product.install_path)), "the product folder is left")


@scenario
def uninstall_with_file_in_use(side):
    # Only Windows holds a file open against deletion; the host has no such lock.
    product = Product(side, "held").install()
    held = product.install_path + "bin\\viewcore.dll"
    holder = subprocess.Popen(side.command(side.tool("uidriver"), ["hold", held, "15000"]), env=side.env,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        check(holder.stdout.readline().decode().strip() == "holding", "the holder did not open the file")
        code, reports = product.uninstall([("Uninstall...", "Yes"), ("Uninstaller...", "OK")], args=["-debug"])
        check(code == 0, "exit code %d" % code)
        # The held file stays until the next restart, and the final box says so.
        contains("\n".join(reports), "Acme Viewer has been uninstalled! Some of its files are in use: they will be "
                 "removed when the computer restarts.", "the final message")
    finally:
        holder.kill()
        holder.wait()
    check(product.exists("bin\\viewcore.dll"), "the held file went")
    for relative in product.files:
        if relative != "bin\\viewcore.dll":
            check(not product.exists(relative), "left behind: " + relative)
    first = read_text(product.host(product.install_path + "debug.log"))
    copy = [line.split(" -> ", 1)[1] for line in first.splitlines() if line.startswith("Copy: ")][0]
    copy_log = read_text(product.host(copy.rsplit("\\", 1)[0] + "\\debug.log"))
    contains(copy_log, "Unable to delete file '%s'\nDelete file '%s' at restart\n" % (held, held), "the copy's log")
    check(copy_log.endswith("Successful Exit...\n"), "the run did not end normally:\n" + copy_log[-400:])


uninstall_with_file_in_use.sides = ("win32",)


@scenario
def install_path_from_registry(side):
    """The product's folder: computed below the program files folder, or the
    one the installer recorded under the product's key."""
    source = "\n".join(["COMPANY NAME: Acme", "PRODUCT NAME: Pathfinder", "REGISTRY PATH: Software\\Acme\\Pathfinder",
                        "INSTALL DIR: Pathfinder", "INSTALL PATH:", ""])
    exe_windows, exe_host = build_product(side, "install path", source)
    regtool(side, "delete", "HKCU", "Software\\Acme\\Pathfinder")
    code, _ = side.run(exe_host, ["-debug"])
    check(code == 0, "exit code %d" % code)
    _, log = copy_log_of_run(side, exe_windows)
    folder = program_files(side)
    contains(log, "$0 Translates to '%s\\'\n" % folder, "copy log")
    contains(log, "Install Path   : %s\\Pathfinder\\ [Pathfinder\\]\n" % folder, "copy log")

    check(regtool(side, "set", "HKCU", "Software\\Acme\\Pathfinder", "Install Path", "D:\\Tools\\Pathfinder\\")[0] == 0,
          "could not write the product key")
    try:
        code, _ = side.run(exe_host, ["-debug"])
        check(code == 0, "exit code %d" % code)
        _, log = copy_log_of_run(side, exe_windows)
        contains(log, "Install Path   : D:\\Tools\\Pathfinder\\ [Pathfinder\\]\n", "copy log")
    finally:
        regtool(side, "delete", "HKCU", "Software\\Acme\\Pathfinder")


# Every scenario here also runs the 32-bit program in a 64-bit prefix.
for _function in [f for f in SCENARIOS.values() if f.__module__ == __name__]:
    _function.wines = ("wow64",)
