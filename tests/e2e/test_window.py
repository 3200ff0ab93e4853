# A day in the window, against a test server that says where it is.

import os
import pathlib
import re
import signal
import subprocess
import unittest

from support import wait_until
from support.inspector import Inspector
from support.quorva import SAVE_TITLE, QuorvaTestCase, Shell, binary, descendants

# Pages that say where they are, with what the tests click, type into and zoom. Files in
# its working directory (QUORVA_HOME) release what waits, and tell what it was asked.
SERVER = r'''
import http.server, os, socket, sys, time

PAGE = """<!DOCTYPE html><html><head><title>catalog</title></head><body><p id="where">PATH</p>
<a id="next" href="/next">next</a> <a id="slow" href="/slow">slow</a>
<a id="hang" href="/hang">hang</a> <input id="field">
<a id="blank" href="http://127.0.0.1:PORT/popup" target="_blank">new window</a>
<button id="open" onclick="window.open('http://127.0.0.1:PORT/scripted')">open</button>
</body></html>"""

def wait_for(name):
    while not os.path.exists(name):
        time.sleep(0.05)

class Page(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        open(self.path[1:] + "-asked", "w").close()
        time.sleep({"/slow": 3, "/hang": 60}.get(self.path, 0))
        body = PAGE.replace("PATH", self.path).replace("PORT", str(port)).encode()
        kind, length = "text/html; charset=utf-8", len(body)
        if self.path == "/raw":
            body, kind, length = b"\x00\x01raw", "application/octet-stream", 5
        elif self.path.startswith("/half"):
            # HTTP/1.0 ends at the close, so only the length shows the body is short.
            self.protocol_version = "HTTP/1.1" if "1.1" in self.path else "HTTP/1.0"
            body, kind, length = b"x" * 100000, "text/csv", 200000
        try:
            self.send_response(200)
            self.send_header("Content-Type", kind)
            self.send_header("Content-Length", str(length))
            if kind == "text/csv":
                self.send_header("Content-Disposition", f'attachment; filename="{self.path[1:]}"')
            self.end_headers()
            self.wfile.write(body)
            self.wfile.flush()
        finally:
            open(self.path[1:] + "-answered", "w").close()
        if self.path.startswith("/half"):
            wait_for(self.path[1:] + ".drop")
            self.connection.shutdown(socket.SHUT_RDWR)
        if self.path == "/exit":
            print("bye <now>", file=sys.stderr, flush=True)
            os._exit(3)

    def log_message(self, *args):
        pass

# The address comes only once the test says so, and the port opens later still.
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Page, bind_and_activate=False)
server.server_bind()
port = server.server_address[1]
wait_for("address")
print("Serving on http://127.0.0.1:%d/" % port, flush=True)
wait_for("listen")
server.server_activate()
open("listening", "w").close()
server.serve_forever()
'''

DARK = "matchMedia('(prefers-color-scheme: dark)').matches === "
SHOWN = "document.getElementById('where')"
NO_DISPLAY = ("QUORVA ต้องเปิดในหน้าจอเดสก์ท็อป (ไม่พบ DISPLAY หรือ WAYLAND_DISPLAY) / "
              "QUORVA needs a desktop session (neither DISPLAY nor WAYLAND_DISPLAY is set)\n")


def environ(pid):
    return pathlib.Path(f"/proc/{pid}/environ").read_bytes()


