"""The update and the registration over TLS, against real peers: nginx with
certificates from a test authority made here, tinyproxy as the user's proxy
(CONNECT), and the registration server over TLS. The authority is trusted
only inside this scenario: on Wine it is put in the prefix user's ROOT
store by tests/e2e/trustca.cpp (and taken out again at the end), on the host
it is named in TESSEL_TLS_CA_FILE, which only the host build reads."""
import contextlib
import os
import shutil
import sys
import tempfile

from e2e import check, contains, in_order, lacks, scenario
from update_scenarios import CAPTION, UpdateProduct, proxy, run_update, serve
from uninstall_scenarios import regtool
import register_scenarios

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "peers"))
import peers  # noqa: E402
import regserver  # noqa: E402
from rogue import Rogue  # noqa: E402

NAME = "localhost"


@contextlib.contextmanager
def trusted(side, authority):
    """The authority trusted by the program for the block."""
    if side.name == "win32":
        import subprocess
        tool = side.tool("trustca")
        check(side.boot(), "Wine could not make the prefix " + side.prefix)
        result = subprocess.run(side.command(tool, ["add", peers.windows_path(authority.der)]), env=side.env,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        check(result.returncode == 0, "trustca add: %s" % result.stdout.decode("latin-1"))
        try:
            yield
        finally:
            subprocess.run(side.command(tool, ["remove", peers.windows_path(authority.der)]), env=side.env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
            side.wait_idle()
    else:
        side.env["TESSEL_TLS_CA_FILE"] = authority.pem
        try:
            yield
        finally:
            side.env.pop("TESSEL_TLS_CA_FILE", None)


class SecurePeers:
    """Peers (nginx, tinyproxy, the stub) and beside them nginx over TLS:
    "good" with a certificate for localhost, "other" for another name,
    "expired", "stranger" from an authority nobody trusts, "plain" in plain
    HTTP."""

    def __enter__(self):
        self.peers = peers.Peers().__enter__()
        try:
            folder = os.path.join(self.peers.folder, "tls")
            os.makedirs(folder)
            self.authority = peers.Authority(os.path.join(folder, "authority"))
            stranger = peers.Authority(os.path.join(folder, "stranger"), "Nobody's Authority")
            certificates = {
                "good": self.authority.issue("good", NAME),
                "other": self.authority.issue("other", "other.example"),
                "expired": self.authority.issue("expired", NAME, days=(-60, -30)),
                "stranger": stranger.issue("stranger", NAME),
            }
            os.makedirs(os.path.join(folder, "nginx"))
            self.nginx = peers.TlsNginx(self.peers.nginx.root, os.path.join(folder, "nginx"), certificates)
        except Exception:
            self.peers.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        self.nginx.stop()
        self.peers.__exit__()

    def base(self, port_name="good"):
        return "https://%s:%d/" % (NAME, self.nginx.ports[port_name])


def serve_secure(side, running, version, download_scheme="https"):
    """The version list over TLS naming an installer on the same server."""
    url, setup = serve(side, running.peers, version)
    listing = os.path.join(running.peers.nginx.root, "versions.txt")
    with open(listing, "rb") as f:
        text = f.read()
    plain = "http://127.0.0.1:%d/" % running.peers.nginx.port
    download = running.base() if download_scheme == "https" else plain
    text = text.replace(plain.encode() + b"files/", download.encode() + b"files/")
    with open(listing, "wb") as f:
        f.write(text)
    return running.base() + "versions.txt", setup


@scenario
def tls_update(side):
    """The version list and the installer over TLS, directly and then
    through the user's proxy, which only sees the tunnel."""
    with SecurePeers() as running, trusted(side, running.authority):
        url, setup = serve_secure(side, running, "2.5")
        product = UpdateProduct(side, "tls update", url).install()
        saved = product.host(product.install_path + "setup.exe")
        with open(product.host(product.install_path + "exitcode.txt"), "w") as f:
            f.write("1\n")
        for through in (None, "http=127.0.0.1:1;https=127.0.0.1:%d" % running.peers.proxy.port):
            proxy(side, through)
            if os.path.exists(saved):
                os.remove(saved)
            reports, log = run_update(side, product, [(CAPTION, "Yes"), (CAPTION, "Download"), (CAPTION, "OK")])
            contains(reports, "Successfully updated program to latest version!", "the final box")
            in_order(log, ["Update on phase 0\n", "Match: 2.400000 2.500000\n", "Update download on phase 0\n",
                           "Filesize = "], "the log")
            lacks(log, "Update on phase 1\n", "the log")
            lacks(log, "TLS ", "the log")
            with open(saved, "rb") as f, open(setup, "rb") as g:
                check(f.read() == g.read(), "the saved installer differs from the served one")
        with open(running.nginx.access_log) as f:
            served = [line for line in f.read().splitlines() if "GET /" in line]
        check(len(served) == 4 and all(line.split()[0] in ("TLSv1.2", "TLSv1.3") for line in served),
              "nginx's log: %r" % served)
        logged = running.peers.proxy.logged()
        port = running.nginx.ports["good"]
        contains(logged, "CONNECT %s:%d HTTP/1.0" % (NAME, port), "tinyproxy's log")
        lacks(logged, "versions.txt", "tinyproxy's log (it only sees the tunnel)")
        proxy(side, None)


REFUSALS = [
    ("other", "TLS certificate does not name 'localhost' (0x"),
    ("expired", "TLS certificate of 'localhost' has expired (0x"),
    ("stranger", "TLS certificate of 'localhost' is not trusted (0x"),
    ("plain", "TLS handshake refused by 'localhost' (0x"),
]


@scenario
def tls_refusals(side):
    """A certificate for another name, an expired one, one from an authority
    that is not trusted and a plain server on the secure port: each is
    refused with its reason, in both phases, and the user is asked as when
    the server is down."""
    retry = "There was a problem checking with the update server, would you like to try again?"
    with SecurePeers() as running, trusted(side, running.authority):
        serve_secure(side, running, "2.5")
        for port_name, line in REFUSALS:
            url = running.base(port_name) + "versions.txt"
            product = UpdateProduct(side, "tls " + port_name, url).install()
            proxy(side, None)
            reports, log = run_update(side, product, [(CAPTION, "Yes"), (CAPTION, "No"), (CAPTION, "OK")])
            contains(reports, retry, "the retry question (%s)" % port_name)
            contains(reports, "Unable to contact the update server, please try again later.", "the final box")
            in_order(log, ["Update on phase 0\n", line, "Unable to connect securely to machine 127.0.0.1:%d for URL '%s'"
                           % (running.nginx.ports[port_name], url), "Update on phase 1\n", line, "Update on phase 2\n"],
                     "the log (%s)" % port_name)
            lacks(log, "Match:", "the log (%s)" % port_name)


# Servers that nginx will not be: (name, certificate (bits, digest), newest
# protocol, the log line of the refusal). The host's libssl offers nothing
# older than TLS 1.2, and the server refuses that (1070, its
# protocol_version alert); Windows' Schannel may agree to TLS 1.1 (Wine's
# does), and the program refuses what was agreed.
WEAK = [
    ("tls11", (2048, "sha256"), "TLSv1_1", {"win32": "TLS connection to 'localhost' refused: TLS 1.1 agreed\n",
                                            "host": "TLS handshake refused by 'localhost' (0x0000042E)\n"}),
    ("rsa1024", (1024, "sha256"), None, "TLS certificate of 'localhost' refused: RSA key of 1024 bits\n"),
    ("sha1", (2048, "sha1"), None, "TLS certificate of 'localhost' refused: signed with SHA-1\n"),
]


@scenario
def tls_weak_refused(side):
    """A server that speaks nothing newer than TLS 1.1, one whose certificate
    has a 1024-bit RSA key and one whose certificate is signed with SHA-1:
    each is refused after the handshake, whatever the system's TLS agreed
    to, in both phases, and the version list is never read."""
    retry = "There was a problem checking with the update server, would you like to try again?"
    with SecurePeers() as running, trusted(side, running.authority):
        serve_secure(side, running, "2.5")
        for name, (bits, digest), newest, line in WEAK:
            line = line[side.name] if isinstance(line, dict) else line
            certificate = running.authority.issue(name, NAME, bits=bits, digest=digest)
            server = Rogue(running.peers.nginx.root, tls=certificate, newest=newest)
            try:
                url = server.url("versions.txt", NAME)
                product = UpdateProduct(side, "tls " + name, url).install()
                proxy(side, None)
                reports, log = run_update(side, product, [(CAPTION, "Yes"), (CAPTION, "No"), (CAPTION, "OK")])
            finally:
                server.stop()
            contains(reports, retry, "the retry question (%s)" % name)
            in_order(log, ["Update on phase 0\n", line, "Unable to connect securely to machine 127.0.0.1:%d for URL '%s'"
                           % (server.port, url), "Update on phase 1\n", line, "Update on phase 2\n"],
                     "the log (%s)" % name)
            lacks(log, "Match:", "the log (%s)" % name)


@scenario
def update_reset_mid_body_refused(side):
    """The installer's reply has no length and is cut by a reset halfway, in
    plain TCP and inside TLS: a failed attempt in both phases, never the
    end of the file, and nothing is saved or run."""
    retry = "There was a problem downloading the update, would you like to try again?"
    with SecurePeers() as running, trusted(side, running.authority):
        root = running.peers.nginx.root
        for secure in (False, True):
            if secure:
                url, _ = serve_secure(side, running, "2.5")
                server = Rogue(root, mode="reset", tls=running.authority.issue("reset", NAME))
                served = running.base() + "files/setup.exe"
            else:
                url, _ = serve(side, running.peers, "2.5")
                server = Rogue(root, mode="reset")
                served = "http://127.0.0.1:%d/files/setup.exe" % running.peers.nginx.port
            download = server.url("files/setup.exe", NAME if secure else "127.0.0.1")
            with open(os.path.join(root, "versions.txt"), "rb") as f:
                text = f.read().replace(served.encode(), download.encode())
            with open(os.path.join(root, "versions.txt"), "wb") as f:
                f.write(text)
            product = UpdateProduct(side, "reset %s" % secure, url).install()
            proxy(side, None)
            try:
                reports, log = run_update(side, product, [(CAPTION, "Yes"), (CAPTION, "Download"), (CAPTION, "No"),
                                                          (CAPTION, "OK")])
            finally:
                server.stop()
            what = "the log (%s)" % ("TLS" if secure else "TCP")
            contains(reports, retry, "the retry question")
            lacks(reports, "Successfully updated", "the output")
            in_order(log, ["Match: 2.400000 2.500000\n", "Update download on phase 0\n",
                           "Failed to receive (Connection reset by peer)\n", "Update download on phase 1\n",
                           "Failed to receive (Connection reset by peer)\n", "Update download on phase 2\n"], what)
            check(not product.exists("setup.exe"), "the cut installer was saved (%s)" % what)


@scenario
def tls_list_names_plain_download(side):
    """A version list that came over TLS never leads to a download without
    it: the plain address is refused before anything is fetched."""
    with SecurePeers() as running, trusted(side, running.authority):
        url, _ = serve_secure(side, running, "2.5", download_scheme="http")
        product = UpdateProduct(side, "tls downgrade", url).install()
        proxy(side, None)
        reports, log = run_update(side, product, [(CAPTION, "Yes"), (CAPTION, "Download"), (CAPTION, "No")])
        contains(reports, "The update would be downloaded over a connection that is not secure, so nothing was "
                 "installed.", "the refusal")
        contains(log, "Unable to use URL 'http://127.0.0.1:%d/files/setup.exe' (the version list came over a secure "
                 "connection, the download would not)\n" % running.peers.nginx.port, "the log")
        lacks(log, "Update download on phase", "the log")
        check(not product.exists("setup.exe"), "the installer was fetched")
        with open(running.peers.nginx.folder + "/access.log") as f:
            lacks(f.read(), "setup.exe", "nginx's log")


@scenario
def tls_register(side):
    """The registration posted over TLS: the server decodes it and the user
    is thanked."""
    folder = tempfile.mkdtemp(prefix="tessel-tls-register-")
    try:
        authority = peers.Authority(os.path.join(folder, "authority"))
        certificate = authority.issue("server", NAME)
        with regserver.RegistrationServer(folder, mode="ok", tls=certificate) as server, trusted(side, authority):
            product = register_scenarios.RegisteredProduct(side, "tls register")
            product.url = server.url("/viewer/register")
            check(product.url.startswith("https://localhost:"), "url " + product.url)
            product.install()
            register_scenarios.prepare_record(side)
            args = ["-Register", "-debug"]
            if side.name == "host":
                code, output = register_scenarios.run_host(
                    side, product.host(product.exe), args, ["y", "click 1026", "set 1021 A friend told me", "click 1", ""])
            else:
                c = register_scenarios.CAPTION
                code, reports = side.run(product.host(product.exe), args, answers=[
                    (c, "Yes"), (c, "@1026"), (c + "#1021", "A friend told me"), (c, "Register Now!"), (c, "OK")])
                output = "\n".join(reports)
            check(code == 0, "exit code %d:\n%s" % (code, output))
            contains(output, "Your registration has been successfully sent!  Thank you!", "the output")
            check(len(server.registrations) == 1, "registrations: %r" % server.requests)
            check(server.registrations[0]["fields"].get(209) == "A friend told me", "fields %r"
                  % server.registrations[0]["fields"])
            regtool(side, "delete", "HKCU", register_scenarios.INSTALLER_KEY)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


__all__ = ["tls_update", "tls_refusals", "tls_weak_refused", "update_reset_mid_body_refused",
           "tls_list_names_plain_download", "tls_register"]
