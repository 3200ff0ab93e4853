import os
import pathlib
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from support import wait_until
from support.quorva import (SERVING_SERVER, SILENT_WITH_PARENT, QuorvaTestCase, Shell, binary,
                            descendants, free_port, read_proc)

STUBBORN_SERVER = """
import signal, sys, time
signal.signal(signal.SIGTERM, signal.SIG_IGN)
print("http://127.0.0.1:9/", flush=True)
while True:
    time.sleep(60)
"""


README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
NO_DISPLAY = ("QUORVA ต้องเปิดในหน้าจอเดสก์ท็อป (ไม่พบ DISPLAY หรือ WAYLAND_DISPLAY) / "
              "QUORVA needs a desktop session (neither DISPLAY nor WAYLAND_DISPLAY is set)\n")


def ignores_terminate(pid):
    with open(f"/proc/{pid}/status") as status:
        mask = next(line for line in status if line.startswith("SigIgn:")).split()[1]
    return bool(int(mask, 16) & (1 << (signal.SIGTERM - 1)))


def raw_environ(pid):
    return pathlib.Path(f"/proc/{pid}/environ").read_bytes()


class ServerTest(QuorvaTestCase):
    def test_every_failing_server_shows_its_page_with_the_error_tail(self):
        # A copy of the program with no resources beside it.
        lonely = self.enterContext(tempfile.TemporaryDirectory(prefix="quorva-lonely-"))
        os.makedirs(os.path.join(lonely, "bin"))
        program = shutil.copy(binary(), os.path.join(lonely, "bin"))
        for name, source, env, title, tail in (
                ("before the address",
                 "import sys\nsys.stderr.write('\\n  boom <x> & y\\n\\n')\nsys.exit(3)\n", None,
                 "เปิดเซิร์ฟเวอร์ในเครื่องไม่สำเร็จ", "boom <x> & y"),
                ("after the address", SERVING_SERVER, {"EXIT_AFTER_A_PAGE": "1"},
                 "เซิร์ฟเวอร์หยุดทำงาน (exit 3)", "bye <now>"),
                ("no script", None, {"QUORVA_CATALOG": None}, "ไม่พบไฟล์ catalog.py ในแอป",
                 "QUORVA.app เสียหายหรือถูกแตกไฟล์ไม่ครบ - ลองโหลด QUORVA.zip ใหม่")):
            with self.subTest(name):
                shell = self.start_shell(source or "", env=env, program=source is None and program)
                self.assertEqual(self.heading(self.inspector(), title), tail)
                self.assertEqual(len(self.python_runs()), 0 if source is None else 1)
                self.assertTrue(os.path.isdir(shell.env["QUORVA_HOME"]))
                shell.cleanup()

    def test_every_way_to_end_stops_the_server(self):
        # A proxy left in the environment that nothing answers: the page shows all the same,
        # and the server gets it as it was.
        proxy = {"http_proxy": f"http://127.0.0.1:{free_port()}", "no_proxy": "",
                 "QUORVA_DEBUG": ""}
        for name, source, end, status in (
                ("SIGTERM", SERVING_SERVER, [signal.SIGTERM], 0),
                ("SIGINT", SERVING_SERVER, [signal.SIGINT], 0),
                ("SIGTERM twice", SERVING_SERVER, [signal.SIGTERM, signal.SIGTERM], 0),
                ("SIGINT then SIGTERM", SERVING_SERVER, [signal.SIGINT, signal.SIGTERM], 0),
                ("SIGTERM, with a server that ignores it", STUBBORN_SERVER, [signal.SIGTERM], 0),
                ("the window closed", SERVING_SERVER, "close", 0),
                # The server then ends by itself.
                ("SIGKILL", SERVING_SERVER, [signal.SIGKILL], -signal.SIGKILL),
                ("SIGKILL while starting", SILENT_WITH_PARENT, [signal.SIGKILL], -signal.SIGKILL)):
            with self.subTest(name):
                shell = self.start_shell(source, inspect=False, env=proxy)
                window = self.session.main_window(shell)
                server = self.server_pid()
                if source is SERVING_SERVER:
                    wait_until(lambda: re.search(r"\[QUORVA\] loaded http://127\.0\.0\.1:\d+/\n",
                                                 shell.stderr_text()), 30, what="the page")
                    self.assertEqual({k: self.python_runs()[0]["env"][k] for k in proxy}, proxy)
                if source is STUBBORN_SERVER:
                    wait_until(lambda: ignores_terminate(server), 20, what="SIGTERM ignored")
                started = time.monotonic()
                if end == "close":
                    self.session.close(window)
                for number in end if end != "close" else ():
                    shell.signal(number)
                self.assertEqual(shell.wait(15), status)
                if source is STUBBORN_SERVER:
                    # Killed once the grace is over, not before.
                    self.assertGreaterEqual(time.monotonic() - started, 3.0)
                wait_until(lambda: getattr(read_proc(server), "state", "Z") == "Z", 10,
                           what=f"process {server} to end")
                if status == 0:
                    shell.wait_for_no_leftovers()
                shell.cleanup()


