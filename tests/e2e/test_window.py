"""A day in the window, against a test server that says where it is."""

import os
import pathlib
import signal
import unittest

from support import wait_until
from support.inspector import Inspector
from support.quorva import (SAVE_TITLE, SERVING_SERVER, SILENT_WITH_PARENT, QuorvaTestCase,
                            binary, descendants, read_proc)

DARK = "matchMedia('(prefers-color-scheme: dark)').matches === "
SHOWN = "document.getElementById('where')"


class WindowTest(QuorvaTestCase):
    def scheme(self, shell, value):
        # GNOME's setting in a key file, and no portal on the bus to answer first.
        settings = pathlib.Path(shell.config_home, "glib-2.0", "settings", "keyfile")
        settings.parent.mkdir(parents=True, exist_ok=True)
        settings.write_text(f"[org/gnome/desktop/interface]\ncolor-scheme='{value}'\n")

    def test_the_loading_page_until_sigterm_while_starting(self):
        shell = self.start_shell(SILENT_WITH_PARENT)
        window = self.session.main_window(shell)
        self.assertEqual(self.session.title(window), "QUORVA")
        # 1280x840 and the 960x600 minimum are the page's, bars and borders aside.
        page = self.inspector()
        inner = tuple(page.wait_for("innerWidth && [innerWidth, innerHeight]", timeout=20))
        self.assertEqual(inner, (1280, 840))
        if not self.session.wayland:
            outer = self.session.size(window)
            minimum = (960 + outer[0] - inner[0], 600 + outer[1] - inner[1])
            wait_until(lambda: self.session.min_size(window) == minimum, 10, what="the min hint")
        page.wait_for("document.querySelector('p')", timeout=20)
        self.assertEqual(page.evaluate("[location.href, document.querySelector('p').textContent,"
                                       " document.documentElement.lang,"
                                       " document.querySelectorAll('.dot').length]"),
                         ["about:blank", "กำลังเปิด QUORVA\u2026", "th", 1])
        server = self.server_pid()
        shell.signal(signal.SIGTERM)
        self.assertEqual(shell.wait(15), 0)
        wait_until(lambda: read_proc(server) is None, 10, what=f"server {server} to be gone")
        shell.wait_for_no_leftovers()

    def test_browsing_saving_and_the_size_and_scheme_at_the_next_start(self):
        shell = self.start_shell(SERVING_SERVER, downloads=True, browser=(
            "x-scheme-handler/http", "x-scheme-handler/https"), env={
            "GATE": "1", "QUORVA_DB": "", "PYTHONUNBUFFERED": None, "GSETTINGS_BACKEND": "keyfile"})
        window = self.window = self.session.main_window(shell)
        page = self.page = self.inspector()
        # Not listening yet: the connection page, and Reload finds the server once it is.
        self.assertNotEqual(self.heading(page, "เชื่อมต่อเซิร์ฟเวอร์ในเครื่องไม่ได้").strip(), "")
        open(self.server_file("gate"), "w").close()
        wait_until(lambda: os.path.exists(self.server_file("listening")), 10, what="listening")
        self.press(window, "ctrl+r")
        address = page.wait_for(f"location.protocol === 'http:' && {SHOWN} && location.href", 20)
        self.assertRegex(address, r"^http://127\.0\.0\.1:\d+/$")
        [run] = self.python_runs()
        bundled = os.path.join(os.path.dirname(binary()), "..", "share", "quorva", "catalog.py")
        script = os.path.realpath(bundled) if os.path.exists(bundled) else shell.env[
            "QUORVA_CATALOG"]
        self.assertEqual(run["argv"], ["-u", os.path.normpath(script), "serve", "--no-browser",
                                       "--exit-with-parent", "--port", "8765"])
        self.assertEqual((run["cwd"], run["env"]["QUORVA_DB"]), (shell.env["QUORVA_HOME"], ""))
        self.assertNotIn("PYTHONUNBUFFERED", run["env"])
        page.wait_for(DARK + "false")
        self.scheme(shell, "prefer-dark")
        page.wait_for(DARK + "true", timeout=15)

        # Status pages before the catalog are no place to go back to.
        page.evaluate("document.getElementById('next').click()")
        page.wait_for("location.pathname === '/next'", timeout=15)
        for keys, path in ((("alt+Left",), "/"), (("alt+Right",), "/next"),
                           ((8,), "/"), ((9,), "/next"),
                           (("alt+Left",), "/"), (("alt+Left", "alt+Right"), "/next")):
            if isinstance(keys[0], int):
                if self.session.wayland:
                    continue
                self.session.click(window, 400, 400, keys[0])
            else:
                self.press(window, *keys)
            page.wait_for(f"location.pathname === {path!r} && {SHOWN}", timeout=15)

        # Other sites go to the browser, however asked for; the window keeps its page.
        page.evaluate("location.href = 'https://example.com/away?x=1'")
        for element, url in ((None, "https://example.com/away?x=1"), ("blank", address + "popup"),
                             ("open", address + "scripted")):
            if element:
                page.evaluate(f"document.getElementById({element!r}).focus()")
                self.press(window, "Return")
            wait_until(lambda: url in self.recorded_urls(), 15, what=f"{url} in the browser")
        self.assert_page_stays(address + "next")
        # A new navigation replacing one in flight shows no error page, even once the slow
        # answer is back, long after a stopped load is judged.
        page.evaluate("document.getElementById('slow').click()")
        page.evaluate("setTimeout(() => { location.href = '/fast'; }, 300)")
        page.wait_for(f"location.pathname === '/fast' && {SHOWN}", timeout=15)
        wait_until(lambda: os.path.exists(self.server_file("slow-answered")), 15, what="slow")
        self.assert_page_stays(address + "fast")

        # Each row's zoom levels follow on from the row before.
        for keys, last in ((3 * ["ctrl+plus"], ["1.3000000000000003"]),
                           (8 * ["ctrl+equal"], ["2.0"]),
                           (["ctrl+minus", "ctrl+0"], ["1.9", "1.0"])):
            page.evaluate("window.zooms = []")
            self.press(window, *keys)
            page.wait_for(f"window.zooms.length === {len(keys)}", timeout=10)
            self.assertEqual(page.evaluate(f"window.zooms.slice({-len(last)})"), last)

        field = "document.getElementById('field')"
        page.evaluate(f"{field}.focus()")
        self.session.type_text(window, "abc")
        page.wait_for(f"{field}.value === 'abc'")
        self.press(window, "ctrl+a", "ctrl+c")
        self.session.wait_for_clipboard("abc")
        self.press(window, "End")
        page.wait_for(f"{field}.selectionStart === 3")
        for keys, value in ((["ctrl+v"], "abcabc"), (["ctrl+z"], "abc"),
                            # wtype's keymap has no shifted level: the menu item instead.
                            ("ทำซ้ำ" if self.session.wayland else ["ctrl+shift+z"], "abcabc"),
                            (["ctrl+a", "ctrl+x"], "")):
            self.choose(keys) if isinstance(keys, str) else self.press(window, *keys)
            page.wait_for(f"{field}.value === {value!r}")

        # Only whole files take their name; a cut body leaves nothing and says why.
        page.evaluate("location.href = '/raw'")
        self.answer(self.dialog(SAVE_TITLE), "Escape")
        for name in ("half-1.0.csv", "half-1.1.csv"):
            page.evaluate(f"location.href = '/{name}'")
            self.answer(self.dialog(SAVE_TITLE), "Return")
            partial = wait_until(lambda: [f for f in self.files() if f.startswith(f".{name}.")],
                                 20, what="the download to begin")
            self.assertTrue(all(f.startswith(".") for f in self.files()), self.files())
            self.assertTrue(partial[0].endswith(".part"), partial)
            open(self.server_file(name + ".drop"), "w").close()
            self.notice(f"บันทึกไฟล์ “{name}” ไม่สำเร็จ "
                        "เพราะการเชื่อมต่อกับเซิร์ฟเวอร์ขาดหายระหว่างดาวน์โหลด ลองใหม่อีกครั้ง")
            self.assertEqual(self.files(), [])
            self.assertEqual(self.action("open-download-folder")[0], False)
        self.assert_page_stays(address + "fast")

        # Closing saves the size at once, and the server goes with the window.
        frame = self.session.size(window)[0] - page.evaluate("innerWidth")
        self.session.resize(window, 1100, 700)
        page.wait_for(f"window.innerWidth === {1100 - frame}", timeout=10)
        # The log has the pages loaded and nothing else.
        self.assertEqual({line.split(" http")[0] for line in shell.stderr_text().splitlines()
                          if line.startswith("[QUORVA]")}, {"[QUORVA] loaded"})
        server = self.server_pid()
        self.page.close()
        self.session.close(window)
        self.assertEqual(shell.wait(15), 0)
        wait_until(lambda: read_proc(server) is None, 10, what=f"server {server} to be gone")
        shell.wait_for_no_leftovers()

        again = self.start_shell(SERVING_SERVER, root=shell.root,
                                 env={"GSETTINGS_BACKEND": "keyfile"})
        window = self.session.main_window(again)
        wait_until(lambda: self.session.size(window) == (1100, 700), 10, what="the saved size")
        page = self.inspector()
        page.wait_for(f"location.protocol === 'http:' && {SHOWN} && ({DARK} true)", timeout=30)
        self.scheme(again, "default")
        page.wait_for(DARK + "false", timeout=15)
        # A signal finds the size saved since the last resize.
        self.session.resize(window, 1200, 760)
        page.wait_for(f"window.innerWidth === {1200 - frame}", timeout=10)
        state = pathlib.Path(again.state_home, "quorva", "window-state.ini")
        wait_until(lambda: "width=1200\nheight=760\n" in state.read_text(), 10, what="saved")
        again.signal(signal.SIGTERM)
        self.assertEqual(again.wait(15), 0)
        last = self.start_shell(SERVING_SERVER, root=shell.root, inspect=False)
        window = self.session.main_window(last)
        wait_until(lambda: self.session.size(window) == (1200, 760), 10, what="the saved size")
        self.press(window, "ctrl+q")
        self.assertEqual(last.wait(15), 0)
        last.wait_for_no_leftovers()


