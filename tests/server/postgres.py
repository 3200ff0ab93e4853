#!/usr/bin/python3
"""A throwaway PostgreSQL cluster for the catalog's tests and benches: Debian's server binaries,
`initdb` in a temporary folder, run by the `postgres` account (or by the user running this, when
not root) on a free loopback port, and a catalog role that owns its databases, is not a
superuser and logs in with a password (scram-sha-256).

    tests/server/postgres.py          prints a database's URL; Ctrl-C or end of input removes all

The cluster lives in a guardian process of its own session: whatever way the process that asked
for it ends, even killed, the guardian sees its input close, stops the server and removes the
folder."""

import atexit
import contextlib
import glob
import json
import os
import pwd
import re
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import tempfile

ROLE = "quorva"
# Speed over durability: the data is thrown away at the end.
FAST = {"fsync": "off", "synchronous_commit": "off", "full_page_writes": "off"}


def binaries():
    """The newest installed server's folder of programs, or None."""
    found = glob.glob("/usr/lib/postgresql/*/bin/initdb")
    if not found:
        return None
    return os.path.dirname(max(found, key=lambda path: int(re.findall(r"/(\d+)/bin/", path)[0])))


def unavailable():
    """Why no cluster can be made here, or None."""
    if binaries() is None:
        return "PostgreSQL's server is not installed (Debian package postgresql)"
    if os.geteuid() == 0:
        try:
            pwd.getpwnam("postgres")
        except KeyError:
            return "there is no postgres account to run the server"
    return None


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def as_owner(argv, **options):
    # The server refuses to run as root; the account that made the cluster runs it.
    prefix = ["runuser", "-u", "postgres", "--"] if os.geteuid() == 0 else []
    return subprocess.run(prefix + argv, check=True, capture_output=True, text=True, **options)


class Folder:
    """The cluster's files and the commands that run on them."""

    def __init__(self, root):
        self.root, self.bin = root, binaries()
        self.data, self.socket = os.path.join(root, "data"), os.path.join(root, "socket")
        self.log = os.path.join(root, "server.log")

    def pg_ctl(self, *args):
        return as_owner([os.path.join(self.bin, "pg_ctl"), "-D", self.data, *args])

    def sql(self, statement, database="postgres"):
        """Runs one statement as the cluster's superuser over its own socket."""
        with open(os.path.join(self.root, "cluster.json")) as handle:
            settings = json.load(handle)
        return as_owner([os.path.join(self.bin, "psql"), "-X", "-q", "-v", "ON_ERROR_STOP=1",
                         "-h", self.socket, "-p", str(settings["port"]), "-d", database,
                         "-c", statement]).stdout

    def create(self, durable):
        if os.geteuid() == 0:
            os.chown(self.root, pwd.getpwnam("postgres").pw_uid, -1)
        as_owner(["mkdir", "-m", "700", self.socket])
        as_owner([os.path.join(self.bin, "initdb"), "-D", self.data, "-E", "UTF8",
                  "--locale=C.UTF-8", "--auth-local=peer", "--auth-host=scram-sha-256"])
        settings = {"listen_addresses": "'127.0.0.1'",
                    "unix_socket_directories": f"'{self.socket}'", **({} if durable else FAST)}
        with open(os.path.join(self.data, "postgresql.conf"), "a") as conf:
            conf.writelines(f"{name} = {value}\n" for name, value in settings.items())

    def start(self):
        # A port found free may be taken before the server binds it: try another.
        for attempt in range(5):
            port = free_port()
            with open(os.path.join(self.root, "cluster.json"), "w") as handle:
                json.dump({"port": port}, handle)
            os.chmod(os.path.join(self.root, "cluster.json"), 0o644)
            try:
                self.pg_ctl("start", "-w", "-t", "60", "-l", self.log, "-o", f"-p {port}")
                return port
            except subprocess.CalledProcessError:
                if attempt == 4:
                    raise

    def remove(self):
        with contextlib.suppress(subprocess.CalledProcessError, OSError):
            self.pg_ctl("stop", "-m", "immediate", "-w")
        shutil.rmtree(self.root, True)


