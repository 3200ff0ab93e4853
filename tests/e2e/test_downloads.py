import csv
import io
import os
import unittest

from support import wait_until
from support.quorva import REAL_CATALOG, SAVE_TITLE, QuorvaTestCase, free_port

HEADER = ["รหัสสินค้า", "ชื่อสินค้า", "หมวดหมู่", "ราคา", "จำนวน", "หมายเหตุ", "สร้างเมื่อ (UTC)",
          "แก้ไขล่าสุด (UTC)"]
IMPORTED = '\ufeffรหัสสินค้า,ชื่อสินค้า,ราคา,จำนวน\r\nA-001,ข้าวหอมมะลิ 5 กก.,12.50,3\r\n' \
           'A-002,"น้ำปลาแท้ ""ตราปลา""",35,12\r\nB-010,=ไม่ใช่สูตร,1,1\r\n'
# As exported: a cell that a spreadsheet would run as a formula is quoted.
EXPORTED = [("A-001", "ข้าวหอมมะลิ 5 กก."), ("A-002", 'น้ำปลาแท้ "ตราปลา"'),
            ("B-010", "'=ไม่ใช่สูตร")]


class DownloadsTest(QuorvaTestCase):
    sessions = {"xvfb"}

    def open_catalog(self):
        return self.open(REAL_CATALOG, timeout=40, downloads=True, browser=("inode/directory",),
                         env={"QUORVA_PORT": str(free_port())})

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


if __name__ == "__main__":
    unittest.main()
