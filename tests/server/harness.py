"""Runs the catalog server as the shell does and talks to it over loopback HTTP."""

import html
import http.client
import os
import re
import runpy
import selectors
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

SCRIPT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                       "..", "..", "resources", "catalog.py"))
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
ADDRESS = re.compile(rb"http://127\.0\.0\.1:(\d+)/\n")


def wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.02)
    return value


def command(*global_args, serve_args=("--no-browser", "--port", "0")):
    return [PYTHON, "-u", SCRIPT, *global_args, "serve", *serve_args]


def run(argv, cwd):
    """A start that should end by itself: (status, stdout, stderr)."""
    done = subprocess.run(argv, cwd=cwd, capture_output=True, timeout=20)
    return done.returncode, done.stdout.decode(), done.stderr.decode()


def gone(pid):
    try:
        with open(f"/proc/{pid}/stat") as handle:
            return handle.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


def make_database(path, steps=None):
    """A catalog database as the server leaves it after `steps` migrations."""
    migrations = runpy.run_path(SCRIPT, run_name="catalog_under_test")["MIGRATIONS"]
    connection = sqlite3.connect(path, isolation_level=None)
    for number, step in enumerate(migrations[:steps]):
        connection.execute("BEGIN IMMEDIATE")
        step(connection)
        connection.execute(f"PRAGMA user_version = {number + 1}")
        connection.execute("COMMIT")
    return connection


class Server:
    def __init__(self, argv, cwd, stderr_path, require_address=True, env=None, preexec=None):
        self.stderr_path = stderr_path
        with open(stderr_path, "wb") as stderr:
            self.proc = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.PIPE, stderr=stderr,
                                         env=env and {**os.environ, **env}, preexec_fn=preexec)
        self.first_output = self._first_line(20)
        match = ADDRESS.fullmatch(self.first_output)
        self.port = int(match.group(1)) if match else None
        self.client = Client(self.port)
        if not match and require_address:
            self.stop()
            raise AssertionError(f"no address line: {self.first_output!r} {self.stderr()!r}")

    def _first_line(self, timeout):
        data, deadline = b"", time.monotonic() + timeout
        with selectors.DefaultSelector() as selector:
            selector.register(self.proc.stdout, selectors.EVENT_READ)
            while b"\n" not in data and selector.select(deadline - time.monotonic()):
                chunk = os.read(self.proc.stdout.fileno(), 4096)
                if not chunk:
                    break
                data += chunk
        return data

    def stderr(self):
        with open(self.stderr_path, encoding="utf-8", errors="replace") as handle:
            return handle.read()

    def wait(self, timeout=5):
        status = self.proc.wait(timeout)
        if not self.proc.stdout.closed:
            self.rest_of_stdout = self.proc.stdout.read()
            self.proc.stdout.close()
        return status

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.wait()


class Response:
    def __init__(self, raw):
        self.status, self.headers, self.body = raw.status, raw.headers, raw.read()
        self.text = self.body.decode("utf-8", "replace")


class Client:
    def __init__(self, port):
        self.port, self.host = port, f"127.0.0.1:{port}"
        self.origin = f"http://{self.host}"
        self._token = None
        self.timeout = 20

    def request(self, method, path, body=None, headers=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=self.timeout)
        try:
            connection.request(method, urllib.parse.quote(path, safe="/?&=%+:"), body,
                               {"Host": self.host, **(headers or {})})
            return Response(connection.getresponse())
        finally:
            connection.close()

    def get(self, path, **headers):
        return self.request("GET", path, headers=headers)

    def token(self):
        if self._token is None:
            page = self.get("/items/new").text
            self._token = re.search(r'name="token" value="([^"]+)"', page).group(1)
        return self._token

    def post(self, path, fields, headers=None, token=True):
        fields = {"token": self.token(), **fields} if token else fields
        sent = {"Origin": self.origin, "Content-Type": "application/x-www-form-urlencoded",
                **(headers or {})}
        return self.request("POST", path, urllib.parse.urlencode(fields).encode(),
                            {k: v for k, v in sent.items() if v is not None})

    def add(self, code, name, price="10", quantity="1", category="", note=""):
        return self.post("/items/new", {"code": code, "name": name, "price": price,
                                        "quantity": quantity, "category": category,
                                        "note": note})

    def items(self, query=""):
        """Code -> id of every item the list page shows."""
        found = re.findall(r'<tr id="item-(\d+)" data-code="([^"]*)"', self.get("/" + query).text)
        return {html.unescape(code): int(number) for number, code in found}

    def follow(self, response):
        assert response.status == 303, (response.status, response.text)
        return self.get(response.headers["Location"])

    def upload(self, data, token=None, headers=None, path="/import"):
        mark = "----catalogtest7f3a"
        body = (f"--{mark}\r\nContent-Disposition: form-data; name=\"token\"\r\n\r\n"
                f"{token or self.token()}\r\n--{mark}\r\nContent-Disposition: form-data; "
                f"name=\"file\"; filename=\"items.csv\"\r\n\r\n").encode() + data + \
            f"\r\n--{mark}--\r\n".encode()
        return self.request("POST", path, body, {
            "Origin": self.origin, "Content-Type": f"multipart/form-data; boundary={mark}",
            **(headers or {})})


class ServerTestCase(unittest.TestCase):
    """A data directory per test; servers started here are stopped after it."""

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="catalog-test-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.data = self.fresh_directory("data")

    def fresh_directory(self, name):
        path = os.path.join(self.root, name)
        os.mkdir(path, 0o700)
        return path

    def start(self, *global_args, serve_args=("--no-browser", "--port", "0"), cwd=None,
              require_address=True, env=None, preexec=None):
        log = os.path.join(self.root, f"stderr-{time.monotonic_ns()}.txt")
        server = Server(command(*global_args, serve_args=serve_args), cwd or self.data, log,
                        require_address, env, preexec)
        self.addCleanup(server.stop)
        return server
