import os
import signal
import time
import unittest

from support import wait_until
from support.quorva import SILENT_WITH_PARENT, QuorvaTestCase, read_proc

STUBBORN_SERVER = """
import signal, sys, time
signal.signal(signal.SIGTERM, signal.SIG_IGN)
print("http://127.0.0.1:9/", flush=True)
while True:
    time.sleep(60)
"""


def ignores_terminate(pid):
    with open(f"/proc/{pid}/status") as status:
        mask = next(line for line in status if line.startswith("SigIgn:")).split()[1]
    return bool(int(mask, 16) & (1 << (signal.SIGTERM - 1)))


class FaultTest(QuorvaTestCase):
    sessions = {"xvfb"}

    def test_server_ignoring_terminate_is_killed_after_the_grace(self):
        shell = self.start_shell(STUBBORN_SERVER, inspect=False)
        self.session.main_window(shell)
        server = self.server_pid()
        wait_until(lambda: ignores_terminate(server), 20, what="the server to ignore SIGTERM")
        started = time.monotonic()
        shell.signal(signal.SIGTERM)
        self.assertEqual(shell.wait(15), 0)
        self.assertGreaterEqual(time.monotonic() - started, 3.0)
        wait_until(lambda: read_proc(server) is None, 10, what=f"server {server} to be gone")
        shell.wait_for_no_leftovers()

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
