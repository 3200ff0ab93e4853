"""Saving through the window: the Downloads folder, the save dialog and the notice bar."""

import os

from . import sessions, x11
from .quorva import APPLICATION_ID
from .wait import wait_until

SAVE_TITLE = "บันทึกไฟล์"


class DownloadsMixin:
    """For a QuorvaTestCase whose test has set `shell`, `window` and `page`."""

    def make_downloads_folder(self, shell):
        """Gives the shell's home a Downloads folder; a `before_start` for start_shell."""
        self.downloads = os.path.join(shell.home, "Downloads")
        os.makedirs(self.downloads)
        os.makedirs(shell.config_home, exist_ok=True)
        with open(os.path.join(shell.config_home, "user-dirs.dirs"), "w") as handle:
            handle.write('XDG_DOWNLOAD_DIR="$HOME/Downloads"\n')

    def dialog(self, title=None):
        def others():
            with x11.Display(self.display) as x:
                return [w for w in x.find(pid=self.shell.pid, title=title) if w != self.window]
        return wait_until(others, 20, what=f"a dialog titled {title!r}")[0]

    def answer(self, dialog, key):
        x11.send_keys(dialog, key, display=self.display)
        with x11.Display(self.display) as x:
            wait_until(lambda: not x.is_viewable(dialog), 10, what="the dialog to close")

    def click_link(self, text):
        self.page.evaluate(f"[...document.querySelectorAll('a')]"
                           f".find(a => a.textContent.trim() === {text!r}).focus()")
        x11.send_keys(self.window, "Return", display=self.display)

    def action(self, name, activate=False):
        """Whether the application's action is enabled, and its state; activated if asked."""
        if activate:
            sessions.activate_action(self.bus.address, APPLICATION_ID, name)
        return sessions.describe_action(self.bus.address, APPLICATION_ID, name)

    def notice(self, text):
        """Waits for the notice bar to show this text."""
        wait_until(lambda: self.action("download-notice")[1] == text, 20,
                   what=f"the notice {text!r}")

    def assert_page_stays(self, address):
        self.assertEqual(self.page.location(), address)
        self.assertNotIn("[QUORVA] loaded about:", self.shell.stderr_text())

    def files(self):
        return sorted(os.listdir(self.downloads))

    def saved(self):
        """The one file that took its final name, once it has, with its notice."""
        [name] = wait_until(lambda: [f for f in self.files() if not f.startswith(".")], 20,
                            what="the saved file")
        self.notice(f"บันทึกไฟล์ “{name}” ไว้ที่ {self.downloads} แล้ว")
        self.assertEqual(self.files(), [name])
        return name
