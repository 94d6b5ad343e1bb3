#!/usr/bin/env python3
"""The demo: install the sample product Acme Viewer into a fresh Wine prefix
(and into a fresh host machine root), build its uninstaller with ffsbuild,
sign it with osslsigncode (Windows build) and run it. With a display of your own the clicking is yours; without one the
demo runs on Xvfb and answers Yes itself. Then it shows what was removed and
what is left."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import e2e  # noqa: E402
from uninstall_scenarios import Product  # noqa: E402
import update_scenarios  # noqa: E402
import register_scenarios  # noqa: E402
import signed_scenarios  # noqa: E402

SAMPLE = os.path.join(HERE, "viewer")


class SampleProduct(Product):
    """Acme Viewer as its own installer would have left it."""

    def __init__(self, side):
        with open(os.path.join(SAMPLE, "files.txt")) as f:
            files = [line.strip() for line in f if line.strip()]
        super().__init__(side, "demo", files=files)
        self.items = ["Acme Viewer", "Viewer Help", "Register Viewer"]
        self.component = self.install_path + "bin\\viewshell.dll"

    update_url = None
    register_url = None

    def script(self):
        with open(os.path.join(SAMPLE, "viewer.script.txt")) as f:
            text = f.read()
        if self.register_url:
            text = text.replace("REGISTER: http://register.acme.example/viewer/", "REGISTER: " + self.register_url)
        if self.update_url:
            text = text.replace("UPDATE URL: http://updates.acme.example/viewer/versions.txt",
                                "UPDATE URL: " + self.update_url)
        return text


def demo_update(side):
    """Acme Viewer installed again, with the maker's key, and a signed update
    of it: ffsbuild makes the key pair, builds the uninstaller with the
    public key and writes the signed version list (2.5) that nginx on
    127.0.0.1 serves with the new installer, a test program that exits with
    1, the installers' success."""
    print("\n--- %s: the signed update, against nginx on 127.0.0.1 ---" % side.name)
    with update_scenarios.peers.Peers() as running:
        product = SampleProduct(side)
        product.update_url = update_scenarios.list_url(running)
        product.install()
        print("ffsbuild keygen -o maker; ffsbuild build --update-key maker.pub ...")
        maker = update_scenarios.with_key(side, product, running.folder)
        print(update_scenarios.ffsbuild(side, "list", product.host(product.exe)).strip())
        print("ffsbuild versionlist list.txt --key maker.key -o versions.txt")
        update_scenarios.serve_signed(side, running, maker)
        update_scenarios.proxy(side, None)
        print("Running %s -Update; the answers: Yes, Download and install new version, OK." % product.exe)
        if side.name == "host":
            # Started from its sealed copy, the host's test installer is told
            # where to record its arguments.
            side.env["SETUP_RECORD"] = product.host(product.install_path + "setup.exe.args")
        code, reports = side.run(product.host(product.exe), ["-Update"],
                                 answers=update_scenarios.answers(side, ("Electronic Update...", "Yes"),
                                                                  ("Electronic Update...", "Download"),
                                                                  ("Electronic Update...", "OK")))
        print("".join(reports))
        args = product.host(product.install_path + "setup.exe.args")
        ran = open(args).read().strip() if os.path.exists(args) else "nothing"
        print("The new installer, its signature verified, was run with: %s" % ran)


def demo_sign(side, product):
    """The maker's signing step, after ffsbuild build and before
    publishing: osslsigncode with a certificate made for this run, its
    verdict, and what Wine's WinVerifyTrust and the elevation prompt make of
    the file with the run's authority among the prefix user's roots."""
    windows, folder = side.scratch("demo-signing")
    signer = signed_scenarios.Signer(folder)
    exe = product.host(product.exe)
    print("osslsigncode sign -certs chain.pem -key maker.key -h sha256 -n \"Acme Viewer\" "
          "-in Uninstall.exe -out Uninstall.exe.signed  (a certificate made for this run; the signed file then "
          "takes the uninstaller's place)")
    signer.sign(exe)
    passed, report = signer.verify(exe)
    wanted = ("Current message digest", "Calculated message digest", "Subject:", "Signature verification")
    print("osslsigncode verify -CAfile ca.pem -in Uninstall.exe:")
    shown = set()
    for line in report.splitlines():
        line = line.strip()
        if line.startswith(wanted) and line not in shown:
            shown.add(line)
            print("  " + line)
    if not passed:
        raise SystemExit("osslsigncode verify refused the signed uninstaller:\n" + report)
    print(signed_scenarios.run([e2e.builder(side), "verify", exe])[1].strip())
    trustca = side.tool("trustca")
    authority = windows + "\\ca.der"
    subprocess.run(side.command(trustca, ["add", authority]), env=side.env, timeout=120)
    try:
        seen = signed_scenarios.trustcheck(side, product.exe)
    finally:
        subprocess.run(side.command(trustca, ["remove", authority]), env=side.env, timeout=120)
    print("Wine's WinVerifyTrust, the run's authority trusted: %s; the prompt would show: program %s, "
          "verified publisher %s (version %s)" % (seen.get("trust"), seen.get("FileDescription"),
                                                  seen.get("publisher"), seen.get("FileVersion")))
    shutil.rmtree(folder, ignore_errors=True)


