# What a real desktop adds to bare X: a window manager, the application's identity, HiDPI.

import configparser
import os
import pathlib
import re
import shutil
import signal
import struct
import subprocess
import tempfile
import unittest

from support import wait_until
from support.quorva import APPLICATION_ID, REAL_CATALOG, QuorvaTestCase, free_port

ICON_COLOUR = "#6633EE"
LOADING = "import time\ntime.sleep(600)\n"


def colours(path):
    # The image's distinct colours, as #RRGGBB.
    text = subprocess.run(["convert", path, "-alpha", "off", "-unique-colors", "-depth", "8",
                           "txt:-"], capture_output=True, text=True, check=True).stdout
    return {line.split()[2][:7].upper() for line in text.splitlines()[1:]}


def shot(name):
    # Screenshots stay in the build tree for a person to look at.
    path = os.path.join(os.environ.get("QUORVA_BUILD_DIR") or tempfile.gettempdir(), "e2e-shots")
    os.makedirs(path, exist_ok=True)
    return os.path.join(path, name + ".png")


class DesktopTest(QuorvaTestCase):
    def start_second(self, env=None, **options):
        # A second start of the program, which hands over to the first and ends.
        first = self.shell
        second = self.start_shell(LOADING, env=dict(env or {}), **options)
        self.assertEqual(second.process.wait(20), 0)
        self.assertEqual(second.leftovers(), [])
        self.shell = first

    def wait_state(self, window, *states, absent=()):
        wait_until(lambda: (lambda seen: all(s in seen for s in states) and not any(
            s in seen for s in absent))(self.session.wm_state(window)), 15, what=str(states))


class WindowManagerTest(DesktopTest):
    sessions = {"openbox"}

    def test_minimise_hide_and_maximise_then_the_state_survives_a_restart(self):
        first = self.start_shell(LOADING)
        window = self.window = self.session.main_window(first)
        for key, way_back in (("ctrl+m", self.start_second), ("ctrl+h", self.start_second),
                              ("ctrl+m", lambda: self.session.tool("xdotool", "windowactivate",
                                                                   window)),
                              ("ctrl+h", lambda: self.choose("QUORVA"))):
            self.press(key)
            self.wait_state(window, "Iconic", "_NET_WM_STATE_HIDDEN")
            way_back()
            wait_until(lambda: self.session.in_front(window), 15, what="the window in front")
        self.session.resize(window, 1100, 700)
        wait_until(lambda: self.session.size(window) == (1100, 700), 10, what="the new size")
        self.choose("ซูม")
        self.wait_state(window, "MAXIMIZED_VERT", "MAXIMIZED_HORZ")
        first.ends(lambda: self.press("ctrl+q"))

        window = self.window = self.session.main_window(self.start_shell(LOADING))
        self.wait_state(window, "MAXIMIZED_VERT", "MAXIMIZED_HORZ")
        self.assertEqual(self.session.size(window), (1920, 1080))
        self.choose("ซูม")
        self.wait_state(window, absent=("MAXIMIZED_VERT", "MAXIMIZED_HORZ"))
        wait_until(lambda: self.session.size(window) == (1100, 700), 10, what="the saved size")


