"""Without a GPU (Xvfb's GL is Mesa's software rasteriser) the shell renders
without GL by itself, and the server still gets the user's environment."""

import os
import pathlib
import unittest

from support.quorva import QuorvaTestCase, descendants

# A value that is not UTF-8 must reach the server as the same bytes.
ODD_VARIABLE = {"QUORVA_E2E_BYTES": "caf\u00e9 \udcff=1"}


def raw_environ(pid):
    with open(f"/proc/{pid}/environ", "rb") as handle:
        return handle.read()


class RenderingTest(QuorvaTestCase):
    sessions = {"xvfb"}

    def test_software_path_is_the_shells_own_and_the_server_gets_the_users_environment(self):
        # Both processes load Mesa either way, so the path shows in what the shell set for
        # itself (its web processes inherit it) and in WebKit's compositor thread.
        # QUORVA_RENDERER=gpu is the control.
        for forced, gl_expected in ((None, False), ("gpu", True)):
            with self.subTest(QUORVA_RENDERER=forced):
                self.open(timeout=60, env={"GSK_RENDERER": None, "QUORVA_RENDERER": forced,
                                           "WEBKIT_DISABLE_COMPOSITING_MODE": None,
                                           **ODD_VARIABLE})
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


if __name__ == "__main__":
    unittest.main()
