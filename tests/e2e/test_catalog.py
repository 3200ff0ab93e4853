"""A shop's day in the bundled catalog's window."""

import collections
import contextlib
import csv
import io
import os
import signal
import sqlite3
import sys
import threading
import unittest

from support import sessions, wait_until
from support.quorva import REAL_CATALOG, SAVE_TITLE, QuorvaTestCase, free_port

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "server"))
from harness import Client, hold_connections  # noqa: E402

HEADER = ["รหัสสินค้า", "ชื่อสินค้า", "หมวดหมู่", "ราคา", "จำนวน", "หมายเหตุ", "สร้างเมื่อ (UTC)",
          "แก้ไขล่าสุด (UTC)"]
IMPORTED = '\ufeffรหัสสินค้า,ชื่อสินค้า,ราคา,จำนวน\r\nA-001,ข้าวหอมมะลิ 5 กก.,12.50,3\r\n' \
           'A-002,"น้ำปลาแท้ ""ตราปลา""",35,12\r\nB-010,=ไม่ใช่สูตร,1,1\r\n'
# As exported: a cell that a spreadsheet would run as a formula is quoted.
EXPORTED = [("A-001", "ข้าวหอมมะลิ 5 กก."), ("A-002", 'น้ำปลาแท้ "ตราปลา"'),
            ("B-010", "'=ไม่ใช่สูตร"), ("E2E-1", "สินค้าจากหน้าต่าง")]
LEAVE = "ออกจากหน้านี้หรือไม่"
NAME = "document.querySelector('form.item').name.value"


