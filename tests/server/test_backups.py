import contextlib
import datetime
import os
import re
import shutil
import signal
import sqlite3
import subprocess
import threading
import unittest

from harness import PYTHON, Client, ServerTestCase, command, gone, make_database, wait_until
from test_lifecycle import PARENT

TODAY = f"catalog-{datetime.date.today():%Y-%m-%d}.db"
# Where a restore can be cut short, and what the catalog must then hold.
KILL_STEPS = [("restore-received", "old"), ("restore-validated", "old"),
              ("snapshot-written", "old"), ("restore-safety", "old"),
              ("restore-copying", "old"), ("restore-copied", "new")]


def rows(prefix, count):
    return ("code,name,price,quantity,note\n" + "".join(
        f"{prefix}-{n:05d},สินค้า {n},{n}.50,{n},{'หมายเหตุ' * 8}\n"
        for n in range(count))).encode()


def read(path):
    with open(path, "rb") as handle:
        return handle.read()


def codes(path):
    """The item codes of a database file, once SQLite finds it whole."""
    with contextlib.closing(sqlite3.connect(path)) as db:
        assert db.execute("PRAGMA integrity_check").fetchone()[0] == "ok", path
        return {row[0] for row in db.execute("SELECT code FROM items")}


class BackupTest(ServerTestCase):
    def catalog(self, name, prefix, count):
        """A data directory whose catalog.db holds `count` items, as a clean exit leaves it."""
        directory = self.fresh_directory(name)
        server = self.start(cwd=directory)
        self.assertEqual(server.client.upload(rows(prefix, count)).status, 303)
        server.proc.send_signal(signal.SIGTERM)
        self.assertEqual(server.wait(10), 0)
        return os.path.join(directory, "catalog.db")

    def test_every_clean_exit_leaves_the_file_alone_complete(self):
        def by_parent(server_args):
            parent = subprocess.Popen([PYTHON, "-c", PARENT] + command(serve_args=server_args),
                                      cwd=data, stdout=subprocess.PIPE)
            pid, address = parent.stdout.readline().decode().split(" ", 1)
            port = int(re.search(r":(\d+)/", address).group(1))
            return parent, int(pid), port

        for way in ("SIGTERM", "SIGINT", "parent"):
            with self.subTest(way):
                data = self.fresh_directory(way)
                if way == "parent":
                    parent, pid, port = by_parent(("--no-browser", "--exit-with-parent",
                                                   "--port", "0"))
                    self.addCleanup(lambda: gone(pid) or os.kill(pid, signal.SIGKILL))
                    client = Client(port)
                else:
                    server = self.start(cwd=data)
                    client = server.client
                for n in range(3):
                    self.assertEqual(client.add(f"{way}-{n}", "ของ").status, 303)
                # Another reader keeps SQLite from folding the log back by itself at close.
                reader = sqlite3.connect(os.path.join(data, "catalog.db"))
                self.addCleanup(reader.close)
                reader.execute("SELECT count(*) FROM items").fetchone()
                if way == "parent":
                    parent.kill()
                    parent.wait(5)
                    parent.stdout.close()
                    wait_until(lambda: gone(pid), 10, what="the server to end after its parent")
                else:
                    server.proc.send_signal(getattr(signal, way))
                    self.assertEqual(server.wait(5), 0)
                copy = os.path.join(self.root, f"copy-{way}.db")
                shutil.copyfile(os.path.join(data, "catalog.db"), copy)
                self.assertEqual(codes(copy), {f"{way}-{n}" for n in range(3)})

    def test_a_downloaded_snapshot_is_whole_while_items_are_being_saved(self):
        client = self.start().client
        saved, stop = [], threading.Event()

        def writer():
            for n in range(100000):
                if stop.is_set() or client.add(f"W-{n:05d}", "ของ").status != 303:
                    return
                saved.append(f"W-{n:05d}")

        thread = threading.Thread(target=writer)
        thread.start()
        try:
            for attempt in range(3):
                wait_until(lambda: len(saved) > 10 * (attempt + 1), 30, what="saved items")
                before = len(saved)
                response = client.get("/backups/download")
                after = len(saved)
                self.assertEqual(response.status, 200)
                self.assertRegex(response.headers["Content-Disposition"],
                                 r'^attachment; filename="catalog-\d{4}-\d{2}-\d{2}-\d{4}\.db"$')
                path = os.path.join(self.root, f"download-{attempt}.db")
                with open(path, "wb") as handle:
                    handle.write(response.body)
                found = codes(path)
                # Items are saved in order: a consistent snapshot holds a prefix of them.
                self.assertEqual(found, set(saved[:len(found)]))
                self.assertLessEqual(before, len(found))
                self.assertLessEqual(len(found), after + 3)
        finally:
            stop.set()
            thread.join(30)
        self.assertEqual([name for name in os.listdir(os.path.join(self.data, "backups"))
                          if name.startswith(".")], [])

    def test_one_checked_snapshot_a_day_and_the_last_seven_kept(self):
        folder = os.path.join(self.data, "backups")
        os.mkdir(folder)
        old = [f"catalog-2020-01-{day:02d}.db" for day in range(1, 10)]
        for name in old + [".snapshot-0123.db"]:
            make_database(os.path.join(folder, name)).close()
        self.start()
        self.assertEqual(sorted(os.listdir(folder)), old[-6:] + [TODAY])
        self.assertEqual(codes(os.path.join(folder, TODAY)), set())
        first = os.stat(os.path.join(folder, TODAY))
        self.start()
        self.assertEqual(os.stat(os.path.join(folder, TODAY)).st_mtime_ns, first.st_mtime_ns)

    def test_restore_from_an_upload_or_a_kept_snapshot_after_the_same_checks_as_start_up(self):
        client = self.start().client
        self.assertEqual(client.upload(rows("A", 3)).status, 303)
        snapshot = client.get("/backups/download").body
        self.assertEqual(client.add("B-1", "หลังสำรอง").status, 303)
        everything = {"A-00000", "A-00001", "A-00002", "B-1"}

        foreign = os.path.join(self.root, "foreign.db")
        with contextlib.closing(sqlite3.connect(foreign)) as db:
            db.execute("CREATE TABLE t (x)")
            db.execute("PRAGMA user_version = 1")
        newer = os.path.join(self.root, "newer.db")
        make_database(newer).execute("PRAGMA user_version = 99")
        refused = [(b"", "ไม่ใช่สำเนาของแคตตาล็อก"), (b"code,name\n" * 20, "ไม่ใช่สำเนา"),
                   (read(foreign), "ฐานข้อมูลของโปรแกรมอื่น"),
                   (read(newer), "รุ่นใหม่กว่า"),
                   (snapshot[:4096] + b"\xff" * (len(snapshot) - 4096), "เสียหาย")]
        for data, reason in refused:
            with self.subTest(reason=reason):
                response = client.upload(data, path="/backups/upload")
                self.assertEqual(response.status, 422)
                self.assertIn(reason, response.text)
                self.assertEqual(set(client.items()), everything)
        self.assertEqual(client.upload(snapshot, token="wrong", path="/backups/upload").status,
                         403)
        self.assertEqual(client.post("/backups/restore", {"name": "../catalog.db"}).status, 404)

        restored = client.upload(snapshot, path="/backups/upload")
        self.assertIn("ข้อมูลก่อนกู้คืนเก็บไว้ในสำเนา", client.follow(restored).text)
        self.assertEqual(set(client.items()), everything - {"B-1"})
        # A form opened before the restore no longer saves.
        self.assertEqual(client.add("C-1", "ฟอร์มเก่า").status, 403)
        client._token = None
        safety = re.findall(r'name="name" value="([^"]+-before-restore\.db)"',
                            client.get("/backups").text)
        self.assertEqual(len(safety), 1)
        self.assertEqual(client.post("/backups/restore", {"name": safety[0]}).status, 303)
        self.assertEqual(set(client.items()), everything)

        client._token = None
        older = os.path.join(self.root, "older.db")
        with contextlib.closing(make_database(older, steps=1)) as db:
            db.execute("INSERT INTO items (code, name, price_satang, quantity, created_at, "
                       "updated_at) VALUES ('OLD-1', 'รุ่นแรก', 100, 1, '', '')")
        self.assertEqual(client.upload(read(older), path="/backups/upload").status,
                         303)
        self.assertEqual(client.items("?q=รุ่นแรก"), {"OLD-1": 1})

    def test_a_kill_at_any_step_of_a_restore_leaves_the_old_or_the_new_catalog(self):
        old = self.catalog("old", "OLD", 3000)
        new = self.catalog("new", "NEW", 3000)
        expected = {"old": codes(old), "new": codes(new)}
        upload = read(new)
        for step, outcome in KILL_STEPS:
            with self.subTest(step=step):
                data = self.fresh_directory(step)
                shutil.copyfile(old, os.path.join(data, "catalog.db"))
                # Today's snapshot exists, so the kill comes from the restore, not start-up.
                os.mkdir(os.path.join(data, "backups"))
                shutil.copyfile(old, os.path.join(data, "backups", TODAY))
                server = self.start(cwd=data, env={"QUORVA_CATALOG_KILL_AT": step})
                with contextlib.suppress(OSError):
                    server.client.upload(upload, path="/backups/upload")
                self.assertEqual(server.wait(10), -signal.SIGKILL)
                self.assertEqual(codes(os.path.join(data, "catalog.db")), expected[outcome])
                again = self.start(cwd=data)
                self.assertEqual(again.client.get("/").status, 200)
                self.assertEqual([n for n in os.listdir(data) + os.listdir(
                    os.path.join(data, "backups")) if n.startswith(".")], [])


if __name__ == "__main__":
    unittest.main()
