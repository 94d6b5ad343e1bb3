#!/usr/bin/env python3
"""Makes and prepares the Wine prefixes of a Windows build tree, as its
wine.json names them, each with its own loader and architecture.

    wineprefix.py BUILD          make (or mend) and prepare every prefix
    wineprefix.py --check BUILD  fail unless every prefix is prepared

A new Wine prefix links the profile's Desktop, Documents, Downloads, Music,
Pictures, Videos and Templates to the real home folder. A test that removes
the wrong files there would remove the files of whoever runs the tests, so
a prepared prefix has folders of its own in their place (each holding a
small file: Wine swaps only an empty folder for a link when it updates a
prefix), and no link under drive_c/users that leads out of the prefix. It
also maps the dialogs' "Helv" to MS Sans Serif, as Windows does, with Wine's
own fonts (Debian's fonts-wine) in its Fonts folder.

The preparation is done once, when the prefix is made, and recorded in the
prefix (STAMP); a prefix made by an older checkout is prepared again.
Copies of a prepared prefix are prepared too. For a harness: make(side)
makes and prepares a side's prefix, require_prepared(prefix) is the check
to make before anything runs in one (a copy included).
"""
import os
import shutil
import subprocess
import sys

# Where Wine links a new profile's folders into the home folder.
KNOWN_FOLDERS = ("Desktop", "Documents", "Downloads", "Music", "Pictures", "Videos", "Templates")
MARK = "own-folder.txt"
BOOT_HOME = "wineboot-home"
STAMP = "tessel-prepared"
# What the preparation does, as a number: raised when it does more, so that
# prefixes prepared before are prepared again.
PREPARATION = "4"
FONT_SUBSTITUTES = "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes"
SUBSTITUTES = {"Helv": "MS Sans Serif"}
WINE_FONTS = "/usr/share/wine/fonts"


class PrefixError(Exception):
    pass


def _inside(path, folder):
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


def users_folder(prefix):
    return os.path.join(prefix, "drive_c", "users")


def links_on_the_way(prefix):
    return [(path, os.readlink(path)) for path in (os.path.join(prefix, "drive_c"), users_folder(prefix))
            if os.path.islink(path)]


def all_links(prefix):
    """Every link under drive_c/users (or on the way there), wherever it
    leads: (link, target)."""
    found = links_on_the_way(prefix)
    if found:
        return found
    for folder, folders, files in os.walk(users_folder(prefix)):
        for name in folders + files:
            path = os.path.join(folder, name)
            if os.path.islink(path):
                found.append((path, os.readlink(path)))
    return found


def outward_links(prefix):
    """The links of all_links() that lead out of the prefix, or nowhere."""
    root = os.path.realpath(prefix)
    return [(link, target) for link, target in all_links(prefix)
            if not _inside(os.path.realpath(link), root) or not os.path.exists(os.path.realpath(link))]


def profiles(prefix):
    users = users_folder(prefix)
    if not os.path.isdir(users) or os.path.islink(users):
        return []
    return [os.path.join(users, name) for name in sorted(os.listdir(users))
            if os.path.isdir(os.path.join(users, name)) and not os.path.islink(os.path.join(users, name))]


def own_folders(prefix):
    """Replaces every link under drive_c/users by a folder of the prefix's
    own (a link to a file just goes; what a link led to is never touched):
    the links Wine makes lead out of the prefix, or, made while Wine's home
    was in it, out of any copy of it. Then gives every profile its known
    folders, each with MARK in it. The links replaced."""
    if links_on_the_way(prefix):
        raise PrefixError("%s is a link to %s: make the prefix again" % links_on_the_way(prefix)[0])
    replaced = all_links(prefix)
    for link, _ in replaced:
        was_folder = os.path.isdir(link) or not os.path.exists(link)
        os.unlink(link)  # the link itself, never what it names
        if was_folder:
            os.mkdir(link)
    for profile in profiles(prefix):
        for name in KNOWN_FOLDERS:
            folder = os.path.join(profile, name)
            os.makedirs(folder, exist_ok=True)
            mark = os.path.join(folder, MARK)
            if not os.path.exists(mark):
                with open(mark, "w") as f:
                    f.write("This folder belongs to the test prefix, not to the home folder.\n")
    return replaced


