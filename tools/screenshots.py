#!/usr/bin/env python3
"""Screenshots of the program's windows under Wine on Xvfb, for the README.

    screenshots.py --build WINTREE --source DIR --out docs/images

Runs a sample product's uninstall the way a person would, through the e2e
harness and its driver, and takes each window as it shows: the question,
the "Please wait..." window while its bar moves (an animated PNG), the
final box, and a problem box. The windows are taken with xwd (x11-apps);
the PNGs are written here, with zlib only.

The runs use a prefix of their own beside the tree's test prefix, in which
Wine draws the windows' frames and captions itself, as Xvfb has no window
manager to do it.
"""
import argparse
import os
import struct
import subprocess
import sys
import time
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import e2e  # noqa: E402
import uninstall_scenarios  # noqa: E402

# ---- images -----------------------------------------------------------------


def read_xwd(data):
    """(width, height, RGB rows) of an xwd dump of a true-colour window."""
    fields = struct.unpack(">25I", data[:100])
    header_size, _, pixmap_format, _, width, height = fields[:6]
    byte_order, bits_per_pixel, bytes_per_line = fields[7], fields[11], fields[12]
    masks = fields[14:17]
    colours = fields[19]
    if pixmap_format != 2 or bits_per_pixel not in (24, 32) or masks != (0xFF0000, 0xFF00, 0xFF):
        raise e2e.Failure("xwd: not a true-colour image (%d bits, masks %s)" % (bits_per_pixel, masks))
    pixels = data[header_size + 12 * colours:]
    size = bits_per_pixel // 8
    # Red, green, blue at these bytes of each pixel.
    red, green, blue = (2, 1, 0) if byte_order == 0 else (size - 3, size - 2, size - 1)
    rows = []
    for y in range(height):
        row = pixels[y * bytes_per_line:y * bytes_per_line + size * width]
        rgb = bytearray(3 * width)
        rgb[0::3], rgb[1::3], rgb[2::3] = row[red::size], row[green::size], row[blue::size]
        rows.append(bytes(rgb))
    return width, height, rows


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)


def compressed(rows):
    return zlib.compress(b"".join(b"\0" + row for row in rows), 9)


def png(frames, delay_ms=400):
    """A PNG of one frame, or an animated PNG of several of one size."""
    width, height, _ = frames[0]
    out = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
    if len(frames) == 1:
        return out + chunk(b"IDAT", compressed(frames[0][2])) + chunk(b"IEND", b"")
    out += chunk(b"acTL", struct.pack(">II", len(frames), 0))
    sequence = 0
    for index, (_, _, rows) in enumerate(frames):
        out += chunk(b"fcTL", struct.pack(">IIIIIHHBB", sequence, width, height, 0, 0, delay_ms, 1000, 0, 0))
        sequence += 1
        data = compressed(rows)
        if index == 0:
            out += chunk(b"IDAT", data)
        else:
            out += chunk(b"fdAT", struct.pack(">I", sequence) + data)
            sequence += 1
    return out + chunk(b"IEND", b"")


# ---- the runs -------------------------------------------------------------------


class Camera:
    def __init__(self, side):
        self.side = side

    def take(self, caption):
        """The window of that caption as it is on the screen, or None."""
        result = subprocess.run(["xwd", "-silent", "-display", self.side.display.name, "-name", caption],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        if result.returncode != 0 or len(result.stdout) < 100:
            return None
        return read_xwd(result.stdout)

    def wait(self, caption, timeout=60):
        """Waits for the window on the screen. The driver is started only
        once the window is up: started beside the program's first windows,
        it can wait forever in a prefix where Wine draws the frames."""
        end = time.time() + timeout
        while self.take(caption) is None:
            e2e.check(time.time() < end, "no window '%s' within %d seconds" % (caption, timeout))
            time.sleep(0.1)

    def window(self, caption):
        """Waits for the window, lets it paint, takes it."""
        self.wait(caption)
        time.sleep(0.5)
        frame = self.take(caption)
        e2e.check(frame is not None, "the window '%s' went" % caption)
        return frame


def bar_cells(frame):
    """How much of a progress window's bar is filled: its blue pixels below
    the caption."""
    _, height, rows = frame
    return sum(1 for row in rows[height // 2:] for i in range(0, len(row), 3) if row[i + 2] > row[i] + 60)


def save(out, name, frames):
    path = os.path.join(out, name)
    with open(path, "wb") as f:
        f.write(png(frames))
    print("%s: %d x %d, %d frame(s), %d bytes" % (path, frames[0][0], frames[0][1], len(frames), os.path.getsize(path)))


def start(side, exe_host):
    return subprocess.Popen(side.command(exe_host, []), env=side.env, stdout=subprocess.DEVNULL,
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
    process = start(side, product.host(product.exe))
    save(out, "question.png", [camera.window("Uninstall...")])
    side.driver("answer", "Uninstall...", "Yes")
    # The bar, for as long as the window is up; a few frames evenly apart.
    camera.wait("Please wait...")
    frames = []
    while True:
        frame = camera.take("Please wait...")
        if frame is None:
            break
        if not frames or frame[2] != frames[-1][2]:
            frames.append(frame)
    # The first frames at a sixth, two sixths, ... of the way the bar went,
    # so that a viewer without animation shows a bar under way too.
    frames = [f for f in frames if f[:2] == frames[-1][:2]]
    filled = [bar_cells(f) for f in frames]
    chosen = []
    for sixth in range(1, 7):
        at = next(i for i, n in enumerate(filled) if 6 * n >= sixth * filled[-1])
        if at not in chosen:
            chosen.append(at)
    e2e.check(filled[-1] > 0 and len(chosen) >= 2, "the bar was taken moving %d time(s)" % len(chosen))
    save(out, "progress.png", [frames[i] for i in chosen])
    save(out, "done.png", [camera.window("Uninstaller...")])
    side.driver("answer", "Uninstaller...", "OK")
    finish(side, process)


def problem(side, camera, out):
    product = uninstall_scenarios.Product(side, "screenshots-problem").install()
    uninstall_scenarios.regtool(side, "delete", "HKCU", product.product_key)
    process = start(side, product.host(product.exe))
    camera.wait("Uninstall...")
    side.driver("answer", "Uninstall...", "Yes")
    save(out, "problem.png", [camera.window("Uninstall problem...")])
    side.driver("answer", "Uninstall problem...", "OK")
    finish(side, process)


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
            side.wait_idle()
    except e2e.Failure as failure:
        print("FAILED: %s" % failure)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
