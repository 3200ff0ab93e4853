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

APPLICATION_ID = "org.quorva.Quorva"
SAVE_TITLE = "บันทึกไฟล์"
# The bundled catalog server, run as the shell asked for it.
REAL_CATALOG = "import os, sys\nos.execv(sys.executable, [sys.executable] + sys.argv[1:])\n"

Proc = collections.namedtuple("Proc", "pid ppid pgid state comm")


def processes():
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat", "rb") as handle:
                raw = handle.read().decode("utf-8", "replace")
        except OSError:
            continue
        # comm may itself hold spaces and parentheses; it ends at the last ")".
        state, ppid, pgid = raw[raw.rindex(")") + 2:].split()[:3]
        found.append(Proc(int(pid), int(ppid), int(pgid), state, raw[raw.index("(") + 1:
                                                                     raw.rindex(")")]))
    return found


def descendants(pid, comm):
    table, found = processes(), {pid}
    for _ in range(8):
        found |= {p.pid for p in table if p.ppid in found}
    return [p.pid for p in table if p.pid in found and p.comm == comm]


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def binary():
    if not os.environ.get("QUORVA_BINARY"):
        raise unittest.SkipTest("QUORVA_BINARY is not set; run through ctest")
    return os.environ["QUORVA_BINARY"]


def write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as handle:
        handle.write(text)
    os.chmod(path, mode)


class Shell:
    # The program under test in its own session, with a fresh home and an environment
    # built from nothing.

    def __init__(self, program, root):
        self.program, self.root = program, root
        self.home, self.runtime_dir = f"{root}/home", f"{root}/runtime"
        self.config_home, self.data_home, self.state_home = (
            f"{self.home}/{name}" for name in (".config", ".local/share", ".local/state"))
        self.env = {"PATH": sessions.PATH, "HOME": self.home, "XDG_CONFIG_HOME": self.config_home,
                    "XDG_DATA_HOME": self.data_home, "XDG_STATE_HOME": self.state_home,
                    "XDG_CACHE_HOME": f"{self.home}/.cache", "XDG_RUNTIME_DIR": self.runtime_dir,
                    "LANG": "C.UTF-8", "QUORVA_HOME": f"{root}/data"}
        self.process, self.log = None, f"{root}/stderr.{id(self)}.log"

    def start(self, *arguments):
        for name in ("XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME"):
            os.makedirs(self.env[name], exist_ok=True)
        os.makedirs(self.runtime_dir, mode=0o700, exist_ok=True)
        with open(self.log, "wb") as err:
            self.process = subprocess.Popen([self.program, *arguments], env=self.env,
                                            cwd=self.home, stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL, stderr=err,
                                            start_new_session=True)
        self.pid = self.process.pid
        return self

    def running(self):
        return self.process.poll() is None

    def wait(self, timeout=15):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"still running after {timeout}s; stderr ends:\n"
                                 f"{self.stderr_text()[-2000:]}") from None

    def stderr_text(self):
        with open(self.log, "rb") as handle:
            return handle.read().decode("utf-8", "replace")

    def leftovers(self):
        return [p for p in processes() if p.pgid == self.pid and p.state != "Z"
                and p.pid != self.pid]

    def ends(self, how, status=0):
        # Ends the shell by a signal or a callable; nothing of it may stay behind.
        how() if callable(how) else self.process.send_signal(how)
        if self.wait() != status:
            raise AssertionError(f"exit status {self.process.returncode}, not {status}")
        wait_until(self.leftovers, 10, 0.1, what="the process group to empty",
                   accept=lambda left: not left)

    def cleanup(self):
        def gone():
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.pid, signal.SIGKILL)
            return self.process.poll() is not None and not self.leftovers()

        if self.process:
            wait_until(gone, 10, 0.2, what=f"process group {self.pid} to go")


