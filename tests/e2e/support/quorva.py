# Starting the real shell with a stand-in catalog server, and reading its window.

import ast
import collections
import contextlib
import os
import pathlib
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import unittest

from . import sessions, wait_until
from .inspector import Inspector

APPLICATION_ID, BINARY = "org.quorva.Quorva", os.environ.get("QUORVA_BINARY")
SAVE_TITLE = "บันทึกไฟล์"
# The bundled catalog server, run as the shell asked for it.
REAL_CATALOG = "import os, sys\nos.execv(sys.executable, [sys.executable] + sys.argv[1:])\n"

Proc = collections.namedtuple("Proc", "pid comm state pgid")


def processes():
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError):
            # comm may itself hold spaces and parentheses; it ends at the last ")".
            stat = pathlib.Path(f"/proc/{pid}/stat").read_text(errors="replace")
            pid, comm, state, pgid = re.match(r"(\d+) \((.*)\) (\S) \d+ (\d+)", stat, re.S).groups()
            found.append(Proc(int(pid), comm, state, int(pgid)))
    return found


def free_port():
    with socket.create_server(("127.0.0.1", 0)) as sock:
        return sock.getsockname()[1]




def write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(text)
    os.chmod(path, mode)


class Shell:
    # The program under test in its own session, with a fresh home and an environment
    # built from nothing.

    def __init__(self, program, root):
        self.program, self.root, self.home = program, root, f"{root}/home"
        self.runtime_dir, self.log = f"{root}/runtime", f"{root}/stderr.{id(self)}.log"
        self.config_home, self.data_home, self.state_home, cache = (
            f"{self.home}/{name}" for name in (".config", ".local/share", ".local/state", ".cache"))
        self.env = {"PATH": sessions.PATH, "HOME": self.home, "XDG_CONFIG_HOME": self.config_home,
                    "XDG_DATA_HOME": self.data_home, "XDG_STATE_HOME": self.state_home,
                    "XDG_CACHE_HOME": cache, "XDG_RUNTIME_DIR": self.runtime_dir,
                    "LANG": "C.UTF-8", "QUORVA_HOME": f"{root}/data"}

    def start(self):
        for path in (value for key, value in self.env.items() if key.startswith("XDG_")):
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
        # What else of the shell's process group lives: its server and WebKit's processes.
        return [p.pid for p in processes() if p.pgid == self.pid and p.state != "Z"
                and p.pid != self.pid and comm in (None, p.comm)]

    def ends(self, how, status=0):
        # Ends the shell by a signal or a callable; nothing of it may stay behind.
        how() if callable(how) else self.process.send_signal(how)
        if self.process.wait(15) != status:
            raise AssertionError(f"exit status {self.process.returncode}, not {status}")
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
        # A private session bus, as a desktop has one: nothing autolaunches another.
        bus = cls.session.spawn(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                                None, stdout=subprocess.PIPE)
        cls.session.env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().decode().strip()
        bus.stdout.close()

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="quorva-e2e-")
        self.addCleanup(shutil.rmtree, self.root, True)

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
        shell.env.update(PATH=f"{self.root}/bin:{sessions.PATH}", QUORVA_CATALOG=server,
                         GTK_A11Y="none", QUORVA_DEBUG="1", GSK_RENDERER="cairo",
                         WEBKIT_DISABLE_COMPOSITING_MODE="1",
                         WEBKIT_INSPECTOR_HTTP_SERVER=f"127.0.0.1:{self.inspector_port}",
                         DBUS_SESSION_BUS_ADDRESS=self.session.env["DBUS_SESSION_BUS_ADDRESS"])
        shell.env = {key: value for key, value in {**shell.env, **dict(env)}.items()
                     if value is not None}
        self.addCleanup(shell.cleanup)
        return shell.start()

    def open(self, source, shown="true", timeout=30, **options):
        # The shell, its window and its page; gives the address once the server's page shows.
        self.start_shell(source, **options)
        self.window = self.session.main_window(self.shell)
        return self.inspector(f"location.protocol === 'http:' && ({shown}) && location.href",
                              timeout)

    def inspector(self, until="true", timeout=30.0):
        # Connects self.page once `until` holds there, and gives its value. A page whose
        # process died keeps quiet to the connection it had; a new one finds its successor.
        def attempt():
            page = Inspector(self.inspector_port, 5)
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

    def action(self, name, activate=False):
        # Whether the application's action is enabled, and its state (None without one).
        if activate:
            self.gdbus("", "org.gtk.Actions.Activate", name, "[]", "{}")
        enabled, state = re.match(r"^\(\((true|false), signature '[^']*', (?:@av )?\[(?:<(.*)>)?\]"
                                  r"\),\)$", self.gdbus("", "org.gtk.Actions.Describe", name)
                                  .strip(), re.S).groups()
        # GVariant text quotes and escapes strings as Python does.
        return enabled == "true", None if state is None else ast.literal_eval(state)

    def choose(self, label):
        # Chooses the item of the exported menu bar, as a desktop's global menu does.
        menus = self.gdbus("/menus/menubar", "org.gtk.Menus.Start", str(list(range(32))))
        actions = {text: action for action, text in re.findall(
            r"\{'action': <'app\.([\w-]+)'>, 'label': <'([^']*)'>\}", menus)}
        self.action(actions[label], activate=True)

    def dialog(self, title=None):
        return wait_until(lambda: [w for w in self.session.windows(self.shell) if w != self.window
                                   and title in (None, self.session.title(w))], 20,
                          what=f"a dialog titled {title!r}")[0]

    def answer(self, dialog, key):
        self.session.press(dialog, key)
        wait_until(lambda: dialog not in self.session.windows(self.shell), 10,
                   what="the dialog to close")

    def notice(self, text):
        wait_until(lambda: self.action("download-notice")[1] == text, 20,
                   what=f"the notice {text!r}")

    def files(self):
        return sorted(os.listdir(self.downloads))

    def opened_urls(self):
        return self.opened.read_text().splitlines() if self.opened.exists() else []
