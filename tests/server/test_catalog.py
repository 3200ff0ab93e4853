import contextlib
import csv
import glob
import io
import os
import re
import signal
import socket
import sqlite3
import zipfile
from html import unescape as html_unescape
from urllib.parse import parse_qs, quote, urlencode

from harness import (MIGRATIONS, MULTIPART, Server, ServerTestCase, codes, command, each_engine,
                     file_only, make_database, multipart, run, wait_until)
from quorva_catalog.text import marks_match, search_columns, search_terms

SHIRT = {"code": "TS-001", "name": "เสื้อยืดคอกลม สีขาว", "category": "เสื้อผ้า",
         "price": "1,250.50", "quantity": "12", "note": "ผ้าฝ้าย <ซักเครื่องได้>"}


def exported_rows(client):
    return list(csv.reader(client.get("/export.csv").body.decode("utf-8-sig").splitlines(True)))


def scan_finds(query, *fields):
    text, bare, _ = search_columns(*fields)
    return all(plain in bare and (not pattern or marks_match(text, pattern))
               for plain, pattern in search_terms(query))


def workbook():
    # An Excel file's start, as text the table below sends back as the same bytes.
    with zipfile.ZipFile(out := io.BytesIO(), "w") as archive:
        for name in ("[Content_Types].xml", "xl/workbook.xml", "xl/worksheets/sheet1.xml"):
            archive.writestr(name, "<x/>")
    return out.getvalue().decode("utf-8", "surrogateescape")


def hidden(page):
    return {k: html_unescape(v) for k, v in re.findall(
        r'<input type="hidden" name="([\w-]+)" value="([^"]*)"', page) if k != "token"}


