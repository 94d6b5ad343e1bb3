"""Servers that do on purpose what nginx will not: speak only TLS 1.1, show
a leaf certificate with a 1024-bit RSA key or one signed with SHA-1, or cut
a reply by a reset (TCP RST) in the middle of its body, in plain TCP or
inside TLS. Each listens on 127.0.0.1 on a port of its own, serves the files
of a folder over HTTP/1.0 from threads of the test, and ends with stop().

    server = Rogue(root, tls=(certificate, key), oldest="TLSv1_1")
    server.url("versions.txt")
    server.stop()
"""
import os
import socket
import ssl
import struct
import threading


class Rogue:
    """mode "whole": each file with its Content-Length, then an orderly end
    (close_notify over TLS). mode "reset": the header without a length and
    the first half of the file, then a reset. tls: (certificate, key), with
    the context at OpenSSL's security level 0 so that weak certificates and
    old protocols can be served at all; newest: the newest protocol offered
    ("TLSv1_1" for a server that speaks nothing newer)."""

    def __init__(self, root, mode="whole", tls=None, newest=None):
        self.root = root
        self.mode = mode
        self.context = None
        self.handshakes = []  # the protocol of each completed handshake
        if tls:
            self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.context.set_ciphers("DEFAULT:@SECLEVEL=0")
            if newest:
                self.context.minimum_version = ssl.TLSVersion.MINIMUM_SUPPORTED
                self.context.maximum_version = getattr(ssl.TLSVersion, newest)
            self.context.load_cert_chain(*tls)
        self.stopping = threading.Event()
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def url(self, path, host="127.0.0.1"):
        return "%s://%s:%d/%s" % ("https" if self.context else "http", host, self.port, path)

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
        connection.settimeout(10)
        try:
            if self.context:
                connection = self.context.wrap_socket(connection, server_side=True)
                self.handshakes.append(connection.version())
            request = b""
            while b"\r\n\r\n" not in request and len(request) < 65536:
                piece = connection.recv(4096)
                if not piece:
                    return
                request += piece
            path = request.split(b" ")[1].decode("latin-1").lstrip("/") if request.count(b" ") > 1 else ""
            name = os.path.join(self.root, *[part for part in path.split("/") if part not in ("", ".", "..")])
            if not os.path.isfile(name):
                connection.sendall(b"HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n")
                self.end(connection)
                return
            with open(name, "rb") as f:
                body = f.read()
            if self.mode == "reset":
                connection.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n")
                connection.sendall(body[:len(body) // 2])
                self.stopping.wait(0.5)
                # No linger: the close sends a reset, and no close_notify.
                connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                connection.close()
                return
            connection.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
            self.end(connection)
        except (OSError, ssl.SSLError):
            pass
        finally:
            connection.close()

    def end(self, connection):
        if isinstance(connection, ssl.SSLSocket):
            try:
                connection.unwrap()
            except (OSError, ssl.SSLError):
                pass

    def stop(self):
        self.stopping.set()
        self.listener.close()
        self.thread.join(timeout=5)
