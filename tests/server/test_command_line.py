import os
import socket
import sqlite3
import stat
import unittest

from harness import PYTHON, SCRIPT, ServerTestCase, command, make_database, run


class CommandLineTest(ServerTestCase):
    def assert_refused(self, outcome, english):
        """Status 1, nothing on stdout, one line on stderr: Thai, then English."""
        status, stdout, stderr = outcome
        self.assertEqual((status, stdout, len(stderr.splitlines())), (1, "", 1), stderr)
        thai, _, rest = stderr.partition(" / ")
        self.assertTrue(any("\u0e00" <= c <= "\u0e7f" for c in thai), stderr)
        self.assertIn(english, rest)

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
                self.assertEqual(server.client.get("/").status, 200)
                mode = os.stat(os.path.join(self.root, database)).st_mode
                self.assertEqual(stat.S_IMODE(mode), 0o600)

    def test_port_values(self):
        server = self.start(serve_args=("--no-browser", "--port", ""), require_address=False)
        # An empty port means 8765, which another program may hold right now.
        if server.port is None:
            self.assertEqual(server.wait(), 1)
            self.assertIn("Port 8765 is already in use", server.stderr())
        else:
            self.assertEqual(server.port, 8765)
        for port in ("abc", "70000", "-1", " 80", "๘๐"):
            with self.subTest(port=port):
                self.assert_refused(run(command(serve_args=("--port", port)), self.data),
                                    "Invalid port")
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            port = str(taken.getsockname()[1])
            self.assert_refused(run(command(serve_args=("--port", port)), self.data),
                                f"Port {port} is already in use")

    def test_unusable_places_for_the_database(self):
        world = self.fresh_directory("world")
        os.chmod(world, 0o777)
        cases = [(("--db", os.path.join(self.root, "nope", "x.db")), self.data, "does not exist"),
                 (("--db", self.root), self.data, "is a folder"),
                 (("--db", ""), self.data, "No database file"),
                 ((), world, "writable by every user"),
                 ((), "/proc", "Cannot write to the data folder")]
        if os.geteuid() != 0:
            locked = self.fresh_directory("locked")
            os.chmod(locked, 0o500)
            for name, mode, english in [("secret.db", 0o200, "Cannot read the database"),
                                        ("frozen.db", 0o400, "is read-only")]:
                make_database(os.path.join(self.data, name)).close()
                os.chmod(os.path.join(self.data, name), mode)
                cases.append((("--db", name), self.data, english))
            cases.append(((), locked, "Cannot write to the data folder"))
        for args, cwd, english in cases:
            with self.subTest(english):
                self.assert_refused(run(command(*args), cwd), english)
        self.assertEqual(os.listdir(world), [])

    def test_damaged_or_foreign_databases_are_left_alone(self):
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

        def foreign(path):
            sqlite3.connect(path).execute("CREATE TABLE contacts (name TEXT)").connection.close()

        def newer(path):
            make_database(path).execute("PRAGMA user_version = 99").connection.close()

        for build, english in [(garbage, "damaged"), (broken_pages, "damaged"),
                               (foreign, "another program's database"), (newer, "newer catalog")]:
            with self.subTest(build.__name__):
                path = os.path.join(self.data, build.__name__ + ".db")
                build(path)
                with open(path, "rb") as handle:
                    before = handle.read()
                self.assert_refused(run(command("--db", path), self.data), english)
                with open(path, "rb") as handle:
                    self.assertEqual(handle.read(), before)
                self.assertFalse(os.path.exists(path + "-wal"))


if __name__ == "__main__":
    unittest.main()
