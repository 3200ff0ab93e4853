"""Runs the catalog server as the shell does and talks to it over loopback HTTP."""

import contextlib
import functools
import html
import http.client
import os
import pathlib
import re
import select
import selectors
import shutil
import socket
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
sys.path.insert(0, os.path.dirname(SCRIPT))
from quorva_catalog.engines.sqlite.migrations import MIGRATIONS  # noqa: E402

ADDRESS = re.compile(rb"http://127\.0\.0\.1:(\d+)/\n")
MULTIPART = "Content-Type: multipart/form-data; boundary=b"


# Which engines the tests that hold for both run on: "sqlite", "postgresql" or both.
ENGINES = [name.strip() for name in
           os.environ.get("QUORVA_TEST_ENGINES", "sqlite").split(",") if name.strip()]


def fresh_db(engine, directory):
    """A --db value naming a new, empty catalog on `engine`: a file in `directory`, or a
    new database of the throwaway PostgreSQL cluster (tests/server/postgres.py)."""
    if engine == "sqlite":
        return os.path.join(directory, "catalog.db")
    import postgres
    return postgres.fresh_database()


def each_engine(cls):
    """Runs a class of tests that hold for every engine once on each of ENGINES: the class
    itself on SQLite, a subclass named after it for each other engine."""
    module = sys.modules[cls.__module__]
    for engine in ENGINES:
        if engine != "sqlite":
            name = f"{cls.__name__}_{engine}"
            setattr(module, name, type(name, (cls,), {
                "engine": engine, "__unittest_skip__": False, "__module__": cls.__module__,
                "__qualname__": name}))
    if "sqlite" not in ENGINES:
        cls.__unittest_skip__, cls.__unittest_skip_why__ = True, "not among the test engines"
    return cls


def file_only(why):
    """Marks a test of what only the embedded catalog's file has; `why` says what."""
    def mark(test):
        @functools.wraps(test)
        def run(self):
            if self.engine != "sqlite":
                self.skipTest(why)
            return test(self)
        return run
    return mark


def wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.02)
    return value


def command(*global_args, serve_args=("--no-browser", "--port", "0"), script=SCRIPT):
    return [PYTHON, "-u", script, *global_args, "serve", *serve_args]


def run(argv, cwd):
    done = subprocess.run(argv, cwd=cwd, capture_output=True, timeout=20)
    return done.returncode, done.stdout.decode(), done.stderr.decode()


def gone(pid):
    with contextlib.suppress(FileNotFoundError):
        return read(f"/proc/{pid}/stat").rsplit(b")", 1)[1].split()[0] == b"Z"
    return True


def make_database(path, steps=None):
    # A catalog database as the server leaves it after `steps` migrations.
    connection = sqlite3.connect(path, isolation_level=None)
    for number, step in enumerate(MIGRATIONS[:steps]):
        connection.execute("BEGIN IMMEDIATE")
        step(connection)
        connection.execute(f"PRAGMA user_version = {number + 1}")
        connection.execute("COMMIT")
    return connection


def read(path):
    return pathlib.Path(path).read_bytes()


def codes(path, columns="code"):
    # The item codes (or rows of `columns`) of a database file, once SQLite finds it whole.
    with contextlib.closing(sqlite3.connect(path)) as db:
        assert db.execute("PRAGMA integrity_check").fetchone()[0] == "ok", path
        return {row[0] if len(row) == 1 else row
                for row in db.execute(f"SELECT {columns} FROM items")}


def multipart(token, data):
    return (f"--b\r\nContent-Disposition: form-data; name=\"token\"\r\n\r\n{token}\r\n--b\r\n"
            f"Content-Disposition: form-data; name=\"file\"; filename=\"f.csv\"\r\n\r\n"
            ).encode() + data + b"\r\n--b--\r\n"


