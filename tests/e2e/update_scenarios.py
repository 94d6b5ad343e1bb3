"""The electronic update against real peers: nginx serves the version list
and the new installer (a test program that records its arguments and exits
with the code the test puts beside it), tinyproxy is the user's proxy, and
a closed port is a server that is down. Each scenario starts the installed
product's uninstaller with -Update and answers its boxes."""
import os
import shutil
import subprocess
import sys

from e2e import builder, check, contains, copy_log_of_run, in_order, lacks, read_text, scenario
from uninstall_scenarios import Product, regtool

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "peers"))
import peers  # noqa: E402

CAPTION = "Electronic Update..."
INTERNET = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings"
# The host build starts the installer from a sealed copy in memory, so its
# $0 is no path of the product's folder: the test names the record.
HOST_SETUP = """#!/bin/sh
record=${SETUP_RECORD:-$0.args}
printf '%s\\n' "$*" >> "$record"
code=$(cat "$(dirname "$record")/exitcode.txt" 2>/dev/null || echo 1)
exit $code
"""


PADDING = 2 * 1024 * 1024


def bar_values(output):
    """The percentages the host's progress bar showed."""
    return [int(part.split("%")[0]) for part in output.split("] ")[1:] if part.split("%")[0].strip().isdigit()]


class UpdateProduct(Product):
    def __init__(self, side, name, url):
        super().__init__(side, name)
        self.url = url

    def script(self):
        return super().script().replace("PRODUCT VERSION: 2.4\n", "PRODUCT VERSION: 2.4 Beta\nUPDATE URL: %s\n" % self.url)


