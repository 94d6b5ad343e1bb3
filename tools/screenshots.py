#!/usr/bin/env python3
"""Screenshots of the program's windows under Wine on Xvfb, for the README.

    screenshots.py --build WINTREE --source DIR --out docs/images

Runs a sample product the way a person would, through the e2e harness and
its driver, and takes each window as it shows: the uninstall's question,
its "Please wait..." window with the bar under way, its final box and a
problem box; the update offer; the registration form filled in and the
e-mail confirmation. The windows are taken with xwd and written as PNGs by
Debian's ImageMagick.

The runs use a prefix of their own beside the tree's test prefix, prepared
as the test prefixes are (tests/e2e/wineprefix.py), in which Wine draws the
windows' frames and captions itself, as Xvfb has no window manager to do it.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "peers"))
import e2e  # noqa: E402
import register_scenarios  # noqa: E402
import uninstall_scenarios  # noqa: E402
import update_scenarios  # noqa: E402
import peers  # noqa: E402
import regserver  # noqa: E402


def imagemagick():
    """Debian's ImageMagick by its Debian names (7's magick, 6's
    convert-im6.q16): a "convert" earlier on the PATH may be another
    program."""
    for name in ("magick", "convert-im6.q16"):
        path = shutil.which(name, path="/usr/bin:/bin")
        if path:
            return path
    raise e2e.Failure("no ImageMagick in /usr/bin: install Debian's imagemagick (tools/setup/install-deps.sh)")


def convert(dump, *args):
    """ImageMagick on an xwd dump; its standard output."""
    result = subprocess.run([imagemagick(), "xwd:-"] + list(args), input=dump, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    e2e.check(result.returncode == 0, "ImageMagick failed: " + result.stderr.decode("latin-1", "replace"))
    return result.stdout


class Camera:
    """Takes the windows of the display by their X window: a message box and
    the dialog after it often share a caption."""

    def __init__(self, side):
        self.side = side
        self.taken = set()

    def windows(self, caption):
        result = subprocess.run(["xwininfo", "-display", self.side.display.name, "-root", "-tree"],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        text = result.stdout.decode("latin-1")
        return [m.group(1) for m in re.finditer(r'^\s*(0x[0-9a-f]+) "(.*)": ', text, re.M) if m.group(2) == caption]

    def shot(self, window):
        """The window as it is on the screen (an xwd dump), or None when it
        is not shown."""
        result = subprocess.run(["xwd", "-silent", "-display", self.side.display.name, "-id", window],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        return result.stdout if result.returncode == 0 and len(result.stdout) > 100 else None

    def wait(self, caption, timeout=60):
        """The first window of that caption on the screen that was not taken
        before. The driver is started only once the window is up: started
        beside the program's first windows, it can wait forever in a prefix
        where Wine draws the frames."""
        end = time.time() + timeout
        while True:
            for window in self.windows(caption):
                if window not in self.taken and self.shot(window) is not None:
                    self.taken.add(window)
                    return window
            e2e.check(time.time() < end, "no window '%s' within %d seconds" % (caption, timeout))
            time.sleep(0.1)

    def picture(self, window):
        """Lets the window paint, takes it."""
        time.sleep(0.5)
        dump = self.shot(window)
        e2e.check(dump is not None, "the window %s went" % window)
        return dump


def bar_filled(dump):
    """How much of the lower half of a progress window is the bar's blue."""
    return float(convert(dump, "-gravity", "south", "-crop", "100%x50%+0+0", "+repage", "-fx", "b-r>0.235",
                         "-format", "%[fx:mean]", "info:"))


def save(out, name, dump):
    path = os.path.join(out, name)
    # Without the time of writing, so that taking the same window again
    # gives the same file.
    convert(dump, "-strip", "-define", "png:exclude-chunks=date,time", "png:" + path)
    size = convert(dump, "-format", "%w x %h", "info:").decode()
    print("%s: %s, %d bytes" % (path, size, os.path.getsize(path)))