def snapshot(product):
    """Every file and folder of the product that is there now."""
    seen = []
    roots = [(product.install_path, product.host(product.install_path)),
             (product.programs + "\\Acme\\", product.host(product.programs + "\\Acme"))]
    for windows, host in roots:
        for folder, folders, files in os.walk(host):
            relative = os.path.relpath(folder, host)
            prefix = windows if relative == "." else windows + relative.replace("/", "\\") + "\\"
            seen.append(prefix)
            seen += [prefix + name for name in files]
    for root, key in [("HKCU", product.product_key), ("HKLM", product.uninstall_key)]:
        if product.key_exists(root, key):
            seen.append("%s\\%s" % (root, key))
    return seen


def show(side, product, before):
    after = set(snapshot(product))
    removed = [entry for entry in before if entry not in after]
    print("\n--- %s: removed (%d) ---" % (side.name, len(removed)))
    for entry in removed:
        print("  - " + entry)
    left = [entry for entry in before if entry in after]
    print("--- %s: left of the product (%d) ---" % (side.name, len(left)))
    for entry in left:
        note = "  (the installer's own record: an uninstall never removes it)" if entry.endswith(product.product_key) else ""
        print("  = " + entry + note)
    record = product.component_record().strip()
    print("--- %s: component entry points called: %s" % (side.name, record or "none"))


def demo_register(side):
    """Acme Viewer installed again, and its user registers: the maker's
    receiver (regserver) on 127.0.0.1 stores what the program sends in a
    SQLite file, and its export shows the row."""
    print("\n--- %s: the registration, sent to the maker's receiver (regserver) on 127.0.0.1 ---" % side.name)
    folder = tempfile.mkdtemp(prefix="tessel-demo-register-")
    with register_scenarios.receiver.Receiver(folder, register_scenarios.host_build(side), path="/viewer/") as server:
        product = SampleProduct(side)
        product.register_url = server.url
        product.install()
        register_scenarios.prepare_record(side)
        caption = "Acme Viewer Registration..."
        print("Running %s -Register; the answers: Yes, no news, how the user found it, Register Now!, OK." % product.exe)
        if side.name == "host":
            _, output = register_scenarios.run_host(side, product.host(product.exe), ["-Register"],
                                                    ["y", "click 1026", "set 1021 A friend told me", "click 1", ""])
        else:
            _, reports = side.run(product.host(product.exe), ["-Register"], answers=[
                (caption, "Yes"), (caption, "@1026"), (caption + "#1021", "A friend told me"),
                (caption, "Register Now!"), (caption, "OK")])
            output = "\n".join(reports)
        print(output)
        for row in server.registrations():
            print("The receiver stored registration %d in %s:" % (row["id"], server.db))
            for column, value in row.items():
                if value not in (None, "") and column != "body_hash":
                    print("  %-22s %s" % (column, value))
        print("regserver stats:\n" + server.run("stats")[1])
    shutil.rmtree(folder, ignore_errors=True)


def demo_win32(build, source):
    side = e2e.Win32(build, source)
    side.prefix = os.path.join(build, "demo-prefix")
    side.env["WINEPREFIX"] = side.prefix
    shutil.rmtree(side.prefix, ignore_errors=True)
    print("Making a fresh Wine prefix in %s ..." % side.prefix)
    if not side.boot():
        raise SystemExit("Wine (%s) could not make the prefix %s" % (side.loader, side.prefix))
    own_display = os.environ.get("DISPLAY")
    display = None
    if own_display:
        side.env["DISPLAY"] = own_display
    else:
        display = e2e.Display().__enter__()
        side.start(display)
    try:
        product = SampleProduct(side).install()
        print("Installed Acme Viewer: %d files, its key, its entry, its group." % len(product.files))
        demo_sign(side, product)
        before = snapshot(product)
        if own_display:
            print("Running %s: answer its questions." % product.exe)
            code, _ = side.run(product.host(product.exe), [], answers=[])
        else:
            print("Running the signed %s on Xvfb; the driver answers Yes." % product.exe)
            code, reports = side.run(product.host(product.exe), [],
                                     answers=[("Uninstall...", "Yes"), ("Uninstaller...", "OK")])
            print("".join(reports))
        print("Exit code %d" % code)
        show(side, product, before)
        demo_update(side)
        demo_register(side)
    finally:
        if display:
            display.__exit__(None, None, None)


def demo_host(build, source):
    side = e2e.Host(build, source)
    print("\nThe same on the host build, machine root %s (an ELF program: unsigned, as Authenticode signs "
          "Windows programs only)" % side.machine)
    try:
        product = SampleProduct(side).install()
        before = snapshot(product)
        interactive = sys.stdin.isatty()
        exe = product.host(product.exe)
        if interactive:
            subprocess.run([exe], env=side.env)
        else:
            result = subprocess.run([exe], env=side.env, input=b"y\n\n", stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT)
            print(result.stdout.decode("latin-1"))
        show(side, product, before)
        if not interactive:
            demo_update(side)
            demo_register(side)
    finally:
        shutil.rmtree(side.machine, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--win32", required=True)
    parser.add_argument("--source", required=True)
    args = parser.parse_args()
    demo_win32(os.path.abspath(args.win32), os.path.abspath(args.source))
    demo_host(os.path.abspath(args.host), os.path.abspath(args.source))
    return 0


if __name__ == "__main__":
    sys.exit(main())
