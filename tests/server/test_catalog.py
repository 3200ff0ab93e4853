import csv
import io
import os
import re
import socket
import sqlite3
import subprocess
import unittest
from html import escape as html_escape
from urllib.parse import quote, urlencode

from harness import PYTHON, ServerTestCase, command, make_database, run

SHIRT = {"code": "TS-001", "name": "เสื้อยืดคอกลม สีขาว", "category": "เสื้อผ้า",
         "price": "1,250.50", "quantity": "12", "note": "ผ้าฝ้าย <ซักเครื่องได้>"}


def exported_rows(client):
    return list(csv.reader(io.StringIO(client.get("/export.csv").body.decode("utf-8-sig"))))


class ItemPagesTest(ServerTestCase):
    def test_add_edit_delete_through_the_pages(self):
        client = self.start().client
        added = client.add(**SHIRT)
        page = client.follow(added).text
        for text in ("เพิ่ม “เสื้อยืดคอกลม สีขาว” (รหัส TS-001) แล้ว", "1,250.50",
                     "&lt;ซักเครื่องได้&gt;"):
            self.assertIn(text, page)
        self.assertNotIn("flash", client.get(added.headers["Location"]).text)
        item = client.items()["TS-001"]

        edit = client.get(f"/items/{item}/edit").text
        self.assertIn('value="1250.50"', edit)
        revision = re.search(r'name="revision" value="(\d+)"', edit).group(1)
        changed = dict(SHIRT, name="เสื้อยืด สีดำ", price="990", quantity="0",
                       revision=revision, back="/?q=เสื้อ")
        saved = client.post(f"/items/{item}/edit", changed)
        self.assertEqual(saved.headers["Location"].split("&m=")[0], "/?q=" + quote("เสื้อ"))
        page = client.follow(saved).text
        for text in ("บันทึกการแก้ไข “เสื้อยืด สีดำ” แล้ว", "990.00", "หมด"):
            self.assertIn(text, page)
        choosing = self.resolve_conflicts(client, item, changed)

        self.assertIn("เมื่อลบแล้วจะกู้คืนไม่ได้", client.get(f"/items/{item}/delete").text)
        deleted = client.follow(client.post(f"/items/{item}/delete", {})).text
        self.assertIn("ลบ “เสื้อยืด สีดำ” (รหัส TS-001) แล้ว", deleted)
        self.assertEqual(client.items(), {})
        self.assertEqual(client.get(f"/items/{item}/edit").status, 404)
        again = client.follow(client.post(f"/items/{item}/delete", {})).text
        self.assertIn("ไม่พบสินค้านี้", again)
        # Deleted while the user chose: what they typed comes back as a new item's form.
        lost = client.post(f"/items/{item}/edit", choosing)
        self.assertEqual(lost.status, 409)
        for text in ("ถูกลบไปแล้วระหว่างที่คุณแก้ไข", 'value="ชื่อจากหน้าเก่า"'):
            self.assertIn(text, lost.text)

    def resolve_conflicts(self, client, item, opened):
        """`opened` is the edit form as another window still holds it, one save behind."""
        stale = dict(opened, name="ชื่อจากหน้าเก่า", price="990.00", quantity="5")
        # A typo fixed first must not carry the newer revision into the next save.
        typo = client.post(f"/items/{item}/edit", dict(stale, price="abc"))
        self.assertIn(f'name="revision" value="{opened["revision"]}"', typo.text)
        page = client.post(f"/items/{item}/edit", stale)
        self.assertEqual(page.status, 409)
        for text in ("มีการแก้ไขสินค้านี้จากที่อื่น", 'value="ชื่อจากหน้าเก่า"',
                     "เสื้อยืด สีดำ",
                     'name="pick-name" value="mine" required', 'name="pick-quantity"'):
            self.assertIn(text, page.text)
        self.assertNotIn('name="pick-price"', page.text)  # 990 and 990.00 are the same price
        stored_revision = re.search(r'name="revision" value="(\d+)"', page.text).group(1)
        self.assertNotEqual(stored_revision, opened["revision"])
        # Neither the old form sent again nor the conflict page without a choice saves anything.
        mine = {f"mine-{k}": v for k, v in stale.items() if k in SHIRT}
        for fields in (stale, {**mine, "revision": stored_revision, "resolve": "fields"},
                       {**mine, "revision": stored_revision, "resolve": "fields",
                        "pick-name": "mine"}):
            self.assertEqual(client.post(f"/items/{item}/edit", fields).status, 409)
        self.assertIn('value="เสื้อยืด สีดำ"', client.get(f"/items/{item}/edit").text)
        chosen = {**mine, "revision": stored_revision, "back": "/", "resolve": "fields",
                  "pick-name": "theirs", "pick-quantity": "mine"}
        client.follow(client.post(f"/items/{item}/edit", chosen))
        edit = client.get(f"/items/{item}/edit").text
        for text in ('value="เสื้อยืด สีดำ"', 'name="quantity" value="5"'):
            self.assertIn(text, edit)
        # Taking the stored side whole writes nothing, so the revision stays.
        revision = re.search(r'name="revision" value="(\d+)"', edit).group(1)
        kept = client.post(f"/items/{item}/edit", {**stale, "revision": stored_revision})
        self.assertIn('name="pick-name"', kept.text)
        taken = client.post(f"/items/{item}/edit", {**mine, "revision": revision,
                                                    "resolve": "theirs"})
        self.assertIn("คงข้อมูลที่บันทึกไว้", client.follow(taken).text)
        self.assertIn(f'name="revision" value="{revision}"', client.get(f"/items/{item}/edit").text)
        return {**mine, "revision": revision, "resolve": "mine"}

    def test_search_matches_thai_and_latin_text(self):
        client = self.start().client
        for code, name, category, note in [
                ("TS-001", "เสื้อยืดคอกลม", "เสื้อผ้า", ""),
                ("PT-002", "กางเกงยีนส์", "เสื้อผ้า", "ขายาว"),
                ("WT-003", "น้ำดื่ม 600 มล.", "เครื่องดื่ม", ""),
                ("CF-004", "กาแฟคั่วเข้ม", "เครื่องดื่ม", "เมล็ด Arabica"),
                ("TB-005", "โต๊ะพับ", "เฟอร์นิเจอร์", ""),
                ("EG-006", "ไข่ไก่ เบอร์ 2 แผง 30 ฟอง", "ของสด", "ก๋วยเตี๋ยว"),
                ("FR-007", "แตงโม", "ผลไม้", "ไม่ใช่ไข้"),
                ("<b>", "ชื่อ & สัญลักษณ์", "", "")]:
            self.assertEqual(client.add(code, name, category=category, note=note).status, 303)
        for query, expected in [
                ("?q=เสื้อ", {"TS-001", "PT-002"}), ("?q=ยีนส์", {"PT-002"}),
                ("?q=รองเท้า", set()), ("?q=ขายาว", {"PT-002"}), ("?q=ts-00", {"TS-001"}),
                ("?q=ARABICA", {"CF-004"}), ("?q=กาแฟ+arabica", {"CF-004"}),
                ("?q=กาแฟ+ชา", set()), ("?q=%25", set()), ("?q=<b", {"<b>"}),
                # Marks left out match any; the marks typed must be on the same letters.
                ("?q=ไขไก", {"EG-006"}), ("?q=ไข่ไก่", {"EG-006"}),
                ("?q=ไข้", {"FR-007"}), ("?q=ก๋วยเตียว", {"EG-006"}), ("?q=ก้วย", set()),
                ("?q=โตะ", {"TB-005"}), ("?q=เเตง", {"FR-007"}), ("?q=๓๐+ฟอง", {"EG-006"}),
                # Nikhahit and sara aa typed for sara am.
                ("?q=%E0%B8%99%E0%B9%89%E0%B9%8D%E0%B8%B2", {"WT-003"}),
                ("?category=เครื่องดื่ม", {"WT-003", "CF-004"}),
                ("?q=ก&category=เครื่องดื่ม", {"CF-004"})]:
            with self.subTest(query=query):
                self.assertEqual(set(client.items(query)), expected)
        self.assertIn("ไม่พบสินค้าที่ตรงกับ “รองเท้า”", client.get("/?q=รองเท้า").text)
        # A whole code, as a scanner types it, opens its item and comes back to the list.
        for query, code in [("ts-001", "TS-001"), ("<b>", "<b>"), (" EG-006 ", "EG-006")]:
            with self.subTest(query=query):
                opened = client.get("/?" + urlencode({"q": query, "sort": "code"}))
                self.assertEqual(opened.headers["Location"],
                                 f"/items/{client.items()[code]}/edit?back=%2F%3Fsort%3Dcode")
                self.assertIn(html_escape(code), client.follow(opened).text)
        order = list(client.items())
        # A Thai dictionary orders โต๊ะ by ต, before น, whatever the leading vowel's code point.
        for first, then in [("PT-002", "CF-004"), ("CF-004", "TB-005"), ("TB-005", "WT-003"),
                            ("EG-006", "FR-007"),
                            ("WT-003", "TS-001")]:
            self.assertLess(order.index(first), order.index(then))

    def test_bad_input_is_explained_and_kept(self):
        client = self.start().client
        client.add("DUP-1", "มีอยู่แล้ว")
        for change, message in [
                ({"code": ""}, "กรุณากรอกรหัสสินค้า"), ({"name": "  "}, "กรุณากรอกชื่อสินค้า"),
                ({"code": "dup-1"}, "รหัสสินค้า “dup-1” มีอยู่แล้ว"),
                ({"price": ""}, "กรุณากรอกราคา"), ({"price": "-5"}, "ราคาต้องไม่ติดลบ"),
                ({"price": "1.999"}, "ทศนิยมได้ไม่เกิน 2 ตำแหน่ง"),
                ({"price": "1,5"}, "ราคาต้องเป็นตัวเลข"), ({"price": "1e3"}, "ราคาต้องเป็นตัวเลข"),
                ({"price": "1000000000"}, "ราคาต้องไม่เกิน"),
                ({"price": "9" * 5000}, "ราคาต้องไม่เกิน"),
                ({"quantity": "1" + "0" * 5000}, "จำนวนต้องไม่เกิน 999,999,999"),
                ({"quantity": "2.5"}, "จำนวนต้องเป็นจำนวนเต็ม"),
                ({"quantity": "-1"}, "จำนวนต้องไม่ติดลบ"), ({"quantity": ""}, "กรุณากรอกจำนวน"),
                ({"name": "ก" * 201}, "ชื่อสินค้ายาวได้ไม่เกิน 200 ตัวอักษร")]:
            with self.subTest(change=change):
                fields = dict(SHIRT, **change)
                response = client.post("/items/new", fields)
                self.assertEqual(response.status, 422)
                self.assertIn(message, response.text)
                for name in ("code", "name", "price"):
                    self.assertIn(f'name="{name}" value="{fields[name]}"', response.text)
                self.assertIn("ผ้าฝ้าย &lt;ซักเครื่องได้&gt;</textarea>", response.text)
        self.assertEqual(set(client.items()), {"DUP-1"})

    def test_money_is_exact(self):
        client = self.start().client
        for n, (price, quantity) in enumerate([("0.10", "3"), ("0.20", "1"), ("19.99", "3"),
                                               ("฿ 1,000", "๑๒"), ("0.105", "1")]):
            client.add(f"P{n}", f"สินค้า {n}", price, quantity)
        page = client.get("/").text
        self.assertIn("รวม 19 ชิ้น · มูลค่ารวม 12,060.47 บาท", page)
        self.assertEqual(sorted(client.items()), ["P0", "P1", "P2", "P3"])

    def test_an_older_database_is_upgraded_in_place_or_not_at_all(self):
        path = os.path.join(self.data, "old.db")
        connection = make_database(path, steps=1)
        connection.execute("INSERT INTO items (code, name, category, price_satang, quantity, note,"
                           " created_at, updated_at) VALUES ('OLD-1', 'ชาเขียวมัทฉะ', '', 12050,"
                           " 3, '', '2024-01-02T03:04:05Z', '2024-01-02T03:04:05Z')")
        # A name the last step needs is taken, so that step fails after its other changes.
        connection.execute("CREATE INDEX items_sort_name ON items (name)")
        connection.close()
        status, _, stderr = run(command("--db", path), self.data)
        self.assertEqual(status, 1)
        self.assertIn("Could not prepare the database", stderr)
        with sqlite3.connect(path) as check:
            self.assertEqual(check.execute("PRAGMA user_version").fetchone()[0], 2)
            columns = [row[1] for row in check.execute("PRAGMA table_info(items)")]
            self.assertNotIn("search_bare", columns)
            self.assertEqual(check.execute("SELECT name FROM items").fetchall(),
                             [("ชาเขียวมัทฉะ",)])
            check.execute("DROP INDEX items_sort_name")
        check.close()
        client = self.start("--db", path).client
        self.assertEqual(set(client.items("?q=มทฉะ")), {"OLD-1"})
        with sqlite3.connect(path) as check:
            self.assertEqual(check.execute("PRAGMA user_version").fetchone()[0], 3)
        check.close()


