#!/usr/bin/env python3
"""Download benchmark: a 100 MB body from nginx on 127.0.0.1, received by the
program's HTTP client (net_bench) on the host build and under Wine, against
curl fetching the same file in the same run, in plain HTTP and over TLS (a
certificate of an authority made for the run, trusted only by the run: the
host build through TESSEL_TLS_CA_FILE, Wine through trustca in the tree's
prefix, curl through --cacert). The best of RUNS each.

    net_run.py HOST_BUILD WIN_BUILD [RUNS]
"""
import json
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "peers"))
import peers  # noqa: E402

SIZE = 100 * 1000 * 1000


def best(lines, size):
    rates = []
    for bytes_, seconds in lines:
        if bytes_ < size:
            raise SystemExit("short download: %d of %d bytes" % (bytes_, size))
        rates.append(bytes_ / seconds / 1e6)
    return max(rates)


def bench_lines(command, env=None):
    out = subprocess.run(command, env=env, stdout=subprocess.PIPE, check=True, timeout=600).stdout.decode()
    return [(int(b), float(s)) for b, s in re.findall(r"bytes=(\d+) seconds=([\d.]+)", out)]


def main():
    host_build, win_build = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 15
    folder = tempfile.mkdtemp(prefix="net-bench-")
    root = os.path.join(folder, "www")
    os.makedirs(root)
    with open(os.path.join(root, "big.bin"), "wb") as f:
        chunk = os.urandom(1000 * 1000)
        for _ in range(SIZE // len(chunk)):
            f.write(chunk)
    os.makedirs(os.path.join(folder, "nginx"))
    os.makedirs(os.path.join(folder, "tls"))
    authority = peers.Authority(os.path.join(folder, "authority"))
    server = peers.Nginx(root, os.path.join(folder, "nginx"))
    secure = peers.TlsNginx(root, os.path.join(folder, "tls"), {"good": authority.issue("good", "localhost")})
    with open(os.path.join(win_build, "wine.json")) as f:
        wine = json.load(f)["default"]
    wine_env = dict(os.environ, WINEPREFIX=wine["prefix"], WINEARCH=wine["arch"], WINEDEBUG="-all")
    trustca = [wine["loader"], os.path.join(win_build, "tests", "trustca.exe")]
    subprocess.run(trustca + ["add", peers.windows_path(authority.der)], env=wine_env, check=True)
    try:
        host_env = dict(os.environ, TESSEL_MACHINE=os.path.join(folder, "machine"), TESSEL_TLS_CA_FILE=authority.pem)
        for what, url in (("http", "http://127.0.0.1:%d/big.bin" % server.port),
                          ("https", "https://localhost:%d/big.bin" % secure.ports["good"])):
            # Interleaved, so that the machine's other work weighs on all
            # three alike; the best run of each counts.
            curl, host, win = [], [], []
            for _ in range(runs):
                out = subprocess.run(["curl", "-s", "--cacert", authority.pem, "-o", "/dev/null", "-w",
                                      "%{size_download} %{time_total}", url],
                                     stdout=subprocess.PIPE, check=True).stdout.decode().split()
                curl.append((int(out[0]), float(out[1])))
                host += bench_lines([os.path.join(host_build, "bench", "net_bench"), url], host_env)
                win += bench_lines([wine["loader"], os.path.join(win_build, "bench", "net_bench.exe"), url], wine_env)
            curl_rate = best(curl, SIZE)
            host_rate = best(host, SIZE)
            wine_rate = best(win, SIZE)
            print("%s curl: %.0f MB/s" % (what, curl_rate))
            print("%s host net_bench: %.0f MB/s (%.2fx curl)" % (what, host_rate, host_rate / curl_rate))
            print("%s %s net_bench under Wine (%s): %.0f MB/s (%.2fx curl)" % (
                what, os.path.basename(win_build), wine["arch"], wine_rate, wine_rate / curl_rate))
    finally:
        subprocess.run(trustca + ["remove", peers.windows_path(authority.der)], env=wine_env)
        secure.stop()
        server.stop()
        subprocess.run(["rm", "-rf", folder])

if __name__ == "__main__":
    main()
