"""What a real desktop adds to bare X: a window manager, the application's identity, HiDPI."""

import configparser
import os
import pathlib
import re
import shutil
import struct
import subprocess
import tempfile
import unittest

from support import wait_until
from support.quorva import (APPLICATION_ID, REAL_CATALOG, SERVING_SERVER, QuorvaTestCase,
                            free_port)

ICON_COLOUR = "#6633EE"


def colours(path):
    """The image's distinct colours, as #RRGGBB."""
    text = subprocess.run(["convert", path, "-alpha", "off", "-unique-colors", "-depth", "8",
                           "txt:-"], capture_output=True, text=True, check=True).stdout
    return {line.split()[2][:7].upper() for line in text.splitlines()[1:]}


def shot(name):
    """Screenshots stay in the build tree for a person to look at."""
    path = os.path.join(os.environ.get("QUORVA_BUILD_DIR") or tempfile.gettempdir(), "e2e-shots")
    os.makedirs(path, exist_ok=True)
    return os.path.join(path, name + ".png")


class DesktopTest(QuorvaTestCase):
    def start_serving(self, **options):
        shell = self.start_shell(SERVING_SERVER, inspect=False, **options)
        return shell, self.session.main_window(shell)

    def start_second(self, env=None):
        """A second start of the program, which hands over to the first and ends."""
        self.assertEqual(self.start_shell(inspect=False, env=env).wait(20), 0)

    def wait_state(self, window, **expected):
        wait_until(lambda: all(self.session.wm_state(window)[key] == value
                               for key, value in expected.items()), 15, what=str(expected))


class WindowManagerTest(DesktopTest):
    sessions = {"openbox"}

    def test_minimise_hide_and_maximise_then_the_state_survives_a_restart(self):
        first, window = self.start_serving()
        for key, way_back in (("ctrl+m", self.start_second), ("ctrl+h", self.start_second),
                              ("ctrl+m", lambda: self.session.activate(window)),
                              ("ctrl+h", lambda: self.choose("QUORVA"))):
            self.press(window, key)
            self.wait_state(window, iconic=True, hidden=True)
            way_back()
            wait_until(lambda: self.session.in_front(window), 15, what="the window in front")
        self.session.resize(window, 1100, 700)
        wait_until(lambda: self.session.size(window) == (1100, 700), 10, what="the new size")
        self.choose("ซูม")
        self.wait_state(window, maximized_vert=True, maximized_horz=True)
        self.press(window, "ctrl+q")
        self.assertEqual(first.wait(15), 0)

        second, window = self.start_serving(root=first.root)
        self.wait_state(window, maximized_vert=True, maximized_horz=True)
        self.assertEqual(self.session.size(window), (1920, 1080))
        self.choose("ซูม")
        self.wait_state(window, maximized_vert=False, maximized_horz=False)
        wait_until(lambda: self.session.size(window) == (1100, 700), 10, what="the saved size")


