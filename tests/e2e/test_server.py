import os
import shutil
import signal
import tempfile
import unittest

from support import wait_until
from support.quorva import SERVING_SERVER, SILENT_WITH_PARENT, QuorvaTestCase, binary, gone


class ServerTest(QuorvaTestCase):
    def test_server_runs_with_its_command_line_and_its_page_is_shown(self):
        address = self.open(env={"QUORVA_DB": "", "PYTHONUNBUFFERED": None})
        self.assertRegex(address, r"^http://127\.0\.0\.1:\d+/$")
        self.assertEqual(self.page.evaluate("document.getElementById('where').textContent"), "/")
        run = self.python_runs()[0]
        bundled = os.path.join(os.path.dirname(binary()), "..", "share", "quorva", "catalog.py")
        script = (os.path.realpath(bundled) if os.path.exists(bundled)
                  else self.shell.env["QUORVA_CATALOG"])
        self.assertEqual(run["argv"], ["-u", os.path.normpath(script), "serve", "--no-browser",
                                       "--exit-with-parent", "--port", "8765"])
        self.assertEqual(run["cwd"], self.shell.env["QUORVA_HOME"])
        self.assertEqual(run["env"]["QUORVA_DB"], "")
        self.assertNotIn("PYTHONUNBUFFERED", run["env"])
        wait_until(lambda: f"[QUORVA] loaded {address}\n" in self.shell.stderr_text(), 10,
                   what="the log line of the server's page")

    def test_missing_script_shows_its_page(self):
        # A copy of the program with no resources beside it.
        lonely = tempfile.mkdtemp(prefix="quorva-lonely-")
        self.addCleanup(shutil.rmtree, lonely, True)
        os.makedirs(os.path.join(lonely, "bin"))
        program = shutil.copy(binary(), os.path.join(lonely, "bin"))
        shell = self.start_shell(env={"QUORVA_CATALOG": None}, program=program)
        self.assertEqual(self.heading(self.inspector(), "ไม่พบไฟล์ catalog.py ในแอป"),
                         "QUORVA.app เสียหายหรือถูกแตกไฟล์ไม่ครบ - ลองโหลด QUORVA.zip ใหม่")
        self.assertEqual(self.python_runs(), [])
        self.assertTrue(os.path.isdir(shell.env["QUORVA_HOME"]))

    def test_exit_shows_the_right_title_with_the_error_tail(self):
        for name, source, env, title, tail in (
                ("before the address",
                 "import sys\nsys.stderr.write('\\n  boom <x> & y\\n\\n')\nsys.exit(3)\n", None,
                 "เปิดเซิร์ฟเวอร์ในเครื่องไม่สำเร็จ", "boom <x> & y"),
                ("after the address", SERVING_SERVER, {"EXIT_AFTER_A_PAGE": "1"},
                 "เซิร์ฟเวอร์หยุดทำงาน (exit 3)", "bye <now>")):
            with self.subTest(name):
                shell = self.start_shell(source, env=env)
                page = self.inspector()
                self.assertEqual(self.heading(page, title), tail)
                page.close()
                shell.cleanup()

    def test_every_way_to_end_stops_the_server(self):
        for name, source, end, status in (
                ("SIGTERM", SERVING_SERVER, [signal.SIGTERM], 0),
                ("SIGINT", SERVING_SERVER, [signal.SIGINT], 0),
                ("SIGTERM while starting", SILENT_WITH_PARENT, [signal.SIGTERM], 0),
                ("SIGTERM twice", SERVING_SERVER, [signal.SIGTERM, signal.SIGTERM], 0),
                ("SIGINT then SIGTERM", SERVING_SERVER, [signal.SIGINT, signal.SIGTERM], 0),
                ("the window closed", SERVING_SERVER, "close", 0),
                # The server then ends by itself.
                ("SIGKILL", SERVING_SERVER, [signal.SIGKILL], -signal.SIGKILL),
                ("SIGKILL while starting", SILENT_WITH_PARENT, [signal.SIGKILL], -signal.SIGKILL)):
            with self.subTest(name):
                serving = source is SERVING_SERVER and end != "close"
                shell = self.start_shell(source, inspect=serving)
                window = self.session.main_window(shell)
                server = self.server_pid()
                if serving:
                    self.inspector().wait_for("location.protocol === 'http:'", timeout=30)
                if end == "close":
                    self.session.close(window)
                for number in end if end != "close" else ():
                    shell.signal(number)
                self.assertEqual(shell.wait(15), status)
                wait_until(lambda: gone(server), 10, what=f"process {server} to end")
                if status == 0:
                    shell.wait_for_no_leftovers()
                shell.cleanup()


if __name__ == "__main__":
    unittest.main()
