import os
import signal
import unittest

from support import sessions, x11
from support.inspector import Inspector
from support.quorva import REPLY, QuorvaTestCase, SessionBus
from support.shell import all_processes, read_proc
from support.wait import wait_until
from support.xvfb import xvfb

STOPPED_TITLE = "หน้าเว็บหยุดทำงาน"

# Pages that say where they are; /slow tells the test it was asked, then
# keeps the load open.
DAILY_SERVER = REPLY + """
import ctypes, http.server, os, signal, sys, time
ctypes.CDLL(None).prctl(1, signal.SIGTERM)

class Page(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        if self.path == "/slow":
            open(os.environ["SLOW_MARK"], "w").close()
            time.sleep(60)
        body = ("<!DOCTYPE html><html><body><p id='where'>" + self.path + "</p>"
                "<a id='next' href='/next'>next</a><a id='slow' href='/slow'>slow</a>"
                "</body></html>").encode()
        reply(self, body)

    def log_message(self, *args):
        pass

server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Page)
sys.stdout.write("http://127.0.0.1:%d/\\n" % server.server_address[1])
server.serve_forever()
"""


def descendants(pid, comm):
    children = {}
    for process in all_processes():
        children.setdefault(process.ppid, []).append(process)
    found, pending = [], [pid]
    while pending:
        for child in children.get(pending.pop(), []):
            pending.append(child.pid)
            if child.comm == comm:
                found.append(child.pid)
    return found


class DailyTest(QuorvaTestCase):
    def open_catalog(self):
        mark = {}

        def prepare(shell):
            mark["slow"] = os.path.join(shell.root, "slow-asked")
            shell.env["SLOW_MARK"] = mark["slow"]

        shell = self.start_shell(DAILY_SERVER, before_start=prepare)
        self.slow_mark = mark["slow"]
        window = self.main_window(shell)
        page = self.inspector()
        page.wait_for("location.protocol === 'http:' && document.getElementById('where')",
                      timeout=30)
        return shell, window, page

    def reconnect_when(self, expression, timeout=30):
        """A new inspector connection once the page shows `expression`.

        The inspector keeps quiet about a page whose process died; a new
        connection finds the page that took its place."""
        def attempt():
            page = Inspector.connect(self.inspector_port, timeout=5)
            try:
                page.wait_for(expression, timeout=5)
            except Exception:
                page.close()
                raise
            return page

        return wait_until(attempt, timeout, 0.2, what=expression)

    def press(self, window, *keys):
        x11.send_keys(window, *keys, display=self.display)

    # A dead page process, or a network process lost mid-load, ends in the
    # error page (or, for the network, in a fresh working page, never a blank
    # one); Reload brings the catalog back from the same server.
    def test_dead_processes_end_in_the_error_page_and_reload_brings_the_catalog_back(self):
        def kill_page_process(shell, page):
            return "WebKitWebProces"

        def kill_network_mid_load(shell, page):
            page.evaluate("setTimeout(() => document.getElementById('slow').click(), 0)")
            wait_until(lambda: os.path.exists(self.slow_mark), 15, what="the slow load")
            return "WebKitNetworkPr"

        for name, before in (("page process", kill_page_process),
                             ("network process", kill_network_mid_load)):
            with self.subTest(name):
                shell, window, page = self.open_catalog()
                try:
                    server = self.python_runs()[0]["pid"]
                    page.evaluate("window.old = true")
                    victims = descendants(shell.pid, before(shell, page))
                    self.assertTrue(victims)
                    for pid in victims:
                        os.kill(pid, signal.SIGKILL)
                    page.close()
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
                    self.press(window, "ctrl+r")
                    page.wait_for("location.pathname === '/' && document.getElementById('where')",
                                  timeout=20)
                    self.assertEqual([run["pid"] for run in self.python_runs()], [server])
                    self.assertIsNotNone(read_proc(server))
                finally:
                    page.close()
                    shell.cleanup()

    def test_history_keys_and_buttons_move_through_pages(self):
        shell, window, page = self.open_catalog()
        page.evaluate("document.getElementById('next').click()")
        page.wait_for("location.pathname === '/next'", timeout=15)
        # The last row: the loading page before the catalog is no place to go
        # back to, so the second Alt+Left stays and Alt+Right still leads on.
        for keys, path in ((("alt+Left",), "/"), (("alt+Right",), "/next"),
                           ((8,), "/"), ((9,), "/next"),
                           (("alt+Left",), "/"), (("alt+Left", "alt+Right"), "/next")):
            if isinstance(keys[0], int):
                x11.click(window, 400, 400, keys[0], display=self.display)
            else:
                self.press(window, *keys)
            page.wait_for(f"location.pathname === {path!r} && document.getElementById('where')",
                          timeout=15)


class SmallScreenTest(QuorvaTestCase):
    """A screen smaller than the first-start size."""

    class Session(sessions.XSession):
        def start(self):
            self.display = self._stack.enter_context(xvfb(1024, 700))
            return self

    @classmethod
    def setUpClass(cls):
        cls.session = cls.Session().start()
        cls.display = cls.session.display
        cls.bus = SessionBus()

    def test_window_opens_no_larger_than_the_screen(self):
        shell = self.start_shell(inspect=False)
        window = self.main_window(shell)
        wait_until(lambda: x11.geometry(window, display=self.display) == (1024, 700), 10,
                   what="the window to fill the small screen")


if __name__ == "__main__":
    unittest.main()