def serve(side, running, version):
    """The version list naming the given version, and the installer."""
    base = "http://127.0.0.1:%d/" % running.nginx.port
    records = [("1", "ACME VIEWER"), ("2", version), ("3", base + "viewer.html"), ("4", base + "files/setup.exe"),
               ("0", "")]
    with open(os.path.join(running.nginx.root, "versions.txt"), "wb") as f:
        f.write(b"".join(b"\x16" + kind.encode() + text.encode() + b"\r\n" for kind, text in records))
    os.makedirs(os.path.join(running.nginx.root, "files"), exist_ok=True)
    setup = os.path.join(running.nginx.root, "files", "setup.exe")
    # Padded to a few hundred pieces, so that the bar has steps to show.
    if side.name == "win32":
        shutil.copy2(side.tool("fakesetup"), setup)
        with open(setup, "ab") as f:
            f.write(bytes(PADDING))
    else:
        with open(setup, "w") as f:
            f.write(HOST_SETUP + ("#" * 99 + "\n") * (PADDING // 100))
    return base + "versions.txt", setup


def proxy(side, server):
    """The user's proxy settings: a server, or none."""
    regtool(side, "dword", "HKCU", INTERNET, "ProxyEnable", "1" if server else "0")
    regtool(side, "set", "HKCU", INTERNET, "ProxyServer", server or "")


def answers(side, *steps):
    """The boxes in order: (caption, button); the offer's download button is
    pressed by its text on Wine and by its identifier on the host."""
    result = []
    for caption, button in steps:
        if button == "Download" and side.name == "host":
            button = "click 1026"
        elif button == "Download":
            button = "Download and install new version"
        result.append((caption, button))
    return result


def run_update(side, product, steps, timeout=120):
    if side.name == "host":
        side.env["SETUP_RECORD"] = product.host(product.install_path + "setup.exe") + ".args"
    code, reports = side.run(product.host(product.exe), ["-Update", "-debug"], answers=answers(side, *steps),
                             timeout=timeout)
    check(code == 0, "exit code %d" % code)
    _, log = copy_log_of_run(side, product.exe)
    return "\n".join(reports), log


@scenario
def update_installs_new_version(side):
    """Offered through the user's proxy, downloaded with the bar moving, run
    with -Quiet; its exit code decides the final message."""
    with peers.Peers() as running:
        url, setup = serve(side, running, "2.5")
        product = UpdateProduct(side, "update new", url).install()
        proxy(side, "ftp=127.0.0.1:1;http=127.0.0.1:%d" % running.proxy.port)
        saved = product.host(product.install_path + "setup.exe")
        for code, message in ((1, "Successfully updated program to latest version!"),
                              (0, "Error attempting to update, please go to the site for the latest version.")):
            with open(product.host(product.install_path + "exitcode.txt"), "w") as f:
                f.write("%d\n" % code)
            reports, log = run_update(side, product, [(CAPTION, "Yes"), (CAPTION, "Download"), (CAPTION, "OK")])
            contains(reports, "Would you like to check for an update to Acme Viewer electronically?", "the question")
            contains(reports, "A new version of Acme Viewer is available!", "the offer")
            contains(reports, "Current version 2.4 - New version 2.5", "the offer")
            contains(reports, message, "the final box")
            if side.name == "host":
                check(any(60 < value < 100 for value in bar_values(reports)), "the bar did not move: %r"
                      % bar_values(reports))
            in_order(log, ["Update on phase 0\n", "Proxy Enabled", "Match: 2.400000 2.500000\n",
                           "Update download on phase 0\n", "Filesize = ", "Recieved -> ["], "the log")
            lacks(log, "Update on phase 1\n", "the log")
            with open(saved, "rb") as f, open(setup, "rb") as g:
                check(f.read() == g.read(), "the saved installer differs from the served one")
        check(read_text(saved + ".args").split() == ["-Quiet", "-Quiet"], "installer arguments: %r"
              % read_text(saved + ".args"))
        logged = running.proxy.logged()
        contains(logged, "versions.txt", "tinyproxy's log")
        contains(logged, "setup.exe", "tinyproxy's log")
        proxy(side, None)


@scenario
def update_latest_after_the_proxy_fails(side):
    """The proxy is down: the direct phase finds the installed version is the
    latest."""
    with peers.Peers() as running:
        url, _ = serve(side, running, "2.40")
        product = UpdateProduct(side, "update latest", url).install()
        proxy(side, "127.0.0.1:%d" % running.closed_port)
        reports, log = run_update(side, product, [(CAPTION, "Yes"), (CAPTION, "OK")])
        contains(reports, "You are running the latest version of Acme Viewer.", "the final box")
        in_order(log, ["Update on phase 0\n", "Unable to connect to machine 127.0.0.1:%d" % running.closed_port,
                       "Update on phase 1\n", "Proxy Disabled (0x00000000) : None\n", "Match: 2.400000 2.400000\n"],
                 "the log")
        check(not product.exists("setup.exe"), "downloaded without an offer")
        proxy(side, None)


@scenario
def update_server_down(side):
    """Nothing answers: after a Yes to the retry only the direct phase runs
    again; after the No the user is told."""
    with peers.Peers() as running:
        product = UpdateProduct(side, "update down", "http://127.0.0.1:%d/versions.txt" % running.closed_port).install()
        proxy(side, None)
        retry = "There was a problem checking with the update server, would you like to try again?"
        reports, log = run_update(side, product, [(CAPTION, "Yes"), (CAPTION, "Yes"), (CAPTION, "No"),
                                                  (CAPTION, "OK")])
        contains(reports, retry, "the retry question")
        contains(reports, "Unable to contact the update server, please try again later.", "the final box")
        phases = [line for line in log.splitlines() if line.startswith("Update on phase")]
        check(phases == ["Update on phase %d" % n for n in (0, 1, 2, 1, 2)], "phases: %r" % phases)


@scenario
def update_without_url(side):
    """An empty UPDATE URL: no question, no network."""
    product = UpdateProduct(side, "update none", "").install()
    reports, log = run_update(side, product, [("!" + CAPTION, "2000")])
    lacks(reports, "Would you like to check", "the output")
    lacks(log, "Update on phase", "the log")
    product.assert_untouched()


def ffsbuild(side, *args):
    result = subprocess.run([builder(side)] + list(args), stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    check(result.returncode == 0, "ffsbuild %s: %s" % (args[0], result.stdout.decode("latin-1")))
    return result.stdout.decode("latin-1")


def with_key(side, product, folder):
    """The product's uninstaller again, now with the maker's key from
    ffsbuild keygen; the key pair's prefix."""
    maker = os.path.join(folder, "maker")
    ffsbuild(side, "keygen", "-o", maker)
    exe = product.host(product.exe)
    source = os.path.join(folder, "product.txt")
    ffsbuild(side, "extract", exe, "--source", "-o", source)
    ffsbuild(side, "build", "--exe", exe, "--replace", "--update-key", maker + ".pub", source, "-o", exe)
    contains(ffsbuild(side, "list", exe), "update key:   P-256", "ffsbuild list")
    return maker


def list_url(running):
    return "http://127.0.0.1:%d/versions.txt" % running.nginx.port


def serve_signed(side, running, maker, version="2.5", signed=True, keep_installer=False):
    """The version list of ffsbuild versionlist, signed with the maker's key
    (keep_installer: for the installer served already)."""
    base = "http://127.0.0.1:%d/" % running.nginx.port
    if keep_installer:
        setup = os.path.join(running.nginx.root, "files", "setup.exe")
    else:
        _, setup = serve(side, running, version)
    source = os.path.join(running.nginx.root, "files", "list.txt")
    with open(source, "w") as f:
        f.write("# Acme's products\n[Acme Viewer]\nversion: %s\npage: %sviewer.html\nurl: %sfiles/setup.exe\n"
                "file: setup.exe\n" % (version, base, base))
    args = ["versionlist", source, "-o", os.path.join(running.nginx.root, "versions.txt")]
    ffsbuild(side, *(args + (["--key", maker + ".key"] if signed else [])))
    return base + "versions.txt", setup


def tree(folder):
    """Every file below the folder with its bytes."""
    found = {}
    for top, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(top, name)
            if not name.endswith(".log"):
                with open(path, "rb") as f:
                    found[os.path.relpath(path, folder)] = f.read()
    return found


REFUSED = "so nothing was installed. Would you like to open the product's web page instead?"
UNVERIFIED = "The update could not be verified as its maker's, so nothing was installed."


@scenario
def update_signed_installs(side):
    """A product with the maker's key takes the installer that the maker's
    ffsbuild versionlist signed."""
    with peers.Peers() as running:
        product = UpdateProduct(side, "update signed", list_url(running)).install()
        maker = with_key(side, product, running.folder)
        _, setup = serve_signed(side, running, maker)
        proxy(side, None)
        reports, log = run_update(side, product, [(CAPTION, "Yes"), (CAPTION, "Download"), (CAPTION, "OK")])
        contains(reports, "Successfully updated program to latest version!", "the final box")
        in_order(log, ["Match: 2.400000 2.500000\n", "Filesize = ", "Update signature verified for 'Acme Viewer' 2.5\n"],
                 "the log")
        with open(product.host(product.install_path + "setup.exe"), "rb") as f, open(setup, "rb") as g:
            check(f.read() == g.read(), "the saved installer differs from the served one")


@scenario
def update_tampered_refused(side):
    """An installer changed after the maker signed it is deleted unrun, the
    product folder is as it was, and the user is told."""
    with peers.Peers() as running:
        product = UpdateProduct(side, "update tampered", list_url(running)).install()
        maker = with_key(side, product, running.folder)
        _, setup = serve_signed(side, running, maker)
        with open(setup, "ab") as f:
            f.write(b"one more byte")
        proxy(side, None)
        folder = product.host(product.install_path)
        before = tree(folder)
        reports, log = run_update(side, product, [(CAPTION, "Yes"), (CAPTION, "Download"), (CAPTION, "OK")])
        contains(reports, UNVERIFIED, "the refusal")
        lacks(reports, REFUSED, "no page of a refused list is offered")
        lacks(reports, "Successfully updated", "the output")
        contains(log, "Update signature does not match 'Acme Viewer' 2.5\n", "the log")
        lacks(log, "Update download on phase 1", "the log")
        check(tree(folder) == before, "the product folder changed: %r" % sorted(set(tree(folder)) ^ set(before)))


@scenario
def update_unsigned_entry_refused(side):
    """A keyed product refuses an entry without a signature before anything
    is fetched."""
    with peers.Peers() as running:
        product = UpdateProduct(side, "update unsigned", list_url(running)).install()
        with_key(side, product, running.folder)
        serve_signed(side, running, None, signed=False)
        proxy(side, None)
        folder = product.host(product.install_path)
        before = tree(folder)
        reports, log = run_update(side, product, [(CAPTION, "Yes"), (CAPTION, "Download"), (CAPTION, "OK")])
        contains(reports, UNVERIFIED, "the refusal")
        lacks(reports, REFUSED, "no page of a refused list is offered")
        contains(log, "Update signature missing for 'Acme Viewer'\n", "the log")
        lacks(log, "Update download on phase", "the log")
        check(tree(folder) == before, "the product folder changed")


@scenario
def update_proxy_404_moves_on(side):
    """A proxy's 404 page is no version list, whatever its body holds: the
    direct phase follows."""
    with peers.Peers() as running:
        url, _ = serve(side, running, "2.40")
        product = UpdateProduct(side, "update proxy 404", url).install()
        proxy(side, "127.0.0.1:%d" % running.stub.port("notfound"))
        reports, log = run_update(side, product, [(CAPTION, "Yes"), (CAPTION, "OK")])
        contains(reports, "You are running the latest version of Acme Viewer.", "the final box")
        in_order(log, ["Update on phase 0\n", "Unexpected reply 'HTTP/1.0 404 Not Found'\n", "Update on phase 1\n",
                       "Match: 2.400000 2.400000\n"], "the log")
        lacks(log, "Match: 2.400000 9.900000", "the log")
        proxy(side, None)


@scenario
def update_download_404_keeps_folder(side):
    """A 404 for the installer creates, empties and replaces nothing, not
    even an earlier file of its name."""
    with peers.Peers() as running:
        url, _ = serve(side, running, "2.5")
        with open(os.path.join(running.nginx.root, "versions.txt"), "rb") as f:
            listing = f.read().replace(b"files/setup.exe", b"files/missing.exe")
        with open(os.path.join(running.nginx.root, "versions.txt"), "wb") as f:
            f.write(listing)
        product = UpdateProduct(side, "update 404", url).install()
        with open(product.host(product.install_path + "missing.exe"), "wb") as f:
            f.write(b"an earlier file of the name")
        proxy(side, None)
        folder = product.host(product.install_path)
        before = tree(folder)
        retry = "There was a problem downloading the update, would you like to try again?"
        reports, log = run_update(side, product, [(CAPTION, "Yes"), (CAPTION, "Download"), (CAPTION, "No"),
                                                  (CAPTION, "OK")])
        contains(reports, retry, "the retry question")
        contains(log, "Unexpected reply 'HTTP/1.1 404 Not Found'\n", "the log")
        check(tree(folder) == before, "the product folder changed: %r" % sorted(set(tree(folder)) ^ set(before)))