def hold_connections(port, stop, dropped):
    # Idle connections and slow drips, each opened again as soon as the server drops it.
    head = f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nX-Slow: ".encode() + b"a" * 10000
    selector = selectors.DefaultSelector()

    def connect(kind):
        sock = socket.socket()
        sock.setblocking(False)
        sock.connect_ex(("127.0.0.1", port))
        selector.register(sock, selectors.EVENT_READ, [kind, 0])

    for kind in ["idle"] * 300 + ["drip"] * 50:
        connect(kind)
    while not stop.is_set():
        for key, _ in selector.select(0.2):
            try:
                if key.fileobj.recv(4096):
                    continue
            except BlockingIOError:
                continue
            except OSError:
                pass
            dropped[key.data[0]] += 1
            selector.unregister(key.fileobj).fileobj.close()
            connect(key.data[0])
        for key in list(selector.get_map().values()):
            if key.data[0] == "drip" and key.data[1] < len(head):
                with contextlib.suppress(OSError):
                    key.data[1] += key.fileobj.send(head[key.data[1]:][:1])
    for key in list(selector.get_map().values()):
        key.fileobj.close()


class Client:
    def __init__(self, port):
        self.port, self.host, self._token, self.timeout = port, f"127.0.0.1:{port}", None, 20
        self.origin = f"http://{self.host}"

    def request(self, method, path, body=None, headers=None):
        with contextlib.closing(http.client.HTTPConnection("127.0.0.1", self.port,
                                                           timeout=self.timeout)) as connection:
            connection.request(method, urllib.parse.quote(path, safe="/?&=%+:"), body,
                               {"Host": self.host, **(headers or {})})
            response = connection.getresponse()
            response.body = response.read()
            response.text = response.body.decode("utf-8", "replace")
            return response

    def get(self, path, **headers):
        return self.request("GET", path, headers=headers)

    def token(self):
        if self._token is None:
            self._token = re.search(r'name="token" value="([^"]+)"', self.get("/items/new").text)[1]
        return self._token

    def post(self, path, fields, headers=None, token=True):
        fields = {"token": self.token(), **fields} if token else fields
        sent = {"Origin": self.origin, "Content-Type": "application/x-www-form-urlencoded",
                **(headers or {})}
        return self.request("POST", path, urllib.parse.urlencode(fields).encode(),
                            {k: v for k, v in sent.items() if v is not None})

    def add(self, code, name, price="10", quantity="1", category="", note=""):
        return self.post("/items/new", {"code": code, "name": name, "price": price,
                                        "quantity": quantity, "category": category, "note": note})

    def items(self, query=""):
        # Code -> id of every item the list page shows.
        found = re.findall(r'<tr id="item-(\d+)" data-code="([^"]*)"', self.get("/" + query).text)
        return {html.unescape(code): int(number) for number, code in found}

    def follow(self, response):
        assert response.status == 303, (response.status, response.text)
        return self.get(response.headers["Location"])

    def upload(self, data, token=None, headers=None, path="/import"):
        return self.request("POST", path, multipart(token or self.token(), data), {
            "Origin": self.origin, "Content-Type": MULTIPART.split(": ")[1], **(headers or {})})

    def imported(self, data, **choices):
        # The page after an import of `data`, its preview (if any) answered with `choices`.
        response = self.upload(data)
        if (location := response.headers.get("Location", "")).startswith("/import/confirm?p="):
            response = self.post("/import/confirm", {"p": location.split("=", 1)[1], **choices})
        return self.follow(response) if response.status == 303 else response

    def raw(self, start, headers=(), body=b""):
        # A request as bytes, for what http.client would not send: Host, Origin and
        # Content-Length are added unless `headers` has them.
        given = {line.split(":")[0].lower() for line in headers}
        lines = [f"{start} HTTP/1.1", *headers] + [f"{name}: {value}" for name, value in [
            ("Host", self.host), ("Origin", self.origin), ("Content-Length", len(body))]
            if name.lower() not in given]
        return ("\r\n".join(lines) + "\r\n\r\n").encode("utf-8", "surrogateescape") + body

    def exchange(self, data, whole=False):
        # Sends raw bytes and ends the sending side: (status or None if closed unanswered,
        # the whole reply). With `whole`, a reset before all of it is sent fails the test.
        reply = b""
        with socket.create_connection(("127.0.0.1", self.port), timeout=15) as sock:
            with contextlib.suppress(*() if whole else (OSError,)):
                sock.sendall(data)
                sock.shutdown(socket.SHUT_WR)
            with contextlib.suppress(ConnectionError):
                while chunk := sock.recv(65536):
                    reply += chunk
        reply = re.sub(rb"\A(HTTP/1\.1 100 .*?\r\n\r\n)+", b"", reply, flags=re.S)
        return (int(reply.split()[1]) if reply.startswith(b"HTTP/1.") else None), reply