def problems(prefix):
    """What keeps the prefix from being used, as sentences; none when it is
    prepared."""
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        return ["there is no Wine prefix at %s" % prefix]
    found = ["%s is a link to %s" % (link, target) for link, target in outward_links(prefix)]
    for profile in profiles(prefix):
        for name in KNOWN_FOLDERS:
            folder = os.path.join(profile, name)
            if os.path.islink(folder) or not os.path.isfile(os.path.join(folder, MARK)):
                found.append("%s is not a folder of the prefix's own" % folder)
    if not profiles(prefix):
        found.append("%s has no profile folders" % users_folder(prefix))
    stamp = os.path.join(prefix, STAMP)
    if not os.path.exists(stamp):
        found.append("the prefix was never prepared (no %s)" % STAMP)
    else:
        with open(stamp) as f:
            if f.read().strip() != PREPARATION:
                found.append("the prefix was prepared by an older checkout")
    return found


def require_prepared(prefix):
    """Raises PrefixError unless the prefix is prepared: to be called before
    anything runs in it."""
    found = problems(prefix)
    if found:
        raise PrefixError("The Wine prefix %s is not ready for tests, so nothing was run in it:\n  %s\n"
                          "Prepare it with: python3 tests/e2e/wineprefix.py BUILD (make prefix)"
                          % (prefix, "\n  ".join(found)))


def install_fonts(prefix):
    """Wine's own fonts into the prefix's Fonts folder, where Wine finds
    them (Debian's Wine does not look in WINE_FONTS itself)."""
    if not os.path.isdir(WINE_FONTS) or not os.listdir(WINE_FONTS):
        raise PrefixError("no Wine fonts in %s: install Debian's fonts-wine (tools/setup/install-deps.sh)" % WINE_FONTS)
    fonts = os.path.join(prefix, "drive_c", "windows", "Fonts")
    os.makedirs(fonts, exist_ok=True)
    for name in sorted(os.listdir(WINE_FONTS)):
        target = os.path.join(fonts, name)
        if not os.path.lexists(target):
            shutil.copyfile(os.path.join(WINE_FONTS, name), target)


def substitute_fonts(run):
    """Windows' names of the dialog fonts; run(program, args) runs a Windows
    program in the prefix and gives its exit code."""
    for name, font in SUBSTITUTES.items():
        code = run("reg", ["add", FONT_SUBSTITUTES, "/v", name, "/t", "REG_SZ", "/d", font, "/f"])
        if code != 0:
            raise PrefixError("could not set the font substitute %s -> %s (reg add ended with %d)" % (name, font, code))


def prepare(prefix, run, wait_idle):
    """Prepares a prefix that Wine has made: own folders first, before
    anything else runs in it, then the fonts, then the stamp."""
    stamp = os.path.join(prefix, STAMP)
    if os.path.exists(stamp):
        os.unlink(stamp)
    for link, target in own_folders(prefix):
        print("%s: a folder of its own instead of the link to %s" % (link, target))
    install_fonts(prefix)
    substitute_fonts(run)
    wait_idle()
    own_folders(prefix)  # whatever Wine made meanwhile
    shutil.rmtree(os.path.join(prefix, BOOT_HOME), ignore_errors=True)
    with open(stamp, "w") as f:
        f.write(PREPARATION + "\n")
    require_prepared(prefix)


def boot_env(side):
    """The environment of Wine while it makes or prepares the prefix: its
    home is a folder in the prefix, so that the links it makes lead nowhere
    else, and no display."""
    home = os.path.join(side.prefix, BOOT_HOME)
    os.makedirs(home, exist_ok=True)
    return dict(side.env, DISPLAY="", HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"))


def make(side):
    """Makes the prefix of a harness side (its prefix, env, command() and
    wait_idle()) if it is not there yet, and prepares it unless it is
    prepared. False if Wine could not make it."""
    reg = os.path.join(side.prefix, "system.reg")
    if not os.path.exists(reg):
        subprocess.run(side.command("wineboot", ["-i"]), env=boot_env(side), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=600)
        side.wait_idle()
    if not os.path.exists(reg):
        return False
    if problems(side.prefix):
        env = boot_env(side)

        def run(program, args):
            return subprocess.run(side.command(program, args), env=env, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, timeout=300).returncode

        prepare(side.prefix, run, side.wait_idle)
    return True


def main():
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import e2e

    args = sys.argv[1:]
    checking = args[:1] == ["--check"]
    build = os.path.abspath(args[-1])
    with open(os.path.join(build, "wine.json")) as f:
        names = list(e2e.json.load(f))
    for name in names:
        side = e2e.Win32(build, build, name)
        try:
            if checking:
                require_prepared(side.prefix)
            elif not side.boot():
                print("Wine could not make the %s prefix %s (%s, %s)" % (name, side.prefix, side.loader, side.arch))
                return 1
        except (PrefixError, e2e.Failure) as error:
            print(error)
            return 1
        print("Wine prefix %s: %s (%s, %s), prepared" % (name, side.prefix, side.loader, side.arch))
    return 0


if __name__ == "__main__":
    sys.exit(main())
