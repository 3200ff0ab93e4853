# A day in the window, against a test server that says where it is.

import os
import pathlib
import re
import signal
import subprocess
import unittest

from support import wait_until
from support.quorva import (BINARY, NOTICE, OPEN_FOLDER, REAL_CATALOG, SAVE_TITLE, QuorvaTestCase,
                            Shell, free_port, write)

# Pages that say where they are, with what the tests click, type into and zoom. Files in
# its working directory (QUORVA_HOME) release what waits, and tell what it was asked.
SERVER = r'''
import http.server, os, socket, sys, time

PAGE = """<!DOCTYPE html><html><head><title>catalog</title></head><body><p id="where">PATH</p>
<a id="next" href="/next">next</a> <a id="slow" href="/slow">slow</a>
<input id="field">
<a id="blank" href="http://127.0.0.1:PORT/popup" target="_blank">new window</a>
<button id="open" onclick="window.open('http://127.0.0.1:PORT/scripted')">open</button>
</body></html>"""

def wait_for(name):
    while not os.path.exists(name):
        time.sleep(0.05)

class Page(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        time.sleep(3 if self.path == "/slow" else 0)
        body = PAGE.replace("PATH", self.path).replace("PORT", str(port)).encode()
        headers = {"Content-Type": "text/html; charset=utf-8", "Content-Length": len(body)}
        if self.path.startswith("/half"):
            # HTTP/1.0 ends at the close, so only the length shows the body is short.
            self.protocol_version = "HTTP/1.1" if "1.1" in self.path else "HTTP/1.0"
            body, headers = b"x" * 100000, {"Content-Type": "text/csv", "Content-Length": 200000,
                "Content-Disposition": f'attachment; filename="{self.path[1:]}"'}
        try:
            self.send_response(200)
            for header in headers.items():
                self.send_header(*header)
            self.end_headers()
            # Unbuffered: the body is on its way before anything waits.
            self.wfile.write(body)
        finally:
            open(self.path[1:] + "-answered", "w").close()
        if self.path.startswith("/half"):
            wait_for(self.path[1:] + ".drop")
            self.connection.shutdown(socket.SHUT_RDWR)
        if self.path == "/exit":
            print("bye <now>", file=sys.stderr, flush=True)
            os._exit(3)

    log_message = lambda self, *args: None

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
BAD_DISPLAY = ("QUORVA เปิดหน้าจอเดสก์ท็อปไม่ได้ (DISPLAY=:65000) / "
               "QUORVA cannot open the display (DISPLAY=:65000)\n")


class WindowTest(QuorvaTestCase):
    def scheme(self, value):
        # GNOME's setting in a key file, and no portal on the bus to answer first.
        write(f"{self.shell.config_home}/glib-2.0/settings/keyfile",
              f"[org/gnome/desktop/interface]\ncolor-scheme='{value}'\n")

    def test_a_day_from_the_loading_page_to_the_server_ending(self):
        # The server gets the environment exactly as the shell got it, bytes that are not
        # UTF-8 included. Without a GPU the shell chooses the software path by itself.
        self.open(SERVER, "document.querySelector('.dot')", 30, env={
            "QUORVA_DB": "", "QUORVA_E2E_BYTES": "caf\u00e9 \udcff=1", "GSK_RENDERER": None,
            "WEBKIT_DISABLE_COMPOSITING_MODE": None, "GSETTINGS_BACKEND": "keyfile"})
        shell, window, page = self.shell, self.window, self.page
        self.assertEqual(self.session.title(window), "QUORVA")
        # 1280x840 and the 960x600 minimum are the page's, bars and borders aside.
        self.assertEqual(page.evaluate("[location.href, document.querySelector('p').textContent,"
                                       " document.documentElement.lang, innerWidth, innerHeight]"),
                         ["about:blank", "กำลังเปิด QUORVA\u2026", "th", 1280, 840])
        if not self.session.wayland:
            width, height = self.session.size(window)
            wait_until(lambda: self.session.min_size(window) == (width - 320, height - 240), 10,
                       what="the minimum size hint")
        # An address with nothing listening yet: the connection page, and Reload finds the
        # server once it is.
        server_home = pathlib.Path(shell.env["QUORVA_HOME"])
        (server_home / "address").touch()
        self.assertNotEqual(self.heading("เชื่อมต่อเซิร์ฟเวอร์ในเครื่องไม่ได้").strip(), "")
        (server_home / "listen").touch()
        wait_until((server_home / "listening").exists, 10, what="the server to listen")
        self.press("ctrl+r")
        address = page.wait_for(f"location.protocol === 'http:' && {SHOWN} && location.href", 20)
        server = self.server()
        self.assertEqual(pathlib.Path(f"/proc/{server}/environ").read_bytes(), b"".join(
            os.fsencode(f"{k}={v}") + b"\0" for k, v in shell.env.items()))
        for web in shell.leftovers("WebKitWebProces"):
            self.assertIn(b"\0GSK_RENDERER=cairo\0",
                          b"\0" + pathlib.Path(f"/proc/{web}/environ").read_bytes())
        page.wait_for(DARK + "false")
        self.scheme("prefer-dark")
        page.wait_for(DARK + "true", timeout=15)

        # Status pages before the catalog are no place to go back to; the mouse's back and
        # forward buttons are X's 8 and 9.
        page.evaluate("document.getElementById('next').click()")
        page.wait_for("location.pathname === '/next'", timeout=15)
        mouse = () if self.session.wayland else (("8", "/"), ("9", "/next"))
        for keys, path in (("alt+Left", "/"), ("alt+Right", "/next"), *mouse,
                           ("alt+Left alt+Left alt+Right", "/next")):
            self.press(*keys.split()) if not keys.isdigit() else self.session.tool(
                "xdotool", "mousemove", "--window", window, 400, 400, "click", keys)
            page.wait_for(f"location.pathname === {path!r} && {SHOWN}", timeout=15)

        # Other sites go to the browser, however asked for; the window keeps its page.
        for ask, url in (("location.href = '{}'", "https://example.com/away?x=1"),
                         ("document.getElementById('blank').focus()", address + "popup"),
                         ("document.getElementById('open').focus()", address + "scripted")):
            page.evaluate(ask.format(url))
            if "focus" in ask:
                self.press("Return")
            wait_until(lambda: url in self.opened_urls(), 15, what=f"{url} in the browser")
        self.assertEqual(page.evaluate("location.href"), address + "next")
        # A new navigation replacing one in flight shows no error page, even once the slow
        # answer is back, long after a stopped load is judged.
        page.evaluate("document.getElementById('slow').click()")
        page.evaluate("setTimeout(() => { location.href = '/fast'; }, 300)")
        page.wait_for(f"location.pathname === '/fast' && {SHOWN}", timeout=15)
        wait_until((server_home / "slow-answered").exists, 15, what="the slow answer")
        self.assertEqual(page.evaluate("location.href"), address + "fast")

        # Each row's zoom level follows on from the row before, up to its bound.
        for keys, zoom in ((3 * ["ctrl+plus"], "1.3"), (8 * ["ctrl+equal"], "2"),
                           (["ctrl+minus"], "1.9"), (["ctrl+0"], "1")):
            self.press(*keys)
            page.wait_for(f"document.documentElement.style.zoom === {zoom!r}")
        # The edit keys, and the menu where wtype's keymap has no shifted level.
        field = "document.getElementById('field')"
        page.evaluate(f"{field}.focus()")
        self.session.type_text(window, "abc")
        for keys, value in (("ctrl+a ctrl+x", ""), ("ctrl+v ctrl+v", "abcabc"), ("ctrl+z", "abc"),
                            ("ทำซ้ำ" if self.session.wayland else "ctrl+shift+z", "abcabc")):
            self.choose(keys) if keys == "ทำซ้ำ" else self.press(*keys.split())
            page.wait_for(f"{field}.value === {value!r}")
            if not value:
                self.session.wait_for_clipboard("abc")

        # Only whole files take their name; a cut body leaves nothing and says why.
        for name in ("half-1.0.csv", "half-1.1.csv"):
            page.evaluate(f"location.href = '/{name}'")
            self.answer(self.dialog(SAVE_TITLE), "Return")
            wait_until(lambda: self.files() and all(re.match(rf"\.{name}\..*\.part", f)
                                                    for f in self.files()), 20, what="a .part file")
            (server_home / f"{name}.drop").touch()
            self.shows(NOTICE, f"บันทึกไฟล์ “{name}” ไม่สำเร็จ "
                       "เพราะการเชื่อมต่อกับเซิร์ฟเวอร์ขาดหายระหว่างดาวน์โหลด ลองใหม่อีกครั้ง")
            self.assertEqual((self.files(), self.accessibles(name=OPEN_FOLDER)), ([], []))
        self.assertEqual(page.evaluate("location.href"), address + "fast")

        # A dead page process ends in its error page, which tells a Linux user how to get
        # python3, and Reload brings the page back from the same server. The inspector keeps
        # quiet about a page whose process died; a new connection finds the one in its place.
        for pid in shell.leftovers("WebKitWebProces"):
            os.kill(pid, signal.SIGKILL)
        page.close()
        html = self.inspector("document.querySelector('h1')?.textContent === 'หน้าเว็บหยุดทำงาน'"
                              " && document.body.innerHTML")
        self.assertIn("<code>sudo apt install python3</code>", html)
        self.assertNotIn("xcode-select", html)
        self.press("ctrl+r")
        self.page.wait_for(f"location.pathname === '/' && {SHOWN}", timeout=20)
        self.assertEqual(self.server(), server)

        # Closing saves the size at once, and the server goes with the window.
        frame = self.session.size(window)[0] - self.page.evaluate("innerWidth")
        self.session.resize(window, 1100, 700)
        self.page.wait_for(f"innerWidth === {1100 - frame}", timeout=10)
        self.page.close()
        shell.ends(lambda: self.session.close(window))

        # The next start has the size and the scheme, and follows the scheme back to light.
        self.open(SERVER, f"location.protocol === 'http:' && {SHOWN} && ({DARK} true)", 30,
                  env={"GSETTINGS_BACKEND": "keyfile"})
        wait_until(lambda: self.session.size(self.window) == (1100, 700), 10, what="saved size")
        self.scheme("default")
        self.page.wait_for(DARK + "false", timeout=15)
        # A signal finds the size saved since the last resize.
        self.session.resize(self.window, 1200, 760)
        state = pathlib.Path(self.shell.state_home, "quorva", "window-state.ini")
        wait_until(lambda: "width=1200\nheight=760\n" in state.read_text(), 10, what="saved")
        # A server that ends shows why, with the end of what it said.
        self.page.evaluate("location.href = '/exit'")
        self.assertEqual(self.heading("เซิร์ฟเวอร์หยุดทำงาน (exit 3)"), "bye <now>")
        self.shell.ends(signal.SIGINT)


class CommandLineTest(QuorvaTestCase):
    sessions = {"xvfb"}

    def test_arguments_only_inform_and_without_a_display_nothing_starts(self):
        readme = (pathlib.Path(__file__).resolve().parents[2] / "README.md").read_text()
        usage = r"\AUsage: quorva" + "".join(f"(?=[\\s\\S]*\n  {re.escape(name)} )" for name in [
            "scripts/run", "scripts/test", *re.findall(r"^\| `(QUORVA_\w+)` \|", readme, re.M)])
        for arguments, display, status, output, error in (
                ([], None, 1, r"\A\Z", NO_DISPLAY), ([], ":65000", 1, r"\A\Z", BAD_DISPLAY),
                (["--version"], None, 0, r"\AQUORVA \d+\.\d+\.\d+\n\Z", ""),
                # The first that informs wins, and on a display no window opens.
                (["-x", "--help", "--version"], self.session.display, 0, usage, "")):
            with self.subTest(arguments=arguments, display=display):
                env = Shell(BINARY, self.root).env | ({"DISPLAY": display} if display else {})
                run = subprocess.run([BINARY, *arguments], env=env, capture_output=True,
                                     text=True, timeout=30)
                # Nothing started: no data directory, so no server.
                self.assertEqual((run.returncode, run.stderr, os.path.exists(env["QUORVA_HOME"])),
                                 (status, error, False))
                self.assertRegex(run.stdout, output)

    @unittest.skipUnless(os.environ.get("QUORVA_SLOW_TESTS"), "takes the full 25 seconds")
    def test_a_silent_server_gets_the_timeout_page_with_its_last_words(self):
        self.open("import sys, time\nsys.stderr.write('still starting\\n')\ntime.sleep(99)", "true")
        self.assertEqual(self.heading("เซิร์ฟเวอร์ไม่ตอบสนองภายใน 25 วินาที", 40), "still starting")
        self.shell.ends(signal.SIGTERM)


class WindowManagerTest(QuorvaTestCase):
    sessions = {"openbox"}

    def state(self, *states):
        wait_until(lambda: all(s in self.session.wm_state(self.window) for s in states), 15,
                   what=str(states))

    def test_minimise_hide_and_maximise_then_the_state_survives_a_restart(self):
        # A proxy left in the environment that nothing answers: the page shows all the same.
        port, proxy = free_port(), f"http://127.0.0.1:{free_port()}"
        first = self.start_shell(REAL_CATALOG, env={"QUORVA_PORT": str(port), "no_proxy": "",
                                                    "http_proxy": proxy})
        window = self.window = self.session.main_window(first)
        wait_until(lambda: f"[QUORVA] loaded http://127.0.0.1:{port}/" in first.stderr_text(), 40,
                   what="the catalog page")
        # Minimised or hidden, it comes back for a second start, the window manager's
        # window list and the menu, each in turn.
        second = lambda: self.assertEqual(self.start_shell("").process.wait(20), 0)
        listed = lambda: self.session.tool("xdotool", "windowactivate", window)
        for key, way_back in (("ctrl+m", second), ("ctrl+h", second), ("ctrl+m", listed),
                              ("ctrl+h", lambda: self.choose("QUORVA"))):
            self.press(key)
            self.state("Iconic", "_NET_WM_STATE_HIDDEN")
            way_back()
            wait_until(lambda: self.session.in_front(window), 15, what="the window in front")
        self.session.resize(window, 1100, 700)
        wait_until(lambda: self.session.size(window) == (1100, 700), 10, what="the new size")
        self.choose("ซูม")
        self.state("MAXIMIZED_VERT", "MAXIMIZED_HORZ")
        first.ends(lambda: self.press("ctrl+q"))

        window = self.window = self.session.main_window(self.start_shell(""))
        self.state("MAXIMIZED_VERT", "MAXIMIZED_HORZ")
        self.choose("ซูม")
        wait_until(lambda: self.session.size(window) == (1100, 700), 10, what="the saved size")


if __name__ == "__main__":
    unittest.main()
