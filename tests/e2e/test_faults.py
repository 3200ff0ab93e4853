import os
import signal
import time
import unittest

from support.quorva import SERVING_SERVER, SILENT_WITH_PARENT, QuorvaTestCase
from support.shell import read_proc
from support.wait import wait_until

TIMEOUT_TITLE = "เซิร์ฟเวอร์ไม่ตอบสนองภายใน 25 วินาที"

STUBBORN_SERVER = """
import signal, sys, time
signal.signal(signal.SIGTERM, signal.SIG_IGN)
print("http://127.0.0.1:9/", flush=True)
while True:
    time.sleep(60)
"""


def ignores_terminate(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("SigIgn:"):
                    return bool(int(line.split()[1], 16) & (1 << (signal.SIGTERM - 1)))
    except OSError:
        pass
    return False


class FaultTest(QuorvaTestCase):
    """The shell stopped or killed at each stage leaves nothing behind."""

    def server_pid(self):
        return wait_until(self.python_runs, 20, what="the server to start")[0]["pid"]

    def assert_nothing_left(self, shell, server):
        wait_until(lambda: read_proc(server) is None, 10, what=f"server {server} to be gone")
        shell.wait_for_no_leftovers(10)

    def test_server_ignoring_terminate_is_killed_after_the_grace(self):
        shell = self.start_shell(STUBBORN_SERVER, inspect=False)
        self.main_window(shell)
        server = self.server_pid()
        wait_until(lambda: ignores_terminate(server), 20, what="the server to ignore SIGTERM")
        started = time.monotonic()
        shell.signal(signal.SIGTERM)
        self.assertEqual(shell.wait(15), 0)
        self.assertGreaterEqual(time.monotonic() - started, 3.0)
        self.assert_nothing_left(shell, server)

    def test_shell_killed_at_each_stage_takes_its_server_along(self):
        for name, source in (("while starting", SILENT_WITH_PARENT),
                             ("while serving", SERVING_SERVER)):
            with self.subTest(name):
                shell = self.start_shell(source, inspect=False)
                self.main_window(shell)
                server = self.server_pid()
                shell.kill()
                self.assertEqual(shell.wait(15), -signal.SIGKILL)
                wait_until(lambda: read_proc(server) is None, 10,
                           what=f"server {server} to end by itself")
                shell.cleanup()

    @unittest.skipUnless(os.environ.get("QUORVA_SLOW_TESTS"), "takes the full 25 seconds")
    def test_silent_server_gets_the_timeout_page_after_25_seconds(self):
        shell = self.start_shell(SILENT_WITH_PARENT)
        page = self.inspector()
        started = time.monotonic()
        self.assertEqual(self.heading(page, TIMEOUT_TITLE, timeout=40), "still starting")
        self.assertGreaterEqual(time.monotonic() - started, 20)
        server = self.server_pid()
        shell.signal(signal.SIGTERM)
        self.assertEqual(shell.wait(15), 0)
        self.assert_nothing_left(shell, server)


if __name__ == "__main__":
    unittest.main()