class CsvTest(ServerTestCase):
    ITEMS = [("A-1", "ข้าวหอมมะลิ 5 กก.", "185.00", "40", "ของแห้ง", "ล็อตใหม่, ส่งทุกจันทร์"),
             ("A-2", 'ซอส "พริก"', "35.50", "0", "เครื่องปรุง", "บรรทัดแรก\nบรรทัดสอง"),
             ("-07", "=SUM(A1:A2)", "0.00", "1", "+ทดสอบ", "@note"),
             ("B-9", "'เครื่องหมายคำพูด", "999999999.99", "999999999", "", "")]

    def filled(self, cwd=None):
        client = self.start(cwd=cwd).client
        for item in self.ITEMS:
            self.assertEqual(client.add(*item).status, 303)
        return client

    def test_export_then_import_into_a_fresh_database_gives_the_same_catalog(self):
        first = self.filled()
        exported = first.get("/export.csv")
        self.assertEqual(exported.headers["Content-Type"], "text/csv; charset=utf-8")
        self.assertIn("attachment", exported.headers["Content-Disposition"])
        self.assertTrue(exported.body.startswith(b"\xef\xbb\xbf"))
        rows = exported_rows(first)
        self.assertEqual(rows[0][:6], ["รหัสสินค้า", "ชื่อสินค้า", "หมวดหมู่", "ราคา", "จำนวน",
                                       "หมายเหตุ"])
        # Spreadsheets would run these cells as formulas without the quote.
        self.assertIn(["'-07", "'=SUM(A1:A2)", "'+ทดสอบ", "0.00", "1", "'@note"],
                      [row[:6] for row in rows])

        second = self.start(cwd=self.fresh_directory("fresh")).client
        self.assertIn("เพิ่มใหม่ 4 รายการ", second.follow(second.upload(exported.body)).text)
        self.assertEqual(second.get("/export.csv").body, exported.body)
        again = second.follow(second.upload(exported.body)).text
        self.assertIn("ไม่เปลี่ยนแปลง 4 รายการ", again)

    def test_import_upserts_by_code_and_keeps_the_rest(self):
        client = self.filled()
        data = "code,quantity,price\r\na-1,41,185\r\nA-2,0,35.5\r\n".encode()
        self.assertIn("ปรับปรุง 1 รายการ · ไม่เปลี่ยนแปลง 1 รายการ",
                      client.follow(client.upload(data)).text)
        data = "รหัสสินค้า,ชื่อสินค้า,ราคา,ต้นทุน\nN-1,ใหม่,10,5\n".encode()
        self.assertIn("ข้ามคอลัมน์ที่ไม่รู้จัก: ต้นทุน", client.follow(client.upload(data)).text)
        rows = {row[0]: row[1:6] for row in exported_rows(client)}
        self.assertEqual(rows["a-1"], ["ข้าวหอมมะลิ 5 กก.", "ของแห้ง", "185.00", "41",
                                       "ล็อตใหม่, ส่งทุกจันทร์"])
        self.assertEqual(rows["N-1"], ["ใหม่", "", "10.00", "0", ""])
        self.assertEqual(len(rows), 6)

    def test_a_bad_row_rejects_the_whole_file_with_row_numbers(self):
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
                (head, ["ไฟล์ไม่มีข้อมูลสินค้า"])]:
            with self.subTest(text=text):
                response = client.upload(text.encode())
                self.assertEqual(response.status, 422)
                for message in ["ไม่ได้นำเข้าข้อมูลใด ๆ"] + messages:
                    self.assertIn(message, response.text)
        self.assertEqual(client.get("/export.csv").body, before)

    def test_files_as_thai_spreadsheets_save_them(self):
        client = self.start().client
        for data, code in [
                ("รหัสสินค้า,ชื่อสินค้า,ราคา\r\nC-1,ไข่ไก่,120\r\n".encode("cp874"), "C-1"),
                ("\ufeffcode;name;price;note\nS-1;น้ำปลา;25.50;\"ขวด; ใหญ่\"\n".encode(), "S-1"),
                ('"รหัส"\t"ชื่อ, เต็ม"\t"ชื่อ"\t"ราคา"\nT-1\tx\tมะม่วง\t5\n'.encode("utf-16"),
                 "T-1")]:
            with self.subTest(code=code):
                self.assertEqual(client.upload(data).status, 303)
        rows = {row[0]: row[1:6] for row in exported_rows(client)[1:]}
        self.assertEqual(rows, {"C-1": ["ไข่ไก่", "", "120.00", "0", ""],
                                "S-1": ["น้ำปลา", "", "25.50", "0", "ขวด; ใหญ่"],
                                "T-1": ["มะม่วง", "", "5.00", "0", ""]})
        head = "code,name,price\n"
        for data, message in [
                (head + 'A,"ซอส,1\nB,ข,2\n',
                 "แถวที่ 2: มีเครื่องหมายคำพูด (&quot;) เปิดไว้โดยไม่มีตัวปิด เริ่มที่บรรทัดที่ 2"),
                (head + 'A,ข,1\n\nB,"ค"x,2\n', "แถวที่ 4: พบเครื่องหมายคำพูด (&quot;) ไม่ครบคู่"),
                (head + "A,ข," + "9" * 5000 + "\n", "แถวที่ 2: ราคาต้องไม่เกิน"),
                (b"code,name\nX,\x81\xff\n", "อ่านไฟล์ไม่ได้")]:
            with self.subTest(message=message):
                data = data if isinstance(data, bytes) else data.encode()
                response = client.upload(data)
                self.assertEqual(response.status, 422)
                self.assertIn(message, response.text)
        self.assertEqual(set(client.items()), {"C-1", "S-1", "T-1"})

    def test_a_page_past_the_end_shows_the_last_one(self):
        client = self.start().client
        data = "code,name,price\n" + "".join(f"P{n:03},สินค้า,1\n" for n in range(250))
        client.upload(data.encode())
        for page, shown, first in [("99", 3, "P200"), ("3", 3, "P200"), ("2", 2, "P100"),
                                   ("-2", 1, "P000"), ("0", 1, "P000"), ("x", 1, "P000"),
                                   ("9" * 40, 3, "P200")]:
            with self.subTest(page=page):
                text = client.get(f"/?sort=code&page={page}").text
                self.assertIn(f"หน้า {shown} จาก 3", text)
                self.assertEqual(list(client.items(f"?sort=code&page={page}"))[0], first)


