# Starting the real shell with a stand-in catalog server, and reading its window.

import contextlib
import json
import os
import pathlib
import re
import signal
import socket
import subprocess
import tempfile
import unittest

from . import sessions, wait_until
from .inspector import Inspector

APPLICATION_ID, BINARY = "org.quorva.Quorva", os.environ.get("QUORVA_BINARY")
ACCESSIBILITY = os.path.join(os.path.dirname(__file__), "accessibility.py")
SAVE_TITLE = "บันทึกไฟล์"
# What a screen reader finds: the notice bar, the find bar's count, the notice's button.
NOTICE, FOUND, OPEN_FOLDER = "การแจ้งเตือน", "ผลการค้นหา", "เปิดโฟลเดอร์"
# The bundled catalog server, run as the shell asked for it.
REAL_CATALOG = "import os, sys\nos.execv(sys.executable, [sys.executable] + sys.argv[1:])\n"
CATALOG_SHOWN = "location.protocol === 'http:' && document.querySelector('nav') && location.href"


def free_port():
    with socket.create_server(("127.0.0.1", 0)) as sock:
        return sock.getsockname()[1]


def write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    pathlib.Path(path).write_text(text, encoding="utf-8")
    os.chmod(path, mode)


class Shell:
    # The program under test in its own session, with a fresh home and an environment
    # built from nothing: the base directories are the home's, as most desktops leave them.

    def __init__(self, program, root):
        self.program, self.home, self.log = program, f"{root}/home", f"{root}/stderr.{id(self)}.log"
        self.runtime_dir, *self.places = f"{root}/runtime", *(f"{self.home}/{name}" for name in (
            ".config", ".local/share", ".local/state", ".cache"))
        self.config_home, self.data_home, self.state_home, _ = self.places
        self.env = {"PATH": sessions.PATH, "HOME": self.home, "XDG_RUNTIME_DIR": self.runtime_dir,
                    "LANG": "C.UTF-8", "QUORVA_HOME": f"{root}/data"}

    def start(self):
        for path in (self.runtime_dir, *self.places):
            os.makedirs(path, mode=0o700, exist_ok=True)
        with open(self.log, "wb") as err:
            self.process = subprocess.Popen([self.program], env=self.env, cwd=self.home,
                                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                            stderr=err, start_new_session=True)
        self.pid = self.process.pid
        return self

    def stderr_text(self):
        return pathlib.Path(self.log).read_text(errors="replace")

    def leftovers(self, comm=None):
        # What else of the shell's session lives: its server and WebKit's processes.
        listed = subprocess.run(["ps", "-s", str(self.pid), "-o", "pid=,stat=,comm="],
                                capture_output=True, text=True).stdout
        return [int(pid) for pid, state, name in (p.split(None, 2) for p in listed.splitlines())
                if state[0] != "Z" and int(pid) != self.pid and comm in (None, name)]

    def ends(self, how):
        # Ends the shell by a signal or a callable, cleanly; nothing of it may stay behind.
        how() if callable(how) else self.process.send_signal(how)
        assert self.process.wait(15) == 0, f"exit status {self.process.returncode}"
        wait_until(self.leftovers, 10, 0.1, what="the process group to empty",
                   accept=lambda left: not left)

    def cleanup(self):
        def gone():
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.pid, signal.SIGKILL)
            return self.process.poll() is not None and not self.leftovers()

        if hasattr(self, "process"):
            wait_until(gone, 10, 0.2, what=f"process group {self.pid} to go")