class QuorvaTestCase(unittest.TestCase):
    # One desktop session and one session bus for the class; each test starts its shells.
    # A class limits itself to some sessions with `sessions`, and asks for a HiDPI output with
    # `scale` or a small screen with `screen`.

    sessions, scale, screen = None, 1, (1920, 1080)

    @classmethod
    def setUpClass(cls):
        kind = sessions.current()
        if cls.sessions is not None and kind.name not in cls.sessions:
            raise unittest.SkipTest(f"not a {kind.name} scenario")
        cls.session = kind(cls.scale, cls.screen)
        cls.addClassCleanup(cls.session.stack.close)
        cls.session.start()
        # A private session bus, as a desktop has one: nothing autolaunches another.
        bus = cls.session.spawn(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                                None, stdout=subprocess.PIPE)
        cls.bus = bus.stdout.readline().decode().strip()
        bus.stdout.close()

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="quorva-e2e-")
        self.addCleanup(shutil.rmtree, self.root, True)

    def start_shell(self, server_source, env=(), program=None, downloads=False, browser=()):
        # The shell with `server_source` as its catalog server, stopped after the test; a
        # second start in a test shares the first one's home. A None in `env` removes that
        # variable. `downloads` gives the home a Downloads folder, `browser` a recorder as
        # the default handler of these kinds.
        shell = self.shell = Shell(program or binary(), self.root)
        self.session.prepare(shell)
        server = f"{self.root}/server.py"
        write(server, server_source)
        # Stands first on PATH as "python3", to run the test's server in the bundled one's place.
        write(f"{self.root}/bin/python3", "#!/usr/bin/python3\nimport os, sys\nos.execv("
              f"sys.executable, [sys.executable, {server!r}] + sys.argv[1:])\n", 0o755)
        self.inspector_port = free_port()
        shell.env.update(PATH=f"{self.root}/bin:{sessions.PATH}", QUORVA_CATALOG=server,
                         GTK_A11Y="none", DBUS_SESSION_BUS_ADDRESS=self.bus, QUORVA_DEBUG="1",
                         GSK_RENDERER="cairo", WEBKIT_DISABLE_COMPOSITING_MODE="1",
                         WEBKIT_INSPECTOR_HTTP_SERVER=f"127.0.0.1:{self.inspector_port}")
        shell.env.update(env)
        shell.env = {key: value for key, value in shell.env.items() if value is not None}
        self.downloads = f"{shell.home}/Downloads"
        if downloads:
            os.makedirs(self.downloads, exist_ok=True)
            write(f"{shell.config_home}/user-dirs.dirs", 'XDG_DOWNLOAD_DIR="$HOME/Downloads"\n')
        if browser:
            self.opened = f"{self.root}/browser-urls.txt"
            write(f"{self.root}/bin/recorder", f'#!/bin/sh\necho "$1" >>{self.opened}\n', 0o755)
            write(f"{shell.data_home}/applications/recorder.desktop", "[Desktop Entry]\nType="
                  f"Application\nName=Recorder\nExec={self.root}/bin/recorder %u\nMimeType="
                  f"{';'.join(browser)};\n")
            write(f"{shell.config_home}/mimeapps.list", "[Default Applications]\n"
                  + "".join(f"{kind}=recorder.desktop\n" for kind in browser))
        self.addCleanup(shell.cleanup)
        return shell.start()

    def open(self, source, shown="true", timeout=30, **options):
        # The shell, its window and its page; gives the address once the server's page shows.
        self.start_shell(source, **options)
        self.window = self.session.main_window(self.shell)
        self.page = self.inspector()
        return self.page.wait_for(f"location.protocol === 'http:' && ({shown}) && location.href",
                                  timeout)

    def inspector(self, timeout=30.0):
        page = Inspector(self.inspector_port, timeout)
        self.addCleanup(page.close)
        return page

    def server(self):
        # The catalog server's pid, once the shell has started it.
        return wait_until(lambda: descendants(self.shell.pid, "python3"), 20,
                          what="the server")[0]

    def press(self, *keys):
        self.session.press(self.window, *keys)

    def heading(self, title, timeout=30.0):
        # Waits for the status page with this title; gives its detail text.
        self.page.wait_for(f"document.querySelector('h1')?.textContent === {title!r}", timeout)
        return self.page.evaluate("document.querySelector('pre')?.textContent")

    def gdbus(self, path, method, *args):
        # A method of the application's object (or one under it), as a desktop calls it.
        return sessions.run(
            ["gdbus", "call", "--session", "--dest", APPLICATION_ID, "--object-path",
             "/" + APPLICATION_ID.replace(".", "/") + path, "--method", method, *args],
            {"PATH": sessions.PATH, "DBUS_SESSION_BUS_ADDRESS": self.bus, "LANG": "C.UTF-8"})

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

    def click_link(self, text):
        self.page.evaluate(f"[...document.querySelectorAll('a')]"
                           f".find(a => a.textContent.trim() === {text!r}).focus()")
        self.press("Return")

    def notice(self, text):
        wait_until(lambda: self.action("download-notice")[1] == text, 20,
                   what=f"the notice {text!r}")

    def files(self):
        return sorted(os.listdir(self.downloads))

    def saved(self):
        # The one file that took its final name, once it has, with its notice.
        [name] = wait_until(lambda: [f for f in self.files() if not f.startswith(".")], 20,
                            what="the saved file")
        self.notice(f"บันทึกไฟล์ “{name}” ไว้ที่ {self.downloads} แล้ว")
        self.assertEqual(self.files(), [name])
        return name

    def opened_urls(self):
        path = pathlib.Path(self.opened)
        return path.read_text().splitlines() if path.exists() else []
