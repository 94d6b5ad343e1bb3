"""The maker's registration receiver, regserver of the host build, for the
tests and the demo: started on 127.0.0.1 on a port it picks itself, with a
SQLite file of its own, stopped by its pid. The registrations are read back
from its database.

    with Receiver(folder, host_build, path="/viewer/register") as receiver:
        receiver.url              # where the program posts
        receiver.registrations()  # one dict per stored row, by column name
"""
import os
import re
import sqlite3
import subprocess
import time

from peers import stop_process


def regserver_of(host_build):
    return os.path.join(host_build, "server", "regserver")


class Receiver:
    def __init__(self, folder, host_build, path="/register"):
        self.folder = folder
        self.program = regserver_of(host_build)
        self.db = os.path.join(folder, "registrations.sqlite")
        self.path = path
        self.process = None
        self.url = None

    def __enter__(self):
        if not os.path.exists(self.program):
            raise RuntimeError("no registration receiver at " + self.program)
        self.log = open(os.path.join(self.folder, "regserver.log"), "wb")
        # Port 0: the receiver binds a free port and says which; no race
        # with other tests that pick ports at the same time.
        self.process = subprocess.Popen([self.program, "serve", "--db", self.db, "--port", "0", "--path", self.path],
                                        stdout=subprocess.PIPE, stderr=self.log, stdin=subprocess.DEVNULL)
        line = self.process.stdout.readline().decode("latin-1")
        found = re.search(r"listening on (http://127\.0\.0\.1:\d+\S*),", line)
        if not found:
            self.stop()
            raise RuntimeError("regserver did not start: %r (see %s)" % (line, self.log.name))
        self.url = found.group(1)
        return self

    def registrations(self):
        with sqlite3.connect(self.db) as db:
            db.row_factory = sqlite3.Row
            return [dict(row) for row in db.execute("SELECT * FROM registrations ORDER BY id")]

    def run(self, *args):
        """A command of regserver on this receiver's database."""
        result = subprocess.run([self.program] + list(args) + ["--db", self.db], stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, timeout=60)
        return result.returncode, result.stdout.decode("utf-8", "replace")

    def stop(self):
        stop_process(self.process)
        if self.process:
            self.process.stdout.close()
            self.log.close()

    def __exit__(self, *exc):
        self.stop()
