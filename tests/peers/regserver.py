"""A registration server for the tests and the demo, on Python's http.server:
it takes the registration's POST on 127.0.0.1, checks the body's lengths and
CRC-32 on its own (zlib, not the program's code), decodes and descrambles
the profile, records every field, and answers as it is told:

- "ok": a page holding "RegSuccess";
- "split": the same, with the word cut across two pieces sent apart;
- "error": an error page without the word;
- "silent": reads the request and never answers (until stopped).

    with RegistrationServer(folder, mode="ok") as server:
        url = server.url("/viewer/")
        ...
        server.registrations  # one dict per POST: {"fields": {number: text}, ...}
"""
import json
import os
import threading
import time
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class BadBody(Exception):
    pass


def scramble(data):
    """The profile's scrambling: each byte XORed with floor(i * 47 / 31) mod 256;
    the same step undoes it."""
    return bytes(b ^ ((i * 47 // 31) & 0xFF) for i, b in enumerate(data))


def decode_six_bit(text, length):
    """Four characters from '!' to '`' per three bytes; the first length bytes."""
    if len(text) % 4:
        raise BadBody("encoded text of %d characters" % len(text))
    out = bytearray()
    for at in range(0, len(text), 4):
        value = 0
        for c in text[at:at + 4]:
            if not 33 <= c <= 96:
                raise BadBody("character %r outside the six-bit set" % chr(c))
            value = (value << 6) | (c - 33)
        out += value.to_bytes(3, "big")
    if len(out) < length or any(out[length:]):
        raise BadBody("decoded %d bytes for a profile of %d" % (len(out), length))
    return bytes(out[:length])


def parse_body(body):
    """The body's header checked against its parts; the profile's fields."""
    try:
        total = int(body[0:8], 16)
        v = int(body[8:10], 16)
        version = body[10:10 + v].decode("latin-1")
        n = int(body[10 + v:18 + v], 16)
        e = int(body[18 + v:26 + v], 16)
        crc = int(body[26 + v:34 + v], 16)
    except ValueError as error:
        raise BadBody("header: %s" % error)
    encoded = body[34 + v:]
    if total != len(body):
        raise BadBody("announced %d bytes, sent %d" % (total, len(body)))
    if e != len(encoded) or e != 8 + 4 * ((n + 2) // 3):
        raise BadBody("encoded length %d for %d bytes, %d sent" % (e, n, len(encoded)))
    if crc != zlib.crc32(encoded):
        raise BadBody("CRC %08X, computed %08X" % (crc, zlib.crc32(encoded)))
    if int(encoded[0:8], 16) != n:
        raise BadBody("encoder's own length %r" % encoded[0:8])
    profile = scramble(decode_six_bit(encoded[8:], n))
    if not profile.startswith(b"\x02"):
        raise BadBody("profile does not start with a field")
    fields = {}
    order = []
    for part in profile.split(b"\x02")[1:]:
        if len(part) < 3 or not part[:3].isdigit():
            raise BadBody("field %r" % part[:8])
        number = int(part[:3])
        order.append(number)
        fields[number] = part[3:].decode("latin-1")
    return {"version": version, "length": n, "fields": fields, "order": order}


class RegistrationServer:
    def __init__(self, folder, mode="ok", tls=None):
        """tls: (certificate file, key file) to take the POST over TLS."""
        self.folder = folder
        self.tls = tls
        self.mode = mode
        self.registrations = []
        self.requests = []
        self.stopping = threading.Event()
        server = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.0"

            def log_message(self, *args):
                pass

            def do_POST(self):
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length)
                request = {"path": self.path, "agent": self.headers.get("User-Agent", ""),
                           "host": self.headers.get("Host", ""), "length": length}
                try:
                    request.update(parse_body(body))
                    server.registrations.append(request)
                except BadBody as error:
                    request["error"] = str(error)
                server.requests.append(request)
                server.save()
                if server.mode == "silent":
                    server.stopping.wait(60)
                    return
                if server.mode == "error" or "error" in request:
                    self.send_response(500)
                    self.end_headers()
                    self.wfile.write(b"<html><body>Registration refused</body></html>")
                    return
                self.send_response(200)
                self.send_header("Content-Type", "text/html")
                self.end_headers()
                if server.mode == "split":
                    self.wfile.write(b"<html><body>Reg")
                    self.wfile.flush()
                    time.sleep(0.5)
                    self.wfile.write(b"success</body></html>")
                else:
                    self.wfile.write(b"<html><body>RegSuccess</body></html>")

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        if tls:
            import ssl
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.minimum_version = ssl.TLSVersion.TLSv1_2
            context.load_cert_chain(*tls)
            self.httpd.socket = context.wrap_socket(self.httpd.socket, server_side=True)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    def url(self, path="/"):
        if self.tls:
            return "https://localhost:%d%s" % (self.port, path)
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def save(self):
        with open(os.path.join(self.folder, "registrations.json"), "w") as f:
            json.dump(self.requests, f, indent=1)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stopping.set()
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(timeout=10)
