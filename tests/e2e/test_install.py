import os
import shutil
import subprocess
import tempfile
import unittest

from support import wait_until
from support.quorva import REAL_CATALOG, InstalledTestCase, free_port


class InstalledTest(InstalledTestCase):
    sessions = {"xvfb"}

    def test_layout_and_desktop_entry(self):
        for path in ("bin/quorva", "share/quorva/catalog.py",
                     "share/applications/org.quorva.Quorva.desktop",
                     "share/icons/hicolor/scalable/apps/org.quorva.Quorva.svg"):
            self.assertTrue(os.path.isfile(os.path.join(self.prefix, path)), path)
        entry = os.path.join(self.prefix, "share/applications/org.quorva.Quorva.desktop")
        if shutil.which("desktop-file-validate"):
            result = subprocess.run(["desktop-file-validate", entry], capture_output=True,
                                    text=True)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        with open(entry) as handle:
            text = handle.read()
        self.assertIn("Name=QUORVA\n", text)
        self.assertIn(f"Exec={self.prefix}/bin/quorva\n", text)

    def start_installed(self, port, program=None):
        """The program with the catalog it finds itself, loaded."""
        shell = self.start_shell(REAL_CATALOG, inspect=False, program=program or os.path.join(
            self.prefix, "bin", "quorva"), env={"QUORVA_CATALOG": None, "QUORVA_DEBUG": "1",
                                               "QUORVA_PORT": str(port)})
        return shell

    def catalogs(self, shell):
        return [p for p in shell.members() if p.comm.startswith("python")]

    def test_opens_the_catalog_and_a_second_start_presents_the_first(self):
        port = free_port()
        first = self.start_installed(port)
        wait_until(lambda: f"[QUORVA] loaded http://127.0.0.1:{port}/" in first.stderr_text(),
                   40, what="the catalog page to load")
        self.assertEqual(len(self.catalogs(first)), 1)
        second = self.start_installed(port)
        self.assertEqual(second.wait(20), 0)
        self.assertEqual(second.leftovers(), [])
        self.assertNotIn("[QUORVA] loaded", second.stderr_text())
        self.assertTrue(first.running())
        self.assertEqual(len(self.catalogs(first)), 1)

    def test_the_package_runs_where_it_is_unpacked(self):
        packages = tempfile.mkdtemp(prefix="quorva-deb-")
        self.addCleanup(shutil.rmtree, packages, True)
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
        shell = self.start_installed(port, os.path.join(unpacked, "usr", "bin", "quorva"))
        wait_until(lambda: f"[QUORVA] loaded http://127.0.0.1:{port}/" in shell.stderr_text(),
                   40, what="the catalog page to load from the unpacked package")


if __name__ == "__main__":
    unittest.main()
