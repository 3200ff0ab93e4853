import contextlib
import os
import sqlite3
import sys
import unittest
import urllib.request

from support.quorva import QuorvaTestCase, binary
from support.shell import free_port
from support.wait import wait_until

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "server"))
from test_http import Attack  # noqa: E402

# The bundled catalog itself, run as the shell asks, with at most 256 descriptors.
REAL_CATALOG = """
import os, resource, sys
resource.setrlimit(resource.RLIMIT_NOFILE, (256, 256))
os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv[1:])
"""

# The window adds an item through its own form and then fetches a snapshot, as a click would.
ADD_ITEM = """(() => {
  const form = document.querySelector('form.item');
  form.code.value = 'E2E-1'; form.name.value = 'สินค้าจากหน้าต่าง';
  form.price.value = '12.50'; form.quantity.value = '3';
  form.submit(); return true; })()"""
FETCH_SNAPSHOT = """fetch('/backups/download').then(async r => [r.status,
  r.headers.get('Content-Disposition'), new TextDecoder('latin1').decode(
  (await r.arrayBuffer()).slice(0, 16))])"""


class CatalogSafetyTest(QuorvaTestCase):
    def open_catalog(self):
        bundled = os.path.join(os.path.dirname(binary()), "..", "share", "quorva", "catalog.py")
        if not os.path.exists(bundled):
            self.skipTest("needs the build's bundled catalog")
        port = free_port()
        shell = self.start_shell(REAL_CATALOG, env={"QUORVA_PORT": str(port)})
        page = self.inspector()
        address = page.wait_for("location.protocol === 'http:' && "
                                "document.querySelector('nav') && location.href", timeout=40)
        return shell, page, address

    def test_the_window_keeps_answering_while_connections_are_held(self):
        shell, page, address = self.open_catalog()
        port = int(address.rsplit(":", 1)[1].strip("/"))
        with Attack(port, idle=300, drip=50, host=f"127.0.0.1:{port}") as attack:
            wait_until(lambda: attack.dropped["drip"] >= 50, 40, what="slow drips dropped")
            times = []
            for path, heading in 2 * [("/items/new", "เพิ่มสินค้า"), ("/backups", "สำรองข้อมูล"),
                                      ("/import", "นำเข้าสินค้าจากไฟล์ CSV"),
                                      ("/", "รายการสินค้า")]:
                page.evaluate(f"location.href = {path!r}")
                page.wait_for(f"location.pathname === {path!r} && document.querySelector('h1') "
                              f"&& document.querySelector('h1').textContent === {heading!r}",
                              timeout=20)
                times.append(page.evaluate(
                    "performance.getEntriesByType('navigation')[0].responseEnd"))
            print(f"\nwindow under 300 idle + 50 slow-drip connections: page responses "
                  f"{', '.join(f'{t:.0f}' for t in times)} ms", file=sys.stderr)
        self.assertTrue(shell.running())
        self.assertNotIn("Traceback", shell.stderr_text())

    def test_a_snapshot_downloaded_through_the_window_holds_what_was_saved(self):
        shell, page, address = self.open_catalog()
        page.evaluate("location.href = '/items/new'")
        page.wait_for("document.querySelector('form.item')", timeout=20)
        page.evaluate(ADD_ITEM)
        page.wait_for("document.querySelector('.flash')", timeout=20)
        status, disposition, header = page.evaluate(FETCH_SNAPSHOT, timeout=20,
                                                    await_promise=True)
        self.assertEqual((status, header), (200, "SQLite format 3\x00"))
        self.assertRegex(disposition, r'^attachment; filename="catalog-[\d-]+\.db"$')
        snapshot = os.path.join(shell.root, "snapshot.db")
        with urllib.request.urlopen(urllib.request.Request(
                address + "backups/download", headers={"Host": address[7:-1]}),
                timeout=20) as response, open(snapshot, "wb") as out:
            out.write(response.read())
        with contextlib.closing(sqlite3.connect(snapshot)) as db:
            self.assertEqual(db.execute("SELECT code, name, price_satang FROM items").fetchall(),
                             [("E2E-1", "สินค้าจากหน้าต่าง", 1250)])
        # The day's automatic snapshot, taken at start-up.
        self.assertRegex(" ".join(os.listdir(os.path.join(shell.env["QUORVA_HOME"], "backups"))),
                         r"\bcatalog-\d{4}-\d{2}-\d{2}\.db\b")


if __name__ == "__main__":
    unittest.main()
