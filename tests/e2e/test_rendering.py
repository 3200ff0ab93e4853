"""Without a GPU (Xvfb's GL is Mesa's software rasteriser) the shell renders
without GL by itself, and the server still gets the user's environment."""

import os
import unittest

from support.quorva import SERVING_SERVER, QuorvaTestCase
from support.shell import all_processes
from support.wait import wait_until

# A value that is not UTF-8 must reach the server as the same bytes.
ODD_VARIABLE = {"QUORVA_E2E_BYTES": "caf\u00e9 \udcff=1"}


def raw_environ(pid):
    with open(f"/proc/{pid}/environ", "rb") as handle:
        return handle.read()


def descendants(pid):
    table = all_processes()
    found, frontier = [], [pid]
    while frontier:
        parent = frontier.pop()
        children = [p for p in table if p.ppid == parent]
        found += children
        frontier += [p.pid for p in children]
    return found


def thread_names(pid):
    names = []
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/comm") as handle:
            names.append(handle.read().strip())
    return names


class RenderingTest(QuorvaTestCase):
    def test_software_path_is_the_shells_own_and_the_server_gets_the_users_environment(self):
        # Both processes load Mesa either way, so the path shows in what the shell set for
        # itself (its web processes inherit it) and in WebKit's compositor thread.
        # QUORVA_RENDERER=gpu is the control.
        for forced, gl_expected in ((None, False), ("gpu", True)):
            with self.subTest(QUORVA_RENDERER=forced):
                env = {"GSK_RENDERER": None, "WEBKIT_DISABLE_COMPOSITING_MODE": None,
                       "QUORVA_RENDERER": forced, **ODD_VARIABLE}
                shell = self.start_shell(SERVING_SERVER, env=env)
                page = self.inspector()
                page.wait_for("location.protocol === 'http:'", timeout=60)

                server = wait_until(self.python_runs, 20, what="the server")[-1]["pid"]
                given = b"".join(os.fsencode(k) + b"=" + os.fsencode(v) + b"\0"
                                 for k, v in shell.env.items())
                self.assertEqual(raw_environ(shell.pid), given)
                self.assertEqual(raw_environ(server), given)

                web = [p.pid for p in descendants(shell.pid) if p.comm == "WebKitWebProces"]
                self.assertTrue(web)
                compositing = any("Compositor" in name for pid in web for name in thread_names(pid))
                self.assertEqual(compositing, gl_expected)
                for pid in web:
                    self.assertEqual(b"\0GSK_RENDERER=cairo\0" in b"\0" + raw_environ(pid),
                                     not gl_expected)
                shell.cleanup()


if __name__ == "__main__":
    unittest.main()
