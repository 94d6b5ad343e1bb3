#!/usr/bin/env python3
"""The update's download benchmark: a signed 100 MB installer from nginx on
127.0.0.1, saved by UpdateDownload into the product's folder with its hash
computed as it arrives and the signature verified at the end
(net_update_bench), on the host build and under Wine, against curl writing
the same file into the same folder in the same run. The best of RUNS each,
and the verification's own time.

    net_update_run.py HOST_BUILD WIN_BUILD [RUNS]
"""
import json
import os
import re
import subprocess
import sys
import tempfile

from cryptography.hazmat.primitives import serialization

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "peers"))
import peers  # noqa: E402

SIZE = 100 * 1000 * 1000
ENTRY, VERSION = "Acme Viewer", "2.5"
# What each side starts as a program: a script on the host, a PE image on Windows.
HEADS = {"big.sh": b"#!/bin/sh\nexit 1\n",
         "big.exe": b"MZ" + bytes(0x3A) + b"\x40\0\0\0PE\0\0"}


def write_installer(path, head):
    chunk = os.urandom(1000 * 1000)
    with open(path, "wb") as f:
        f.write(head)
        left = SIZE - len(head)
        while left > 0:
            f.write(chunk[:left])
            left -= len(chunk)


def lines(command, env):
    out = subprocess.run(command, env=env, stdout=subprocess.PIPE, check=True, timeout=600).stdout.decode()
    return [(int(b), float(s), float(v)) for b, s, v in
            re.findall(r"bytes=(\d+) seconds=([\d.]+) MB/s=[\d.]+ verify_ms=([\d.]+)", out)]


def best_rate(runs):
    for bytes_, *_ in runs:
        if bytes_ != SIZE:
            raise SystemExit("short download: %d of %d bytes" % (bytes_, SIZE))
    return max(b / s / 1e6 for b, s, *_ in runs)


def curl(url, target):
    out = subprocess.run(["curl", "-s", "-o", target, "-w", "%{size_download} %{time_total}", url],
                         stdout=subprocess.PIPE, check=True).stdout.decode().split()
    os.remove(target)
    return int(out[0]), float(out[1])


def main():
    host_build, win_build = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 15
    folder = tempfile.mkdtemp(prefix="net-update-bench-")
    root = os.path.join(folder, "www")
    os.makedirs(os.path.join(folder, "nginx"))
    os.makedirs(root)
    tool = os.path.join(host_build, "tools", "ffsbuild")
    maker = os.path.join(folder, "maker")
    subprocess.run([tool, "keygen", "-o", maker], check=True, stdout=subprocess.DEVNULL)
    with open(maker + ".pub", "rb") as f:
        key = serialization.load_pem_public_key(f.read()).public_bytes(
            serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint).hex()
    signatures = {}
    for name, head in HEADS.items():
        write_installer(os.path.join(root, name), head)
        record = subprocess.run([tool, "sign", "--key", maker + ".key", "--entry", ENTRY, "--version", VERSION,
                                 os.path.join(root, name)], check=True, stdout=subprocess.PIPE).stdout
        signatures[name] = record[2:].strip().decode()
    server = peers.Nginx(root, os.path.join(folder, "nginx"))
    try:
        base = "http://127.0.0.1:%d/" % server.port
        with open(os.path.join(win_build, "wine.json")) as f:
            wine = json.load(f)["default"]
        wine_env = dict(os.environ, WINEPREFIX=wine["prefix"], WINEARCH=wine["arch"], WINEDEBUG="-all")
        machine = os.path.join(folder, "machine")
        host_env = dict(os.environ, TESSEL_MACHINE=machine)
        product = "C:\\bench\\"
        host_folder = os.path.join(machine, "drive_c", "bench")
        wine_folder = os.path.join(wine["prefix"], "drive_c", "bench")
        host_runs, wine_runs, curl_host, curl_wine = [], [], [], []
        # Interleaved, so that the machine's other work weighs on all alike.
        for _ in range(runs):
            host_runs += lines([os.path.join(host_build, "bench", "net_update_bench"), base + "big.sh", product, key,
                                signatures["big.sh"], ENTRY, VERSION], host_env)
            curl_host.append(curl(base + "big.sh", os.path.join(host_folder, "curl.bin")))
            wine_runs += lines([wine["loader"], os.path.join(win_build, "bench", "net_update_bench.exe"),
                                base + "big.exe", product, key, signatures["big.exe"], ENTRY, VERSION], wine_env)
            curl_wine.append(curl(base + "big.exe", os.path.join(wine_folder, "curl.bin")))
        for name, mine, theirs in (("host", host_runs, curl_host),
                                   ("%s under Wine (%s)" % (os.path.basename(win_build), wine["arch"]), wine_runs,
                                    curl_wine)):
            rate, curl_rate = best_rate(mine), max(b / s / 1e6 for b, s in theirs)
            verify = min(v for *_, v in mine)
            print("%s UpdateDownload: %.0f MB/s, curl -o into the same folder %.0f MB/s (%.2fx); "
                  "verification %.2f ms" % (name, rate, curl_rate, rate / curl_rate, verify))
    finally:
        server.stop()
        subprocess.run(["rm", "-rf", folder])


if __name__ == "__main__":
    main()