class Server(Client):
    def __init__(self, argv, cwd, env=None, preexec=None):
        self.err = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.PIPE, stderr=self.err,
                                     env=env and {**os.environ, **env}, preexec_fn=preexec)
        started = select.select([self.proc.stdout], [], [], 20)[0]
        self.first_output = self.proc.stdout.readline() if started else b""
        super().__init__(int(found[1]) if (found := ADDRESS.fullmatch(self.first_output)) else None)

    def stderr(self):
        return os.pread(self.err.fileno(), 1 << 20, 0).decode("utf-8", "replace")

    def stop(self):
        self.proc.kill()  # a no-op once it has been waited for
        self.proc.wait(5)
        self.proc.stdout.close()
        self.err.close()


class ServerTestCase(unittest.TestCase):
    # A data directory per test; servers started here are stopped after it. With `shared`,
    # one server (`self.client`) serves the whole class and each test finds its catalog empty.
    # `engine` is the engine of the catalog servers start with unless told otherwise.
    shared = False
    engine = "sqlite"

    @classmethod
    def setUpClass(cls):
        if cls.shared:
            cls.addClassCleanup(shutil.rmtree, home := tempfile.mkdtemp(prefix="catalog-"), True)
            cls.home, cls.database = home, fresh_db(cls.engine, home)
            # On SQLite the catalog is the working folder's catalog.db, as a user's would be.
            cls.client = Server(command(*() if cls.engine == "sqlite" else
                                        ("--db", cls.database)), home)
            cls.addClassCleanup(cls.client.stop)
            assert cls.client.port, (cls.client.first_output, cls.client.stderr())

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="catalog-test-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.data = self.home if self.shared else self.fresh_directory("data")
        if self.shared:
            self.empty()

    def empty(self):
        # What a test leaves in the shared catalog, and the copies taken of it, are gone.
        if self.engine == "sqlite":
            sqlite3.connect(self.database, timeout=10).executescript(
                "DELETE FROM code_lookalikes; DELETE FROM items; DELETE FROM deleted_items"
            ).connection.close()
        else:
            import postgres
            postgres.empty(self.database)
        shutil.rmtree(os.path.join(self.home, "backups"), True)

    def assert_shows(self, page, *texts, status=None):
        # `page`, text or a response (then of `status`), holds each of `texts`.
        if status is not None:
            self.assertEqual(page.status, status, page.text[:2000])
        for text in texts:
            self.assertIn(text, getattr(page, "text", page))

    def fresh_directory(self, name, mode=0o700):
        os.mkdir(path := os.path.join(self.root, name))
        os.chmod(path, mode)
        return path

    def start(self, *global_args, serve_args=("--no-browser", "--port", "0"), cwd=None, env=None,
              preexec=None, script=SCRIPT):
        if self.engine != "sqlite" and "--db" not in global_args:
            # One catalog a test, whichever servers it starts.
            global_args = ("--db", self.__dict__.setdefault("db", fresh_db(self.engine, "")),
                           *global_args)
        server = Server(command(*global_args, serve_args=serve_args, script=script),
                        cwd or self.data, env, preexec)
        self.addCleanup(server.stop)
        self.assertIsNotNone(server.port, (server.first_output, server.stderr()))
        return server
