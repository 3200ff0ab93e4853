import os
import shutil
import signal
import tempfile
import unittest

from support.quorva import SERVING_SERVER, SILENT_WITH_PARENT, QuorvaTestCase, binary
from support.shell import read_proc
from support.wait import wait_until

START_FAILURE = "เปิดเซิร์ฟเวอร์ในเครื่องไม่สำเร็จ"

# Serves its first page, then says why it stops and exits.
SERVE_ONE_PAGE_THEN_EXIT = """
import http.server, os, sys, threading
served = threading.Event()

class Page(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = b"<!DOCTYPE html><title>catalog</title><p>ok</p>"
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
        served.set()

    def log_message(self, *args):
        pass

server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Page)
threading.Thread(target=server.serve_forever, daemon=True).start()
print("http://127.0.0.1:%d/" % server.server_address[1], flush=True)
served.wait(30)
sys.stderr.write("bye <now>\\n")
sys.stderr.flush()
os._exit(3)
"""


class ServerTest(QuorvaTestCase):
    def server_pid(self):
        runs = wait_until(self.python_runs, 20, what="the shell to run python3")
        return runs[0]["pid"]

    def assert_gone(self, pid, timeout=10):
        wait_until(lambda: read_proc(pid) is None or read_proc(pid).state == "Z", timeout,
                   what=f"process {pid} to end")

    def test_server_runs_with_its_command_line_and_its_page_is_shown(self):
        shell = self.start_shell(SERVING_SERVER, env={"QUORVA_DB": "", "PYTHONUNBUFFERED": None})
        page = self.inspector()
        address = page.wait_for("location.protocol === 'http:' && location.href", timeout=30)
        self.assertRegex(address, r"^http://127\.0\.0\.1:\d+/$")
        self.assertEqual(page.evaluate("document.getElementById('where').textContent"), "/")

        run = self.python_runs()[0]
        bundled = os.path.join(os.path.dirname(binary()), "..", "share", "quorva", "catalog.py")
        script = (os.path.realpath(bundled) if os.path.exists(bundled)
                  else shell.env["QUORVA_CATALOG"])
        self.assertEqual(run["argv"], ["-u", os.path.normpath(script), "serve", "--no-browser",
                                       "--exit-with-parent", "--port", "8765"])
        self.assertEqual(run["cwd"], shell.env["QUORVA_HOME"])
        self.assertEqual(run["env"]["QUORVA_DB"], "")
        self.assertNotIn("PYTHONUNBUFFERED", run["env"])
        wait_until(lambda: f"[QUORVA] loaded {address}\n" in shell.stderr_text(), 10,
                   what="the log line of the server's page")

    def test_missing_script_shows_its_page(self):
        # A copy of the program with no resources beside it.
        lonely = tempfile.mkdtemp(prefix="quorva-lonely-")
        self.addCleanup(shutil.rmtree, lonely, True)
        os.makedirs(os.path.join(lonely, "bin"))
        program = shutil.copy(binary(), os.path.join(lonely, "bin"))
        shell = self.start_shell(env={"QUORVA_CATALOG": None}, program=program)
        detail = self.heading(self.inspector(), "ไม่พบไฟล์ catalog.py ในแอป")
        self.assertEqual(detail, "QUORVA.app เสียหายหรือถูกแตกไฟล์ไม่ครบ - ลองโหลด QUORVA.zip ใหม่")
        self.assertEqual(self.python_runs(), [])
        self.assertTrue(os.path.isdir(shell.env["QUORVA_HOME"]))

    def test_exit_shows_the_right_title_with_the_error_tail(self):
        cases = [
            ("before the address",
             "import sys\nsys.stderr.write('\\n  boom <x> & y\\n\\n')\nsys.exit(3)\n",
             START_FAILURE, "boom <x> & y"),
            ("after the address", SERVE_ONE_PAGE_THEN_EXIT,
             "เซิร์ฟเวอร์หยุดทำงาน (exit 3)", "bye <now>"),
        ]
        for name, source, title, tail in cases:
            with self.subTest(name):
                shell = self.start_shell(source)
                page = self.inspector()
                self.assertEqual(self.heading(page, title), tail)
                page.close()
                shell.cleanup()

    def test_signals_at_each_stage_stop_the_server_and_exit_zero(self):
        for name, source, signals in [
            ("SIGTERM", SERVING_SERVER, [signal.SIGTERM]),
            ("SIGINT", SERVING_SERVER, [signal.SIGINT]),
            ("SIGTERM while starting", SILENT_WITH_PARENT, [signal.SIGTERM]),
            ("SIGTERM twice", SERVING_SERVER, [signal.SIGTERM, signal.SIGTERM]),
            ("SIGINT then SIGTERM", SERVING_SERVER, [signal.SIGINT, signal.SIGTERM]),
        ]:
            with self.subTest(name):
                serving = source is SERVING_SERVER
                shell = self.start_shell(source, inspect=serving)
                self.main_window(shell)
                server = self.server_pid()
                if serving:
                    self.inspector().wait_for("location.protocol === 'http:'", timeout=30)
                for number in signals:
                    shell.signal(number)
                self.assertEqual(shell.wait(15), 0)
                self.assert_gone(server)
                shell.wait_for_no_leftovers(10)
                shell.cleanup()

    def test_closing_the_window_stops_the_server(self):
        shell = self.start_shell(SERVING_SERVER, inspect=False)
        window = self.main_window(shell)
        server = self.server_pid()
        self.close_window(window)
        self.assertEqual(shell.wait(15), 0)
        self.assert_gone(server)
        shell.wait_for_no_leftovers(10)

    def test_server_ends_by_itself_when_the_shell_is_killed(self):
        shell = self.start_shell(SERVING_SERVER, inspect=False)
        self.main_window(shell)
        server = self.server_pid()
        shell.kill()
        self.assertEqual(shell.wait(15), -signal.SIGKILL)
        self.assert_gone(server)


if __name__ == "__main__":
    unittest.main()
