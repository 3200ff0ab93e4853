import os
import signal
import unittest

from support import wait_until
from support.inspector import Inspector
from support.quorva import QuorvaTestCase, descendants, read_proc

STOPPED_TITLE = "หน้าเว็บหยุดทำงาน"


class DailyTest(QuorvaTestCase):
    sessions = {"xvfb"}

    def reconnect_when(self, expression, timeout=30):
        """A new inspector connection once the page shows `expression`.

        The inspector keeps quiet about a page whose process died; a new
        connection finds the page that took its place."""
        def attempt():
            page = Inspector(self.inspector_port, timeout=5)
            try:
                page.wait_for(expression, timeout=5)
            except Exception:
                page.close()
                raise
            return page

        page = wait_until(attempt, timeout, 0.2, what=expression)
        self.addCleanup(page.close)
        return page

    # A dead page process, or a network process lost mid-load, ends in the
    # error page (or, for the network, in a fresh working page, never a blank
    # one); Reload brings the catalog back from the same server.
    def test_dead_processes_end_in_the_error_page_and_reload_brings_the_catalog_back(self):
        for name, hang, victim in (("page process", False, "WebKitWebProces"),
                                   ("network process", True, "WebKitNetworkPr")):
            with self.subTest(name):
                self.open(shown="document.getElementById('where')")
                server = self.server_pid()
                self.page.evaluate("window.old = true")
                if hang:
                    self.page.evaluate("setTimeout(() => document.getElementById('hang').click())")
                    wait_until(lambda: os.path.exists(self.server_file("hang-asked")), 15,
                               what="the hanging load")
                victims = [p.pid for p in descendants(self.shell.pid) if p.comm == victim]
                self.assertTrue(victims)
                for pid in victims:
                    os.kill(pid, signal.SIGKILL)
                self.page.close()
                page = self.reconnect_when(
                    "!window.old && document.body && document.body.children.length && "
                    "(document.getElementById('where') || "
                    f"document.querySelector('h1').textContent === {STOPPED_TITLE!r})")
                if page.evaluate("document.querySelector('h1') !== null"):
                    self.assertEqual(page.location(), "about:blank")
                    # The hint tells a Linux user how to get python3.
                    self.assertEqual(page.evaluate("document.querySelector('p code').textContent"),
                                     "sudo apt install python3")
                    self.assertNotIn("xcode-select", page.evaluate("document.body.innerHTML"))
                self.press(self.window, "ctrl+r")
                page.wait_for("location.pathname === '/' && document.getElementById('where')",
                              timeout=20)
                self.assertEqual([run["pid"] for run in self.python_runs()], [server])
                self.assertIsNotNone(read_proc(server))
                page.close()
                self.shell.cleanup()

    def test_history_keys_and_buttons_move_through_pages(self):
        self.open(shown="document.getElementById('where')")
        self.page.evaluate("document.getElementById('next').click()")
        self.page.wait_for("location.pathname === '/next'", timeout=15)
        # The last row: the loading page before the catalog is no place to go
        # back to, so the second Alt+Left stays and Alt+Right still leads on.
        for keys, path in ((("alt+Left",), "/"), (("alt+Right",), "/next"),
                           ((8,), "/"), ((9,), "/next"),
                           (("alt+Left",), "/"), (("alt+Left", "alt+Right"), "/next")):
            if isinstance(keys[0], int):
                self.session.click(self.window, 400, 400, keys[0])
            else:
                self.press(self.window, *keys)
            self.page.wait_for(f"location.pathname === {path!r} && "
                               "document.getElementById('where')", timeout=15)


class SmallScreenTest(QuorvaTestCase):
    sessions = {"xvfb"}
    screen = (1024, 700)

    def test_window_opens_no_larger_than_the_screen(self):
        window = self.session.main_window(self.start_shell(inspect=False))
        wait_until(lambda: self.session.size(window) == (1024, 700), 10,
                   what="the window to fill the small screen")


if __name__ == "__main__":
    unittest.main()
