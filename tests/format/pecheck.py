#!/usr/bin/env python3
"""Checks what the shipped program is, from its file alone (no Wine needed):
a Windows GUI executable for the given processor (PE32 for i686, PE32+ for
x86_64), linked statically (it imports system DLLs only, no C or C++ runtime
DLL of the compiler's), with its version information ("Uninstall" 1.50), its
icon and its manifest (highestAvailable) compiled in.

    pecheck.py --machine i686|x86_64 Uninstall.exe
"""
import argparse
import struct
import sys

MACHINES = {"i686": (0x14C, 0x10B, "PE32, Intel 80386"), "x86_64": (0x8664, 0x20B, "PE32+, x86-64")}
SUBSYSTEM_GUI = 2
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
# DLLs every Windows has in its system folder (bcrypt, CNG, since Vista;
# secur32 and crypt32, Schannel and certificates); the program may import
# these.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll", "ole32.dll",
               "oleaut32.dll", "comctl32.dll", "comdlg32.dll", "ws2_32.dll", "wsock32.dll", "msvcrt.dll",
               "version.dll", "shlwapi.dll", "uxtheme.dll", "ntdll.dll", "bcrypt.dll", "secur32.dll",
               "crypt32.dll"}


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("not an MZ executable")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, sections, _, _, _, optional_size, self.characteristics = struct.unpack_from("<HHIIIHH", data,
                                                                                                  pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        directories = optional + (96 if self.magic == 0x10B else 112)
        count = struct.unpack_from("<I", data, directories - 4)[0]
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(count)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            name, vsize, vaddr, rsize, raddr = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(), vaddr, max(vsize, rsize), raddr))

    def offset(self, rva):
        for _, vaddr, size, raddr in self.sections:
            if vaddr <= rva < vaddr + size:
                return rva - vaddr + raddr
        raise ValueError("address 0x%x lies in no section" % rva)

    def string(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("latin-1")

    def imports(self):
        rva, size = self.directories[1] if len(self.directories) > 1 else (0, 0)
        names = []
        at = self.offset(rva) if size else None
        while at is not None:
            name_rva = struct.unpack_from("<I", self.data, at + 12)[0]
            if name_rva == 0:
                break
            names.append(self.string(name_rva).lower())
            at += 20
        return names

    def resources(self):
        """{type: {name: bytes}}, first language of each."""
        rva, size = self.directories[2] if len(self.directories) > 2 else (0, 0)
        if not size:
            return {}
        base = self.offset(rva)

        def entries(at):
            named, numbered = struct.unpack_from("<HH", self.data, at + 12)
            for i in range(named + numbered):
                key, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                yield key, target

        found = {}
        for kind, kind_dir in entries(base):
            for name, name_dir in entries(base + (kind_dir & 0x7FFFFFFF)):
                for _, leaf in entries(base + (name_dir & 0x7FFFFFFF)):
                    data_rva, data_size = struct.unpack_from("<II", self.data, base + leaf)
                    at = self.offset(data_rva)
                    found.setdefault(kind, {})[name] = self.data[at:at + data_size]
                    break
        return found


def version_info(block):
    """The fixed file version and the string table of a VS_VERSIONINFO."""
    signature = block.find(struct.pack("<I", 0xFEEF04BD))
    if signature < 0:
        raise ValueError("version information without its fixed part")
    ms, ls = struct.unpack_from("<II", block, signature + 8)
    strings = {}
    text = block.decode("utf-16-le", errors="replace")
    for key in ("FileDescription", "ProductName", "FileVersion", "OriginalFilename"):
        at = text.find(key + "\0")
        if at >= 0:
            rest = text[at + len(key) + 1:].lstrip("\0")
            strings[key] = rest.split("\0", 1)[0]
    return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF), strings


def check(path, machine):
    problems = []
    with open(path, "rb") as f:
        image = Image(f.read())
    want_machine, want_magic, what = MACHINES[machine]
    if image.machine != want_machine or image.magic != want_magic:
        problems.append("not %s (machine 0x%x, magic 0x%x)" % (what, image.machine, image.magic))
    if image.subsystem != SUBSYSTEM_GUI:
        problems.append("subsystem %d, not the Windows GUI" % image.subsystem)
    if image.characteristics & 0x2000:
        problems.append("a DLL, not a program")
    imports = image.imports()
    foreign = [name for name in imports if name not in SYSTEM_DLLS]
    if foreign:
        problems.append("imports DLLs that are not the system's: " + ", ".join(foreign))
    resources = image.resources()
    if not resources.get(RT_GROUP_ICON) or not resources.get(RT_ICON):
        problems.append("no icon")
    versions = resources.get(RT_VERSION, {})
    if not versions:
        problems.append("no version information")
    else:
        fixed, strings = version_info(next(iter(versions.values())))
        if fixed[:2] != (1, 50):
            problems.append("file version %d.%d.%d.%d, not 1.50" % fixed)
        for key, want in (("ProductName", "Uninstall"), ("FileDescription", "Uninstall"), ("FileVersion", "1.50")):
            if strings.get(key) != want:
                problems.append("%s is %r, not %r" % (key, strings.get(key), want))
    manifest = resources.get(RT_MANIFEST, {}).get(1)
    if manifest is None:
        problems.append("no manifest")
    elif b'requestedExecutionLevel level="highestAvailable"' not in manifest:
        problems.append("the manifest asks for no highestAvailable execution level")
    return what, imports, problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--machine", choices=sorted(MACHINES), required=True)
    parser.add_argument("program")
    args = parser.parse_args()
    try:
        what, imports, problems = check(args.program, args.machine)
    except (OSError, ValueError, struct.error) as error:
        print("%s: cannot be read as a Windows program: %s" % (args.program, error))
        return 1
    for problem in problems:
        print("%s: %s" % (args.program, problem))
    if problems:
        return 1
    print("%s: %s GUI program, static runtime (imports %s), version 1.50, icon, manifest highestAvailable"
          % (args.program, what, ", ".join(imports)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
