"""Find, print and the question before typing is lost, in the real catalog's window."""

import os
import signal
import sys
import unittest

from support import wait_until
from support.quorva import REAL_CATALOG, QuorvaTestCase, free_port

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "server"))
from harness import Client  # noqa: E402

LEAVE = "ออกจากหน้านี้หรือไม่"
NAME = "document.querySelector('form.item').name.value"


class PageToolsTest(QuorvaTestCase):
    def open_catalog(self, path):
        address = self.open(REAL_CATALOG, "document.querySelector('nav')", 40,
                            env={"QUORVA_PORT": str(free_port())})
        self.page.evaluate(f"location.href = {path!r}")
        self.page.wait_for(f"location.pathname === {path!r} && document.querySelector('h1')",
                           timeout=20)
        return address

    def find_status(self, text):
        wait_until(lambda: self.action("find-status")[1] == text, 15, what=f"the find bar {text!r}")

    def asks(self, *keys, then="Escape"):
        self.press(self.window, *keys)
        self.answer(self.dialog(LEAVE), then)

    def test_find_print_and_typing_kept_until_a_signal(self):
        address = self.open_catalog("/")
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
        self.page.evaluate("location.href = '/items/new'")
        self.page.wait_for("document.querySelector('form.item')", timeout=20)
        self.page.evaluate("document.querySelector('form.item').name.focus()")
        self.session.type_text(self.window, "Mango jam")
        self.page.wait_for(f"{NAME} === 'Mango jam'")
        self.session.close(self.window)
        self.answer(self.dialog(LEAVE), "Escape")
        self.page.evaluate("setTimeout(() => document.querySelector('nav a').click())")
        self.answer(self.dialog(LEAVE), "Escape")
        self.asks("ctrl+q", then="Return")
        self.assertEqual(self.page.evaluate(f"[location.pathname, {NAME}]"),
                         ["/items/new", "Mango jam"])
        # With the question on screen, a signal still ends everything at once.
        self.press(self.window, "ctrl+q")
        self.dialog(LEAVE)
        self.shell.signal(signal.SIGTERM)
        self.assertEqual(self.shell.wait(15), 0)
        self.shell.wait_for_no_leftovers()

    def test_an_untouched_form_quits_at_once(self):
        self.open_catalog("/items/new")
        self.page.close()
        self.press(self.window, "ctrl+q")
        self.assertEqual(self.shell.wait(15), 0)
        self.shell.wait_for_no_leftovers()


if __name__ == "__main__":
    unittest.main()
