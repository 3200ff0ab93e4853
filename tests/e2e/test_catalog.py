# A shop's day in the bundled catalog's window.

import csv
import os
import signal
import unittest

from support import wait_until
from support.quorva import REAL_CATALOG, SAVE_TITLE, QuorvaTestCase, free_port

ITEMS = "\ufeffรหัสสินค้า,ชื่อสินค้า,ราคา,จำนวน\r\nMG-1,มะม่วงน้ำดอกไม้,12.50,3\r\n" \
        "MG-2,น้ำมะม่วง,35,12\r\nMG-3,มะม่วงอบแห้ง,1,1\r\n"
LEAVE = "ออกจากหน้านี้หรือไม่"
NAME = "document.querySelector('form.item').name.value"


class CatalogTest(QuorvaTestCase):
    def go(self, path):
        self.page.evaluate(f"location.href = {path!r}")
        self.page.wait_for(f"location.pathname === {path!r} && document.querySelector('h1')", 20)

    def find_status(self, text):
        wait_until(lambda: self.action("find-status")[1] == text, 15, what=f"the find bar {text!r}")

    def test_import_find_print_export_and_typing_kept_until_a_signal(self):
        # The bundled catalog, with at most 256 descriptors.
        address = self.open("import resource\nresource.setrlimit(resource.RLIMIT_NOFILE, "
                            "(256, 256))\n" + REAL_CATALOG, "document.querySelector('nav')", 40,
                            env={"QUORVA_PORT": str(free_port())})
        # A file picked in the file chooser is imported.
        source = os.path.join(self.root, "items.csv")
        with open(source, "w", encoding="utf-8", newline="") as handle:
            handle.write(ITEMS)
        self.go("/import")
        self.page.evaluate("document.querySelector('input[type=file]').focus()")
        self.press("space")
        chooser = self.dialog()
        self.session.type_text(chooser, source)
        self.answer(chooser, "Return")
        self.page.wait_for("document.querySelector('input[type=file]').files.length === 1")
        self.page.evaluate("document.querySelector('form.item').submit()")
        done = "นำเข้าเรียบร้อย: เพิ่มใหม่ 3 รายการ"
        self.page.wait_for(f"document.body.textContent.includes({done!r})", timeout=20)
        self.go("/")
        self.page.wait_for("document.querySelectorAll('tbody tr').length === 3", timeout=20)
        self.page.evaluate("window.keys = []; addEventListener('keydown', e => keys.push(e.key))")
        # Closed, the bar leaves the page its keys.
        self.press("F3", "ctrl+g")
        self.page.wait_for("['F3', 'g'].every(key => keys.includes(key))")

        # A Thai word copied from the page is found inside words too; it wraps both ways.
        self.page.evaluate("(name => getSelection().setBaseAndExtent(name, 0, name, 6))"
                           "(document.querySelector('#item-1 td + td').firstChild)")
        self.press("ctrl+c")
        self.session.wait_for_clipboard("มะม่วง")
        self.press("ctrl+f", "ctrl+v")
        self.find_status("1 จาก 3")
        for keys, status in ((["Return", "F3", "ctrl+g"], "1 จาก 3"), (["shift+F3"], "3 จาก 3")):
            self.press(*keys)
            self.find_status(status)
        self.assertEqual(self.page.evaluate("getSelection().toString()"), "มะม่วง")
        # Typed over, in any case.
        self.press("ctrl+a")
        self.session.type_text(self.window, "mg-")
        self.find_status("1 จาก 3")
        self.session.type_text(self.window, "x")
        self.find_status("ไม่พบข้อความนี้ในหน้า")
        self.press("Escape")
        self.find_status("")
        self.page.wait_for("document.hasFocus()")

        self.press("ctrl+p")
        self.answer(self.dialog(), "Escape")
        # A cancelled save writes nothing, as the saved one after it shows; the notice's
        # button opens the folder with the desktop's default handler, as a path.
        for key in ("Escape", "Return"):
            self.page.evaluate("document.querySelector('a[href=\"/export.csv\"]').focus()")
            self.press("Return")
            self.answer(self.dialog(SAVE_TITLE), key)
        [name] = wait_until(lambda: [f for f in self.files() if not f.startswith(".")], 20,
                            what="the saved file")
        self.notice(f"บันทึกไฟล์ “{name}” ไว้ที่ {self.downloads} แล้ว")
        self.assertEqual(self.files(), [name])
        self.assertRegex(name, r"^catalog-\d{4}-\d{2}-\d{2}\.csv$")
        with open(os.path.join(self.downloads, name), encoding="utf-8", newline="") as handle:
            rows = list(csv.reader(handle))
        self.assertEqual(sorted(row[1] for row in rows[1:]),
                         ["น้ำมะม่วง", "มะม่วงน้ำดอกไม้", "มะม่วงอบแห้ง"])
        self.assertTrue(rows[0][0].startswith("\ufeff"))
        self.assertTrue(self.action("open-download-folder", activate=True)[0])
        wait_until(lambda: self.opened_urls() == [self.downloads], 20, what="the folder opened")
        self.assertEqual(self.page.evaluate("location.href"), address)
        self.assertEqual(sorted(os.listdir(self.shell.home)),
                         [".cache", ".config", ".local", "Downloads"])

        # An untouched form lets a link leave at once; half-typed, the close button, a link
        # and Quit all ask, and keeping is the default.
        self.go("/items/new")
        self.page.evaluate("setTimeout(() => document.querySelector('nav a').click())")
        self.page.wait_for("location.pathname === '/'", timeout=20)
        self.go("/items/new")
        self.page.evaluate("document.querySelector('form.item').name.focus()")
        self.session.type_text(self.window, "Mango jam")
        self.page.wait_for(f"{NAME} === 'Mango jam'")
        self.session.close(self.window)
        self.answer(self.dialog(LEAVE), "Escape")
        self.page.evaluate("setTimeout(() => document.querySelector('nav a').click())")
        self.answer(self.dialog(LEAVE), "Escape")
        self.press("ctrl+q")
        self.answer(self.dialog(LEAVE), "Return")
        self.assertEqual(self.page.evaluate(f"[location.pathname, {NAME}]"),
                         ["/items/new", "Mango jam"])
        # With the question on screen, a signal still ends everything at once.
        self.press("ctrl+q")
        self.dialog(LEAVE)
        self.shell.ends(signal.SIGTERM)
        self.assertNotIn("Traceback", self.shell.stderr_text())


if __name__ == "__main__":
    unittest.main()
