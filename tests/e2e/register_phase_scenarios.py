"""The registration's way to its server: through the user's proxy first,
then directly, and a retry the user asks for goes directly again, never
back through the proxy. Both servers refuse, so every phase is tried; each
server records what reached it."""
import tempfile

from e2e import check, copy_log_of_run, in_order, scenario
from register_scenarios import CAPTION, INSTALLER_KEY, RegisteredProduct, prepare_record, regserver, run_host
from update_scenarios import proxy
from uninstall_scenarios import regtool

RETRY = "There was a problem sending your registration, would you like to try again?"


@scenario
def register_proxy_first_then_direct(side):
    with tempfile.TemporaryDirectory(prefix="tessel-register-phases-", ignore_cleanup_errors=True) as folder, \
            regserver.RegistrationServer(folder, mode="error") as through, \
            regserver.RegistrationServer(folder, mode="error") as direct:
        product = RegisteredProduct(side, "register phases")
        product.url = direct.url("/viewer/register")
        product.install()
        prepare_record(side)
        proxy(side, "127.0.0.1:%d" % through.port)
        try:
            args = ["-Register", "-debug"]
            if side.name == "host":
                code, output = run_host(side, product.host(product.exe), args,
                                        ["y", "click 1026", "set 1021 A friend told me", "click 1", "y", "n"])
            else:
                c = CAPTION
                code, reports = side.run(product.host(product.exe), args, answers=[
                    (c, "Yes"), (c, "@1026"), (c + "#1021", "A friend told me"), (c, "Register Now!"),
                    (c, "Yes"), (c, "No"), ("!" + c, "2000")])
                output = "\n".join(reports)
        finally:
            proxy(side, None)
            regtool(side, "delete", "HKCU", INSTALLER_KEY)
        check(code == 0, "exit code %d:\n%s" % (code, output))
        # The proxy is asked once, for the whole address; the server itself
        # on the direct phase and again on the retry.
        check([r["path"] for r in through.requests] == [product.url],
              "the proxy was asked: %r" % [r["path"] for r in through.requests])
        check([r["path"] for r in direct.requests] == ["/viewer/register"] * 2,
              "the server was asked: %r" % [r["path"] for r in direct.requests])
        check(all(r.get("fields") for r in through.requests + direct.requests), "a body did not decode")
    in_order(output, [RETRY, RETRY], "the output")
    _, log = copy_log_of_run(side, product.exe)
    in_order(log, ["Submission on phase 0\n", "Submission on phase 1\n", "Submission on phase 2\n",
                   "Submission on phase 1\n", "Submission on phase 2\n", "Successful Exit...\n"], "copy log")