class DailyTest(QuorvaTestCase):
    sessions = {"xvfb"}

    def reconnect_when(self, expression, timeout=30):
        # The inspector keeps quiet about a page whose process died; a new
        # connection finds the page that took its place.
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
                self.open(shown=SHOWN)
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
                    f"!window.old && document.body && document.body.children.length && ({SHOWN}"
                    " || document.querySelector('h1').textContent === 'หน้าเว็บหยุดทำงาน')")
                if page.evaluate("document.querySelector('h1') !== null"):
                    self.assertEqual(page.location(), "about:blank")
                    # The hint tells a Linux user how to get python3.
                    self.assertEqual(page.evaluate("document.querySelector('p code').textContent"),
                                     "sudo apt install python3")
                    self.assertNotIn("xcode-select", page.evaluate("document.body.innerHTML"))
                self.press(self.window, "ctrl+r")
                page.wait_for(f"location.pathname === '/' && {SHOWN}", timeout=20)
                self.assertEqual([run["pid"] for run in self.python_runs()], [server])
                self.assertIsNotNone(read_proc(server))
                self.shell.cleanup()


class SmallScreenTest(QuorvaTestCase):
    sessions = {"xvfb"}
    screen = (1024, 700)

    def test_window_opens_no_larger_than_the_screen(self):
        window = self.session.main_window(self.start_shell(inspect=False))
        wait_until(lambda: self.session.size(window) == (1024, 700), 10,
                   what="the window to fill the small screen")


if __name__ == "__main__":
    unittest.main()
