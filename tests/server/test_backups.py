import concurrent.futures
import contextlib
import datetime
import gzip
import os
import pathlib
import re
import shutil
import signal
import sqlite3
import subprocess
import unittest

from harness import ServerTestCase, codes, each_engine, file_only, make_database, read, wait_until

TODAY = f"catalog-{datetime.date.today():%Y-%m-%d}.db"
# Where a restore can be cut short, and what the catalog must then hold. The first four are
# while the file is checked and rebuilt, the rest after the confirmation.
KILL_STEPS = [*((step, "old") for step in (
    "restore-received", "restore-checked", "restore-copying", "restore-copied",
    "snapshot-written", "snapshot-compressed", "restore-safety")), ("restore-swapped", "new")]
# Copies changed with any SQLite tool, and what the refusal names.
CRAFTED = [
    ("CREATE TRIGGER cheap AFTER UPDATE ON items BEGIN UPDATE items SET price_satang = 1; END",
     "ทริกเกอร์ (trigger) “cheap” ที่แคตตาล็อกไม่ได้สร้าง"),
    ("CREATE VIEW everything AS SELECT * FROM items", "วิว (view) “everything”"),
    ("CREATE TABLE extra (x)", "ตาราง “extra” ที่แคตตาล็อกไม่ได้สร้าง"),
    ("UPDATE sqlite_master SET sql = replace(sql, 'CHECK (length(name) BETWEEN 1 AND 200)', '') "
     "WHERE name = 'items'", "ตาราง “items” มีโครงสร้างต่างจากที่แคตตาล็อกสร้าง"),
    ("CREATE INDEX lowered ON items (lower(name))", "ดัชนี “lowered”"),
    ("PRAGMA ignore_check_constraints = ON; UPDATE items SET price_satang = -1",
     "มีข้อมูลที่ไม่ผ่านการตรวจสอบของแคตตาล็อก"),
]


def rows(prefix, count):
    return ("code,name,price,quantity,note\n" + "".join(
        f"{prefix}-{n:05d},สินค้า {n},{n}.50,{n},{'หมายเหตุ' * 8}\n" for n in range(count)
    )).encode()


