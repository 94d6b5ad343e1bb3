"""The update runs the bytes it verified, refuses what it cannot verify, and
still updates for honest servers and slow links. Besides the peers of
update_scenarios: a writer of the same user that replaces setup.exe as soon
as it can open it (tests/e2e/racewriter.cpp under Wine, a thread of the test
on the host), and a small server of the test's own that sends slowly or
keeps its connections open."""
import os
import shutil
import socket
import subprocess
import threading
import time

from e2e import check, contains, in_order, lacks, read_text, scenario
from update_scenarios import (CAPTION, HOST_SETUP, REFUSED, UNVERIFIED, UpdateProduct, ffsbuild, list_url, proxy,
                              run_update, serve, serve_signed, tree, with_key)

import peers

SUCCESS = "Successfully updated program to latest version!"


class HonestServer:
    """Serves the files of a folder as an honest server may: "/slow/NAME" at
    RATE bytes a second in small pieces, "/keep/NAME" with its length and
    then the connection held open until the test ends."""
    RATE = 8 * 1024
    PIECE = 1024

    def __init__(self, root):
        self.root = root
        self.stopping = threading.Event()
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def url(self, mode, name):
        return "http://127.0.0.1:%d/%s/%s" % (self.port, mode, name)

    def serve(self):
        while not self.stopping.is_set():
            try:
                connection, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            threading.Thread(target=self.answer, args=(connection,), daemon=True).start()

    def answer(self, connection):
        with connection:
            request = b""
            while b"\r\n\r\n" not in request:
                piece = connection.recv(4096)
                if not piece:
                    return
                request += piece
            _, mode, name = request.split(b" ")[1].decode().split("/", 2)
            with open(os.path.join(self.root, name), "rb") as f:
                body = f.read()
            try:
                connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: keep-alive\r\n\r\n"
                                   % len(body))
                if mode == "slow":
                    for at in range(0, len(body), self.PIECE):
                        if self.stopping.wait(self.PIECE / self.RATE):
                            return
                        connection.sendall(body[at:at + self.PIECE])
                else:
                    connection.sendall(body)
                self.stopping.wait(600)
            except OSError:
                return

    def stop(self):
        self.stopping.set()
        self.listener.close()
        self.thread.join(timeout=5)


def write_list(running, records):
    with open(os.path.join(running.nginx.root, "versions.txt"), "wb") as f:
        f.write(b"".join(b"\x16" + kind.encode() + text.encode() + b"\r\n" for kind, text in records))


