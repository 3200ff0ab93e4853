import collections
import contextlib
import csv
import io
import os
import sqlite3
import sys
import threading
import unittest

from support import wait_until

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "server"))
from harness import hold_connections  # noqa: E402
from support.quorva import REAL_CATALOG, SAVE_TITLE, QuorvaTestCase, free_port

HEADER = ["รหัสสินค้า", "ชื่อสินค้า", "หมวดหมู่", "ราคา", "จำนวน", "หมายเหตุ", "สร้างเมื่อ (UTC)",
          "แก้ไขล่าสุด (UTC)"]
IMPORTED = '\ufeffรหัสสินค้า,ชื่อสินค้า,ราคา,จำนวน\r\nA-001,ข้าวหอมมะลิ 5 กก.,12.50,3\r\n' \
           'A-002,"น้ำปลาแท้ ""ตราปลา""",35,12\r\nB-010,=ไม่ใช่สูตร,1,1\r\n'
# As exported: a cell that a spreadsheet would run as a formula is quoted.
EXPORTED = [("A-001", "ข้าวหอมมะลิ 5 กก."), ("A-002", 'น้ำปลาแท้ "ตราปลา"'),
            ("B-010", "'=ไม่ใช่สูตร")]

# The window adds an item through its own form.
ADD_ITEM = """(() => {
  const form = document.querySelector('form.item');
  form.code.value = 'E2E-1'; form.name.value = 'สินค้าจากหน้าต่าง';
  form.price.value = '12.50'; form.quantity.value = '3';
  form.submit(); return true; })()"""


