"""Signed uninstallers: the maker signs the product's uninstaller with
Debian's osslsigncode after ffsbuild, with a certificate from an authority
made here. The program finds its archive before the certificate table; a
changed script breaks the signature; a security directory that names no
table at the end of the file is a damaged archive; and under Wine, with the
authority among the prefix user's roots, WinVerifyTrust takes the file.

Authenticode signs PE programs only: these run on the Windows build (the
host build is an ELF program; tools/tests signs a PE stand-in there)."""
import os
import re
import shutil
import struct
import subprocess

from e2e import (PRODUCT_SOURCE, build_product, builder, check, contains, copy_log_of_run, in_order, lacks, log_of,
                 read_text, scenario)
from safety_scenarios import check_tree, group_paths, machine_tree, product_paths
from uninstall_scenarios import Product, box_text

DAMAGED = "The installation file has been damaged, please download a new copy."
PUBLISHER = "Acme Software Ltd"


def run(command):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    return result.returncode, result.stdout.decode("latin-1")


class Signer:
    """A test authority and the maker's code-signing certificate from it
    (RSA: Wine's crypt32 verifies no ECDSA certificates), made with openssl
    in a folder of the scenario."""

    def __init__(self, folder):
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        f = self.path
        with open(f("maker.ext"), "w") as ext:
            ext.write("basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                      "extendedKeyUsage=codeSigning\n")
        for command in (
                ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-subj",
                 "/CN=Acme Test Code Signing Authority", "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign", "-keyout", f("ca.key"), "-out", f("ca.pem")],
                ["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/O=%s/CN=%s" % (PUBLISHER, PUBLISHER),
                 "-keyout", f("maker.key"), "-out", f("maker.csr")],
                ["openssl", "x509", "-req", "-in", f("maker.csr"), "-CA", f("ca.pem"), "-CAkey", f("ca.key"),
                 "-CAcreateserial", "-days", "30", "-extfile", f("maker.ext"), "-out", f("maker.pem")],
                ["openssl", "x509", "-in", f("ca.pem"), "-outform", "DER", "-out", f("ca.der")]):
            code, text = run(command)
            check(code == 0, "%s: %s" % (" ".join(command[:2]), text))
        with open(f("chain.pem"), "w") as chain:
            chain.write(read_text(f("maker.pem")) + read_text(f("ca.pem")))

    def path(self, name):
        return os.path.join(self.folder, name)

    def sign(self, exe):
        """Signs the file in place, as a maker does before publishing it."""
        signed = exe + ".signed"
        code, text = run(["osslsigncode", "sign", "-certs", self.path("chain.pem"), "-key", self.path("maker.key"),
                          "-h", "sha256", "-n", "Acme Viewer", "-i", "http://www.acme.example/", "-in", exe,
                          "-out", signed])
        check(code == 0, "osslsigncode sign: " + text)
        os.replace(signed, exe)

    def verify(self, exe):
        """osslsigncode verify's verdict: (passed, its report)."""
        code, text = run(["osslsigncode", "verify", "-CAfile", self.path("ca.pem"), "-in", exe])
        return code == 0 and "Signature verification: ok" in text, text


def security_entry(exe):
    """Where the PE's security directory (data directory 4) stands, and the
    offset and size it names."""
    with open(exe, "rb") as f:
        data = f.read(4096)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    magic = struct.unpack_from("<H", data, pe + 24)[0]
    entry = pe + 24 + (92 if magic == 0x10B else 108) + 4 + 4 * 8
    return (entry,) + struct.unpack_from("<II", data, entry)


def tag_offset(side, exe):
    code, text = run([builder(side), "list", exe])
    check(code == 0, "ffsbuild list: " + text)
    return int(re.search(r"tag offset:\s+(\d+)", text).group(1))


