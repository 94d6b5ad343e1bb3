"""Real network peers for the tests, each on 127.0.0.1 with a port and a
configuration of its own, started by the test and stopped by its pid:

- Nginx: serves the files of a folder.
- Tinyproxy: an HTTP proxy whose log shows the requests it forwarded.
- TlsNginx: the same over TLS, one port per certificate that a test
  Authority (made here, trusted only where the test says) signed, and a
  plain-HTTP port where a secure one is expected.
- Stub: what a real server will not do on demand: accept and never answer
  ("silent"), answer slowly in small pieces ("slow"), close in the middle of
  a body ("cut"), reset it in the middle of a body without a length
  ("reset"), and a listener whose queue is full, so that a connection is
  never completed ("full").

    with Peers(folder) as peers:  # nginx, tinyproxy and the stub together
        peers.environment()        # TESSEL_PEER_* for the programs under test

    peers.py COMMAND...            # runs the command with the peers up
"""
import datetime
import os
import shutil
import sys
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time


def free_port():
    """A port nothing listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listens(pid, port):
    """Whether the process pid itself listens on 127.0.0.1:port (another's
    listener would answer a connection just the same)."""
    inodes = set()
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if fields[1] == "0100007F:%04X" % port and fields[3] == "0A":
                inodes.add("socket:[%s]" % fields[9])
    if not inodes:
        return False
    folder = "/proc/%d/fd" % pid
    try:
        names = os.listdir(folder)
    except OSError:
        return False
    for name in names:
        try:
            if os.readlink(os.path.join(folder, name)) in inodes:
                return True
        except OSError:
            continue
    return False


def stop_process(process):
    """Ends a peer by its pid: asked first, then killed."""
    if process and process.poll() is None:
        os.kill(process.pid, signal.SIGTERM)
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.kill(process.pid, signal.SIGKILL)
            process.wait(timeout=10)


class Process:
    """A peer program in the foreground, stopped by its pid."""
    TRIES = 5

    def __init__(self, folder):
        self.folder = folder
        self.process = None
        self.output = None
        self.port = None

    def run(self, command_for):
        """Starts command_for(port) on a free port. Tests run side by side,
        and a port free a moment ago may be taken before the peer binds it:
        then the peer ends at once, and another port is tried."""
        for attempt in range(self.TRIES):
            self.port = free_port()
            command = command_for(self.port)
            self.output = open(os.path.join(self.folder, "output.txt"), "wb")
            self.process = subprocess.Popen(command, stdout=self.output, stderr=subprocess.STDOUT,
                                            stdin=subprocess.DEVNULL)
            deadline = time.time() + 20
            while self.process.poll() is None and time.time() < deadline:
                if listens(self.process.pid, self.port):
                    return
                time.sleep(0.05)
            if self.process.poll() is None:
                raise RuntimeError("%s does not listen on port %d" % (command[0], self.port))
            self.output.close()
        raise RuntimeError("%s could not listen on a free port" % command[0])

    def stop(self):
        stop_process(self.process)
        if self.output:
            self.output.close()


def nginx_conf(folder, servers, log_format="", log_name=""):
    """nginx's configuration in its folder, every file it writes there:
    the server blocks given, in one process on the foreground."""
    conf = os.path.join(folder, "nginx.conf")
    with open(conf, "w") as f:
        f.write("""daemon off;
