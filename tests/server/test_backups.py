import contextlib
import datetime
import os
import re
import shutil
import signal
import sqlite3
import unittest

from harness import ServerTestCase, codes, make_database, read, wait_until, writing

TODAY = f"catalog-{datetime.date.today():%Y-%m-%d}.db"
# Where a restore can be cut short, and what the catalog must then hold.
KILL_STEPS = [("restore-received", "old"), ("restore-validated", "old"),
              ("snapshot-written", "old"), ("restore-safety", "old"),
              ("restore-copying", "old"), ("restore-copied", "new")]


def rows(prefix, count):
    return ("code,name,price,quantity,note\n" + "".join(
        f"{prefix}-{n:05d},สินค้า {n},{n}.50,{n},{'หมายเหตุ' * 8}\n"
        for n in range(count))).encode()


class BackupTest(ServerTestCase):
    def test_a_downloaded_snapshot_is_whole_while_items_are_being_saved(self):
        client = self.start()
        with writing(client, "W") as saved:
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
        client = self.start()
        self.assertEqual(client.upload(rows("A", 3)).status, 303)
        snapshot = client.get("/backups/download").body
        self.assertEqual(client.add("B-1", "หลังสำรอง").status, 303)
        everything = {"A-00000", "A-00001", "A-00002", "B-1"}
        foreign, newer, older = (os.path.join(self.root, name) for name in
                                 ("foreign.db", "newer.db", "older.db"))
        with contextlib.closing(sqlite3.connect(foreign)) as db:
            db.execute("CREATE TABLE t (x)")
            db.execute("PRAGMA user_version = 1")
        make_database(newer).execute("PRAGMA user_version = 99").connection.close()
        for data, reason in [(b"", "ไม่ใช่สำเนาของแคตตาล็อก"), (b"code,name\n" * 20, "ไม่ใช่สำเนา"),
                             (read(foreign), "ฐานข้อมูลของโปรแกรมอื่น"),
                             (read(newer), "รุ่นใหม่กว่า"),
                             (snapshot[:4096] + b"\xff" * (len(snapshot) - 4096), "เสียหาย")]:
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
        with contextlib.closing(make_database(older, steps=1)) as db:
            db.execute("INSERT INTO items (code, name, price_satang, quantity, created_at, "
                       "updated_at) VALUES ('OLD-1', 'รุ่นแรก', 100, 1, '', '')")
        self.assertEqual(client.upload(read(older), path="/backups/upload").status, 303)
        self.assertEqual(client.items("?q=รุ่นแรก"), {"OLD-1": 1})

    def test_a_kill_at_any_step_of_a_restore_leaves_the_old_or_the_new_catalog(self):
        catalogs = {}
        for name in ("old", "new"):
            # As a clean exit leaves it.
            server = self.start(cwd=self.fresh_directory(name))
            self.assertEqual(server.upload(rows(name.upper(), 3000)).status, 303)
            server.proc.send_signal(signal.SIGTERM)
            self.assertEqual(server.proc.wait(10), 0)
            catalogs[name] = os.path.join(self.root, name, "catalog.db")
        expected = {name: codes(path) for name, path in catalogs.items()}
        for step, outcome in KILL_STEPS:
            with self.subTest(step=step):
                data = self.fresh_directory(step)
                shutil.copyfile(catalogs["old"], os.path.join(data, "catalog.db"))
                # Today's snapshot exists, so the kill comes from the restore, not start-up.
                os.mkdir(os.path.join(data, "backups"))
                shutil.copyfile(catalogs["old"], os.path.join(data, "backups", TODAY))
                server = self.start(cwd=data, env={"QUORVA_CATALOG_KILL_AT": step})
                with contextlib.suppress(OSError):
                    server.upload(read(catalogs["new"]), path="/backups/upload")
                self.assertEqual(server.proc.wait(10), -signal.SIGKILL)
                self.assertEqual(codes(os.path.join(data, "catalog.db")), expected[outcome])
                self.assertEqual(self.start(cwd=data).get("/").status, 200)
                self.assertEqual([n for n in os.listdir(data) + os.listdir(
                    os.path.join(data, "backups")) if n.startswith(".")], [])