class QuorvaTestCase(unittest.TestCase):
    # One desktop session and one session bus for the class; each test starts its shells.
    # A class limits itself to some sessions with `sessions`, and asks for a HiDPI output with
    # `scale` or a small screen with `screen`.

    sessions, scale, screen = None, 1, (1920, 1080)

    @classmethod
    def setUpClass(cls):
        kind = sessions.current()
        if not BINARY:
            raise unittest.SkipTest("QUORVA_BINARY is not set; run through ctest")
        if cls.sessions is not None and kind.name not in cls.sessions:
            raise unittest.SkipTest(f"not a {kind.name} scenario")
        cls.session = kind(cls.scale, cls.screen)
        cls.addClassCleanup(cls.session.stack.close)
        cls.session.start()
        # A private session bus, as a desktop has one: nothing autolaunches another. The
        # accessibility bus it starts keeps its socket in a runtime folder of its own.
        runtime = cls.session.stack.enter_context(tempfile.TemporaryDirectory(prefix="quorva-bus-"))
        cls.session.env["DBUS_SESSION_BUS_ADDRESS"] = cls.session.announced(
            ["dbus-daemon", "--session", "--nofork", "--print-address=1"],
            {"PATH": sessions.PATH, "XDG_RUNTIME_DIR": runtime})

    def setUp(self):
        self.root = self.enterContext(tempfile.TemporaryDirectory(prefix="quorva-e2e-",
                                                                  ignore_cleanup_errors=True))

    def start_shell(self, server_source, env=(), program=None):
        # The shell with `server_source` as its catalog server, stopped after the test; a
        # second start in a test shares the first one's home. A None in `env` removes that
        # variable. The home has a Downloads folder, and a recorder stands in for the
        # browser and the file manager.
        shell = self.shell = Shell(program or BINARY, self.root)
        self.session.prepare(shell)
        server, self.opened = f"{self.root}/server.py", pathlib.Path(f"{self.root}/opened.txt")
        write(server, server_source)
        # Stands first on PATH as "python3", to run the test's server in the bundled one's place.
        write(f"{self.root}/bin/python3", "#!/usr/bin/python3\nimport os, sys\nos.execv("
              f"sys.executable, [sys.executable, {server!r}] + sys.argv[1:])\n", 0o755)
        write(f"{self.root}/bin/recorder", f'#!/bin/sh\necho "$1" >>{self.opened}\n', 0o755)
        kinds = ("x-scheme-handler/http", "x-scheme-handler/https", "inode/directory")
        write(f"{shell.data_home}/applications/recorder.desktop", "[Desktop Entry]\nType="
              f"Application\nName=Recorder\nExec={self.root}/bin/recorder %u\nMimeType="
              f"{';'.join(kinds)};\n")
        write(f"{shell.config_home}/mimeapps.list", "[Default Applications]\n"
              + "".join(f"{kind}=recorder.desktop\n" for kind in kinds))
        self.downloads = f"{shell.home}/Downloads"
        os.makedirs(self.downloads, exist_ok=True)
        write(f"{shell.config_home}/user-dirs.dirs", 'XDG_DOWNLOAD_DIR="$HOME/Downloads"\n')
        self.inspector_port = free_port()
        shell.env.update(PATH=f"{self.root}/bin:{sessions.PATH}", QUORVA_DEBUG="1",
                         GSK_RENDERER="cairo", WEBKIT_DISABLE_COMPOSITING_MODE="1",
                         WEBKIT_INSPECTOR_HTTP_SERVER=f"127.0.0.1:{self.inspector_port}",
                         DBUS_SESSION_BUS_ADDRESS=self.session.env["DBUS_SESSION_BUS_ADDRESS"])
        shell.env = {k: v for k, v in (shell.env | dict(env)).items() if v is not None}
        self.addCleanup(shell.cleanup)
        return shell.start()

    def open(self, source, until=CATALOG_SHOWN, timeout=40, **options):
        # The shell, its window and its page, once `until` holds there; gives its value.
        self.start_shell(source, **options)
        self.window = self.session.main_window(self.shell)
        return self.inspector(until, timeout)

    def inspector(self, until="true", timeout=30.0):
        # Connects self.page once `until` holds there, and gives its value. A page whose
        # process died keeps quiet to the connection it had; a new one finds its successor.
        def attempt():
            page = Inspector(self.inspector_port)
            try:
                return page, page.wait_for(until, 5)
            except Exception:
                page.close()
                raise

        self.page, value = wait_until(attempt, timeout, 0.2, what=until)
        self.addCleanup(self.page.close)
        return value

    def server(self):
        # The catalog server's pid, once the shell has started it.
        return wait_until(lambda: self.shell.leftovers("python3"), 20, what="the server")[0]

    def press(self, *keys):
        self.session.press(self.window, *keys)

    def heading(self, title, timeout=30.0):
        # Waits for the status page with this title; gives its detail text.
        return self.page.wait_for(f"document.querySelector('h1')?.textContent === {title!r} && "
                                  "[document.querySelector('pre')?.textContent]", timeout)[0]

    def gdbus(self, path, method, *args):
        # A method of the application's object (or one under it), as a desktop calls it.
        return self.session.tool("gdbus", "call", "--session", "--dest", APPLICATION_ID,
                                 "--object-path", "/" + APPLICATION_ID.replace(".", "/") + path,
                                 "--method", method, *args)

    def accessibles(self, role=None, name=None):
        # The window's objects as a screen reader finds them, in the tree's order; the
        # application itself is the first.
        found, nodes = [], [json.loads(self.session.tool("python3", ACCESSIBILITY, self.shell.pid))]
        while nodes:
            node = nodes.pop(0)
            nodes[:0] = node["children"]
            found += [node] if role in (None, node["role"]) and name in (None, node["name"]) else []
        return found

    def press_accessible(self, role, name):
        [node] = self.accessibles(role, name)
        self.session.tool("python3", ACCESSIBILITY, self.shell.pid, json.dumps(node["path"]),
                          "click")

    def says(self, status):
        # What the status (the find bar's count, the notice) reads now; "" when it is hidden.
        return "".join(node["description"] for node in self.accessibles("status bar", status))

    def choose(self, label):
        # Chooses the item of the exported menu bar, as a desktop's global menu does.
        menus = self.gdbus("/menus/menubar", "org.gtk.Menus.Start", str(list(range(32))))
        actions = {text: action for action, text in re.findall(
            r"\{'action': <'app\.([\w-]+)'>, 'label': <'([^']*)'>\}", menus)}
        self.gdbus("", "org.gtk.Actions.Activate", actions[label], "[]", "{}")

    def dialog(self, title=None):
        return wait_until(lambda: [w for w in self.session.windows(self.shell) if w != self.window
                                   and title in (None, self.session.title(w))], 20,
                          what=f"a dialog titled {title!r}")[0]

    def answer(self, dialog, *keys):
        self.session.press(dialog, *keys)
        wait_until(lambda: dialog not in self.session.windows(self.shell), 10,
                   what="the dialog to close")

    def shows(self, status, text):
        # Waits for the window's status to read `text`, as a screen reader hears it.
        wait_until(lambda: self.says(status) == text, 20, what=f"{status} {text!r}")

    def files(self):
        return sorted(os.listdir(self.downloads))

    def opened_urls(self):
        return self.opened.read_text().splitlines() if self.opened.exists() else []
