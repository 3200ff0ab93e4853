import contextlib
import os
import sqlite3
import sys
import unittest

from support import wait_until
from support.quorva import REAL_CATALOG, SAVE_TITLE, QuorvaTestCase, binary, free_port

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "server"))
from test_http import Attack  # noqa: E402

# The window adds an item through its own form.
ADD_ITEM = """(() => {
  const form = document.querySelector('form.item');
  form.code.value = 'E2E-1'; form.name.value = 'สินค้าจากหน้าต่าง';
  form.price.value = '12.50'; form.quantity.value = '3';
  form.submit(); return true; })()"""


class CatalogSafetyTest(QuorvaTestCase):
    sessions = {"xvfb"}

    def setUp(self):
        bundled = os.path.join(os.path.dirname(binary()), "..", "share", "quorva", "catalog.py")
        if not os.path.exists(bundled):
            self.skipTest("needs the build's bundled catalog")
        # The bundled catalog with at most 256 descriptors.
        self.address = self.open("import resource\nresource.setrlimit(resource.RLIMIT_NOFILE, "
                                 "(256, 256))\n" + REAL_CATALOG, "document.querySelector('nav')",
                                 40, downloads=True, env={"QUORVA_PORT": str(free_port())})

    def test_the_window_keeps_answering_while_connections_are_held(self):
        port = int(self.address.rsplit(":", 1)[1].strip("/"))
        with Attack(port, idle=300, drip=50, host=f"127.0.0.1:{port}") as attack:
            wait_until(lambda: attack.dropped["drip"] >= 50, 40, what="slow drips dropped")
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
        self.assertTrue(self.shell.running())
        self.assertNotIn("Traceback", self.shell.stderr_text())

    def test_a_snapshot_downloaded_through_the_window_holds_what_was_saved(self):
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
        self.assert_page_stays(self.address + "backups")
        # The day's automatic snapshot, taken at start-up.
        self.assertRegex(" ".join(os.listdir(self.server_file("backups"))),
                         r"\bcatalog-\d{4}-\d{2}-\d{2}\.db\b")


if __name__ == "__main__":
    unittest.main()