def installer_bytes(side, size):
    """A test installer of about size bytes."""
    if side.name == "win32":
        with open(side.tool("fakesetup"), "rb") as f:
            data = f.read()
        return data + bytes(max(0, size - len(data)))
    return (HOST_SETUP + ("#" * 99 + "\n") * (size // 100)).encode()


def args_of_run(product):
    path = product.host(product.install_path + "setup.exe.args")
    return read_text(path).split() if os.path.exists(path) else []


class HostWriter:
    """On the host, a writer of the same user: whenever setup.exe is there
    it writes its own program over it and renames a copy of it over it."""

    def __init__(self, target, replacement):
        self.target, self.replacement = target, replacement
        self.stopping = threading.Event()
        self.written = 0
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        with open(self.replacement, "rb") as f:
            data = f.read()
        while not self.stopping.is_set():
            if os.path.exists(self.target):
                try:
                    with open(self.target, "r+b") as f:
                        f.write(data)
                        f.truncate()
                    shutil.copy(self.replacement, self.target + ".racer")
                    os.replace(self.target + ".racer", self.target)
                    self.written += 1
                except OSError:
                    pass
            time.sleep(0.0005)

    def stop(self):
        self.stopping.set()
        self.thread.join(timeout=10)
        return "written %d" % self.written


class WineWriter:
    """Under Wine, tests/e2e/racewriter.exe in the same prefix."""

    def __init__(self, side, target, replacement, stop_file):
        self.side, self.stop_file = side, stop_file
        self.process = subprocess.Popen(side.command(side.tool("racewriter"), [target, replacement,
                                                                            peers.windows_path(stop_file)]),
                                        env=side.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)

    def stop(self):
        with open(self.stop_file, "w") as f:
            f.write("stop")
        out, _ = self.process.communicate(timeout=60)
        return out.decode("latin-1").strip()


@scenario
def update_writer_never_runs(side):
    """A program of the same user replaces setup.exe as soon as it can open
    it: the bytes that were verified run, or nothing runs; never the
    writer's."""
    with peers.Peers() as running:
        product = UpdateProduct(side, "update writer", list_url(running)).install()
        maker = with_key(side, product, running.folder)
        serve_signed(side, running, maker)
        proxy(side, None)
        target = product.install_path + "setup.exe"
        record = product.host(product.install_path + "writer-ran.txt")
        evil = os.path.join(running.folder, "evil.exe")
        if side.name == "win32":
            shutil.copy2(side.tool("plantexe"), evil)
            side.env["PLANT_RECORD"] = product.install_path + "writer-ran.txt"
            writer = WineWriter(side, target, peers.windows_path(evil), os.path.join(running.folder, "stop"))
        else:
            with open(evil, "w") as f:
                f.write("#!/bin/sh\necho ran >> '%s'\nexit 1\n" % record)
            writer = HostWriter(product.host(target), evil)
        # The writer is a process of the prefix: the run must not wait for
        # every process of the prefix to end until the writer has stopped.
        wait_idle = side.wait_idle
        side.wait_idle = lambda: None
        try:
            reports, log = run_update(side, product, [(CAPTION, "Yes"), (CAPTION, "Download"), (CAPTION, "OK")])
        finally:
            counts = writer.stop()
            side.wait_idle = wait_idle
            side.wait_idle()
            side.env.pop("PLANT_RECORD", None)
        check(not os.path.exists(record), "the writer's program ran (%s)" % counts)
        if SUCCESS in reports:
            check(args_of_run(product) == ["-Quiet"], "the verified installer did not run: %r" % args_of_run(product))
            contains(log, "Update signature verified for 'Acme Viewer' 2.5\n", "the log")
        else:
            check(args_of_run(product) == [], "an installer ran after a refusal")
            contains(reports, "so nothing was installed", "the refusal")


@scenario
def update_damaged_key_refuses(side):
    """A key block whose count is damaged makes no keyless product of it:
    every update is refused before anything is fetched."""
    with peers.Peers() as running:
        url, _ = serve(side, running, "2.5")
        product = UpdateProduct(side, "update damaged key", url).install()
        with_key(side, product, running.folder)
        exe = product.host(product.exe)
        with open(exe, "r+b") as f:
            data = f.read()
            tag = int.from_bytes(data[-4:], "little")
            check(data[tag - 4:tag] == b"UKEY", "no key block before the tag")
            f.seek(tag - 8)
            f.write((64).to_bytes(4, "little"))
        proxy(side, None)
        folder = product.host(product.install_path)
        before = tree(folder)
        reports, log = run_update(side, product, [(CAPTION, "Yes"), (CAPTION, "OK")])
        contains(reports, "Update key unreadable: no update can be verified.", "the refusal")
        contains(log, "Update key unreadable: no update can be verified\n", "the log")
        lacks(log, "Contacting", "the log")
        check(args_of_run(product) == [], "an installer ran")
        check(tree(folder) == before, "the product folder changed")


@scenario
def update_unsigned_page_not_opened(side):
    """A keyed product offers only the page its maker signed: after a
    download that is refused for another cause, a signed page is offered
    and a changed one is not."""
    with peers.Peers() as running:
        product = UpdateProduct(side, "update page", list_url(running)).install()
        maker = with_key(side, product, running.folder)
        _, setup = serve_signed(side, running, maker)
        # A signed file that is no program: refused after its signature.
        with open(setup, "wb") as f:
            f.write(b"no program at all\n")
        serve_signed(side, running, maker, keep_installer=True)
        proxy(side, None)
        cause = "The downloaded update is not a program, "
        reports, log = run_update(side, product, [(CAPTION, "Yes"), (CAPTION, "Download"), (CAPTION, "No")])
        contains(reports, cause + REFUSED, "a signed page is offered")
        listing = os.path.join(running.nginx.root, "versions.txt")
        with open(listing, "rb") as f:
            changed = f.read().replace(b"viewer.html", b"elsewhere.html")
        with open(listing, "wb") as f:
            f.write(changed)
        reports, log = run_update(side, product, [(CAPTION, "Yes"), (CAPTION, "Download"), (CAPTION, "OK")])
        contains(reports, "The downloaded update is not a program, so nothing was installed.", "the refusal")
        lacks(reports, REFUSED, "a changed page was offered")
        contains(log, "Update page signature does not match 'Acme Viewer'", "the log")


@scenario
def update_slow_link_updates(side):
    """A 700 KB installer at 8 KB/s takes a minute and a half, and updates:
    only a silence ends a download."""
    with peers.Peers() as running:
        url, _ = serve(side, running, "2.5")
        server = HonestServer(os.path.join(running.nginx.root, "files"))
        try:
            with open(os.path.join(running.nginx.root, "files", "setup.exe"), "wb") as f:
                f.write(installer_bytes(side, 700 * 1024))
            write_list(running, [("1", "Acme Viewer"), ("2", "2.5"), ("4", server.url("slow", "setup.exe")),
                                 ("0", "")])
            product = UpdateProduct(side, "update slow", url).install()
            proxy(side, None)
            started = time.time()
            reports, log = run_update(side, product, [(CAPTION, "Yes"), (CAPTION, "Download"), ("+" + CAPTION, "OK")],
                                      timeout=400)
            contains(reports, SUCCESS, "the final box")
            check(time.time() - started > 60, "the download was not slow")
            lacks(log, "Update download on phase 1", "the log")
        finally:
            server.stop()


@scenario
def update_listed_installer_updates(side):
    """A product whose FILE LIST names its own setup.exe (so that its
    removal takes it) is updated over it."""
    with peers.Peers() as running:
        url, setup = serve(side, running, "2.5")
        product = UpdateProduct(side, "update listed", url)
        product.files = product.files + ["setup.exe"]
        product.install()
        proxy(side, None)
        reports, log = run_update(side, product, [(CAPTION, "Yes"), (CAPTION, "Download"), (CAPTION, "OK")])
        contains(reports, SUCCESS, "the final box")
        lacks(log, "Unable to save over", "the log")
        with open(product.host(product.install_path + "setup.exe"), "rb") as f, open(setup, "rb") as g:
            check(f.read() == g.read(), "the saved installer differs from the served one")


@scenario
def update_large_list_updates(side):
    """A list of 1.1 MB with the product's entry first is read as far as it
    fits."""
    with peers.Peers() as running:
        url, _ = serve(side, running, "2.5")
        listing = os.path.join(running.nginx.root, "versions.txt")
        with open(listing, "ab") as f:
            for number in range(36000):
                f.write(b"\x161Other Product %05d\r\n\x1621.0\r\n\x160\r\n" % number)
        check(os.path.getsize(listing) > 1100 * 1000, "the list is not large")
        product = UpdateProduct(side, "update large", url).install()
        proxy(side, None)
        reports, log = run_update(side, product, [(CAPTION, "Yes"), (CAPTION, "Download"), (CAPTION, "OK")])
        contains(reports, SUCCESS, "the final box")
        contains(log, "Version list read as far as it fits", "the log")


@scenario
def update_keep_alive_updates(side):
    """A server that keeps its connections open after a complete body: the
    list and the installer count as whole once their length has come."""
    with peers.Peers() as running:
        serve(side, running, "2.5")
        files = os.path.join(running.nginx.root, "files")
        server = HonestServer(files)
        try:
            shutil.copy2(os.path.join(running.nginx.root, "versions.txt"), os.path.join(files, "versions.txt"))
            with open(os.path.join(files, "versions.txt"), "rb") as f:
                listing = f.read().replace(b"files/setup.exe", b"keep/setup.exe").replace(
                    b":%d/keep" % running.nginx.port, b":%d/keep" % server.port)
            with open(os.path.join(files, "versions.txt"), "wb") as f:
                f.write(listing)
            product = UpdateProduct(side, "update keep", server.url("keep", "versions.txt")).install()
            proxy(side, None)
            started = time.time()
            reports, log = run_update(side, product, [(CAPTION, "Yes"), (CAPTION, "Download"), (CAPTION, "OK")])
            contains(reports, SUCCESS, "the final box")
            check(time.time() - started < 60, "the update waited for the server to close")
            in_order(log, ["Match: 2.400000 2.500000\n", "Filesize = "], "the log")
        finally:
            server.stop()
