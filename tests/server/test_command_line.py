import os
import socket
import sqlite3
import stat
import unittest

from harness import PYTHON, SCRIPT, ServerTestCase, command, make_database, read, run


def garbage(path):
    with open(path, "wb") as handle:
        handle.write(b"not a database\n" * 500)


def broken_pages(path):
    with sqlite3.connect(path) as connection:
        connection.execute("CREATE TABLE t (x TEXT)")
        connection.executemany("INSERT INTO t VALUES (?)", [("x" * 200,)] * 200)
    connection.close()
    with open(path, "r+b") as handle:
        handle.seek(4096 + 8)
        handle.write(os.urandom(3000))


class CommandLineTest(ServerTestCase):
    def test_help_and_bad_usage(self):
        for args in (["--help"], ["serve", "--help"]):
            status, stdout, _ = run([PYTHON, SCRIPT, *args], self.data)
            self.assertEqual(status, 0)
            for text in ("--db", "--port 0", "empty --port", "upsert", "8765"):
                self.assertIn(text, stdout)
        self.assertIn("--exit-with-parent", stdout)
        for args in ([], ["serve", "--bogus"], ["frobnicate"], ["serve", "--port"], ["--db"]):
            with self.subTest(args=args):
                status, stdout, stderr = run([PYTHON, SCRIPT, *args], self.data)
                self.assertEqual((status, stdout), (2, ""))
                self.assertIn("usage:", stderr)

    def test_address_line_comes_first_and_the_port_already_accepts(self):
        for before, after, database in [((), (), "data/catalog.db"),
                                        (("--db", "shop.db"), (), "data/shop.db"),
                                        ((), ("--db", "../other.db"), "other.db")]:
            with self.subTest(before=before, after=after):
                server = self.start(*before, serve_args=("--no-browser", "--exit-with-parent",
                                                          "--port", "0", *after))
                self.assertEqual(server.first_output,
                                 f"http://127.0.0.1:{server.port}/\n".encode())
                socket.create_connection(("127.0.0.1", server.port), timeout=5).close()
                self.assertEqual(server.get("/").status, 200)
                mode = os.stat(os.path.join(self.root, database)).st_mode
                self.assertEqual(stat.S_IMODE(mode), 0o600)
        server = self.start(serve_args=("--no-browser", "--port", ""), require_address=False)
        # An empty port means 8765, which another program may hold right now.
        if server.port is None:
            self.assertEqual(server.wait(), 1)
            self.assertIn("Port 8765 is already in use", server.stderr())
        else:
            self.assertEqual(server.port, 8765)

    def test_what_it_cannot_use_is_refused_and_left_alone(self):
        world, locked = self.fresh_directory("world"), self.fresh_directory("locked")
        os.chmod(world, 0o777)
        os.chmod(locked, 0o500)
        databases = {"garbage": garbage, "broken": broken_pages,
                     "foreign": lambda path: sqlite3.connect(path).execute(
                         "CREATE TABLE contacts (name TEXT)").connection.close(),
                     "newer": lambda path: make_database(path).execute(
                         "PRAGMA user_version = 99").connection.close()}
        paths = {name: os.path.join(self.data, name + ".db") for name in databases}
        for name, build in databases.items():
            build(paths[name])
        before = {name: read(path) for name, path in paths.items()}
        cases = [(("--db", os.path.join(self.root, "nope", "x.db")), (), "does not exist"),
                 (("--db", self.root), (), "is a folder"), (("--db", ""), (), "No database file"),
                 ((), (), "writable by every user", world),
                 ((), (), "Cannot write to the data folder", "/proc"),
                 *[(("--db", paths[name]), (), english) for name, english in [
                     ("garbage", "damaged"), ("broken", "damaged"),
                     ("foreign", "another program's database"), ("newer", "newer catalog")]],
                 *[((), ("--port", port), "Invalid port")
                   for port in ("abc", "70000", "-1", " 80", "๘๐")]]
        if os.geteuid() != 0:  # root reads and writes whatever the modes say
            for name, mode, english in [("secret.db", 0o200, "Cannot read the database"),
                                        ("frozen.db", 0o400, "is read-only")]:
                make_database(os.path.join(self.data, name)).close()
                os.chmod(os.path.join(self.data, name), mode)
                cases.append((("--db", name), (), english))
            cases.append(((), (), "Cannot write to the data folder", locked))
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            port = str(taken.getsockname()[1])
            cases.append(((), ("--port", port), f"Port {port} is already in use"))
            for global_args, serve_args, english, *cwd in cases:
                with self.subTest(english, args=global_args + serve_args):
                    status, stdout, stderr = run(command(*global_args, serve_args=serve_args),
                                                 cwd[0] if cwd else self.data)
                    # One line on stderr: Thai, then English.
                    self.assertEqual((status, stdout, len(stderr.splitlines())), (1, "", 1),
                                     stderr)
                    thai, _, rest = stderr.partition(" / ")
                    self.assertTrue(any("\u0e00" <= c <= "\u0e7f" for c in thai), stderr)
                    self.assertIn(english, rest)
        self.assertEqual(os.listdir(world), [])
        for name, path in paths.items():
            self.assertEqual(read(path), before[name], name)
            self.assertFalse(os.path.exists(path + "-wal"), name)


if __name__ == "__main__":
    unittest.main()