class WindowTest(QuorvaTestCase):
    def scheme(self, value):
        # GNOME's setting in a key file, and no portal on the bus to answer first.
        path = pathlib.Path(self.shell.config_home, "glib-2.0", "settings", "keyfile")
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(f"[org/gnome/desktop/interface]\ncolor-scheme='{value}'\n")

    def release(self, name):
        open(os.path.join(self.shell.env["QUORVA_HOME"], name), "w").close()

    def after_crash(self, victim, expression):
        # The inspector keeps quiet about a page whose process died; a new
        # connection finds the page that took its place.
        pids = descendants(self.shell.pid, victim)
        self.assertTrue(pids, victim)
        for pid in pids:
            os.kill(pid, signal.SIGKILL)
        self.page.close()

        def attempt():
            page = Inspector(self.inspector_port, timeout=5)
            try:
                return page, page.wait_for(expression, timeout=5)
            except Exception:
                page.close()
                raise

        self.page, seen = wait_until(attempt, 30, 0.2, what=expression)
        self.addCleanup(self.page.close)
        return seen

    def test_a_day_from_the_loading_page_to_the_server_ending(self):
        # The server gets the environment exactly as the shell got it, bytes that are not
        # UTF-8 included. Without a GPU the shell chooses the software path by itself.
        shell = self.start_shell(SERVER, downloads=True, browser=(
            "x-scheme-handler/http", "x-scheme-handler/https"), env={
            "QUORVA_DB": "", "QUORVA_E2E_BYTES": "caf\u00e9 \udcff=1",
            "GSK_RENDERER": None, "WEBKIT_DISABLE_COMPOSITING_MODE": None,
            "GSETTINGS_BACKEND": "keyfile"})
        window = self.window = self.session.main_window(shell)
        self.assertEqual(self.session.title(window), "QUORVA")
        page = self.page = self.inspector()
        # 1280x840 and the 960x600 minimum are the page's, bars and borders aside.
        page.wait_for("document.querySelector('.dot')", timeout=20)
        self.assertEqual(page.evaluate("[location.href, document.querySelector('p').textContent,"
                                       " document.documentElement.lang, innerWidth, innerHeight]"),
                         ["about:blank", "กำลังเปิด QUORVA\u2026", "th", 1280, 840])
        if not self.session.wayland:
            outer = self.session.size(window)
            wait_until(lambda: self.session.min_size(window) == (outer[0] - 320, outer[1] - 240),
                       10, what="the minimum size hint")
        # An address with nothing listening yet: the connection page, and Reload finds the
        # server once it is.
        self.release("address")
        self.assertNotEqual(self.heading("เชื่อมต่อเซิร์ฟเวอร์ในเครื่องไม่ได้").strip(), "")
        self.release("listen")
        wait_until(lambda: os.path.exists(shell.env["QUORVA_HOME"] + "/listening"), 10,
                   what="the server to listen")
        self.press("ctrl+r")
        address = page.wait_for(f"location.protocol === 'http:' && {SHOWN} && location.href", 20)
        self.assertRegex(address, r"^http://127\.0\.0\.1:\d+/$")
        server = self.server()
        self.assertEqual(environ(server), b"".join(os.fsencode(f"{k}={v}") + b"\0"
                                                   for k, v in shell.env.items()))
        for web in descendants(shell.pid, "WebKitWebProces"):
            self.assertIn(b"\0GSK_RENDERER=cairo\0", b"\0" + environ(web))
        page.wait_for(DARK + "false")
        self.scheme("prefer-dark")
        page.wait_for(DARK + "true", timeout=15)

        # Status pages before the catalog are no place to go back to.
        page.evaluate("document.getElementById('next').click()")
        page.wait_for("location.pathname === '/next'", timeout=15)
        for keys, path in ((("alt+Left",), "/"), (("alt+Right",), "/next"), ((8,), "/"),
                           ((9,), "/next"), (("alt+Left", "alt+Left", "alt+Right"), "/next")):
            if isinstance(keys[0], str):
                self.press(*keys)
            elif self.session.wayland:
                continue
            else:
                self.session.tool("xdotool", "mousemove", "--window", window, 400, 400, "click",
                                  keys[0])
            page.wait_for(f"location.pathname === {path!r} && {SHOWN}", timeout=15)

        # Other sites go to the browser, however asked for; the window keeps its page.
        page.evaluate("location.href = 'https://example.com/away?x=1'")
        for element, url in ((None, "https://example.com/away?x=1"), ("blank", address + "popup"),
                             ("open", address + "scripted")):
            if element:
                page.evaluate(f"document.getElementById({element!r}).focus()")
                self.press("Return")
            wait_until(lambda: url in self.opened_urls(), 15, what=f"{url} in the browser")
        self.assertEqual(page.evaluate("location.href"), address + "next")
        # A new navigation replacing one in flight shows no error page, even once the slow
        # answer is back, long after a stopped load is judged.
        page.evaluate("document.getElementById('slow').click()")
        page.evaluate("setTimeout(() => { location.href = '/fast'; }, 300)")
        page.wait_for(f"location.pathname === '/fast' && {SHOWN}", timeout=15)
        wait_until(lambda: os.path.exists(self.shell.env["QUORVA_HOME"] + "/slow-answered"), 15,
                   what="the slow answer")
        self.assertEqual(page.evaluate("location.href"), address + "fast")

        # Each row's zoom level follows on from the row before, up to its bound.
        for keys, zoom in ((3 * ["ctrl+plus"], "1.3"), (8 * ["ctrl+equal"], "2"),
                           (["ctrl+minus"], "1.9"), (["ctrl+0"], "1")):
            self.press(*keys)
            page.wait_for(f"document.documentElement.style.zoom === {zoom!r}")

        field = "document.getElementById('field')"
        page.evaluate(f"{field}.focus()")
        self.session.type_text(window, "abc")
        page.wait_for(f"{field}.value === 'abc'")
        self.press("ctrl+a", "ctrl+c")
        self.session.wait_for_clipboard("abc")
        self.press("End")
        page.wait_for(f"{field}.selectionStart === 3")
        for keys, value in ((["ctrl+v"], "abcabc"), (["ctrl+z"], "abc"),
                            # wtype's keymap has no shifted level: the menu item instead.
                            ("ทำซ้ำ" if self.session.wayland else ["ctrl+shift+z"], "abcabc"),
                            (["ctrl+a", "ctrl+x"], "")):
            self.choose(keys) if isinstance(keys, str) else self.press(*keys)
            page.wait_for(f"{field}.value === {value!r}")

        # Only whole files take their name; a cut body leaves nothing and says why.
        page.evaluate("location.href = '/raw'")
        self.answer(self.dialog(SAVE_TITLE), "Escape")
        for name in ("half-1.0.csv", "half-1.1.csv"):
            page.evaluate(f"location.href = '/{name}'")
            self.answer(self.dialog(SAVE_TITLE), "Return")
            partial = wait_until(lambda: [f for f in self.files() if f.startswith(f".{name}.")],
                                 20, what="the download to begin")
            self.assertTrue(partial[0].endswith(".part") and all(
                f.startswith(".") for f in self.files()), self.files())
            self.release(name + ".drop")
            self.notice(f"บันทึกไฟล์ “{name}” ไม่สำเร็จ "
                        "เพราะการเชื่อมต่อกับเซิร์ฟเวอร์ขาดหายระหว่างดาวน์โหลด ลองใหม่อีกครั้ง")
            self.assertEqual(self.files(), [])
            self.assertEqual(self.action("open-download-folder")[0], False)
        self.assertEqual(page.evaluate("location.href"), address + "fast")

        # A dead page process ends in its error page, which tells a Linux user how to get
        # python3; a network process lost mid-load in that page or a working one, never a
        # blank one. Reload brings the page back from the same server.
        page.evaluate("location.href = '/'")
        page.wait_for(f"location.pathname === '/' && {SHOWN} && (window.old = true)", 15)
        crashed = "document.querySelector('h1')?.textContent === 'หน้าเว็บหยุดทำงาน'"
        self.after_crash("WebKitWebProces", f"!window.old && {crashed} && location.href")
        self.assertEqual(self.page.evaluate("document.querySelector('p code').textContent"),
                         "sudo apt install python3")
        self.assertNotIn("xcode-select", self.page.evaluate("document.body.innerHTML"))
        self.press("ctrl+r")
        self.page.wait_for(f"location.pathname === '/' && {SHOWN}", timeout=20)
        self.page.evaluate("window.old = true; setTimeout(() => document.getElementById("
                           "'hang').click())")
        wait_until(lambda: os.path.exists(shell.env["QUORVA_HOME"] + "/hang-asked"), 15,
                   what="the hanging load")
        self.after_crash("WebKitNetworkPr", f"!window.old && ({SHOWN} || {crashed})")
        self.press("ctrl+r")
        self.page.wait_for(f"location.pathname === '/' && {SHOWN}", timeout=20)
        self.assertEqual(self.server(), server)

        # Closing saves the size at once, and the server goes with the window. The log has
        # the pages loaded and nothing else.
        frame = self.session.size(window)[0] - self.page.evaluate("innerWidth")
        self.session.resize(window, 1100, 700)
        self.page.wait_for(f"innerWidth === {1100 - frame}", timeout=10)
        self.assertEqual({line.split(" http")[0] for line in shell.stderr_text().splitlines()
                          if line.startswith("[QUORVA]")}, {"[QUORVA] loaded"})
        self.page.close()
        shell.ends(lambda: self.session.close(window))

        # The next start has the size and the scheme, and follows the scheme back to light.
        shell = self.start_shell(SERVER, env={"GSETTINGS_BACKEND": "keyfile"})
        window = self.window = self.session.main_window(shell)
        wait_until(lambda: self.session.size(window) == (1100, 700), 10, what="the saved size")
        self.page = self.inspector()
        self.page.wait_for(f"location.protocol === 'http:' && {SHOWN} && ({DARK} true)", 30)
        self.scheme("default")
        self.page.wait_for(DARK + "false", timeout=15)
        # A signal finds the size saved since the last resize.
        self.session.resize(window, 1200, 760)
        state = pathlib.Path(shell.state_home, "quorva", "window-state.ini")
        wait_until(lambda: "width=1200\nheight=760\n" in state.read_text(), 10, what="saved")
        # A server that ends shows why, with the end of what it said.
        self.page.evaluate("location.href = '/exit'")
        self.assertEqual(self.heading("เซิร์ฟเวอร์หยุดทำงาน (exit 3)"), "bye <now>")
        shell.ends(signal.SIGINT)