class BareXTest(QuorvaTestCase):
    """Where the desktop does not matter."""

    sessions = {"xvfb"}

    def test_software_path_is_the_shells_own_and_the_server_gets_the_users_environment(self):
        # Without a GPU (Xvfb's GL is Mesa's software rasteriser) the shell renders without GL
        # by itself. Both processes load Mesa either way, so the path shows in what the shell
        # set for itself (its web processes inherit it) and in WebKit's compositor thread.
        # QUORVA_RENDERER=gpu is the control. A value that is not UTF-8 must reach the server
        # as the same bytes.
        for forced, gl_expected in ((None, False), ("gpu", True)):
            with self.subTest(QUORVA_RENDERER=forced):
                self.open(timeout=60, env={"GSK_RENDERER": None, "QUORVA_RENDERER": forced,
                                           "WEBKIT_DISABLE_COMPOSITING_MODE": None,
                                           "QUORVA_E2E_BYTES": "caf\u00e9 \udcff=1"})
                given = b"".join(os.fsencode(k) + b"=" + os.fsencode(v) + b"\0"
                                 for k, v in self.shell.env.items())
                self.assertEqual(raw_environ(self.shell.pid), given)
                self.assertEqual(raw_environ(self.server_pid()), given)
                web = [p.pid for p in descendants(self.shell.pid) if p.comm == "WebKitWebProces"]
                self.assertTrue(web)
                threads = [pathlib.Path(f"/proc/{pid}/task/{task}/comm").read_text() for pid in web
                           for task in os.listdir(f"/proc/{pid}/task")]
                self.assertEqual(any("Compositor" in name for name in threads), gl_expected)
                for pid in web:
                    self.assertEqual(b"\0GSK_RENDERER=cairo\0" in b"\0" + raw_environ(pid),
                                     not gl_expected)
                self.shell.cleanup()

    def test_arguments_only_inform_and_without_a_display_nothing_starts(self):
        variables = sorted(set(re.findall(r"^\| `(QUORVA_\w+)` \|", README.read_text(), re.M)))
        for name, arguments, display, status, output, error in (
                ("no display", [], None, 1, [r"\A\Z"], NO_DISPLAY),
                ("a display that cannot be opened", [], ":65000", 1, [r"\A\Z"],
                 "QUORVA เปิดหน้าจอเดสก์ท็อปไม่ได้ (DISPLAY=:65000) / QUORVA cannot open the "
                 "display (DISPLAY=:65000)\n"),
                ("--version", ["--version"], None, 0, [r"\AQUORVA \d+\.\d+\.\d+\n\Z"], ""),
                # The first that informs wins, and on a display no window opens.
                ("--help", ["-x", "--help", "--version"], "session", 0,
                 [r"\AUsage: quorva", "\n  scripts/run ", "\n  scripts/test "]
                 + [f"\n  {variable} " for variable in variables], "")):
            with self.subTest(name):
                shell = Shell(binary())
                self.session.prepare(shell)
                shell.env.pop("WAYLAND_DISPLAY", None)
                shell.env["QUORVA_HOME"] = os.path.join(shell.root, "data")
                if display != "session":
                    shell.env.pop("DISPLAY", None)
                if display not in (None, "session"):
                    shell.env["DISPLAY"] = display
                run = subprocess.run([shell.program, *arguments], env=shell.env, cwd=shell.root,
                                     capture_output=True, text=True, timeout=30)
                self.assertEqual((run.returncode, run.stderr), (status, error))
                for pattern in output:
                    self.assertRegex(run.stdout, pattern)
                # Nothing started: no data directory, so no server.
                self.assertFalse(os.path.exists(shell.env["QUORVA_HOME"]))
                shutil.rmtree(shell.root)

    @unittest.skipUnless(os.environ.get("QUORVA_SLOW_TESTS"), "takes the full 25 seconds")
    def test_silent_server_gets_the_timeout_page_after_25_seconds(self):
        shell = self.start_shell(SILENT_WITH_PARENT)
        page = self.inspector()
        started = time.monotonic()
        self.assertEqual(self.heading(page, "เซิร์ฟเวอร์ไม่ตอบสนองภายใน 25 วินาที", timeout=40),
                         "still starting")
        self.assertGreaterEqual(time.monotonic() - started, 20)
        server = self.server_pid()
        shell.signal(signal.SIGTERM)
        self.assertEqual(shell.wait(15), 0)
        wait_until(lambda: read_proc(server) is None, 10, what=f"server {server} to be gone")
        shell.wait_for_no_leftovers()


if __name__ == "__main__":
    unittest.main()
