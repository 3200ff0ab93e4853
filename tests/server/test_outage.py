import os
import re

from harness import ServerTestCase, each_engine, wait_until
from quorva_catalog.catalog.errors import UNAVAILABLE_TEXTS

# The server with its engine behind a switch the test turns (see away.py).
AWAY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "away.py")


@each_engine
class OutageTest(ServerTestCase):
    def setUp(self):
        super().setUp()
        self.switch = os.path.join(self.root, "away")

    def away(self, reason):
        with open(self.switch, "w") as switch:
            switch.write(reason)

    def start_away(self):
        return self.start(script=AWAY, env={"QUORVA_TEST_AWAY": self.switch})

    def assert_outage(self, page, reason):
        self.assert_shows(page, UNAVAILABLE_TEXTS[reason], 'http-equiv="refresh"', status=503)

    def test_the_address_comes_at_once_and_every_page_says_why_until_the_database_is_back(self):
        self.away("unreachable")
        server = self.start_away()
        for reason, path in [("unreachable", "/"), ("login", "/items/new"),
                             ("missing", "/backups"), ("missing", "/export.csv")]:
            self.away(reason)
            self.assert_outage(wait_until(lambda: (page := server.get(path)).text.count(
                UNAVAILABLE_TEXTS[reason]) and page, 10, reason), reason)
        self.away("")
        wait_until(lambda: server.get("/").status == 200, 10, "the catalog back")
        self.assertNotIn("Traceback", server.stderr())

    def test_what_was_typed_while_the_database_was_away_comes_back_and_saves_later(self):
        server = self.start_away()
        server.add("A-1", "ไข่ไก่")
        item = server.items()["A-1"]
        revision = re.search(r'name="revision" value="(\d+)"',
                             server.get(f"/items/{item}/edit").text)[1]
        typed = {"code": "A-1", "name": "ไข่เป็ด", "price": "12", "quantity": "3",
                 "category": "", "note": "ฟองใหญ่"}
        self.away("login")
        for path, fields in [("/items/new", {**typed, "code": "B-2"}),
                             (f"/items/{item}/edit", {**typed, "revision": revision})]:
            self.assert_shows(server.post(path, fields), UNAVAILABLE_TEXTS["login"],
                              'value="ไข่เป็ด"', "ฟองใหญ่", status=503)
        self.assert_shows(server.upload(b"code,name,price\nC-3,x,1\n"),
                          UNAVAILABLE_TEXTS["login"], status=503)
        self.assert_outage(server.post(f"/items/{item}/delete", {}), "login")
        self.away("")
        self.assertEqual(server.post(f"/items/{item}/edit", {**typed, "revision": revision})
                         .status, 303)
        self.assertIn("ไข่เป็ด", server.get("/").text)
        self.assertNotIn("Traceback", server.stderr())