def start(side, camera, exe_host, args=()):
    # Another program's windows may get the X window numbers of windows
    # taken before.
    camera.taken.clear()
    return subprocess.Popen(side.command(exe_host, list(args)), env=side.env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


def finish(side, process):
    try:
        process.wait(timeout=120)
    except subprocess.TimeoutExpired:
        process.kill()
        raise e2e.Failure("the program did not end")
    side.wait_idle()


def uninstall(side, camera, out):
    files = ["data\\set%02d\\item%04d.dat" % (i % 40, i) for i in range(4000)]
    product = uninstall_scenarios.Product(side, "screenshots", files=files).install()
    process = start(side, camera, product.host(product.exe))
    save(out, "question.png", camera.picture(camera.wait("Uninstall...")))
    side.driver("answer", "Uninstall...", "Yes")
    # The bar, for as long as the window is up; the picture is the frame
    # nearest half of the way it went.
    window = camera.wait("Please wait...")
    frames = []
    while True:
        dump = camera.shot(window)
        if dump is None:
            break
        if not frames or dump != frames[-1]:
            frames.append(dump)
    frames = [frame for frame in frames if len(frame) == len(frames[-1])]
    filled = [bar_filled(frame) for frame in frames]
    e2e.check(len(set(filled)) >= 2 and max(filled) > 0, "the bar was not seen moving: %r" % filled)
    save(out, "progress.png", min(zip(filled, frames), key=lambda pair: abs(pair[0] - max(filled) / 2))[1])
    save(out, "done.png", camera.picture(camera.wait("Uninstaller...")))
    side.driver("answer", "Uninstaller...", "OK")
    finish(side, process)


def problem(side, camera, out):
    product = uninstall_scenarios.Product(side, "screenshots-problem").install()
    uninstall_scenarios.regtool(side, "delete", "HKCU", product.product_key)
    process = start(side, camera, product.host(product.exe))
    camera.wait("Uninstall...")
    side.driver("answer", "Uninstall...", "Yes")
    save(out, "problem.png", camera.picture(camera.wait("Uninstall problem...")))
    side.driver("answer", "Uninstall problem...", "OK")
    finish(side, process)


def update(side, camera, out):
    """The offer of a newer version; the download is taken, and the test
    installer it runs reports success."""
    caption = update_scenarios.CAPTION
    with peers.Peers() as running:
        url, _ = update_scenarios.serve(side, running, "2.5")
        product = update_scenarios.UpdateProduct(side, "screenshots-update", url).install()
        update_scenarios.proxy(side, None)
        with open(product.host(product.install_path + "exitcode.txt"), "w") as f:
            f.write("1\n")
        process = start(side, camera, product.host(product.exe), ["-Update"])
        camera.wait(caption)
        side.driver("answer", caption, "Yes")
        save(out, "update.png", camera.picture(camera.wait(caption)))
        side.driver("answer", caption, "Download and install new version")
        side.driver("answer", caption, "OK", "120000")
        finish(side, process)


def register(side, camera, out):
    """The form as a person fills it in (an earlier run's answers already
    in it), and the confirmation of the address that news go to."""
    caption = register_scenarios.CAPTION
    folder = tempfile.mkdtemp(prefix="tessel-screenshots-")
    try:
        with regserver.RegistrationServer(folder) as server:
            product = register_scenarios.RegisteredProduct(side, "screenshots-register")
            product.url = server.url("/viewer/register")
            product.install()
            register_scenarios.prepare_record(side)
            process = start(side, camera, product.host(product.exe), ["-Register"])
            camera.wait(caption)
            side.driver("answer", caption, "Yes")
            form = camera.wait(caption)
            side.driver("steps", caption + "#1014=Jane", caption + "#1021=A friend told me", caption + "=@1027")
            save(out, "register.png", camera.picture(form))
            side.driver("answer", caption, "Register Now!")
            confirm = camera.wait(caption)
            side.driver("steps", caption + "#1025=jane@example.com")
            save(out, "confirm.png", camera.picture(confirm))
            side.driver("answer", caption, "OK")
            side.driver("answer", caption, "OK", "120000")
            finish(side, process)
            e2e.check(len(server.registrations) == 1, "the server received %r" % server.requests)
    finally:
        uninstall_scenarios.regtool(side, "delete", "HKCU", register_scenarios.INSTALLER_KEY)
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="the Windows tree (its wine.json and programs)")
    parser.add_argument("--source", required=True)
    parser.add_argument("--tool", help="the builder tool (default: the host build's tools/ffsbuild)")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    e2e.TOOL = args.tool and os.path.abspath(args.tool)
    os.makedirs(args.out, exist_ok=True)
    side = e2e.Win32(os.path.abspath(args.build), os.path.abspath(args.source))
    side.prefix = os.path.join(side.build, "screenshot-prefix")
    side.env["WINEPREFIX"] = side.prefix
    try:
        imagemagick()
        e2e.check(side.boot(), "Wine could not make the prefix " + side.prefix)
        # No window manager on Xvfb: Wine draws the frames itself.
        subprocess.run(side.command("reg", ["add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Managed", "/t", "REG_SZ",
                                           "/d", "N", "/f"]),
                       env=dict(side.env, DISPLAY=""), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        side.wait_idle()
        with e2e.Display() as display:
            side.start(display)
            camera = Camera(side)
            uninstall(side, camera, args.out)
            problem(side, camera, args.out)
            update(side, camera, args.out)
            register(side, camera, args.out)
            side.wait_idle()
    except e2e.Failure as failure:
        print("FAILED: %s" % failure)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