class IdentityTest(DesktopTest):
    # The build installed into a temporary prefix, as a desktop finds it.

    @classmethod
    def setUpClass(cls):
        build = os.environ.get("QUORVA_BUILD_DIR")
        if not build:
            raise unittest.SkipTest("QUORVA_BUILD_DIR is not set; run through ctest")
        cls.prefix = tempfile.mkdtemp(prefix="quorva-prefix-")
        cls.addClassCleanup(shutil.rmtree, cls.prefix, True)
        subprocess.run(["cmake", "--install", build, "--prefix", cls.prefix], check=True,
                       stdout=subprocess.DEVNULL)
        super().setUpClass()

    def test_installed_it_finds_its_catalog_shows_who_it_is_and_a_second_start_presents_it(self):
        entry = configparser.ConfigParser(interpolation=None)
        entry.read(f"{self.prefix}/share/applications/{APPLICATION_ID}.desktop")
        entry = entry["Desktop Entry"]
        self.assertEqual((entry["Name"], entry["Exec"]), ("QUORVA", f"{self.prefix}/bin/quorva"))
        # A proxy left in the environment that nothing answers: the page shows all the same,
        # and the server gets it as it was.
        port, wayland = free_port(), self.session.wayland
        proxy = {"http_proxy": f"http://127.0.0.1:{free_port()}", "no_proxy": ""}
        shell = self.start_shell(REAL_CATALOG, program=f"{self.prefix}/bin/quorva", env={
            "QUORVA_CATALOG": None, "QUORVA_PORT": str(port), **proxy,
            "WAYLAND_DEBUG": "client" if wayland else None})
        window = self.window = self.session.main_window(shell)
        wait_until(lambda: f"[QUORVA] loaded http://127.0.0.1:{port}/" in shell.stderr_text(),
                   40, what="the catalog page to load from the prefix")
        server = pathlib.Path(f"/proc/{self.server()}/environ").read_bytes().split(b"\0")
        self.assertLessEqual({b"http_proxy=" + proxy["http_proxy"].encode(), b"no_proxy="},
                             set(server))
        self.assertIn(APPLICATION_ID if wayland else entry.get("StartupWMClass", entry["Name"]),
                      self.session.app_id(window))
        if not wayland:
            # The icon comes from PNGs, each as width, height, then ARGB pixels.
            icons, sizes = self.session.numbers(window, "_NET_WM_ICON"), []
            while len(icons) >= 2:
                width, height = icons[:2]
                # A point of the lower left, clear of the lens.
                pixel = icons[2 + height * 100 // 128 * width + width * 20 // 128]
                self.assertEqual(f"#{pixel & 0xFFFFFF:06X}", ICON_COLOUR)
                sizes.append((width, height))
                icons = icons[2 + width * height:]
            self.assertEqual(sorted(sizes), [(48, 48), (128, 128)])
        self.choose("เกี่ยวกับ QUORVA")
        about = self.dialog()
        self.assertIn("QUORVA", self.session.title(about))
        path = shot(f"about-{self.session.name}")
        wait_until(lambda: ICON_COLOUR in colours(self.session.screenshot(path, about)), 15,
                   what="the icon in the About window")
        self.answer(about, "Escape")
        if self.session.name != "xvfb":
            # Over another window, a second start, handed a launcher's startup token, raises it.
            wait_until(lambda: self.session.in_front(window), 15, what="the window in front")
            self.session.other_window()
            self.assertFalse(self.session.in_front(window))
        self.start_second({"DESKTOP_STARTUP_ID": "token-from-the-launcher",
                           "QUORVA_PORT": str(port)}, program=f"{self.prefix}/bin/quorva")
        self.assertTrue(shell.running())
        self.assertEqual(len([p for p in shell.leftovers() if p.comm == "python3"]), 1)
        if wayland:
            # Sway cannot mint a launcher's token for a test, so the focus it
            # grants for one is out of reach; the shell's part is to pass the
            # launcher's token to the compositor rather than ask for its own.
            used = r'xdg_activation_v1@\d+\.activate\("token-from-the-launcher"'
            wait_until(lambda: re.search(used, shell.stderr_text()), 15, what="the token used")
        elif self.session.name != "xvfb":
            wait_until(lambda: self.session.in_front(window), 15, what="the window raised")


class HiDpiTest(QuorvaTestCase):
    # A HiDPI laptop's screen: the window fits it, and pages render at full resolution.
    sessions, scale, screen = {"xvfb", "sway"}, 2, (1024, 700)

    def test_the_catalog_fits_the_screen_and_renders_at_full_resolution(self):
        self.open(REAL_CATALOG, "document.querySelector('nav')", 40,
                  env={"QUORVA_PORT": str(free_port())})
        wait_until(lambda: self.session.size(self.window) == (1024, 700), 10,
                   what="the window to fill the small screen")
        self.assertEqual(self.page.evaluate("devicePixelRatio"), 2)
        path = self.session.screenshot(shot(f"hidpi-{self.session.name}"), self.window)
        size = struct.unpack(">II", pathlib.Path(path).read_bytes()[16:24])
        self.assertEqual(size, tuple(2 * side for side in self.session.size(self.window)))
        # Half-pixel stripes: pure red and blue only where a CSS pixel has two device
        # pixels. Set through the CSSOM, which a page's style-src policy allows.
        self.page.evaluate("""Object.assign(document.documentElement.appendChild(
            document.createElement('div')).style, {position: 'fixed', left: '0', top: '0',
            zIndex: '2147483647', width: '64px', height: '64px', background:
            'repeating-linear-gradient(90deg, #f00 0 0.5px, #00f 0.5px 1px)'})""")
        stripes = path.replace(".png", "-stripes.png")
        wait_until(lambda: {"#FF0000", "#0000FF"} <= colours(
            self.session.screenshot(stripes, self.window)), 15, what="device-pixel stripes")
        self.shell.ends(signal.SIGTERM)


if __name__ == "__main__":
    unittest.main()
