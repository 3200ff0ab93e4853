"""Starting the real shell with a stand-in interpreter, and reading its window."""

import json
import os
import shutil
import signal
import stat
import subprocess
import tempfile
import textwrap
import unittest

from . import sessions
from .inspector import Inspector
from .shell import LIGHT_RENDERING, ShellProcess, free_port, inspector_env

APPLICATION_ID = "org.quorva.Quorva"

REAL_PYTHON = "/usr/bin/python3"

# Stands first on PATH as "python3": records how the shell ran it, then runs
# the test's server script in its place with the same arguments.
FAKE_PYTHON = """#!{python}
import json, os, sys
with open({record!r}, "a") as record:
    record.write(json.dumps({{"argv": sys.argv[1:], "cwd": os.getcwd(),
                             "env": dict(os.environ), "pid": os.getpid()}}) + "\\n")
os.execv({python!r}, [{python!r}, "-u", {server!r}] + sys.argv[1:])
"""

# A server that starts and never says where it is.
SILENT_SERVER = """
import signal, time
while True:
    time.sleep(60)
"""

# Ends with its parent, like the real catalog server, but never says where it is.
SILENT_WITH_PARENT = """
import ctypes, os, signal, sys, time
ctypes.CDLL(None).prctl(1, signal.SIGTERM)
if os.getppid() == 1:
    sys.exit(0)
sys.stderr.write("still starting\\n")
while True:
    time.sleep(60)
"""


def binary():
    path = os.environ.get("QUORVA_BINARY")
    if not path:
        raise unittest.SkipTest("QUORVA_BINARY is not set; run through ctest")
    return path


class SessionBus:
    """A private session bus, as a desktop session has one; nothing autolaunches another."""

    def __init__(self):
        self.process = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", "--print-address=1"],
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True)
        self.address = self.process.stdout.readline().decode().strip()
        if not self.address:
            self.process.kill()
            raise RuntimeError("dbus-daemon gave no address")

    def stop(self):
        try:
            os.killpg(self.process.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        self.process.wait(10)
        self.process.stdout.close()


class QuorvaTestCase(unittest.TestCase):
    """One desktop session and one session bus for the class; each test starts its own shell.

    The session is the one `QUORVA_E2E_SESSION` names; a class limits itself
    to some with `sessions` and asks for a HiDPI output with `scale`.
    """

    sessions = None
    scale = 1

    @classmethod
    def setUpClass(cls):
        kind = sessions.current()
        if cls.sessions is not None and kind.name not in cls.sessions:
            raise unittest.SkipTest(f"not a {kind.name} scenario")
        missing = sessions.tool_missing()
        if missing:
            # An error, not a skip: a run asked for this session must not pass without it.
            raise RuntimeError(f"the {kind.name} session needs {', '.join(missing)} (scripts/deps)")
        cls.session = kind(cls.scale).start()
        cls.display = cls.session.display
        try:
            cls.bus = SessionBus()
        except BaseException:
            cls.session.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.bus.stop()
        cls.session.stop()

    def start_shell(self, server_source=SILENT_SERVER, env=None, root=None, inspect=True,
                    program=None, before_start=None):
        """The shell with `server_source` as its catalog server; cleaned up after the test.

        A None in `env` removes that variable."""
        shell = ShellProcess(program or binary(), display=self.display, root=root,
                             keep_root=root is not None)
        self.session.prepare(shell)
        bin_dir = os.path.join(shell.root, "bin")
        os.makedirs(bin_dir, exist_ok=True)
        server = os.path.join(shell.root, "server.py")
        with open(server, "w") as handle:
            handle.write(textwrap.dedent(server_source))
        self.record_path = os.path.join(shell.root, "python3-runs.jsonl")
        fake = os.path.join(bin_dir, "python3")
        with open(fake, "w") as handle:
            handle.write(FAKE_PYTHON.format(python=REAL_PYTHON, record=self.record_path,
                                            server=server))
        os.chmod(fake, os.stat(fake).st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)

        shell.env["PATH"] = f"{bin_dir}:/usr/bin:/bin"
        shell.env["QUORVA_HOME"] = os.path.join(shell.root, "data")
        shell.env["DBUS_SESSION_BUS_ADDRESS"] = self.bus.address
        shell.env["GTK_A11Y"] = "none"
        shell.env["QUORVA_CATALOG"] = server
        shell.env.update(LIGHT_RENDERING)
        self.inspector_port = None
        if inspect:
            self.inspector_port = free_port()
            shell.env.update(inspector_env(self.inspector_port))
        for key, value in (env or {}).items():
            if value is None:
                shell.env.pop(key, None)
            else:
                shell.env[key] = value
        self.addCleanup(shell.cleanup)
        if before_start:
            before_start(shell)
        return shell.start()

    def python_runs(self):
        """How the shell ran python3, one entry per run."""
        try:
            with open(self.record_path) as handle:
                return [json.loads(line) for line in handle]
        except FileNotFoundError:
            return []

    def main_window(self, shell, timeout=30.0):
        return self.session.main_window(shell, timeout)

    def press(self, window, *keys):
        self.session.press(window, *keys)

    def close_window(self, window):
        self.session.close(window)

    def action(self, name):
        """Whether the application's action is enabled, and its state."""
        return sessions.describe_action(self.bus.address, APPLICATION_ID, name)

    def choose(self, label):
        """Chooses the menu item with this label through the exported menu bar."""
        sessions.choose_menu_item(self.bus.address, APPLICATION_ID, label)

    def heading(self, page, title, timeout=30.0):
        """Waits for the error page with this title; gives its detail text."""
        page.wait_for(f"document.querySelector('h1') && "
                      f"document.querySelector('h1').textContent === {title!r}", timeout=timeout)
        return page.evaluate("document.querySelector('pre').textContent")

    def inspector(self, timeout=30.0):
        connection = Inspector.connect(self.inspector_port, timeout=timeout)
        self.addCleanup(connection.close)
        return connection

class InstalledTestCase(QuorvaTestCase):
    """The build installed into a temporary prefix for the class: `prefix`."""

    @classmethod
    def setUpClass(cls):
        cls.build = os.environ.get("QUORVA_BUILD_DIR")
        if not cls.build:
            raise unittest.SkipTest("QUORVA_BUILD_DIR is not set; run through ctest")
        cls.prefix = tempfile.mkdtemp(prefix="quorva-prefix-")
        try:
            subprocess.run(["cmake", "--install", cls.build, "--prefix", cls.prefix], check=True,
                           stdout=subprocess.DEVNULL)
            super().setUpClass()
        except BaseException:
            shutil.rmtree(cls.prefix, ignore_errors=True)
            raise

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.prefix, ignore_errors=True)
        super().tearDownClass()


