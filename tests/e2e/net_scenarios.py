"""The socket layer and the HTTP client against real peers: nginx, tinyproxy
and the stub server, started here on 127.0.0.1 with ports of their own and
stopped by pid at the end. The unit test program's Net cases run with the
peers' ports in TESSEL_PEER_*, on the host build and under Wine."""
import os
import subprocess
import sys

from e2e import PRODUCT_SOURCE, Failure, build_product, check, lacks, log_of, read_text, scenario

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "peers"))
import peers  # noqa: E402


def unit_program(side):
    return side.tool("unit_tests")


@scenario
def net(side):
    program = unit_program(side)
    check(os.path.exists(program), "no unit test program at " + program)
    if side.name == "win32":
        check(side.boot(), "Wine could not make the prefix " + side.prefix)
    with peers.Peers() as running:
        env = dict(side.env, **running.environment())
        # No message box may wait for a click here.
        env["DISPLAY"] = ""
        result = subprocess.run(side.command(program, ["--gtest_filter=NetPeers.*:NetLimits.*:UpdatePeers.*:HttpRequest.*:Socket.*"]), env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=240)
        side.wait_idle()
    out = result.stdout.decode("latin-1").replace("\r\n", "\n")
    check(result.returncode == 0, "the Net cases failed (%d):\n%s" % (result.returncode, out))
    check("[  SKIPPED ]" not in out, "cases were skipped:\n" + out)
    check("NetPeers.GetReceivesTheWholeFile" in out and "NetLimits.ResetInTheMiddleOfABodyIsNoEnd" in out,
          "the Net cases did not run:\n" + out)
    # The program's own run starts and stops the socket service without a word.
    exe_windows, exe_host = build_product(side, "net", PRODUCT_SOURCE)
    code, _ = side.run(exe_host, ["-Spawn", "-debug"])
    check(code == 0, "exit code %d" % code)
    log = read_text(log_of(side, exe_windows))
    check(log.endswith("Successful Exit...\n"), "log ends:\n" + log)
    for line in ("WSAStartup failed", "Wrong Winsock version", "WSACleanup failed"):
        lacks(log, line, "log")


net.wines = ("wow64",)

__all__ = ["net", "Failure"]