master_process off;
worker_processes 1;
pid %(d)s/nginx.pid;
error_log %(d)s/error.log;
events { worker_connections 64; }
http {
%(format)s  access_log %(d)s/access.log%(name)s;
  client_body_temp_path %(d)s/body;
  proxy_temp_path %(d)s/proxy;
  fastcgi_temp_path %(d)s/fastcgi;
  uwsgi_temp_path %(d)s/uwsgi;
  scgi_temp_path %(d)s/scgi;
  default_type application/octet-stream;
  sendfile on;
%(servers)s}
""" % {"d": folder, "format": log_format, "name": log_name, "servers": servers})
    return conf


class Nginx(Process):
    def __init__(self, root, folder):
        super().__init__(folder)
        self.root = root
        self.run(self.command)

    def command(self, port):
        folder = self.folder
        conf = nginx_conf(folder, "  server {\n    listen 127.0.0.1:%d;\n    root %s;\n  }\n" % (port, self.root))
        # -e: the error log of the start-up too, before the configuration is read.
        return ["nginx", "-e", os.path.join(folder, "error.log"), "-p", folder, "-c", conf]


class Authority:
    """A certificate authority of a test, made fresh with its own key, and
    the server certificates it signs (PEM files; the authority also as DER,
    for Windows' certificate stores). RSA: Wine's crypt32 does not verify
    ECDSA signatures of certificates."""

    def __init__(self, folder, name="Tessel Test Authority"):
        from cryptography import x509
        from cryptography.hazmat.primitives.asymmetric import rsa
        from cryptography.x509.oid import NameOID
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        self.key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        self.name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)])
        now = self._now()
        builder = (x509.CertificateBuilder().subject_name(self.name).issuer_name(self.name)
                   .public_key(self.key.public_key()).serial_number(x509.random_serial_number())
                   .not_valid_before(now - datetime.timedelta(days=90)).not_valid_after(now + datetime.timedelta(days=30))
                   .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
                   .add_extension(x509.KeyUsage(False, False, False, False, False, True, True, False, False),
                                  critical=True)
                   .add_extension(x509.SubjectKeyIdentifier.from_public_key(self.key.public_key()), critical=False))
        self.certificate = builder.sign(self.key, self._sha256())
        self.pem = os.path.join(folder, "authority.pem")
        self.der = os.path.join(folder, "authority.der")
        from cryptography.hazmat.primitives import serialization
        with open(self.pem, "wb") as f:
            f.write(self.certificate.public_bytes(serialization.Encoding.PEM))
        with open(self.der, "wb") as f:
            f.write(self.certificate.public_bytes(serialization.Encoding.DER))

    @staticmethod
    def _now():
        return datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)

    @staticmethod
    def _sha256():
        from cryptography.hazmat.primitives import hashes
        return hashes.SHA256()

    def issue(self, stem, name, days=(-1, 30), bits=2048, digest="sha256"):
        """A server certificate for the DNS name, valid from days[0] to
        days[1] from now, with an RSA key of the bits, signed with the
        digest ("sha1" through the openssl command, which still signs with
        it): (certificate file, key file)."""
        if digest != "sha256":
            return self._issue_by_command(stem, name, days, bits, digest)
        from cryptography import x509
        from cryptography.hazmat.primitives import serialization
        from cryptography.hazmat.primitives.asymmetric import rsa
        from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID
        key = rsa.generate_private_key(public_exponent=65537, key_size=bits)
        now = self._now()
        certificate = (
            x509.CertificateBuilder().subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)]))
            .issuer_name(self.name).public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(now + datetime.timedelta(days=days[0]))
            .not_valid_after(now + datetime.timedelta(days=days[1]))
            .add_extension(x509.SubjectAlternativeName([x509.DNSName(name)]), critical=False)
            .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
            .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
            .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(self.key.public_key()), critical=False)
            .sign(self.key, self._sha256()))
        cert_path = os.path.join(self.folder, stem + ".pem")
        key_path = os.path.join(self.folder, stem + ".key")
        with open(cert_path, "wb") as f:
            f.write(certificate.public_bytes(serialization.Encoding.PEM))
        with open(key_path, "wb") as f:
            f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                      serialization.NoEncryption()))
        return cert_path, key_path

    def _issue_by_command(self, stem, name, days, bits, digest):
        from cryptography.hazmat.primitives import serialization
        authority_key = os.path.join(self.folder, "authority.key")
        if not os.path.exists(authority_key):
            with open(authority_key, "wb") as f:
                f.write(self.key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                               serialization.NoEncryption()))
        base = os.path.join(self.folder, stem)
        with open(base + ".ext", "w") as f:
            f.write("subjectAltName=DNS:%s\nbasicConstraints=critical,CA:FALSE\nextendedKeyUsage=serverAuth\n"
                    "authorityKeyIdentifier=keyid\n" % name)
        subprocess.run(["openssl", "req", "-new", "-newkey", "rsa:%d" % bits, "-nodes", "-keyout", base + ".key",
                        "-subj", "/CN=" + name, "-out", base + ".csr"], check=True, capture_output=True)
        # Valid from now (the command has no earlier start) to days[1].
        subprocess.run(["openssl", "x509", "-req", "-in", base + ".csr", "-CA", self.pem, "-CAkey", authority_key,
                        "-set_serial", str(int.from_bytes(os.urandom(8), "big")), "-days", str(days[1]),
                        "-" + digest, "-extfile", base + ".ext", "-out", base + ".pem"], check=True, capture_output=True)
        return base + ".pem", base + ".key"


class TlsNginx(Process):
    """nginx serving a folder over TLS 1.2 and 1.3: one port per
    certificate ({name: (certificate, key)}), and "plain" answering in
    plain HTTP."""

    def __init__(self, root, folder, certificates):
        super().__init__(folder)
        self.root = root
        self.certificates = certificates
        self.access_log = os.path.join(folder, "access.log")
        self.run(self.command)
        # nginx binds all its ports before it serves any.
        deadline = time.time() + 20
        while not all(listens(self.process.pid, port) for port in self.ports.values()):
            if self.process.poll() is not None or time.time() > deadline:
                raise RuntimeError("nginx does not listen on all of %s" % sorted(self.ports.values()))
            time.sleep(0.05)

    def command(self, port):
        """The plain server on the port given; the TLS ones on fresh free
        ports, taken anew on each try."""
        folder, root = self.folder, self.root
        self.ports = {name: free_port() for name in self.certificates}
        self.ports["plain"] = port
        servers = "".join(
            "  server {\n    listen 127.0.0.1:%d ssl;\n    ssl_certificate %s;\n    ssl_certificate_key %s;\n"
            "    ssl_protocols TLSv1.2 TLSv1.3;\n    root %s;\n  }\n" % (self.ports[name], cert, key, root)
            for name, (cert, key) in self.certificates.items())
        servers += "  server {\n    listen 127.0.0.1:%d;\n    root %s;\n  }\n" % (port, root)
        conf = nginx_conf(folder, servers, "  log_format tls '$ssl_protocol \"$request\" $status';\n", " tls")
        return ["nginx", "-e", os.path.join(folder, "error.log"), "-p", folder, "-c", conf]


class Tinyproxy(Process):
    def __init__(self, folder):
        super().__init__(folder)
        self.log = os.path.join(folder, "tinyproxy.log")
        # Run as root, tinyproxy drops to an unprivileged user: its folder
        # must stay writable for it.
        os.chmod(folder, 0o777)
        self.run(self.command)

    def command(self, port):
        conf = os.path.join(self.folder, "tinyproxy.conf")
        with open(conf, "w") as f:
            f.write("Port %d\nListen 127.0.0.1\nTimeout 60\nLogFile \"%s\"\nLogLevel Info\nMaxClients 20\n"
                    "Allow 127.0.0.1\nDisableViaHeader Yes\n" % (port, self.log))
            if os.getuid() == 0:
                f.write("User nobody\nGroup nogroup\n")
        return ["tinyproxy", "-d", "-c", conf]

    def logged(self):
        with open(self.log, "rb") as f:
            return f.read().decode("latin-1")


class Stub:
    """One listening socket per behaviour, served by threads that end with
    stop(). Each connection first reads the request header."""
    CUT_LENGTH = 100000  # announced; only CUT_SENT bytes are sent
    CUT_SENT = 40000
    SLOW_PIECES = 20
    SLOW_PIECE = b"0123456789abcdef"
    NOT_FOUND_BODY = (b"\x161Acme Viewer\r\n\x1629.9\r\n\x163http://127.0.0.1:1/\r\n"
                      b"\x164http://127.0.0.1:1/evil.exe\r\n\x160\r\n")

    def __init__(self):
        self.stopping = threading.Event()
        self.listeners = {}
        self.threads = []
        for mode in ("silent", "slow", "cut", "reset", "notfound", "echo"):
            listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            listener.bind(("127.0.0.1", 0))
            listener.listen(8)
            listener.settimeout(0.2)
            self.listeners[mode] = listener
            thread = threading.Thread(target=self.serve, args=(mode, listener), daemon=True)
            thread.start()
            self.threads.append(thread)
        # Nothing is accepted here, and the one place in the queue is taken:
        # the system drops every further connection request unanswered.
        self.full = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.full.bind(("127.0.0.1", 0))
        self.full.listen(0)
        self.listeners["full"] = self.full
        self.filler = socket.create_connection(self.full.getsockname(), timeout=5)

    def port(self, mode):
        return self.listeners[mode].getsockname()[1]

    def serve(self, mode, listener):
        while not self.stopping.is_set():
            try:
                connection, _ = listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            threading.Thread(target=self.answer, args=(mode, connection), daemon=True).start()

    def answer(self, mode, connection):
        with connection:
            connection.settimeout(10)
            request = b""
            try:
                while b"\r\n\r\n" not in request and len(request) < 65536:
                    piece = connection.recv(4096)
                    if not piece:
                        return
                    request += piece
            except OSError:
                return
            if mode == "echo":
                # The body that the request announced, sent back whole: what
                # arrived, in the order it arrived.
                header, _, body = request.partition(b"\r\n\r\n")
                length = 0
                for line in header.split(b"\r\n")[1:]:
                    name, _, value = line.partition(b":")
                    if name.strip().lower() == b"content-length":
                        length = int(value.strip())
                try:
                    while len(body) < length:
                        piece = connection.recv(65536)
                        if not piece:
                            break
                        body += piece
                except OSError:
                    return
                connection.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
            elif mode == "silent":
                self.stopping.wait(120)  # holds the connection, says nothing
            elif mode == "slow":
                body = self.SLOW_PIECE * self.SLOW_PIECES
                connection.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body))
                for i in range(self.SLOW_PIECES):
                    if self.stopping.wait(0.05):
                        return
                    connection.sendall(self.SLOW_PIECE)
            elif mode == "notfound":
                # A proxy's error page whose body reads like a version list.
                connection.sendall(b"HTTP/1.0 404 Not Found\r\nContent-Type: text/plain\r\n\r\n" + self.NOT_FOUND_BODY)
            elif mode == "reset":
                # No length: only the orderly end would end the body.
                connection.sendall(b"HTTP/1.0 200 OK\r\n\r\n" + bytes(i % 251 for i in range(self.CUT_SENT)))
                self.stopping.wait(0.3)
                connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            elif mode == "cut":
                connection.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % self.CUT_LENGTH)
                connection.sendall(bytes(i % 251 for i in range(self.CUT_SENT)))
                time.sleep(0.1)

    def stop(self):
        self.stopping.set()
        self.filler.close()
        for listener in self.listeners.values():
            listener.close()
        for thread in self.threads:
            thread.join(timeout=5)


def pattern(size, seed=7):
    """Deterministic bytes that are not a repeating short pattern."""
    import random
    return random.Random(seed).randbytes(size)


def windows_path(host_path):
    """How a host file is named from Wine or the host build: Z: is /."""
    return "Z:" + os.path.abspath(host_path).replace("/", "\\")


class Peers:
    """nginx serving a folder with a known file, tinyproxy, the stub, and a
    closed port, for one test run."""
    FILE_NAME = "whole.bin"
    FILE_SIZE = 3 * 1024 * 1024 + 517

    def __init__(self, folder=None):
        self.own_folder = folder is None
        self.folder = folder or tempfile.mkdtemp(prefix="tessel-peers-")
        self.nginx = self.proxy = self.stub = self.closed = None

    def __enter__(self):
        try:
            root = os.path.join(self.folder, "www")
            os.makedirs(root, exist_ok=True)
            os.chmod(self.folder, 0o755)
            os.chmod(root, 0o755)
            self.file = os.path.join(root, self.FILE_NAME)
            with open(self.file, "wb") as f:
                f.write(pattern(self.FILE_SIZE))
            for name in ("nginx", "tinyproxy"):
                os.makedirs(os.path.join(self.folder, name), exist_ok=True)
            self.nginx = Nginx(root, os.path.join(self.folder, "nginx"))
            self.proxy = Tinyproxy(os.path.join(self.folder, "tinyproxy"))
            self.stub = Stub()
            # Bound but not listening: connections are refused, and no peer
            # of a test running beside this one can take the port.
            self.closed = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            self.closed.bind(("127.0.0.1", 0))
            self.closed_port = self.closed.getsockname()[1]
        except Exception:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        for peer in (self.stub, self.proxy, self.nginx):
            if peer:
                peer.stop()
        if self.closed:
            self.closed.close()
        if self.own_folder:
            shutil.rmtree(self.folder, ignore_errors=True)

    def environment(self):
        return {
            "TESSEL_PEER_HTTP": str(self.nginx.port),
            "TESSEL_PEER_FILE": "/" + self.FILE_NAME,
            "TESSEL_PEER_FILE_COPY": windows_path(self.file),
            "TESSEL_PEER_PROXY": str(self.proxy.port),
            "TESSEL_PEER_PROXY_LOG": windows_path(self.proxy.log),
            "TESSEL_PEER_SILENT": str(self.stub.port("silent")),
            "TESSEL_PEER_SLOW": str(self.stub.port("slow")),
            "TESSEL_PEER_CUT": str(self.stub.port("cut")),
            "TESSEL_PEER_RESET": str(self.stub.port("reset")),
            "TESSEL_PEER_NOTFOUND": str(self.stub.port("notfound")),
            "TESSEL_PEER_FULL": str(self.stub.port("full")),
            "TESSEL_PEER_ECHO": str(self.stub.port("echo")),
            "TESSEL_PEER_CLOSED": str(self.closed_port),
        }


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    with Peers() as running:
        code = subprocess.run(sys.argv[1:], env=dict(os.environ, **running.environment())).returncode
    sys.exit(code)
