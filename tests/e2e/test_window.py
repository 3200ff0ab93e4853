import os
import unittest

from support.wait import wait_until
from support.quorva import QuorvaTestCase

LOADING_TEXT = "กำลังเปิด QUORVA\u2026"


class WindowTest(QuorvaTestCase):
    def test_window_shows_the_loading_page(self):
        shell = self.start_shell()
        window = self.main_window(shell)
        self.assertEqual(self.session.title(window), "QUORVA")
        if not self.session.wayland:
            wait_until(lambda: self.session.min_size(window) == (960, 600), 10,
                       what="the minimum size hint")
        self.assertEqual(self.session.size(window), (1280, 840))

        page = self.inspector()
        page.wait_for("document.querySelector('p') !== null", timeout=20)
        self.assertEqual(page.location(), "about:blank")
        self.assertEqual(page.evaluate("document.querySelector('p').textContent"), LOADING_TEXT)
        self.assertEqual(page.evaluate("document.documentElement.lang"), "th")
        self.assertEqual(page.evaluate("document.querySelectorAll('.dot').length"), 1)

    def test_size_is_restored_on_the_next_start(self):
        first = self.start_shell()
        window = self.main_window(first)
        page = self.inspector()
        frame = 1280 - page.wait_for("window.innerWidth", timeout=20)
        wanted = (1100, 700)
        self.session.resize(window, *wanted)
        # As a user would: the close comes after the page has followed the resize.
        page.wait_for(f"window.innerWidth === {1100 - frame}", timeout=10)
        self.close_window(window)
        self.assertEqual(first.wait(15), 0)
        state = os.path.join(first.root, "home", ".local", "state", "quorva", "window-state.ini")
        with open(state) as saved:
            self.assertIn("width=1100\nheight=700\n", saved.read())

        second = self.start_shell(inspect=False, root=first.root)
        window = self.main_window(second)
        wait_until(lambda: self.session.size(window) == wanted, 10,
                   what="the restored size")


if __name__ == "__main__":
    unittest.main()