# How the test servers answer: the whole body, with its type and length.
REPLY = """
def reply(handler, body, kind="text/html; charset=utf-8"):
    handler.send_response(200)
    handler.send_header("Content-Type", kind)
    handler.send_header("Content-Length", str(len(body)))
    handler.end_headers()
    handler.wfile.write(body)
"""

# A small catalog server: listens on a free loopback port, then says where.
SERVING_SERVER = REPLY + """
import ctypes, http.server, signal, sys, os

if "--exit-with-parent" in sys.argv:
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    if os.getppid() == 1:
        sys.exit(0)

class Page(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = ("<!DOCTYPE html><html><head><title>catalog</title></head>"
                "<body><p id='where'>" + self.path + "</p></body></html>").encode()
        reply(self, body)

    def log_message(self, *args):
        pass

server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Page)
sys.stdout.write("Serving on http://127.0.0.1:%d/\\n" % server.server_address[1])
server.serve_forever()
"""


def server_with(prelude, main=SERVING_SERVER):
    """A serving server that first runs `prelude`."""
    return prelude + "\n" + main


def install_recording_browser(shell, kinds=("x-scheme-handler/http", "x-scheme-handler/https")):
    """Makes a recorder the default handler for these kinds in the shell's home.

    Gives the path of the file where each URL it is asked to open lands, one a line."""
    record = os.path.join(shell.root, "browser-urls.txt")
    recorder = os.path.join(shell.root, "recorder.py")
    with open(recorder, "w") as handle:
        handle.write(f"import sys\nwith open({record!r}, 'a') as out:\n"
                     f"    out.write(sys.argv[1] + '\\n')\n")
    applications = os.path.join(shell.data_home, "applications")
    os.makedirs(applications, exist_ok=True)
    with open(os.path.join(applications, "recorder.desktop"), "w") as handle:
        handle.write("[Desktop Entry]\nType=Application\nName=Recorder\n"
                     f"Exec={REAL_PYTHON} {recorder} %u\n"
                     f"MimeType={''.join(kind + ';' for kind in kinds)}\n")
    os.makedirs(shell.config_home, exist_ok=True)
    with open(os.path.join(shell.config_home, "mimeapps.list"), "w") as handle:
        handle.write("[Default Applications]\n"
                     + "".join(f"{kind}=recorder.desktop\n" for kind in kinds))
    return record


def recorded_urls(record):
    try:
        with open(record) as handle:
            return handle.read().splitlines()
    except FileNotFoundError:
        return []