def patch_script(side, exe, old, new):
    """Changes script bytes inside the scrambled block (a XOR with a fixed
    stream), found from the tag ffsbuild reports, not from the file's end."""
    script = exe + ".dat"
    code, text = run([builder(side), "extract", exe, "-o", script])
    check(code == 0, "ffsbuild extract: " + text)
    with open(script, "rb") as f:
        at = f.read().find(old)
    os.remove(script)
    check(at >= 0, "script lacks %r" % old)
    block = tag_offset(side, exe) + 4
    with open(exe, "r+b") as f:
        f.seek(block + at)
        stored = bytearray(f.read(len(old)))
        for i in range(len(old)):
            stored[i] ^= old[i] ^ new[i]
        f.seek(block + at)
        f.write(bytes(stored))


@scenario
def signed_uninstall(side):
    product = Product(side, "signed").install()
    _, folder = side.scratch("signing")
    signer = Signer(folder)
    exe = product.host(product.exe)
    signer.sign(exe)
    passed, report = signer.verify(exe)
    check(passed, "osslsigncode verify:\n" + report)
    code, text = run([builder(side), "verify", exe])
    check(code == 0, "ffsbuild verify: " + text)
    contains(text, ", signed (certificate table of ", "ffsbuild verify")
    contains(text, "lies inside the signed part)", "ffsbuild verify")

    before = machine_tree(side)
    code, reports = product.uninstall([("Uninstall...", "Yes"), ("Uninstaller...", "OK")])
    check(code == 0, "exit code %d" % code)
    contains(box_text(side, reports, "Uninstaller..."), "Acme Viewer has been uninstalled!", "the final box")
    check(product.component_record() == "DllUnregisterServer\n", "component: " + product.component_record())
    check_tree(side, before, machine_tree(side), product_paths(product) | group_paths(product))


signed_uninstall.sides = ("win32",)


@scenario
def signed_script_changed(side):
    """One byte of the script changed in the signed file: the signature no
    longer holds, and the program reads the changed script as ever."""
    exe_windows, exe_host = build_product(side, "signed-changed", PRODUCT_SOURCE)
    signer = Signer(side.scratch("signing-changed")[1])
    signer.sign(exe_host)
    check(signer.verify(exe_host)[0], "the signed file does not verify")
    patch_script(side, exe_host, b"\x16MESSAGE:", b"\x16MASSAGE:")
    passed, report = signer.verify(exe_host)
    check(not passed, "a changed script still verifies:\n" + report)
    contains(report, "MISMATCH", "osslsigncode verify")

    code, reports = side.run(exe_host, ["-debug"], answers=[("Uninstall problem...", "OK")])
    check(code == 0, "exit code %d" % code)
    contains(reports[0], "caption: Uninstall problem...", "the box")
    contains(reports[0], "Installation script corrupted!", "the box")
    _, second = copy_log_of_run(side, exe_windows)
    in_order(second, ["Flat/Fast File System Initialized...\n", "Unknown script command 'MASSAGE'\n",
                      "Script failed somewhere\n", "Flat/Fast File System Removed...\n", "Successful Exit...\n"],
             "copy log")


signed_script_changed.sides = ("win32",)


@scenario
def signed_directory_damaged(side):
    """A security directory that names no certificate table ending the file
    is a damaged archive: the usual box, nothing read."""
    exe_windows, exe_host = build_product(side, "signed-damaged", PRODUCT_SOURCE)
    signer = Signer(side.scratch("signing-damaged")[1])
    signer.sign(exe_host)
    entry, offset, size = security_entry(exe_host)
    total = os.path.getsize(exe_host)
    check(offset + size == total, "osslsigncode's table does not end the file")
    tag = tag_offset(side, exe_host)
    signed = exe_host + ".good"
    shutil.copyfile(exe_host, signed)
    cases = [("past the end of the file", offset, size + 8),
             ("beyond the file", total + 8, size),
             ("overlapping the archive", tag + 8, total - (tag + 8)),
             ("not at the end", offset, size - 8)]
    for what, new_offset, new_size in cases:
        shutil.copyfile(signed, exe_host)
        with open(exe_host, "r+b") as f:
            f.seek(entry)
            f.write(struct.pack("<II", new_offset, new_size))
        log = log_of(side, exe_windows)
        if os.path.exists(log):
            os.remove(log)
        code, reports = side.run(exe_host, ["-Spawn", "-debug"], answers=[("Uninstall problem...", "OK")])
        check(code == 0, "%s: exit code %d" % (what, code))
        contains(reports[0], "caption: Uninstall problem...", what)
        contains(reports[0], DAMAGED, what)
        text = read_text(log)
        in_order(text, ["Couldn't find the certificate table of '%s' (%d bytes at %d, file of %d bytes)!\n"
                        % (exe_windows, new_size, new_offset, total),
                        "Flat/Fast File System Removed...\n", "Successful Exit...\n"], what)
        lacks(text, "Flat/Fast File System Initialized", what)


