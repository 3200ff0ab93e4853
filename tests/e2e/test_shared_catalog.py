# The window on a catalog shared through PostgreSQL: QUORVA_DB names the database, which
# another till (a catalog server of its own) changes meanwhile.

import html
import os
import re
import sys
import tempfile
import unittest

from support import wait_until
from support.quorva import REAL_CATALOG, QuorvaTestCase, free_port

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "server"))
import postgres  # noqa: E402
from harness import Server, command  # noqa: E402

SHOTS = os.path.join(os.environ.get("QUORVA_BUILD_DIR") or tempfile.gettempdir(), "e2e-shots")
SHOWS = "document.body && document.body.innerText.includes({!r})"


@unittest.skipIf(postgres.unavailable(), postgres.unavailable())
class SharedCatalogTest(QuorvaTestCase):
    def test_the_window_shows_what_another_till_saves_in_the_shared_catalog(self):
        url = postgres.shared().database()
        os.mkdir(other := f"{self.root}/other-till")
        till = Server(command("--db", url), other)
        self.addCleanup(till.stop)
        wait_until(lambda: till.get("/").status == 200, 20, what="the other till's catalog")
        self.assertEqual(till.add("SH-1", "กาแฟคั่วกลาง", price="120").status, 303)

        self.open(REAL_CATALOG, until=SHOWS.format("กาแฟคั่วกลาง"),
                  env={"QUORVA_DB": url, "QUORVA_PORT": str(free_port())})
        item = till.items()["SH-1"]
        # The edit form as it was opened: its hidden fields hold what it was opened with.
        opened = dict(re.findall(r'<input type="hidden" name="([\w-]+)" value="([^"]*)"',
                                 till.get(f"/items/{item}/edit").text))
        form = {**opened, **{k[4:]: html.unescape(v) for k, v in opened.items()
                             if k.startswith("was-")}}
        del form["token"]
        till.follow(till.post(f"/items/{item}/edit", {**form, "name": "กาแฟคั่วเข้ม"}))
        self.page.evaluate("location.reload()")
        self.page.wait_for(SHOWS.format("กาแฟคั่วเข้ม"), 20)
        os.makedirs(SHOTS, exist_ok=True)
        self.session.screenshot(f"{SHOTS}/shared-catalog-{self.session.name}.png", self.window)
