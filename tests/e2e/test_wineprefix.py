#!/usr/bin/env python3
"""The preparation of a test prefix, on a prefix laid out as Wine lays one
out, with a stand-in home folder: no Wine needed."""
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wineprefix  # noqa: E402


class Prepared(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="wineprefix-test-")
        self.home = os.path.join(self.root, "home")
        self.prefix = os.path.join(self.root, "prefix")
        self.profile = os.path.join(self.prefix, "drive_c", "users", "me")
        for name in ("Desktop", "Documents", "Music", "elsewhere"):
            os.makedirs(os.path.join(self.home, name))
            with open(os.path.join(self.home, name, "mine.txt"), "w") as f:
                f.write("the user's own\n")
        os.makedirs(os.path.join(self.profile, "AppData", "Roaming"))
        os.makedirs(os.path.join(self.prefix, "drive_c", "users", "Public", "Documents"))
        os.makedirs(os.path.join(self.prefix, "drive_c", "e2e"))
        open(os.path.join(self.prefix, "system.reg"), "w").close()
        # As Wine links them, plus what a later change might add: deeper, to
        # a file, to nowhere, and one that stays inside the prefix.
        links = {"Desktop": "Desktop", "Documents": "Documents", "Music": "Music", "Downloads": "",
                 "AppData/Roaming/Notes": "elsewhere", "bashrc": "elsewhere/mine.txt", "Videos": "gone"}
        for name, target in links.items():
            os.symlink(os.path.join(self.home, target), os.path.join(self.profile, name))
        os.symlink(os.path.join(self.prefix, "drive_c", "e2e"), os.path.join(self.profile, "Scratch"))

    def tearDown(self):
        shutil.rmtree(self.root)

    def home_files(self):
        return sorted(os.path.join(folder, name) for folder, _, names in os.walk(self.home) for name in names)

    def test_links_out_of_the_prefix_become_folders_of_its_own(self):
        before = self.home_files()
        replaced = dict(wineprefix.own_folders(self.prefix))
        for name in ("Desktop", "Documents", "Music", "Downloads", "Videos", "AppData/Roaming/Notes", "Scratch"):
            path = os.path.join(self.profile, name)
            self.assertIn(path, replaced)
            self.assertFalse(os.path.islink(path), name)
            self.assertTrue(os.path.isdir(path), name)
        self.assertFalse(os.path.lexists(os.path.join(self.profile, "bashrc")))
        # A link into the prefix would lead out of a copy of it.
        self.assertFalse(os.path.islink(os.path.join(self.profile, "Scratch")))
        self.assertEqual(before, self.home_files())
        self.assertEqual([], wineprefix.outward_links(self.prefix))
        # Every profile has its known folders, none of them empty, so that
        # Wine never swaps one for a link again.
        for profile in ("me", "Public"):
            for name in wineprefix.KNOWN_FOLDERS:
                folder = os.path.join(self.prefix, "drive_c", "users", profile, name)
                self.assertTrue(os.path.isfile(os.path.join(folder, wineprefix.MARK)), folder)

    def test_check_refuses_until_prepared(self):
        cases = [
            ("a fresh prefix", lambda: None, ["is a link to", "never prepared"]),
            ("own folders, no stamp", lambda: os.remove(os.path.join(self.prefix, wineprefix.STAMP)),
             ["never prepared"]),
            ("an older preparation", self.stamp("1"), ["older checkout"]),
            ("a link made again", self.relink("Pictures"), ["Pictures is a link to"]),
            ("a known folder made empty", self.unmark("Music"), ["Music is not a folder of the prefix's own"]),
            ("a link out of a copy", self.relink("Favorites", os.path.join(self.root, "original", "Favorites")),
             ["Favorites is a link to"]),
        ]
        for what, change, expected in cases:
            with self.subTest(what):
                change()
                with self.assertRaises(wineprefix.PrefixError) as raised:
                    wineprefix.require_prepared(self.prefix)
                for text in expected:
                    self.assertIn(text, str(raised.exception))
                self.prepare()
                wineprefix.require_prepared(self.prefix)
        # What a scenario links inside the prefix is its own business.
        os.symlink(os.path.join(self.prefix, "drive_c", "e2e"), os.path.join(self.profile, "Inside"))
        wineprefix.require_prepared(self.prefix)

    def test_prepare_sets_the_fonts_after_the_folders(self):
        seen = []

        def run(program, args):
            seen.append((program, args, wineprefix.outward_links(self.prefix)))
            return 0

        if not os.path.isdir(wineprefix.WINE_FONTS):
            self.skipTest("no " + wineprefix.WINE_FONTS)
        wineprefix.prepare(self.prefix, run, lambda: None)
        fonts = os.path.join(self.prefix, "drive_c", "windows", "Fonts")
        self.assertEqual(sorted(os.listdir(wineprefix.WINE_FONTS)), sorted(os.listdir(fonts)))
        self.assertEqual([("reg", ["add", wineprefix.FONT_SUBSTITUTES, "/v", "Helv", "/t", "REG_SZ", "/d",
                                   "MS Sans Serif", "/f"], [])], seen)
        with self.assertRaises(wineprefix.PrefixError):
            wineprefix.prepare(self.prefix, lambda program, args: 1, lambda: None)
        with self.assertRaises(wineprefix.PrefixError):
            wineprefix.require_prepared(self.prefix)

    def test_users_folder_that_is_a_link_is_refused(self):
        users = os.path.join(self.prefix, "drive_c", "users")
        os.rename(users, os.path.join(self.home, "users"))
        os.symlink(os.path.join(self.home, "users"), users)
        before = self.home_files()
        with self.assertRaises(wineprefix.PrefixError):
            wineprefix.own_folders(self.prefix)
        with self.assertRaises(wineprefix.PrefixError) as raised:
            wineprefix.require_prepared(self.prefix)
        self.assertIn("users is a link to", str(raised.exception))
        self.assertEqual(before, self.home_files())

    def test_no_prefix(self):
        os.remove(os.path.join(self.prefix, "system.reg"))
        with self.assertRaises(wineprefix.PrefixError) as raised:
            wineprefix.require_prepared(self.prefix)
        self.assertIn("no Wine prefix", str(raised.exception))

    # ---- helpers of the table ------------------------------------------

    def prepare(self):
        wineprefix.own_folders(self.prefix)
        with open(os.path.join(self.prefix, wineprefix.STAMP), "w") as f:
            f.write(wineprefix.PREPARATION + "\n")

    def stamp(self, text):
        def change():
            with open(os.path.join(self.prefix, wineprefix.STAMP), "w") as f:
                f.write(text + "\n")
        return change

    def relink(self, name, target=None):
        def change():
            shutil.rmtree(os.path.join(self.profile, name), ignore_errors=True)
            os.symlink(target or self.home, os.path.join(self.profile, name))
        return change

    def unmark(self, name):
        return lambda: os.remove(os.path.join(self.profile, name, wineprefix.MARK))


if __name__ == "__main__":
    unittest.main()