@each_engine
class ItemPagesTest(ServerTestCase):
    shared = True

    def test_add_edit_delete_through_the_pages(self):
        client, added = self.client, self.client.add(**SHIRT)
        self.assert_shows(client.follow(added).text, "1,250.50", "&lt;ซักเครื่องได้&gt;",
                          "เพิ่ม “เสื้อยืดคอกลม สีขาว” (รหัส TS-001) แล้ว")
        self.assertNotIn("flash", client.get(added.headers["Location"]).text)
        item = client.items()["TS-001"]
        edit, path = client.get(f"/items/{item}/edit").text, f"/items/{item}/edit"
        self.assertIn('value="1250.50"', edit)
        changed = dict(SHIRT, name="เสื้อยืด สีดำ", price="990", quantity="0",
                       revision=hidden(edit)["revision"], back="/?q=เสื้อ")
        saved = client.post(path, changed)
        self.assertEqual(saved.headers["Location"].split("&m=")[0], "/?q=" + quote("เสื้อ"))
        self.assert_shows(client.follow(saved).text, "บันทึกการแก้ไข “เสื้อยืด สีดำ” แล้ว",
                          "990.00", "หมด")

        # Another window still holds the form one save behind.
        stale = dict(changed, name="ชื่อจากหน้าเก่า", price="990.00", quantity="5")
        # A typo fixed first must not carry the newer revision into the next save.
        typo = client.post(path, dict(stale, price="abc"))
        self.assertIn(f'name="revision" value="{changed["revision"]}"', typo.text)
        page = client.post(path, stale)
        self.assert_shows(page, "มีการแก้ไขสินค้านี้จากที่อื่น", 'value="ชื่อจากหน้าเก่า"',
                          "เสื้อยืด สีดำ", 'name="pick-name" value="mine"', 'name="pick-quantity"',
                          status=409)
        self.assertNotIn('name="pick-price"', page.text)  # 990 and 990.00 are the same price
        stored = hidden(page.text)["revision"]
        self.assertNotEqual(stored, changed["revision"])
        # Neither the old form sent again nor the conflict page without a choice saves anything.
        mine = {f"mine-{k}": v for k, v in stale.items() if k in SHIRT}
        for fields in (stale, {**mine, "revision": stored, "resolve": "fields"},
                       {**mine, "revision": stored, "resolve": "fields", "pick-name": "mine"}):
            self.assertEqual(client.post(path, fields).status, 409)
        self.assertIn('value="เสื้อยืด สีดำ"', client.get(path).text)
        client.follow(client.post(path, {**mine, "revision": stored, "back": "/", "resolve":
                                         "fields", "pick-name": "theirs", "pick-quantity": "mine"}))
        edit = client.get(path).text
        self.assert_shows(edit, 'value="เสื้อยืด สีดำ"', 'name="quantity" value="5"')
        mine["revision"] = hidden(edit)["revision"]
        # Taking the stored side whole writes nothing, so the revision stays.
        self.assertIn('name="pick-name"', client.post(path, {**stale, "revision": stored}).text)
        taken = client.post(path, {**mine, "resolve": "theirs"})
        self.assertIn("คงข้อมูลที่บันทึกไว้", client.follow(taken).text)
        self.assertEqual(hidden(client.get(path).text)["revision"], mine["revision"])

        self.assertIn("สินค้าที่ลบจะย้ายไปอยู่ในถังขยะ", client.get(f"/items/{item}/delete").text)
        # Deleted, then deleted again from a page still open.
        for notice in ("ลบ “เสื้อยืด สีดำ” (รหัส TS-001) แล้ว", "ไม่พบสินค้านี้"):
            self.assertIn(notice, client.follow(client.post(f"/items/{item}/delete", {})).text)
            self.assertEqual((client.items(), client.get(path).status), ({}, 404))
        # Deleted while the user chose: what they typed comes back as a new item's form.
        lost = client.post(path, {**mine, "resolve": "mine"})
        self.assert_shows(lost, "ถูกลบไปแล้วระหว่างที่คุณแก้ไข", 'value="ชื่อจากหน้าเก่า"',
                          status=409)

    def test_deleted_items_wait_in_the_bin_until_brought_back_or_emptied(self):
        client = self.client
        for code in ("BIN-1", "BIN-2", "BIN-3"):
            client.add(code, f"ของ {code}", price="5", quantity="2")
        ids, entries = client.items(), {}
        self.assertIn("(ตอนนี้ว่าง)", client.get(f"/items/{ids['BIN-1']}/delete").text)
        for code in ("BIN-1", "BIN-2"):
            page = client.follow(client.post(f"/items/{ids[code]}/delete", {"back": "/?q=BIN"}))
            self.assert_shows(page, f"ลบ “ของ {code}” (รหัส {code}) แล้ว", ">เลิกทำ</button>")
            entries[code] = re.search(r'action="/bin/(\d+)/restore"', page.text)[1]
        # Out of the list, its sums, searches and the export; the bin lists them, latest first.
        self.assert_shows(client.get("/?q=BIN"), "พบ 1 รายการ · รวม 2 ชิ้น", "(มี 2 รายการ)")
        self.assertEqual([row[0] for row in exported_rows(client)[1:]], ["BIN-3"])
        self.assertEqual(re.findall(r'<td class="code">([^<]+)', client.get("/bin").text),
                         ["BIN-2", "BIN-1"])
        # The notice's undo: back where the user was, with its old id; a second press finds none.
        undone = client.post(f"/bin/{entries['BIN-2']}/restore", {"back": "/?q=BIN"})
        self.assertIn("นำ “ของ BIN-2” (รหัส BIN-2) กลับมาแล้ว", client.follow(undone).text)
        self.assertEqual((undone.headers["Location"].split("&m=")[0], client.items()["BIN-2"]),
                         ("/?q=BIN", ids["BIN-2"]))
        self.assertIn("ไม่พบรายการนี้ในถังขยะ", client.follow(
            client.post(f"/bin/{entries['BIN-2']}/restore", {})).text)
        # A code in the bin is free for a new item; bringing the old one back then asks.
        self.assertEqual(client.add("bin-1", "ของใหม่").status, 303)
        for fields, status, shown in [
                ({}, 409, "ตอนนี้เป็นรหัสของ “ของใหม่”"),
                ({"choice": "code", "code": " "}, 422, "กรุณากรอกรหัสสินค้า"),
                ({"choice": "code", "code": "bin-3"}, 409, "รหัส “bin-3” มีสินค้าอื่นใช้อยู่แล้ว"),
                ({"choice": "displace"}, 303, "“ของใหม่” ย้ายไปอยู่ในถังขยะแทน")]:
            with self.subTest(fields=fields):
                answer = client.post(f"/bin/{entries['BIN-1']}/restore", fields)
                self.assertEqual(answer.status, status)
                self.assertIn(shown, client.follow(answer).text if status == 303 else answer.text)
        [entry] = re.findall(r'action="/bin/(\d+)/restore"', client.get("/bin").text)
        client.follow(client.post(f"/bin/{entry}/restore", {"choice": "code", "code": "BIN-4"}))
        self.assertEqual(set(client.items()), {"BIN-1", "BIN-2", "BIN-3", "BIN-4"})
        # Emptied for good, one or all, each after a question; the whole bin is what it counted.
        for code in ("BIN-3", "BIN-4"):
            client.post(f"/items/{client.items()[code]}/delete", {})
        one = re.search(r'/bin/empty\?entry=(\d+)', client.get("/bin").text)[1]
        self.assertIn("ลบ “ของใหม่” (รหัส BIN-4) ออกจากถังขยะถาวร",
                      client.get(f"/bin/empty?entry={one}").text)
        client.post("/bin/empty", {"entry": one})
        question = client.get("/bin/empty").text
        self.assertIn("ลบสินค้าทั้ง 1 รายการในถังขยะถาวร", question)
        client.post(f"/items/{client.items()['BIN-1']}/delete", {})
        self.assert_shows(client.follow(client.post("/bin/empty", hidden(question))),
                          "ลบถาวรแล้ว 1 รายการ", '<td class="code">BIN-1</td>')
        self.assertNotIn("BIN-3", client.get("/bin").text)

    def test_a_save_after_someone_elses_asks_only_about_fields_both_changed(self):
        client = self.client

        def opened(item):
            fields = hidden(client.get(f"/items/{item}/edit").text)
            return {**fields, **{k[4:]: v for k, v in fields.items() if k.startswith("was-")}}

        for n, (mine, theirs, merged, clashes) in enumerate([
                ({"price": "20"}, {"quantity": "9"}, ("20.00", "9"), []),  # only mine
                ({}, {"price": "30"}, ("30.00", "12"), []),  # only theirs
                ({"price": "20"}, {"price": "20.00", "quantity": "9"}, ("20.00", "9"), []),
                ({"price": "2000", "name": "ของฉัน"}, {"price": "3000", "quantity": "9"},
                 ("2000.00", "9"), ["price"])]):
            with self.subTest(mine=mine, theirs=theirs):
                client.add(**dict(SHIRT, code=f"M-{n}"))
                item = client.items()[f"M-{n}"]
                form, path = opened(item), f"/items/{item}/edit"
                client.follow(client.post(path, {**opened(item), **theirs}))
                saved = client.post(path, {**form, **mine})
                if clashes:
                    self.assertEqual(re.findall(r'name="pick-(\w+)" value="mine"', saved.text),
                                     clashes)
                    self.assert_shows(saved, "2,000.00", "3,000.00", status=409)
                    saved = client.post(path, {**hidden(saved.text), "resolve": "mine"})
                else:
                    self.assertIn("โดยรวมกับการแก้ไขจากที่อื่น", client.follow(saved).text)
                self.assertEqual(saved.status, 303)
                self.assertEqual(tuple(opened(item)[k] for k in ("price", "quantity")), merged)
        self.assertIn('value="ของฉัน"', client.get(path).text)

    def test_search_matches_thai_and_latin_text(self):
        client = self.client
        items = [("TS-001", "เสื้อยืดคอกลม", "เสื้อผ้า", ""),
                 ("PT-002", "กางเกงยีนส์", "เสื้อผ้า", "ขายาว"),
                 ("WT-003", "น้ำดื่ม 600 มล.", "เครื่องดื่ม", ""),
                 ("TB-005", "โต๊ะพับ", "เฟอร์นิเจอร์", ""),
                 ("CF-004", "กาแฟคั่วเข้ม", "เครื่องดื่ม", "เมล็ด Arabica"),
                 ("EG-006", "ไข่ไก่ เบอร์ 2 แผง 30 ฟอง", "ของสด", "ก๋วยเตี๋ยว"),
                 ("FR-007", "แตงโม", "ผลไม้", "ไม่ใช่ไข้"), ("<b>", "ชื่อ & สัญลักษณ์", "", ""),
                 # Sara am typed before the tone mark.
                 ("ZZ-9", "ก้อนน\u0e33\u0e49แข็ง", "", "แทน EG-006")]
        self.assertEqual({client.add(code, name, category=category, note=note).status
                          for code, name, category, note in items}, {303})
        for query, expected in [("?q=" * (q[0] != "?") + q, set(c.split())) for q, c in [
                ("เสื้อ", "TS-001 PT-002"), ("ยีนส์", "PT-002"), ("รองเท้า", ""),
                ("ขายาว", "PT-002"), ("ts-00", "TS-001"), ("ARABICA", "CF-004"), ("%25", ""),
                ("กาแฟ+arabica", "CF-004"), ("กาแฟ+ชา", ""), ("<b", "<b>"), ("๓๐+ฟอง", "EG-006"),
                # Marks left out match any; the marks typed must be on the same letters.
                ("ไขไก", "EG-006"), ("ไข่ไก่", "EG-006"), ("ไข้", "FR-007"), ("ก้วย", ""),
                ("ก๋วยเตียว", "EG-006"), ("โตะ", "TB-005"), ("เเตง", "FR-007"),
                # Sara am, its tone mark and nikhahit with sara aa, in any order.
                ("%E0%B8%99%E0%B9%89%E0%B9%8D%E0%B8%B2", "WT-003 ZZ-9"),
                ("น\u0e33\u0e49", "WT-003 ZZ-9"), ("น้ำแข็ง", "ZZ-9"),
                ("น\u0e4d\u0e32\u0e49ดื่ม", "WT-003"), ("ＥＧ－００６", "EG-006 ZZ-9"),
                ("เต\u0e4b\u0e35ยว", "EG-006"),  # the tone mark before the vowel above
                ("?category=เครื่องดื่ม", "WT-003 CF-004"),
                ("?q=ก&category=เครื่องดื่ม", "CF-004"),
                ("?q=ดื่ม&category=เครื่องดื่ม", "WT-003 CF-004")]]:
            # The index only narrows: a plain scan of every item must find the same.
            asked = parse_qs(query[1:])
            scanned = {code for code, *rest in items if scan_finds(asked.get("q", [""])[0],
                       code, *rest) and asked.get("category", [rest[1]])[0] == rest[1]}
            self.assertEqual((set(client.items(query)), scanned), (expected, expected), query)
        # A code no item has is offered as a new item's, filled in; a word is not.
        for query, offered in [("รองเท้า", False), (" 8850000000000 ", True)]:
            page = client.get("/?" + urlencode({"q": query})).text
            self.assert_shows(page, f"ไม่พบสินค้าที่ตรงกับ “{query.strip()}”")
            self.assertEqual("เพิ่มสินค้ารหัสนี้" in page, offered, query)
        added = client.get(html_unescape(re.search(r'href="(/items/new\?[^"]*)"', page)[1])).text
        self.assert_shows(added, 'name="code" value="8850000000000"', 'name="back" value="/?q=')
        # A whole code, as a scanner types it, heads the other matches.
        for query, code, others in [("ts-001", "TS-001", 0), ("<b>", "<b>", 0),
                                    (" EG-006 ", "EG-006", 1), ("eg-006\u200b", "EG-006", 1)]:
            found = list(client.items("?" + urlencode({"q": query})))
            self.assertEqual((found[0], len(found)), (code, 1 + others), query)
        order = list(client.items())
        # A Thai dictionary orders โต๊ะ by ต, before น, whatever the leading vowel's code point.
        for chain in (["PT-002", "CF-004", "TB-005", "WT-003", "TS-001"], ["EG-006", "FR-007"]):
            self.assertEqual([code for code in order if code in chain], chain)

    def test_bad_input_is_explained_and_kept_and_money_is_exact(self):
        client = self.client
        client.add("DUP-1", "มีอยู่แล้ว", "0.10", "3")
        for change, message in [
                ({"code": ""}, "กรุณากรอกรหัสสินค้า"), ({"name": "  "}, "กรุณากรอกชื่อสินค้า"),
                ({"code": "dup-1"}, "รหัสสินค้า “dup-1” มีอยู่แล้ว"),
                # Look-alikes of a code are that code.
                *(({"code": code}, "รหัสสินค้า “DUP-1” มีอยู่แล้ว") for code in (
                    "DUP-1\u200b", "DUP-1\u00ad", "DUP-\u20601", "\ufeffDUP-1", "ＤＵＰ－１")),
                ({"code": "\u200b\u00ad"}, "รหัสสินค้าต้องมีตัวอักษรที่มองเห็นได้"),
                ({"name": "\u2060\ufeff"}, "ชื่อสินค้าต้องมีตัวอักษรที่มองเห็นได้"),
                ({"price": ""}, "กรุณากรอกราคา"), ({"price": "-5"}, "ราคาต้องไม่ติดลบ"),
                *(({"price": price}, message) for message, prices in [
                    ("ทศนิยมได้ไม่เกิน 2 ตำแหน่ง", ("1.999", "0.105")),
                    ("ราคาต้องเป็นตัวเลข", ("1,5", "1e3")),
                    ("ราคาต้องไม่เกิน", ("1000000000", "9" * 5000))] for price in prices),
                ({"quantity": "1" + "0" * 5000}, "จำนวนต้องไม่เกิน 999,999,999"),
                ({"quantity": "2.5"}, "จำนวนต้องเป็นจำนวนเต็ม"),
                ({"quantity": "-1"}, "จำนวนต้องไม่ติดลบ"), ({"quantity": ""}, "กรุณากรอกจำนวน"),
                ({"name": "ก" * 201}, "ชื่อสินค้ายาวได้ไม่เกิน 200 ตัวอักษร")]:
            with self.subTest(change=change):
                fields = dict(SHIRT, **change)
                kept = (f'name="{k}" value="{fields[k]}"' for k in ("code", "name", "price"))
                self.assert_shows(client.post("/items/new", fields), message, *kept,
                                  "ผ้าฝ้าย &lt;ซักเครื่องได้&gt;</textarea>", status=422)
        for n, (price, quantity) in enumerate([("0.20", "1"), ("19.99", "3"), ("฿ 1,000", "๑๒")]):
            self.assertEqual(client.add(f"P{n}", f"สินค้า {n}", price, quantity).status, 303)
        self.assertIn("รวม 19 ชิ้น · มูลค่ารวม 12,060.47 บาท", client.get("/").text)

    @file_only("an older catalog file and its own migrations")
    def test_an_older_database_is_upgraded_in_place_or_not_at_all(self):
        path = os.path.join(self.root, "old.db")
        connection = make_database(path, steps=1)
        connection.executemany(
            "INSERT INTO items (code, name, category, price_satang, quantity, note, created_at,"
            " updated_at) VALUES (?, ?, ?, ?, ?, '', '2024-01-02T03:04:05Z', ?)",
            [("OLD-1", "ชาเขียวมัทฉะ", "", 12050, 3, "2024-01-02T03:04:05Z"),
             ("OLD-2", "ชามะนาว", "เครื่องดื่ม", 99999999999, 999999999, "2024-01-03T00:00:00Z")])
        connection.executemany("INSERT INTO items (code, name, price_satang, quantity, created_at,"
                               " updated_at) VALUES (?, ?, 100, 0, '', '')",
                               [("A001", "ก"), ("A001\u200b", "ข"), ("Ａ００２", "น\u0e33\u0e49แข็ง")])
        # A name the last step needs is taken, so that step fails after its other changes.
        connection.execute("CREATE INDEX items_sort_name ON items (name)").connection.close()
        status, _, stderr = run(command("--db", path), self.root)
        self.assertEqual((status, "Could not prepare the database" in stderr), (1, True))
        with contextlib.closing(sqlite3.connect(path, isolation_level=None)) as check:
            self.assertEqual((check.execute("PRAGMA user_version").fetchone()[0], [
                row[1] for row in check.execute("PRAGMA table_info(items)")][-2:],
                check.execute("SELECT name FROM items WHERE id <= 2").fetchall()),
                (2, ["search_text", "revision"], [("ชาเขียวมัทฉะ",), ("ชามะนาว",)]))
            check.execute("DROP INDEX items_sort_name")
        client = self.start("--db", path, cwd=self.root)
        for query, expected in [("?q=มทฉะ", {"OLD-1"}), ("?q=ชา", {"OLD-1", "OLD-2"}),
                                ("?category=เครื่องดื่ม", {"OLD-2"}), ("?q=น้ำแข็ง", {"A002"})]:
            self.assertEqual(set(client.items(query)), expected)
        client.follow(client.post(f"/items/{client.items()['OLD-1']}/delete", {}))
        # A code takes its one spelling unless that would merge two items; those are shown.
        self.assert_shows(client.get("/").text, '<option value="เครื่องดื่ม">',
                          "รวม 999,999,999 ชิ้น · มูลค่ารวม 999,999,998,990,000,000.01 บาท",
                          "พบรหัสสินค้าที่หน้าตาเหมือนกัน 1 กลุ่ม",
                          "<code>A001⟨U+200B⟩</code></a> ข")
        with contextlib.closing(sqlite3.connect(path)) as check:
            self.assertEqual(check.execute("PRAGMA user_version").fetchone()[0], len(MIGRATIONS))
        lookalike = "/items/%d/" % client.items()["A001\u200b"]
        self.assertIn("A001⟨U+200B⟩ จะบันทึกเป็น “A001”", client.get(lookalike + "edit").text)
        client.post(lookalike + "delete", {})
        self.assertNotIn("หน้าตาเหมือนกัน", client.get("/").text)

    @file_only("the file's own migration, which rewrites every row in one transaction")
    def test_a_kill_at_any_step_of_the_row_rewrite_leaves_the_catalog_as_it_was(self):
        path, steps = os.path.join(self.root, "older.db"), len(MIGRATIONS) - 1
        make_database(path, steps=steps).executemany(
            "INSERT INTO items (code, name, category, price_satang, quantity, created_at, "
            "updated_at) VALUES (?, ?, ?, 100, 1, '', '')",
            [("K-1", "แบบที่ 10", "แบบ"), ("K-2", "แบบที่ 2", "แบบ"), ("K-3", "ไข่ไก่", "")]
        ).connection.close()
        before = codes(path, "code, name, category")
        for step in ("lean-rows-narrowed", "lean-rows-rewritten", "lean-rows-indexed"):
            server = Server(command("--db", path), self.root, {"QUORVA_CATALOG_KILL_AT": step})
            self.addCleanup(server.stop)
            self.assertEqual(server.proc.wait(20), -signal.SIGKILL, step)
            with contextlib.closing(sqlite3.connect(path)) as check:
                self.assertEqual((check.execute("PRAGMA user_version").fetchone()[0],
                                  codes(path, "code, name, category")), (steps, before), step)
        client = self.start("--db", path, cwd=self.root)
        self.assertEqual(list(client.items("?category=แบบ")), ["K-2", "K-1"])
        self.assertEqual(list(client.items("?q=ไขไก")), ["K-3"])


