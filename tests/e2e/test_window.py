import os
import pathlib
import signal
import unittest

from support import wait_until
from support.quorva import QuorvaTestCase


class WindowTest(QuorvaTestCase):
    def test_window_shows_the_loading_page(self):
        shell = self.start_shell()
        window = self.session.main_window(shell)
        self.assertEqual(self.session.title(window), "QUORVA")
        # 1280x840 and the 960x600 minimum are the page's, bars and borders aside.
        page = self.inspector()
        inner = tuple(page.wait_for("innerWidth && [innerWidth, innerHeight]", timeout=20))
        self.assertEqual(inner, (1280, 840))
        if not self.session.wayland:
            outer = self.session.size(window)
            minimum = (960 + outer[0] - inner[0], 600 + outer[1] - inner[1])
            wait_until(lambda: self.session.min_size(window) == minimum, 10,
                       what="the minimum size hint")
        page.wait_for("document.querySelector('p')", timeout=20)
        self.assertEqual(page.evaluate("[location.href, document.querySelector('p').textContent,"
                                       " document.documentElement.lang,"
                                       " document.querySelectorAll('.dot').length]"),
                         ["about:blank", "กำลังเปิด QUORVA\u2026", "th", 1])

    def test_size_is_kept_however_the_shell_ends(self):
        # Closing saves at once; a signal finds the size saved since the resize.
        wanted = (1100, 700)
        for name, end in (("closed", lambda shell, window: self.session.close(window)),
                          ("SIGTERM", lambda shell, window: shell.signal(signal.SIGTERM))):
            with self.subTest(name):
                first = self.start_shell()
                window = self.session.main_window(first)
                page = self.inspector()
                frame = self.session.size(window)[0] - page.wait_for("innerWidth", timeout=20)
                self.session.resize(window, *wanted)
                # As a user would: the end comes after the page has followed the resize.
                page.wait_for(f"window.innerWidth === {wanted[0] - frame}", timeout=10)
                state = os.path.join(first.state_home, "quorva", "window-state.ini")
                saved = lambda: "width=1100\nheight=700\n" in pathlib.Path(state).read_text()
                if name == "SIGTERM":
                    wait_until(saved, 10, what="the new size to be saved")
                end(first, window)
                self.assertEqual(first.wait(15), 0)
                self.assertTrue(saved())

                second = self.start_shell(inspect=False, root=first.root)
                window = self.session.main_window(second)
                wait_until(lambda: self.session.size(window) == wanted, 10,
                           what="the restored size")
                second.cleanup()



class SmallScreenTest(QuorvaTestCase):
    sessions = {"xvfb"}
    screen = (1024, 700)

    def test_window_opens_no_larger_than_the_screen(self):
        window = self.session.main_window(self.start_shell(inspect=False))
        wait_until(lambda: self.session.size(window) == (1024, 700), 10,
                   what="the window to fill the small screen")


if __name__ == "__main__":
    unittest.main()