@each_engine
class BackupTest(ServerTestCase):
    def test_one_checked_compressed_snapshot_a_day_and_the_last_seven_kept(self):
        os.mkdir(folder := os.path.join(self.data, "backups"))
        old = [f"catalog-2020-01-{day:02d}.db" for day in range(1, 10)]
        for name in old + [".snapshot-0123.db"]:
            make_database(os.path.join(folder, name)).close()
        # An empty catalog has nothing worth a copy.
        client = self.start()
        wait_until(lambda: sorted(os.listdir(folder)) == old[-7:], 20, what="pruning")
        self.assertEqual(client.upload(rows("A", 3)).status, 303)
        client.stop()
        self.start()
        wait_until(lambda: sorted(os.listdir(folder)) == old[-6:] + [TODAY + ".gz"], 20,
                   what="the day's snapshot and pruning")
        with gzip.open(os.path.join(folder, TODAY + ".gz")) as packed:
            pathlib.Path(copy := os.path.join(self.root, "t.db")).write_bytes(packed.read())
        self.assertEqual(codes(copy), {"A-00000", "A-00001", "A-00002"})

    def test_a_snapshot_that_could_not_be_taken_is_shown_until_one_is(self):
        # A file where the snapshots' folder goes: no snapshot can be written.
        pathlib.Path(blocked := os.path.join(self.data, "backups")).touch()
        client, changed = self.start(), "code,name,price\nA,ข,1\n".encode()
        for page in ("/", "/backups"):
            wait_until(lambda: "สำรองข้อมูลอัตโนมัติประจำวันไม่สำเร็จ" in client.get(page).text,
                       20, what=f"the notice on {page}")
        client.add("A", "ก")
        self.assertEqual(client.imported(changed, older="1").status, 503)
        self.assertIn("สำรองข้อมูลก่อนนำเข้าไม่สำเร็จ", client.get("/").text)
        os.unlink(blocked)
        self.assertIn("ปรับปรุง 1", client.imported(changed, older="1").text)
        for page in ("/", "/backups"):
            self.assertNotIn("skipped-snapshot", client.get(page).text)

    def confirm(self, client, response, expected=None):
        # Follows a checked copy to its confirmation page and presses its button. A restore
        # ends the forms opened before it.
        page = client.follow(response).text
        facts = re.findall(r"<th>([^<]+)</th><td[^>]*>([^<]+)</td>", page)
        self.assertEqual(facts[2:], expected or facts[2:])
        key = re.search(r'name="p" value="([^"]+)"', page).group(1)
        pressed, client._token = client.post("/backups/confirm", {"p": key}), None
        return pressed

    def test_restore_checks_the_file_asks_first_and_brings_in_only_data(self):
        client = self.start()
        self.assertEqual(client.upload(rows("A", 3)).status, 303)
        # The copy carries the bin, which is emptied after it.
        client.add("Z-1", "ในถังขยะ")
        client.post(f"/items/{client.items()['Z-1']}/delete", {})
        snapshot = client.get("/backups/download").body
        client.post("/bin/empty", {"upto": "999"})
        self.assertEqual(client.add("B-1", "หลังสำรอง").status, 303)
        self.assertIn("ปรับปรุง 1", client.imported(rows("A", 1).replace(b".50", b".75")).text)
        everything = {"A-00000", "A-00001", "A-00002", "B-1"}

        def offer(data, **token):
            return client.upload(data, path="/backups/upload", **token)

        def changed(sql, start=snapshot):
            pathlib.Path(path := os.path.join(self.root, "changed.db")).write_bytes(start)
            sqlite3.connect(path).executescript(sql).connection.close()
            return read(path)

        for data, reason in [(b"", "ไม่ใช่สำเนาของแคตตาล็อก"), (b"code,name\n" * 20, "ไม่ใช่สำเนา"),
                             (changed("CREATE TABLE t (x); PRAGMA user_version = 1", b""),
                              "ฐานข้อมูลของโปรแกรมอื่น"),
                             (changed("PRAGMA user_version = 99"), "รุ่นใหม่กว่า"),
                             (gzip.compress(snapshot)[:-9], "บีบอัด"),
                             (snapshot[:4096] + b"\xff" * (len(snapshot) - 4096), "เสียหาย"),
                             *((changed("PRAGMA writable_schema = ON; " + sql), reason)
                               for sql, reason in CRAFTED)]:
            with self.subTest(reason=reason):
                self.assert_shows(offer(data), reason, status=422)
                self.assertEqual(set(client.items()), everything)
        self.assertEqual([offer(snapshot, token="wrong").status, client.post(
            "/backups/restore", {"name": "../catalog.db"}).status], [403, 404])
        # Declared far beyond the disk and still being sent: refused, never reset.
        status, reply = client.exchange(client.raw(
            "POST /backups/upload", ["Content-Type: multipart/form-data; boundary=b",
                                     f"Content-Length: {1 << 50}"], b"x" * (8 << 20)), whole=True)
        self.assertEqual(status, 413, reply[:300])
        self.assertIn("ต้องมีที่ว่างอย่างน้อยสองเท่าของไฟล์", reply.decode())

        checked, stale = offer(snapshot), client.token()
        self.assertEqual(set(client.items()), everything)
        # In the copy, today, added since, changed since, deleted since.
        restored = self.confirm(client, checked, [
            ("สินค้าในสำเนา", "3 รายการ"), ("สินค้าในแคตตาล็อกตอนนี้", "4 รายการ"),
            ("จะหายไป: เพิ่มหลังสำเนา", "1 รายการ"), ("จะหายไป: แก้ไขหลังสำเนา", "1 รายการ"),
            ("จะกลับมา: ลบไปหลังสำเนา", "0 รายการ"),
            ("ถังขยะตอนนี้: จะแทนที่ด้วยถังขยะในสำเนา", "0 รายการ"), ("ถังขยะในสำเนา", "1 รายการ")])
        self.assertIn("ข้อมูลก่อนกู้คืนเก็บไว้ในสำเนา", client.follow(restored).text)
        self.assertEqual(set(client.items()), everything - {"B-1"})
        self.assertIn('<td class="code">Z-1</td>', client.get("/bin").text)
        form = {"token": stale, "code": "C-1", "name": "ฟอร์มเก่า", "price": "1", "quantity": "1"}
        self.assertEqual(client.post("/items/new", form, token=False).status, 403)
        [safety] = re.findall(r'name="name" value="([^"]+-before-restore\.db\.gz)"',
                              client.get("/backups").text)
        self.confirm(client, client.post("/backups/restore", {"name": safety}))
        self.assertEqual(set(client.items()), everything)

        # A copy from the first schema, and one larger than an import may be: 2,000 Thai
        # characters of note a row, about 6 KB.
        make_database(older := os.path.join(self.root, "older.db"), steps=1).execute(
            "INSERT INTO items (code, name, price_satang, quantity, created_at, updated_at) "
            "VALUES ('OLD-1', 'รุ่นแรก', 100, 1, '', '')").connection.close()
        make_database(big := os.path.join(self.root, "big.db")).execute(
            "INSERT INTO items (code, name, price_satang, quantity, note, created_at, updated_at) "
            "WITH RECURSIVE n(v) AS (SELECT 1 UNION ALL SELECT v + 1 FROM n WHERE v < 11500) "
            "SELECT 'N-' || v, 'ชื่อ', 100, 1, replace(hex(zeroblob(1000)), '0', 'ก'), '', '' "
            "FROM n").connection.close()
        self.assertGreater(os.path.getsize(big), 64 << 20)
        client.timeout = 120
        for path, query, shown in [(older, "?q=รุ่นแรก", 'id="item-1" data-code="OLD-1"'),
                                   (big, "", "พบ 11,500 รายการ")]:
            self.assertEqual(self.confirm(client, offer(read(path))).status, 303)
            self.assertIn(shown, client.get("/" + query).text)

    @file_only("the file swapped in by a rename; a shared catalog restores in one transaction")
    def test_a_kill_at_any_step_of_a_restore_leaves_the_old_or_the_new_catalog(self):
        def cleanly_closed(name):
            server = self.start(cwd=self.fresh_directory(name))
            self.assertEqual(server.upload(rows(name.upper(), 3000)).status, 303)
            server.proc.send_signal(signal.SIGTERM)
            self.assertEqual(server.proc.wait(10), 0)
            return os.path.join(self.root, name, "catalog.db")

        def killed_at(step):
            # (how the server ended, which catalog it left, whether it starts again, leftovers)
            os.mkdir(os.path.join(data := self.fresh_directory(step), "backups"))
            shutil.copyfile(old, os.path.join(data, "catalog.db"))
            # Today's snapshot exists, so the kill comes from the restore, not start-up.
            shutil.copyfile(old, os.path.join(data, "backups", TODAY))
            server = self.start(cwd=data, env={"QUORVA_CATALOG_KILL_AT": step})
            with contextlib.suppress(OSError, AssertionError):
                self.confirm(server, server.upload(read(new), path="/backups/upload"))
            ended, left = server.proc.wait(10), codes(os.path.join(data, "catalog.db"))
            return (ended, [name for name in expected if expected[name] == left],
                    self.start(cwd=data).get("/").status, [n for n in os.listdir(data) + os.listdir(
                        os.path.join(data, "backups")) if n.startswith(".")])

        # Steps run side by side, each in a folder of its own.
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            old, new = pool.map(cleanly_closed, ("old", "new"))
            expected = {"old": codes(old), "new": codes(new)}
            for (step, outcome), found in zip(KILL_STEPS, pool.map(killed_at, dict(KILL_STEPS))):
                self.assertEqual(found, (-signal.SIGKILL, [outcome], 200, []), step)

    @file_only("reads the catalog's file as a kill left it")
    def test_an_import_cut_short_is_told_at_the_next_start_as_it_ended(self):
        added, changed = rows("B", 2), rows("A", 3).replace(b".50", b".75")
        # Where the import is killed, the file, and whether it had been applied.
        cases = [("import-marked", added, False), ("import-committing", added, False),
                 ("import-committed", added, True), ("import-committing", changed, False),
                 ("import-committed", changed, True)]

        def killed_at(n):
            step, data, _ = cases[n]
            database = os.path.join(folder := self.fresh_directory(f"cut-{n}"), "catalog.db")
            self.assertEqual(self.start(cwd=folder).upload(rows("A", 3)).status, 303)
            before = codes(database, "code, price_satang")
            server = self.start(cwd=folder, env={"QUORVA_CATALOG_KILL_AT": step})
            with contextlib.suppress(OSError, AssertionError):
                server.imported(data)
            ended, after = server.proc.wait(10), codes(database, "code, price_satang")
            page = self.start(cwd=folder).get("/").text
            notice = re.search(r'class="flash (\w+)" role="status">การนำเข้าไฟล์ CSV ที่เริ่มเมื่อ '
                               r"[^<]*(ไม่เสร็จ|บันทึกครบแล้ว)", page)
            return (ended, after != before, notice and notice.groups(),
                    os.path.exists(os.path.join(folder, ".import-unfinished.json")))

        with concurrent.futures.ThreadPoolExecutor(3) as pool:
            for (step, data, applied), found in zip(cases, pool.map(killed_at, range(5))):
                self.assertEqual(found, (-signal.SIGKILL, applied, (
                    "ok", "บันทึกครบแล้ว") if applied else ("bad", "ไม่เสร็จ"), False),
                    (step, data[:40]))

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("mount"), "mounts a small disk")
    @file_only("the catalog's file on a small disk of its own")
    def test_a_full_disk_during_an_import_is_said_plainly_and_gives_its_space_back(self):
        folder = self.fresh_directory("small")
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", folder]).returncode:
            self.skipTest("no tmpfs here")
        self.addCleanup(subprocess.run, ["umount", "-l", folder])
        server, database = self.start(cwd=folder), os.path.join(folder, "catalog.db")
        # Rows that fill the disk as they are written, into an empty catalog; a safety copy
        # that no longer fits once they are; and a file plainly too large from the start.
        for count, there in [(4000, 0), (4000, 300), (20000, 0)]:
            with self.subTest(count=count):
                if there:
                    self.assertEqual(server.upload(rows("A", there)).status, 303)
                before = codes(database)
                self.assert_shows(server.upload(rows("F", count)), "ข้อมูลเดิมยังอยู่ครบ",
                                  "พื้นที่ว่างบนดิสก์ไม่พอ ต้องใช้ประมาณ", status=507)
                self.assertEqual(codes(database), before)
                self.assertLess(os.path.getsize(database + "-wal"), 100 << 10)
        self.assertEqual(server.add("G-1", "ยังบันทึกได้").status, 303)
        # A disk filled by something else: an add, an edit and a copy each say so.
        with open(os.path.join(folder, "filler"), "wb", buffering=0) as filler:
            with contextlib.suppress(OSError):
                while filler.write(b"\0" * 4096):
                    pass
        item = server.items("?q=G-1")["G-1"]
        edit = {"code": "G-1", "name": "แก้", "note": "ก" * 1900, "price": "1", "quantity": "1",
                "revision": re.search(r'name="revision" value="(\d+)"',
                                      server.get(f"/items/{item}/edit").text)[1]}
        for answer in (server.add("G-2", "ใหม่", note="ก" * 1900), server.post(f"/items/{item}/edit", edit),
                       server.get("/backups/download")):
            self.assert_shows(answer, "พื้นที่ว่างบนดิสก์", "ข้อมูลเดิมยังอยู่ครบ", status=507)
        self.assertEqual(codes(database), before | {"G-1"})