class CommandLineTest(QuorvaTestCase):
    sessions = {"xvfb"}

    def test_arguments_only_inform_and_without_a_display_nothing_starts(self):
        readme = pathlib.Path(__file__).resolve().parents[2].joinpath("README.md").read_text()
        variables = sorted(set(re.findall(r"^\| `(QUORVA_\w+)` \|", readme, re.M)))
        for arguments, display, status, output, error in (
                ([], None, 1, [r"\A\Z"], NO_DISPLAY),
                ([], ":65000", 1, [r"\A\Z"], "QUORVA เปิดหน้าจอเดสก์ท็อปไม่ได้ (DISPLAY=:65000) / "
                 "QUORVA cannot open the display (DISPLAY=:65000)\n"),
                (["--version"], None, 0, [r"\AQUORVA \d+\.\d+\.\d+\n\Z"], ""),
                # The first that informs wins, and on a display no window opens.
                (["-x", "--help", "--version"], self.session.display, 0,
                 [r"\AUsage: quorva", "\n  scripts/run ", "\n  scripts/test "]
                 + [f"\n  {variable} " for variable in variables], "")):
            with self.subTest(arguments=arguments, display=display):
                shell = Shell(binary(), self.root)
                env = dict(shell.env, **({"DISPLAY": display} if display else {}))
                run = subprocess.run([binary(), *arguments], env=env, cwd=self.root,
                                     capture_output=True, text=True, timeout=30)
                self.assertEqual((run.returncode, run.stderr), (status, error))
                for pattern in output:
                    self.assertRegex(run.stdout, pattern)
                # Nothing started: no data directory, so no server.
                self.assertFalse(os.path.exists(shell.env["QUORVA_HOME"]))


if __name__ == "__main__":
    unittest.main()