def guard(durable):
    """The guardian: makes and starts the cluster, prints its details as one JSON line, and
    removes it all once its input ends or it is asked to stop."""
    folder = Folder(tempfile.mkdtemp(prefix="quorva-pg-"))
    os.chmod(folder.root, 0o755)
    for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(number, lambda *_: sys.exit(0))
    try:
        folder.create(durable)
        port = folder.start()
        password = secrets.token_urlsafe(18)
        folder.sql(f"CREATE ROLE {ROLE} LOGIN PASSWORD '{password}' "
                   f"NOSUPERUSER NOCREATEDB NOCREATEROLE")
        print(json.dumps({"root": folder.root, "port": port, "password": password}), flush=True)
        sys.stdin.read()
    except subprocess.CalledProcessError as error:
        print(json.dumps({"error": f"{error.cmd[-1]}: {error.stderr.strip()}"}), flush=True)
    finally:
        folder.remove()


class Cluster:
    def __init__(self, durable=False):
        self.guardian = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "--guard"] + ["--durable"] * durable,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, start_new_session=True, text=True)
        details = json.loads(self.guardian.stdout.readline() or '{"error": "no answer"}')
        if "error" in details:
            self.guardian.wait()
            raise RuntimeError(f"a PostgreSQL cluster could not start: {details['error']}")
        self.port, self.password = details["port"], details["password"]
        self.folder, self.count, self.template = Folder(details["root"]), 0, None

    def url(self, database, password=None, host="127.0.0.1"):
        return (f"postgresql://{ROLE}:{self.password if password is None else password}"
                f"@{host}:{self.port}/{database}")

    def database(self, prefix="catalog", template="template1"):
        """A fresh database that the catalog role owns, a copy of `template`, and its URL."""
        self.count += 1
        name = f"{prefix}_{self.count}"
        self.folder.sql(f"CREATE DATABASE {name} OWNER {ROLE} TEMPLATE {template}")
        return self.url(name)

    def sql(self, statement, database="postgres"):
        return self.folder.sql(statement, database)

    def stop_server(self):
        self.folder.pg_ctl("stop", "-m", "fast", "-w")

    def start_server(self):
        self.folder.pg_ctl("start", "-w", "-t", "60", "-l", self.folder.log, "-o",
                           f"-p {self.port}")

    def close(self):
        with contextlib.suppress(OSError):
            self.guardian.stdin.close()
        self.guardian.wait()
        self.guardian.stdout.close()


_shared = None


def shared():
    """One cluster for the whole process, removed when it exits."""
    global _shared
    if _shared is None:
        _shared = Cluster()
        atexit.register(_shared.close)
    return _shared


def fresh_database():
    """A new, empty catalog database of this process's cluster, its tables already made as a
    server's first start makes them, so that a server reaches it as soon as it starts."""
    cluster = shared()
    if cluster.template is None:
        from quorva_catalog.engines import engine_for
        url = cluster.database("template")
        engine = engine_for(url, tempfile.gettempdir())
        engine.open()
        engine.close()
        cluster.template = url.rsplit("/", 1)[1]
    return cluster.database(template=cluster.template)


def empty(url):
    """Every item of the catalog at `url` (one of this process's cluster), bin included,
    gone, as if new."""
    shared().sql("DELETE FROM code_lookalikes; DELETE FROM items; DELETE FROM daily_snapshots; "
                 "DELETE FROM deleted_items; ALTER TABLE items ALTER COLUMN id RESTART; "
                 "ALTER TABLE deleted_items ALTER COLUMN entry RESTART", url.rsplit("/", 1)[1])


if __name__ == "__main__":
    if "--guard" in sys.argv:
        guard("--durable" in sys.argv)
    elif reason := unavailable():
        sys.exit(reason)
    else:
        with contextlib.suppress(KeyboardInterrupt):
            cluster = Cluster(durable=True)
            print(cluster.database("quorva"), flush=True)
            sys.stdin.read()
        cluster.close()