@each_engine
class CsvTest(ServerTestCase):
    shared = True
    ITEMS = [("A-1", "ข้าวหอมมะลิ 5 กก.", "185.00", "40", "ของแห้ง", "ล็อตใหม่, ส่งทุกจันทร์"),
             ("A-2", 'ซอส "พริก"', "35.50", "0", "เครื่องปรุง", "บรรทัดแรก\nบรรทัดสอง"),
             ("-07", "=SUM(A1:A2)", "0.00", "1", "+ทดสอบ", "@note"),
             ("B-9", "'เครื่องหมายคำพูด", "999999999.99", "999999999", "", "")]

    def filled(self):
        self.assertEqual([self.client.add(*item).status for item in self.ITEMS], [303] * 4)
        return self.client

    def test_export_then_import_into_a_fresh_database_gives_the_same_catalog(self):
        client, exported = self.filled(), self.client.get("/export.csv")
        self.assertEqual((exported.headers["Content-Type"], exported.body[:3],
                          exported.headers["Content-Disposition"].split(";")[0]),
                         ("text/csv; charset=utf-8", b"\xef\xbb\xbf", "attachment"))
        rows = [row[:6] for row in exported_rows(client)]
        self.assertEqual(rows[0], ["รหัสสินค้า", "ชื่อสินค้า", "หมวดหมู่", "ราคา", "จำนวน",
                                   "หมายเหตุ"])
        # Spreadsheets would run these cells as formulas without the quote.
        self.assertIn(["'-07", "'=SUM(A1:A2)", "'+ทดสอบ", "0.00", "1", "'@note"], rows)
        self.empty()
        self.assertIn("เพิ่มใหม่ 4 รายการ", client.follow(client.upload(exported.body)).text)
        self.assertEqual(client.get("/export.csv").body, exported.body)
        self.assertIn("ไม่เปลี่ยนแปลง 4 รายการ", client.follow(client.upload(exported.body)).text)
        # Nothing to undo: the catalog was empty, then nothing changed.
        self.assertEqual(glob.glob(f"{self.data}/backups/*-before-import.db.gz"), [])

    def test_a_bad_row_rejects_the_whole_file_and_a_good_one_upserts_by_code(self):
        client = self.filled()
        before = client.get("/export.csv").body
        head = "code,name,price,quantity\n"
        for text, messages in [
                (head + "N-1,ดี,1,1\nN-2,ราคาผิด,abc,1\nN-3,,1,1\n",
                 ["แถวที่ 3: ราคาต้องเป็นตัวเลข", "แถวที่ 4: กรุณากรอกชื่อสินค้า"]),
                (head + "N-1,ดี,1,1\n\nn-1,ซ้ำ,1,1\n", ["แถวที่ 4: รหัส “n-1” ซ้ำกับแถวที่ 2"]),
                ("code,quantity\nNEW,1\nA-1,-3\n",
                 ["แถวที่ 2: รหัส “NEW” ยังไม่มีในแคตตาล็อก", "แถวที่ 3: จำนวนต้องไม่ติดลบ"]),
                (head + "N-1,ดี,1,1,เกิน\n", ["แถวที่ 2: มีข้อมูลเกินจำนวนคอลัมน์"]),
                ("name,price\nไม่มีรหัส,1\n", ["ไม่พบคอลัมน์รหัสสินค้า"]),
                ("code,code\nX,Y\n", ["มีคอลัมน์ “code” ซ้ำ"]),
                # A barcode beside the code is no second code column.
                ("code,name,price,barcode,supplier,,\nN-1,ดี,abc,885,x,,\n",
                 ["ข้อผิดพลาด 1 จุด", "แถวที่ 2: ราคาต้องเป็นตัวเลข",
                  "ข้ามคอลัมน์ที่ไม่รู้จัก: supplier, (ไม่มีชื่อ), (ไม่มีชื่อ) · "
                  "ไม่ใช้คอลัมน์ barcode (มีคอลัมน์ code แล้ว)</p>"]),
                (head, ["ไฟล์ไม่มีข้อมูลสินค้า"]),
                ('code,name,price\nA,"ซอส,1\nB,ข,2\n', ["แถวที่ 2: มีเครื่องหมายคำพูด (&quot;) "
                                                      "เปิดไว้โดยไม่มีตัวปิด เริ่มที่บรรทัดที่ 2"]),
                (head + 'A,ข,1,1\n\nB,"ค"x,2,1\n',
                 ["แถวที่ 4: พบเครื่องหมายคำพูด (&quot;) ไม่ครบคู่"]),
                (head + "A,ข," + "9" * 5000 + ",1\n", ["แถวที่ 2: ราคาต้องไม่เกิน"]),
                ("code,name\nX,\udc81\udcff\n",  # bytes that cannot be read as text
                 ["(ไบต์ที่อ่านไม่ได้อยู่ที่แถวที่ 2 บรรทัดที่ 2 ของไฟล์)"]),
                (workbook(), ["ไฟล์นี้เป็นไฟล์ Excel (.xlsx)", "“CSV UTF-8 (Comma delimited)",
                              "LibreOffice Calc"])]:
            with self.subTest(text=text[:80]):
                self.assert_shows(client.upload(text.encode("utf-8", "surrogateescape")),
                                  "ไม่ได้นำเข้าข้อมูลใด ๆ", *messages, status=422)
        self.assertEqual(client.get("/export.csv").body, before)
        # Only additions need no question, but still leave a copy to undo them.
        data = "รหัสสินค้า,ชื่อสินค้า,ราคาขาย,ต้นทุน,จำนวนคงเหลือ\nN-1,ใหม่,10,5,3\n".encode()
        self.assertIn("ข้ามคอลัมน์ที่ไม่รู้จัก: ต้นทุน", client.follow(client.upload(data)).text)
        self.assertTrue(glob.glob(f"{self.data}/backups/*-before-import.db.gz"))
        data = "code,quantity,price\r\na-1,41,185\r\nA-2\u200b,0,35.5\r\n".encode()
        self.assertIn("ปรับปรุง 1 รายการ · ไม่เปลี่ยนแปลง 1 รายการ", client.imported(data).text)
        rows = {row[0]: row[1:6] for row in exported_rows(client)}
        self.assertEqual((rows["a-1"], rows["N-1"], len(rows)), (
            ["ข้าวหอมมะลิ 5 กก.", "ของแห้ง", "185.00", "41", "ล็อตใหม่, ส่งทุกจันทร์"],
            ["ใหม่", "", "10.00", "3", ""], 6))

    def test_an_import_that_changes_items_asks_first_and_keeps_newer_edits(self):
        client = self.filled()
        data = ("code,price,แก้ไขล่าสุด (UTC)\nA-1,1,2000-01-01T00:00:00Z\nA-2,2,\n"
                "B-9,999999999.99,2000-01-01T00:00:00Z\n").encode()
        preview = client.follow(client.upload(data)).text
        self.assertEqual(re.findall(r'"num">(\d) ', preview), ["0", "1", "1", "1"])
        self.assertRegex(preview, r'<tr class="older"><td><code>A-1</code>.*ไฟล์เก่ากว่า.*'
                                  r"ราคา: <del>185.00</del> → <ins>1.00</ins>.*"
                                  r"<tr><td><code>A-2</code>.*<del>35.50</del> → <ins>2.00</ins>")
        self.assertEqual(glob.glob(f"{self.data}/backups/*-before-import.db.gz"), [])
        for choices, price, notice in [
                ({}, "185.00", "คงไว้ตามเดิม 1 รายการ เพราะข้อมูลในไฟล์เก่ากว่า · ข้อมูลก่อน"),
                ({"older": "1"}, "1.00", "เขียนทับ 1 รายการ")]:
            with self.subTest(choices=choices):
                self.assertIn(notice, client.imported(data, **choices).text)
                self.assertEqual(dict(row[:4:3] for row in exported_rows(client))["A-1"], price)
        # An edit between the preview and its answer brings the preview back.
        key = client.upload(data.replace(b"A-2,2", b"A-2,3")).headers["Location"][-32:]
        client.add("N-1", "ใหม่")
        again = client.follow(client.post("/import/confirm", {"p": key})).text
        self.assertIn("แคตตาล็อกเปลี่ยนไปหลังแสดงตัวอย่าง", again)
        applied = client.post("/import/confirm", {"p": re.search(r'"p" value="(\S+)"', again)[1]})
        self.assertIn("ปรับปรุง 1 รายการ", client.follow(applied).text)
        self.assertEqual([client.post("/import/confirm", {"p": key, **token}).status
                          for token in ({}, {"token": "x"})], [404, 403])

    def test_an_import_under_way_tells_how_far_it_got_and_turns_a_second_one_away(self):
        client = self.client
        data = "code,name,price\n" + "".join(f"Q-{n},สินค้า {n},1\n" for n in range(5000))
        request = client.raw("POST /import", [MULTIPART], multipart(client.token(), data.encode()))
        with socket.create_connection(("127.0.0.1", client.port), timeout=20) as raw:
            raw.sendall(request[:-500])
            wait_until(lambda: "กำลังรับไฟล์" in client.get("/import/progress").text, 10,
                       what="the progress of the upload")
            self.assert_shows(client.upload(b"code,name,price\nX,x,1\n"),
                              "กำลังนำเข้าไฟล์ที่ส่งมาก่อนหน้านี้อยู่", status=409)
            raw.sendall(request[-500:])
            self.assertIn(b" 303 ", raw.makefile("rb").readline())
        # The answer goes out a moment before the import lets go of its progress line.
        wait_until(lambda: client.get("/import/progress").text == "", 10, what="the import's end")
        self.assertEqual(len(client.items("?q=Q-")), 100)
        # Sent by its script, which stays on the page to show the progress, an import is
        # answered with the page to go to, its refusals as well as its result.
        for data, shown in [(b"code,name,price\nY,y,1\n", "เพิ่มใหม่ 1 รายการ"),
                            (workbook().encode("utf-8", "surrogateescape"), "ไฟล์ Excel")]:
            sent = client.upload(data, headers={"X-Import": "fetch"})
            self.assertEqual((sent.status, sent.headers["Content-Type"]),
                             (200, "text/plain; charset=utf-8"))
            self.assertIn(shown, client.get(sent.text).text)

    def test_files_as_thai_spreadsheets_save_them(self):
        client = self.client
        self.assertEqual([client.upload(data).status for data in [
            "รหัสสินค้า,ชื่อสินค้า,ราคา\r\nC-1,ไข่ไก่,120\r\n".encode("cp874"),
            "\ufeffcode;name;price;note\nS-1;น้ำปลา;25.50;\"ขวด; ใหญ่\"\n".encode(),
            '"รหัส"\t"ชื่อ, เต็ม"\t"ชื่อ"\t"ราคา"\nT-1\tx\tมะม่วง\t5\n'.encode("utf-16")]],
            [303] * 3)
        self.assertEqual({row[0]: row[1:6] for row in exported_rows(client)[1:]}, {
            "C-1": ["ไข่ไก่", "", "120.00", "0", ""], "T-1": ["มะม่วง", "", "5.00", "0", ""],
            "S-1": ["น้ำปลา", "", "25.50", "0", "ขวด; ใหญ่"]})

    def test_a_common_word_pages_in_name_order_with_numbers_by_value(self):
        client, heads = self.client, ("ไข่ไก่", "มะม่วง", "น้ำปลา")
        names = {f"N{n:04}": f"{heads[n % 3]} {('แท้', 'ขนาดเล็ก')[n % 2]} แบบที่ {n % 700}"
                 for n in range(2100)}
        client.upload(("code,name,price\n" + "".join(
            f"{code},{name},1\n" for code, name in names.items())).encode())
        # By the consonant after a leading vowel, then by the number's value, then by code.
        rank = {"ไข่ไก่": 0, "น้ำปลา": 1, "มะม่วง": 2}
        expected = sorted((code for code, name in names.items() if "ขนาดเล็ก" in name),
                          key=lambda code: (rank[names[code].split()[0]],
                                            int(names[code].split()[-1]), code))
        text, found = client.get("/?q=ขนาดเล็ก&sort=name").text, []
        self.assertIn("พบมากกว่า 1,000 รายการ", text)
        while True:
            found += re.findall(r'<tr id="item-\d+" data-code="([^"]*)"', text)
            link = re.search('href="([^"]*)" rel="next"', text)
            if not link:
                break
            text = client.get(html_unescape(link[1])).text
        self.assertEqual(found, expected)
        # "แบบที่" is in every row all along the order, and narrows nothing beside a code.
        self.assertEqual(list(client.items("?q=แบบที่+n1234")), ["N1234"])
        # Each of these comes right after the one before, until its neighbours have no room
        # left between them and the rows around are spread out again.
        self.assertEqual(client.upload(("code,name,category,price\n" + "".join(
            f"M{n:03},ไข่ไก่ แท้ แบบที่ 0,ชุดใหม่,1\n" for n in range(40))).encode()).status, 303)
        self.assertEqual(list(client.items("?category=ชุดใหม่&q=ไข่")),
                         [f"M{n:03}" for n in range(40)])

    def test_a_page_past_the_end_shows_the_last_one(self):
        client = self.client
        data = "code,name,price\n" + "".join(f"P{n:03},สินค้า,1\n" for n in range(250))
        client.upload(data.encode())
        for page, shown, first in [("99", 3, "P200"), ("3", 3, "P200"), ("2", 2, "P100"),
                                   ("-2", 1, "P000"), ("0", 1, "P000"), ("x", 1, "P000"),
                                   ("9" * 40, 3, "P200")]:
            with self.subTest(page=page):
                self.assertIn(f"หน้า {shown} จาก 3", client.get(f"/?sort=code&page={page}").text)
                self.assertEqual(list(client.items(f"?sort=code&page={page}"))[0], first)
        # Next and previous links find their page from the row beside it, as page=N does.
        text = client.get("/?sort=code").text
        for rel, first in [("next", "P100"), ("next", "P200"), ("prev", "P100"), ("prev", "P000")]:
            text = client.get(html_unescape(re.search(f'href="([^"]*)" rel="{rel}"', text)[1])).text
            self.assertEqual(re.search(r'<tr id="item-\d+" data-code="([^"]*)"', text)[1], first)
        # Printed, a list holds every row its search finds in its order, past a count's worth.
        client.upload(("code,name,price\n" + "".join(f"Q{n:04},ของ {n % 7},{n % 5}\n"
                                                     for n in range(1100))).encode())
        every = [f"P{n:03}" for n in range(250)] + [f"Q{n:04}" for n in range(1100)]
        for query, expected in [("sort=code", every), ("q=ของ&sort=code", every[250:]),
                             ("q=ของ&sort=-price", sorted(every[250:], key=lambda code: (
                                 -(int(code[1:]) % 5), int(code[1:]) % 7, code))),
                             ("q=q0005", ["Q0005"])]:
            with self.subTest(query=query):
                printed = client.get(f"/printed?{query}").text
                self.assertEqual(re.findall(r'data-code="([^"]*)"', printed), expected)
                self.assertEqual(client.get(f"/printed?{query}&count=1").text, str(len(expected)))