signed_directory_damaged.sides = ("win32",)


def trustcheck(side, exe_windows):
    result = subprocess.run(side.command(side.tool("trustcheck"), [exe_windows]), env=side.env,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    text = result.stdout.decode("latin-1").replace("\r\n", "\n")
    check(result.returncode == 0, "trustcheck: " + text)
    return dict(line.split(": ", 1) for line in text.splitlines() if ": " in line)


@scenario
def signed_trusted_by_wine(side):
    """What Wine's WinVerifyTrust makes of the signed uninstaller, with the
    test authority in the prefix user's roots and without it, of a changed
    one and of an unsigned one, and what the elevation prompt would show:
    the publisher and the version texts."""
    exe_windows, exe_host = build_product(side, "signed-trust", PRODUCT_SOURCE)
    signing_windows, folder = side.scratch("signing-trust")
    signer = Signer(folder)
    signer.sign(exe_host)
    changed_windows, changed_host = exe_windows[:-4] + "-changed.exe", exe_host[:-4] + "-changed.exe"
    shutil.copyfile(exe_host, changed_host)
    patch_script(side, changed_host, b"\x16MESSAGE:", b"\x16MASSAGE:")
    unsigned_windows, unsigned_host = build_product(side, "unsigned-trust", PRODUCT_SOURCE)

    # Wine 8 does not ask for a chain to a trusted root: without the
    # authority it says 0 too (Windows: CERT_E_UNTRUSTEDROOT). Shown, not
    # relied on.
    untrusted = trustcheck(side, exe_windows)
    check(untrusted["trust"] in ("0x00000000", "0x800B0109"), "without the authority: %s" % untrusted)
    check(trustcheck(side, unsigned_windows)["trust"] == "0x800B0100", "unsigned")  # TRUST_E_NOSIGNATURE
    trustca = side.tool("trustca")
    authority = signing_windows + "\\ca.der"
    check(side.boot(), "Wine could not make the prefix")
    code = subprocess.run(side.command(trustca, ["add", authority]), env=side.env, timeout=120).returncode
    check(code == 0, "trustca add")
    try:
        trusted = trustcheck(side, exe_windows)
        changed = trustcheck(side, changed_windows)
    finally:
        subprocess.run(side.command(trustca, ["remove", authority]), env=side.env, timeout=120)
        side.wait_idle()
    check(trusted["trust"] == "0x00000000", "with the authority: %s" % trusted)
    check(trusted["publisher"] == PUBLISHER, "publisher: %s" % trusted)
    for name, value in [("FileDescription", "Uninstall"), ("CompanyName", "Quillon"), ("ProductName", "Uninstall"),
                        ("FileVersion", "1.50")]:
        check(trusted.get(name) == value, "%s: %s" % (name, trusted))
    check(changed["trust"] == "0x80096010", "a changed script: %s" % changed)  # TRUST_E_BAD_DIGEST
    print("trustcheck, trusted: %s\nchanged: %s\nuntrusted: %s" % (trusted, changed, untrusted))


signed_trusted_by_wine.sides = ("win32",)