class CatalogTest(QuorvaTestCase):
    def open_catalog(self, path="/", **options):
        # The bundled catalog with at most 256 descriptors.
        address = self.open("import resource\nresource.setrlimit(resource.RLIMIT_NOFILE, "
                             "(256, 256))\n" + REAL_CATALOG, "document.querySelector('nav')", 40,
                             env={"QUORVA_PORT": str(free_port())}, **options)
        self.go(path)
        return address

    def go(self, path):
        self.page.evaluate(f"location.href = {path!r}")
        self.page.wait_for(f"location.pathname === {path!r} && document.querySelector('h1')", 20)

    def find_status(self, text):
        wait_until(lambda: self.action("find-status")[1] == text, 15, what=f"the find bar {text!r}")

    def test_find_print_and_typing_kept_until_a_signal(self):
        address = self.open_catalog()
        client = Client(int(address.rsplit(":", 1)[1].strip("/")))
        for code, name in (("MG-1", "มะม่วงน้ำดอกไม้"), ("MG-2", "น้ำมะม่วง"), ("MG-3", "มะม่วงอบแห้ง")):
            client.add(code, name)
        self.page.evaluate("location.reload()")
        self.page.wait_for("document.querySelectorAll('tbody tr').length === 3", timeout=20)
        self.page.evaluate("window.keys = []; addEventListener('keydown', e => keys.push(e.key))")
        # Closed, the bar leaves the page its keys.
        self.press(self.window, "F3", "ctrl+g")
        self.page.wait_for("['F3', 'g'].every(key => keys.includes(key))")

        # A Thai word copied from the page is found inside words too; it wraps both ways.
        self.page.evaluate("(name => getSelection().setBaseAndExtent(name, 0, name, 6))"
                           "(document.querySelector('#item-1 td + td').firstChild)")
        self.press(self.window, "ctrl+c")
        self.session.wait_for_clipboard("มะม่วง")
        self.press(self.window, "ctrl+f", "ctrl+v")
        self.find_status("1 จาก 3")
        for keys, status in ((["Return", "F3", "ctrl+g"], "1 จาก 3"), (["shift+F3"], "3 จาก 3")):
            self.press(self.window, *keys)
            self.find_status(status)
        self.assertEqual(self.page.evaluate("getSelection().toString()"), "มะม่วง")
        # Typed over, in any case.
        self.press(self.window, "ctrl+a")
        self.session.type_text(self.window, "mg-")
        self.find_status("1 จาก 3")
        self.session.type_text(self.window, "x")
        self.find_status("ไม่พบข้อความนี้ในหน้า")
        self.press(self.window, "Escape")
        self.find_status("")
        self.page.wait_for("document.hasFocus()")

        self.press(self.window, "ctrl+p")
        self.answer(self.dialog(), "Escape")
        self.assert_page_stays(address)

        # Half-typed: the close button, a link and Quit all ask, and keeping is the default.
        self.go("/items/new")
        self.page.evaluate("document.querySelector('form.item').name.focus()")
        self.session.type_text(self.window, "Mango jam")
        self.page.wait_for(f"{NAME} === 'Mango jam'")
        self.session.close(self.window)
        self.answer(self.dialog(LEAVE), "Escape")
        self.page.evaluate("setTimeout(() => document.querySelector('nav a').click())")
        self.answer(self.dialog(LEAVE), "Escape")
        self.press(self.window, "ctrl+q")
        self.answer(self.dialog(LEAVE), "Return")
        self.assertEqual(self.page.evaluate(f"[location.pathname, {NAME}]"),
                         ["/items/new", "Mango jam"])
        # With the question on screen, a signal still ends everything at once.
        self.press(self.window, "ctrl+q")
        self.dialog(LEAVE)
        self.shell.signal(signal.SIGTERM)
        self.assertEqual(self.shell.wait(15), 0)
        self.shell.wait_for_no_leftovers()

    @unittest.skipUnless(sessions.current().name == "xvfb", "the desktop adds nothing here")
    def test_import_and_add_under_held_connections_then_export_snapshot_and_quit(self):
        address = self.open_catalog("/import", downloads=True, browser=("inode/directory",))
        stop, dropped = threading.Event(), collections.Counter()
        attack = threading.Thread(target=hold_connections,
                                  args=(int(address.rsplit(":", 1)[1].strip("/")), stop, dropped))
        attack.start()
        self.addCleanup(attack.join, 30)
        self.addCleanup(stop.set)
        # The slow drips outlast the head deadline and are dropped (and come back).
        wait_until(lambda: dropped["drip"] >= 50, 40, what="slow drips dropped")

        source = os.path.join(self.shell.root, "items.csv")
        with open(source, "w", encoding="utf-8", newline="") as handle:
            handle.write(IMPORTED)
        self.page.evaluate("document.querySelector('input[type=file]').focus()")
        self.press(self.window, "space")
        chooser = self.dialog()
        self.session.type_text(chooser, source)
        self.answer(chooser, "Return")
        self.page.wait_for("document.querySelector('input[type=file]').files.length === 1")
        self.page.evaluate("document.querySelector('form.item').submit()")
        done = "นำเข้าเรียบร้อย: เพิ่มใหม่ 3 รายการ"
        self.page.wait_for(f"document.body.textContent.includes({done!r})", timeout=20)
        self.go("/items/new")
        self.page.evaluate("""(() => { const form = document.querySelector('form.item');
          form.code.value = 'E2E-1'; form.name.value = 'สินค้าจากหน้าต่าง';
          form.price.value = '12.50'; form.quantity.value = '3'; form.submit(); })()""")
        self.page.wait_for("document.querySelector('.flash')", timeout=20)
        stop.set()
        attack.join(30)

        # A cancelled save writes nothing, as the saved one after it shows.
        self.go("/")
        self.click_link("ส่งออก CSV")
        self.answer(self.dialog(SAVE_TITLE), "Escape")
        self.click_link("ส่งออก CSV")
        self.answer(self.dialog(SAVE_TITLE), "Return")
        name = self.saved()
        self.assertRegex(name, r"^catalog-\d{4}-\d{2}-\d{2}\.csv$")
        with open(os.path.join(self.downloads, name), "rb") as handle:
            data = handle.read()
        self.assertTrue(data.startswith(b"\xef\xbb\xbf"))
        rows = list(csv.reader(io.StringIO(data.decode("utf-8-sig"), newline="")))
        self.assertEqual(rows[0], HEADER)
        self.assertEqual(sorted((row[0], row[1]) for row in rows[1:]), EXPORTED)
        # The notice's button opens the folder with the desktop's default handler, which
        # gets a local folder as a path.
        self.assertEqual(self.action("open-download-folder", activate=True)[0], True)
        wait_until(lambda: self.recorded_urls() == [self.downloads], 20, what="the folder opened")
        self.assert_page_stays(address)
        os.remove(os.path.join(self.downloads, name))

        self.go("/backups")
        self.click_link("ดาวน์โหลดสำเนาตอนนี้")
        self.answer(self.dialog(SAVE_TITLE), "Return")
        name = self.saved()
        self.assertRegex(name, r"^catalog-[\d-]+\.db$")
        with contextlib.closing(sqlite3.connect(os.path.join(self.downloads, name))) as db:
            self.assertEqual(db.execute("PRAGMA integrity_check").fetchone(), ("ok",))
            self.assertEqual(db.execute("SELECT count(*), sum(price_satang) FROM items")
                             .fetchone(), (4, 1250 + 1250 + 3500 + 100))
        self.assertEqual(sorted(os.listdir(self.shell.home)),
                         [".cache", ".config", ".local", "Downloads"])
        self.assertTrue(self.shell.running())
        self.assertNotIn("Traceback", self.shell.stderr_text())

        # An untouched form quits at once.
        self.go("/items/new")
        self.page.close()
        self.press(self.window, "ctrl+q")
        self.assertEqual(self.shell.wait(15), 0)
        self.shell.wait_for_no_leftovers()


if __name__ == "__main__":
    unittest.main()