class DownloadsTest(QuorvaTestCase):
    sessions = {"xvfb"}

    def open_catalog(self):
        # The bundled catalog with at most 256 descriptors.
        return self.open("import resource\nresource.setrlimit(resource.RLIMIT_NOFILE, (256, 256))\n"
                         + REAL_CATALOG, "document.querySelector('nav')", 40, downloads=True,
                         browser=("inode/directory",), env={"QUORVA_PORT": str(free_port())})

    def test_import_through_the_chooser_then_export_saves_every_item(self):
        address = self.open_catalog()
        source = os.path.join(self.shell.root, "items.csv")
        with open(source, "w", encoding="utf-8", newline="") as handle:
            handle.write(IMPORTED)
        self.page.evaluate(f"location.href = {address + 'import'!r}")
        self.page.wait_for("document.querySelector('input[type=file]')", timeout=20)
        self.page.evaluate("document.querySelector('input[type=file]').focus()")
        self.press(self.window, "space")
        chooser = self.dialog()
        self.session.type_text(chooser, source)
        self.answer(chooser, "Return")
        self.page.wait_for("document.querySelector('input[type=file]').files.length === 1")
        self.page.evaluate("document.querySelector('form.item').submit()")
        done = "นำเข้าเรียบร้อย: เพิ่มใหม่ 3 รายการ"
        self.page.wait_for(f"document.body.textContent.includes({done!r})", timeout=20)

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
        # The notice's button opens the folder with the desktop's default handler.
        self.assertEqual(self.action("open-download-folder", activate=True)[0], True)
        # The shell asks for its file:// URI; the desktop hands a local folder over as a path.
        wait_until(lambda: self.recorded_urls() == [self.downloads], 20, what="the folder opened")
        self.assertEqual(self.page.evaluate("location.pathname"), "/")
        self.assertNotIn("[QUORVA] loaded about:", self.shell.stderr_text())

    def test_cancel_writes_nothing(self):
        address = self.open_catalog()
        self.click_link("ส่งออก CSV")
        self.answer(self.dialog(SAVE_TITLE), "Escape")
        # A second export, saved, shows that the first left nothing behind.
        self.click_link("ส่งออก CSV")
        self.answer(self.dialog(SAVE_TITLE), "Return")
        self.saved()
        self.assertEqual(sorted(os.listdir(self.shell.home)),
                         [".cache", ".config", ".local", "Downloads"])
        self.assert_page_stays(address)

    def test_download_that_dies_leaves_no_file_and_says_why(self):
        address = self.open(downloads=True)
        self.page.evaluate("location.href = '/raw'")
        self.answer(self.dialog(SAVE_TITLE), "Escape")
        for name in ("half-1.0.csv", "half-1.1.csv"):
            with self.subTest(name):
                self.page.evaluate(f"location.href = '/{name}'")
                self.answer(self.dialog(SAVE_TITLE), "Return")
                # Half-way, only hidden temporary files hold the data.
                partial = wait_until(lambda: [f for f in self.files() if f.startswith(f".{name}.")],
                                     20, what="the download to begin")
                self.assertTrue(all(f.startswith(".") for f in self.files()), self.files())
                self.assertTrue(partial[0].endswith(".part"), partial)
                open(self.server_file(name + ".drop"), "w").close()
                self.notice(f"บันทึกไฟล์ “{name}” ไม่สำเร็จ "
                            "เพราะการเชื่อมต่อกับเซิร์ฟเวอร์ขาดหายระหว่างดาวน์โหลด ลองใหม่อีกครั้ง")
                self.assertEqual(self.files(), [])
                self.assertEqual(self.action("open-download-folder")[0], False)
        self.assert_page_stays(address)


    def test_the_window_keeps_answering_while_connections_are_held(self):
        address = self.open_catalog()
        stop, dropped = threading.Event(), collections.Counter()
        attack = threading.Thread(target=hold_connections,
                                  args=(int(address.rsplit(":", 1)[1].strip("/")), stop, dropped))
        attack.start()
        try:
            # The slow drips outlast the head deadline and are dropped (and come back).
            wait_until(lambda: dropped["drip"] >= 50, 40, what="slow drips dropped")
            times = []
            for path, heading in 2 * [("/items/new", "เพิ่มสินค้า"), ("/backups", "สำรองข้อมูล"),
                                      ("/import", "นำเข้าสินค้าจากไฟล์ CSV"),
                                      ("/", "รายการสินค้า")]:
                self.page.evaluate(f"location.href = {path!r}")
                self.page.wait_for(f"location.pathname === {path!r} && "
                                   f"document.querySelector('h1')?.textContent === {heading!r}",
                                   timeout=20)
                times.append(self.page.evaluate(
                    "performance.getEntriesByType('navigation')[0].responseEnd"))
            print(f"\nwindow under 300 idle + 50 slow-drip connections: page responses "
                  f"{', '.join(f'{t:.0f}' for t in times)} ms", file=sys.stderr)
        finally:
            stop.set()
            attack.join(30)
        self.assertTrue(self.shell.running())
        self.assertNotIn("Traceback", self.shell.stderr_text())

    def test_a_snapshot_downloaded_through_the_window_holds_what_was_saved(self):
        address = self.open_catalog()
        self.page.evaluate("location.href = '/items/new'")
        self.page.wait_for("document.querySelector('form.item')", timeout=20)
        self.page.evaluate(ADD_ITEM)
        self.page.wait_for("document.querySelector('.flash')", timeout=20)
        self.page.evaluate("location.href = '/backups'")
        self.page.wait_for("document.querySelector('a[href=\"/backups/download\"]')", timeout=20)
        self.click_link("ดาวน์โหลดสำเนาตอนนี้")
        self.answer(self.dialog(SAVE_TITLE), "Return")
        name = self.saved()
        self.assertRegex(name, r"^catalog-[\d-]+\.db$")
        with contextlib.closing(sqlite3.connect(os.path.join(self.downloads, name))) as db:
            self.assertEqual(db.execute("PRAGMA integrity_check").fetchone(), ("ok",))
            self.assertEqual(db.execute("SELECT code, name, price_satang FROM items").fetchall(),
                             [("E2E-1", "สินค้าจากหน้าต่าง", 1250)])
        self.assert_page_stays(address + "backups")


if __name__ == "__main__":
    unittest.main()