class GuardTest(ServerTestCase):
    def test_only_this_servers_own_address_is_answered(self):
        client = self.start().client
        for host, status in [("evil.example", 421), (f"evil.example:{client.port}", 421),
                             ("127.0.0.1:1", 421), ("127.0.0.1", 421), (client.host, 200),
                             (f"localhost:{client.port}", 200), (f"LOCALHOST:{client.port}", 200)]:
            with self.subTest(host=host):
                self.assertEqual(client.get("/", Host=host).status, status)
        with socket.create_connection(("127.0.0.1", client.port), timeout=10) as raw:
            raw.sendall(b"GET / HTTP/1.0\r\n\r\n")
            self.assertIn(b" 421 ", raw.makefile("rb").readline())

    def test_changes_need_a_same_origin_post_with_the_token(self):
        client = self.start().client
        client.add("KEEP", "ของเดิม")
        item, token, evil = client.items()["KEEP"], client.token(), "http://evil.example"
        forms = [("/items/new", {"code": "NEW", "name": "ใหม่", "price": "1", "quantity": "1"}),
                 (f"/items/{item}/delete", {}),
                 (f"/items/{item}/edit", {"code": "KEEP", "name": "เปลี่ยน", "price": "1",
                                          "quantity": "1", "revision": "1"})]
        refused = [{"Origin": evil, "token": token}, {"Origin": "null", "token": token},
                   {"Origin": f"http://localhost:{client.port}", "token": token},
                   {"Origin": None, "Referer": evil + "/", "token": token},
                   {"Origin": None, "Referer": client.origin + ".evil.example/", "token": token},
                   {}, {"Origin": None}, {"token": "wrong"}]
        for case in refused:
            headers = {k: v for k, v in case.items() if k != "token"}
            extra = {"token": case["token"]} if "token" in case else {}
            for path, fields in forms:
                with self.subTest(case=case, path=path):
                    response = client.post(path, {**fields, **extra}, headers, token=False)
                    self.assertEqual(response.status, 403)
        self.assertEqual(client.upload(b"code,name,price\nN,x,1\n", token="wrong").status, 403)
        self.assertEqual(client.upload(b"code,name,price\nN,x,1\n", headers={"Origin": evil}
                                       ).status, 403)
        referred = client.post("/items/new", forms[0][1],
                               {"Origin": None, "Referer": client.origin + "/items/new"})
        self.assertEqual(referred.status, 303)
        self.assertEqual(set(client.items()), {"KEEP", "NEW"})

    def test_get_never_changes_anything(self):
        client = self.start().client
        client.add("KEEP", "ของเดิม")
        item, token = client.items()["KEEP"], client.token()
        before = client.get("/export.csv").body
        for path in [f"/items/new?code=NEW&name=x&price=1&quantity=1&token={token}",
                     f"/items/{item}/delete?token={token}",
                     f"/items/{item}/edit?code=KEEP&name=x&price=1&quantity=1&token={token}",
                     f"/import?token={token}"]:
            for method in ("GET", "HEAD"):
                self.assertEqual(client.request(method, path).status, 200)
        for method, path, status in [("POST", "/", 405), ("POST", "/export.csv", 405),
                                     ("PUT", "/items/new", 405), ("DELETE", f"/items/{item}", 404),
                                     ("GET", "/nothing", 404)]:
            with self.subTest(method=method, path=path):
                response = client.request(method, path, b"", {"Origin": client.origin})
                self.assertEqual(response.status, status)
                self.assertIn('<html lang="th">', response.text)
        self.assertEqual(client.get("/export.csv").body, before)

    def test_bodies_are_bounded_and_headers_are_safe(self):
        client = self.start().client
        big_form = {"code": "BIG", "name": "ก" * 30000, "price": "1", "quantity": "1"}
        self.assertEqual(client.post("/items/new", big_form).status, 413)
        with socket.create_connection(("127.0.0.1", client.port), timeout=10) as raw:
            raw.sendall(f"POST /import HTTP/1.1\r\nHost: {client.host}\r\nOrigin: {client.origin}"
                        f"\r\nContent-Length: {1 << 30}\r\n\r\n".encode())
            self.assertIn(b" 413 ", raw.makefile("rb").readline())
        self.assertEqual(client.items(), {})
        for path in ("/", "/style.css", "/items/new", "/import", "/export.csv", "/missing"):
            with self.subTest(path=path):
                headers = client.get(path).headers
                self.assertIn("default-src 'self'", headers["Content-Security-Policy"])
                self.assertEqual([headers["X-Content-Type-Options"], headers["Referrer-Policy"],
                                  headers["X-Frame-Options"]], ["nosniff", "same-origin", "DENY"])
        page = client.get("/").text
        self.assertEqual(re.findall(r"<link[^>]*>", page),
                         ['<link rel="stylesheet" href="/style.css">'])
        self.assertNotRegex(page, r"(src|href)=\"https?:")

    @unittest.skipUnless(os.geteuid() == 0 and os.path.exists("/proc/net/tcp"),
                         "needs root to connect as another user")
    def test_other_users_on_the_machine_are_refused(self):
        client = self.start().client
        for address in ("127.0.0.1", "::ffff:127.0.0.1"):
            probe = (f"import http.client; c = http.client.HTTPConnection('{address}', "
                     f"{client.port}); c.request('GET', '/', headers={{'Host': '{client.host}'}});"
                     f"print(c.getresponse().status)")
            other = subprocess.run([PYTHON, "-c", probe], user=65534, group=65534, cwd="/",
                                   capture_output=True, text=True, timeout=20)
            self.assertEqual(other.stdout.strip(), "403", (address, other.stderr))
        self.assertEqual(client.get("/").status, 200)


if __name__ == "__main__":
    unittest.main()
