#!/usr/bin/env python3
"""Makes the Wine prefixes of a Windows build tree, as its wine.json names
them, each with its own loader and architecture.

    wineprefix.py BUILD
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e  # noqa: E402


def main():
    build = os.path.abspath(sys.argv[1])
    with open(os.path.join(build, "wine.json")) as f:
        names = list(e2e.json.load(f))
    for name in names:
        side = e2e.Win32(build, build, name)
        if not side.boot():
            print("Wine could not make the %s prefix %s (%s, %s)" % (name, side.prefix, side.loader, side.arch))
            return 1
        print("Wine prefix %s: %s (%s, %s)" % (name, side.prefix, side.loader, side.arch))
    return 0


if __name__ == "__main__":
    sys.exit(main())