class IdentityTest(DesktopTest):
    """The build installed into a temporary prefix, as a desktop finds it."""

    @classmethod
    def setUpClass(cls):
        cls.build = os.environ.get("QUORVA_BUILD_DIR")
        if not cls.build:
            raise unittest.SkipTest("QUORVA_BUILD_DIR is not set; run through ctest")
        cls.prefix = tempfile.mkdtemp(prefix="quorva-prefix-")
        cls.addClassCleanup(shutil.rmtree, cls.prefix, True)
        subprocess.run(["cmake", "--install", cls.build, "--prefix", cls.prefix], check=True,
                       stdout=subprocess.DEVNULL)
        super().setUpClass()

    def test_installed_layout_the_window_named_after_the_desktop_entry_and_about(self):
        for path in ("bin/quorva", "share/quorva/catalog.py", "share/quorva/window-icon-48.png",
                     f"share/applications/{APPLICATION_ID}.desktop",
                     f"share/icons/hicolor/scalable/apps/{APPLICATION_ID}.svg",
                     f"share/metainfo/{APPLICATION_ID}.metainfo.xml", "share/man/man1/quorva.1.gz",
                     "share/doc/quorva/copyright"):
            self.assertTrue(os.path.isfile(os.path.join(self.prefix, path)), path)
        applications = os.path.join(self.prefix, "share", "applications")
        self.assertEqual(os.listdir(applications), [APPLICATION_ID + ".desktop"])
        path = os.path.join(applications, APPLICATION_ID + ".desktop")
        if shutil.which("desktop-file-validate"):
            result = subprocess.run(["desktop-file-validate", path], capture_output=True,
                                    text=True)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        entry = configparser.ConfigParser(interpolation=None)
        entry.read(path)
        entry = entry["Desktop Entry"]
        self.assertEqual((entry["Name"], entry["Exec"]), ("QUORVA", f"{self.prefix}/bin/quorva"))
        wayland = self.session.wayland
        shell, window = self.start_serving(program=os.path.join(self.prefix, "bin", "quorva"),
                                           env={"WAYLAND_DEBUG": "client"} if wayland else None)
        self.assertIn(APPLICATION_ID if self.session.wayland
                      else entry.get("StartupWMClass", entry["Name"]), self.session.app_id(window))
        if not self.session.wayland:
            # The icon comes from PNGs, each as width, height, then ARGB pixels.
            icons = self.session.numbers(window, "_NET_WM_ICON")
            sizes, at = [], 0
            while at + 2 <= len(icons):
                width, height = icons[at:at + 2]
                # A point of the lower left, clear of the lens.
                pixel = icons[at + 2 + height * 100 // 128 * width + width * 20 // 128]
                self.assertEqual(f"#{pixel & 0xFFFFFF:06X}", ICON_COLOUR)
                sizes.append((width, height))
                at += 2 + width * height
            self.assertEqual(sorted(sizes), [(48, 48), (128, 128)])
        self.choose("เกี่ยวกับ QUORVA")
        about = wait_until(lambda: [w for w in self.session.windows(shell) if w != window], 15,
                           what="the About window")[0]
        self.assertIn("QUORVA", self.session.title(about))
        path = shot(f"about-{self.session.name}")
        wait_until(lambda: ICON_COLOUR in colours(self.session.screenshot(path, about)), 15,
                   what="the icon in the About window")
        self.press(about, "Escape")
        wait_until(lambda: self.session.windows(shell) == [window], 10, what="About to close")
        if self.session.name == "xvfb":
            return
        # Over another window, a second start, handed a launcher's startup token, raises it.
        wait_until(lambda: self.session.in_front(window), 15, what="the window in front")
        self.session.other_window()
        self.assertFalse(self.session.in_front(window))
        self.start_second({"DESKTOP_STARTUP_ID": "token-from-the-launcher"})
        if wayland:
            # Sway cannot mint a launcher's token for a test, so the focus it
            # grants for one is out of reach; the shell's part is to pass the
            # launcher's token to the compositor rather than ask for its own.
            used = r'xdg_activation_v1@\d+\.activate\("token-from-the-launcher"'
            wait_until(lambda: re.search(used, shell.stderr_text()), 15, what="the token used")
        else:
            wait_until(lambda: self.session.in_front(window), 15, what="the window raised")

    def start_installed(self, port, program=None):
        """The program with the catalog it finds itself."""
        return self.start_shell(REAL_CATALOG, inspect=False, program=program or os.path.join(
            self.prefix, "bin", "quorva"), env={"QUORVA_CATALOG": None, "QUORVA_DEBUG": "1",
                                               "QUORVA_PORT": str(port)})

    def test_the_package_runs_where_it_is_unpacked_and_a_second_start_presents_it(self):
        packages = self.enterContext(tempfile.TemporaryDirectory(prefix="quorva-deb-"))
        subprocess.run(["cpack", "-G", "DEB", "-B", packages, "--config",
                        os.path.join(self.build, "CPackConfig.cmake")],
                       check=True, stdout=subprocess.DEVNULL)
        [package] = [name for name in os.listdir(packages) if name.endswith(".deb")]
        unpacked = os.path.join(packages, "root")
        subprocess.run(["dpkg", "-x", os.path.join(packages, package), unpacked], check=True)
        depends = subprocess.run(["dpkg-deb", "-f", os.path.join(packages, package), "Depends"],
                                 check=True, capture_output=True, text=True).stdout
        for needed in ("python3", "libwebkitgtk-6.0", "libgtk-4", "libicu"):
            self.assertIn(needed, depends)
        port = free_port()
        first = self.start_installed(port, os.path.join(unpacked, "usr", "bin", "quorva"))
        catalogs = lambda: [p for p in first.members() if p.comm.startswith("python")]
        wait_until(lambda: f"[QUORVA] loaded http://127.0.0.1:{port}/" in first.stderr_text(),
                   40, what="the catalog page to load from the unpacked package")
        self.assertEqual(len(catalogs()), 1)
        # The prefix's program, started again, hands over to the first and ends.
        second = self.start_installed(port)
        self.assertEqual(second.wait(20), 0)
        self.assertEqual(second.leftovers(), [])
        self.assertNotIn("[QUORVA] loaded", second.stderr_text())
        self.assertTrue(first.running())
        self.assertEqual(len(catalogs()), 1)


class HiDpiTest(DesktopTest):
    sessions = {"xvfb", "sway"}
    scale = 2

    # Half-pixel stripes: pure red and blue only where a CSS pixel has two device
    # pixels. Set through the CSSOM, which a page's style-src policy allows.
    STRIPES = """(() => { const stripes = document.createElement('div');
        Object.assign(stripes.style, {position: 'fixed', left: '0', top: '0', zIndex: '2147483647',
            width: '64px', height: '64px',
            background: 'repeating-linear-gradient(90deg, #f00 0 0.5px, #00f 0.5px 1px)'});
        document.documentElement.appendChild(stripes); })()"""

    def test_pages_render_at_full_resolution_in_the_same_logical_size(self):
        for name, source, shown in (
                ("loading", "import time\ntime.sleep(60)\n", "document.querySelector('.dot')"),
                ("error", "import sys\nsys.stderr.write('ไม่มีไฟล์ <db>\\n')\nsys.exit(3)\n",
                 "document.querySelector('h1')"),
                ("catalog", REAL_CATALOG,
                 "location.protocol === 'http:' && document.querySelector('nav, header, h1')")):
            with self.subTest(name):
                shell = self.start_shell(source, env={"QUORVA_PORT": str(free_port())})
                window = self.session.main_window(shell)
                page = self.inspector()
                page.wait_for(shown, timeout=30)
                self.assertEqual(page.evaluate("[devicePixelRatio, innerWidth, innerHeight]"),
                                 [2, 1280, 840])
                path = shot(f"hidpi-{self.session.name}-{name}")
                self.session.screenshot(path, window)
                size = struct.unpack(">II", pathlib.Path(path).read_bytes()[16:24])
                self.assertEqual(size, tuple(2 * side for side in self.session.size(window)))
                page.evaluate(self.STRIPES)
                stripes = path.replace(".png", "-stripes.png")
                wait_until(lambda: {"#FF0000", "#0000FF"} <= colours(
                    self.session.screenshot(stripes, window)), 15, what="device-pixel stripes")
                shell.cleanup()


if __name__ == "__main__":
    unittest.main()
