"""Starting the real shell with a stand-in interpreter, and reading its window."""

import ast
import collections
import contextlib
import json
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
REAL_PYTHON = "/usr/bin/python3"
SAVE_TITLE = "บันทึกไฟล์"

# Stands first on PATH as "python3": records how the shell ran it, then runs
# the test's server script in its place with the same arguments.
FAKE_PYTHON = """#!{python}
import json, os, sys
with open({record!r}, "a") as record:
    record.write(json.dumps({{"argv": sys.argv[1:], "cwd": os.getcwd(),
                             "env": dict(os.environ), "pid": os.getpid()}}) + "\\n")
os.execv({python!r}, [{python!r}, "-u", {server!r}] + sys.argv[1:])
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

# The bundled catalog server, run as the shell asked for it.
REAL_CATALOG = f"""
import os, sys
os.execv({REAL_PYTHON!r}, [{REAL_PYTHON!r}] + sys.argv[1:])
"""

# Pages that say where they are, with what the tests click, type into and zoom. Files in
# its working directory (QUORVA_HOME) tell what it was asked, and release what waits.
SERVING_SERVER = r'''
import ctypes, http.server, os, signal, socket, sys, time
ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG, as --exit-with-parent asks
if os.getppid() == 1:
    sys.exit(0)

PAGE = """<!DOCTYPE html><html><head><title>catalog</title><script>
window.zooms = [];
let owner = Object.getPrototypeOf(document.documentElement.style);
while (!Object.getOwnPropertyNames(owner).includes('zoom')) owner = Object.getPrototypeOf(owner);
const zoom = Object.getOwnPropertyDescriptor(owner, 'zoom');
Object.defineProperty(owner, 'zoom', {
  set(value) { window.zooms.push(value); zoom.set.call(this, value); },
  get() { return zoom.get.call(this); }, configurable: true});
</script></head><body><p id="where">PATH</p>
<a id="next" href="/next">next</a> <a id="slow" href="/slow">slow</a>
<a id="hang" href="/hang">hang</a> <input id="field">
<a id="blank" href="http://127.0.0.1:PORT/popup" target="_blank">new window</a>
<button id="open" onclick="window.open('http://127.0.0.1:PORT/scripted')">open</button>
</body></html>"""

def wait_for(name):
    while not os.path.exists(name):
        time.sleep(0.05)

class Page(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        if self.path in ("/slow", "/hang"):
            open(self.path[1:] + "-asked", "w").close()
            time.sleep(3 if self.path == "/slow" else 60)
        if self.path.startswith("/half"):
            return self.half(self.path[1:])
        body = PAGE.replace("PATH", self.path).replace("PORT", str(port)).encode()
        kind = "text/html; charset=utf-8"
        if self.path == "/raw":
            body, kind = b"\x00\x01raw", "application/octet-stream"
        try:
            self.send_response(200)
            self.send_header("Content-Type", kind)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        finally:
            if self.path == "/slow":
                open("slow-answered", "w").close()
        if os.environ.get("EXIT_AFTER_A_PAGE"):
            sys.stderr.write("bye <now>\n")
            sys.stderr.flush()
            os._exit(3)

    def half(self, name):
        # HTTP/1.0 ends at the close, so only the length shows the body is short.
        if name == "half-1.1.csv":
            self.protocol_version = "HTTP/1.1"
        self.send_response(200)
        self.send_header("Content-Type", "text/csv")
        self.send_header("Content-Disposition", f'attachment; filename="{name}"')
        self.send_header("Content-Length", "200000")
        self.end_headers()
        self.wfile.write(b"x" * 100000)
        self.wfile.flush()
        wait_for(name + ".drop")
        self.connection.shutdown(socket.SHUT_RDWR)
        self.close_connection = True

    def log_message(self, *args):
        pass

# With GATE the address comes first, and the port opens only once the test says so.
probe = socket.socket()
probe.bind(("127.0.0.1", 0))
port = probe.getsockname()[1]
probe.close()
sys.stdout.write("Serving on http://127.0.0.1:%d/\n" % port)
sys.stdout.flush()
if os.environ.get("GATE"):
    wait_for("gate")
server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Page)
open("listening", "w").close()
server.serve_forever()
'''

ProcInfo = collections.namedtuple("ProcInfo", "pid ppid pgid state comm")


def read_proc(pid):
    try:
        with open(f"/proc/{pid}/stat", "rb") as handle:
            raw = handle.read().decode("utf-8", "replace")
    except OSError:
        return None
    # comm may itself hold spaces and parentheses; it ends at the last ")".
    fields = raw[raw.rindex(")") + 2:].split()
    return ProcInfo(pid, int(fields[1]), int(fields[2]), fields[0],
                    raw[raw.index("(") + 1:raw.rindex(")")])


def all_processes():
    return [p for p in map(read_proc, (int(e) for e in os.listdir("/proc") if e.isdigit())) if p]


def descendants(pid):
    table, found, pending = all_processes(), [], [pid]
    while pending:
        parent = pending.pop()
        children = [p for p in table if p.ppid == parent]
        found += children
        pending += [p.pid for p in children]
    return found


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def binary():
    path = os.environ.get("QUORVA_BINARY")
    if not path:
        raise unittest.SkipTest("QUORVA_BINARY is not set; run through ctest")
    return path


class Shell:
    """The program under test in its own session, with a fresh home and an environment
    built from nothing."""

    def __init__(self, program, root=None):
        self.program, self.own_root = program, root is None
        self.root = root or tempfile.mkdtemp(prefix="quorva-e2e-")
        self.home = os.path.join(self.root, "home")
        self.config_home, self.data_home, self.state_home, cache = (
            os.path.join(self.home, name) for name in (".config", ".local/share", ".local/state",
                                                       ".cache"))
        self.runtime_dir = os.path.join(self.root, "runtime")
        self.env = {"PATH": sessions.PATH, "HOME": self.home, "XDG_CONFIG_HOME": self.config_home,
                    "XDG_DATA_HOME": self.data_home, "XDG_STATE_HOME": self.state_home,
                    "XDG_CACHE_HOME": cache, "XDG_RUNTIME_DIR": self.runtime_dir, "LANG": "C.UTF-8"}
        self.process = None

    def start(self):
        for variable in ("XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME"):
            os.makedirs(self.env[variable], exist_ok=True)
        os.makedirs(self.runtime_dir, mode=0o700, exist_ok=True)
        with open(os.path.join(self.root, "stderr.log"), "wb") as err:
            self.process = subprocess.Popen([self.program], env=self.env, cwd=self.home,
                                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                            stderr=err, start_new_session=True)
        self.pid = self.process.pid
        return self

    def running(self):
        return self.process.poll() is None

    def signal(self, number):
        if self.running():
            self.process.send_signal(number)

    def wait(self, timeout):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"still running after {timeout}s; stderr ends:\n"
                                 f"{self.stderr_text()[-2000:]}") from None

    def stderr_text(self):
        with open(os.path.join(self.root, "stderr.log"), "rb") as handle:
            return handle.read().decode("utf-8", "replace")

    def members(self):
        return [p for p in all_processes() if p.pgid == self.pid and p.state != "Z"]

    def leftovers(self):
        return [p for p in self.members() if p.pid != self.pid]

    def wait_for_no_leftovers(self, timeout=10):
        wait_until(self.leftovers, timeout, 0.1, what=f"process group {self.pid} to empty",
                   accept=lambda left: not left)

    def cleanup(self):
        def group_gone():
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.pid, signal.SIGKILL)
            return self.process.poll() is not None and not self.leftovers()

        if self.process:
            wait_until(group_gone, 10, 0.2, what=f"process group {self.pid} to go")
        if self.own_root:
            shutil.rmtree(self.root, ignore_errors=True)


def _lines(path):
    return pathlib.Path(path).read_text().splitlines() if os.path.exists(path) else []


def _write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as handle:
        handle.write(text)


class QuorvaTestCase(unittest.TestCase):
    """One desktop session and one session bus for the class; each test starts its own shell.

    A class limits itself to some sessions with `sessions`, and asks for a HiDPI
    output with `scale` or a small screen with `screen`."""

    sessions = None
    scale = 1
    screen = (1920, 1080)

    @classmethod
    def setUpClass(cls):
        kind = sessions.current()
        if cls.sessions is not None and kind.name not in cls.sessions:
            raise unittest.SkipTest(f"not a {kind.name} scenario")
        cls.session = kind(cls.scale, cls.screen)
        cls.addClassCleanup(cls.session.stop)
        cls.session.start()
        # A private session bus, as a desktop has one: nothing autolaunches another.
        bus = cls.session.spawn(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                                None, stdout=subprocess.PIPE)
        cls.bus = bus.stdout.readline().decode().strip()
        bus.stdout.close()

    def start_shell(self, server_source=SILENT_WITH_PARENT, env=None, root=None, inspect=True,
                    program=None, downloads=False, browser=()):
        """The shell with `server_source` as its catalog server; cleaned up after the test.

        A None in `env` removes that variable. `downloads` gives the home a Downloads folder,
        `browser` a recorder as the default handler of these kinds."""
        shell = self.shell = Shell(program or binary(), root)
        self.session.prepare(shell)
        server = os.path.join(shell.root, "server.py")
        _write(server, server_source)
        self.record = os.path.join(shell.root, "python3-runs.jsonl")
        fake = os.path.join(shell.root, "bin", "python3")
        _write(fake, FAKE_PYTHON.format(python=REAL_PYTHON, record=self.record, server=server))
        os.chmod(fake, 0o755)
        shell.env.update(PATH=f"{shell.root}/bin:{sessions.PATH}", QUORVA_CATALOG=server,
                         QUORVA_HOME=os.path.join(shell.root, "data"), GTK_A11Y="none",
                         DBUS_SESSION_BUS_ADDRESS=self.bus, GSK_RENDERER="cairo",
                         WEBKIT_DISABLE_COMPOSITING_MODE="1")
        self.inspector_port = free_port() if inspect else None
        if inspect:
            shell.env.update(WEBKIT_INSPECTOR_HTTP_SERVER=f"127.0.0.1:{self.inspector_port}",
                             QUORVA_DEBUG="1")
        for key, value in (env or {}).items():
            if value is None:
                shell.env.pop(key, None)
            else:
                shell.env[key] = value
        if downloads:
            self.downloads = os.path.join(shell.home, "Downloads")
            os.makedirs(self.downloads)
            _write(os.path.join(shell.config_home, "user-dirs.dirs"),
                   'XDG_DOWNLOAD_DIR="$HOME/Downloads"\n')
        if browser:
            self.opened = os.path.join(shell.root, "browser-urls.txt")
            recorder = os.path.join(shell.root, "recorder.py")
            _write(recorder, f"import sys\nwith open({self.opened!r}, 'a') as out:\n"
                             f"    out.write(sys.argv[1] + '\\n')\n")
            _write(os.path.join(shell.data_home, "applications", "recorder.desktop"),
                   f"[Desktop Entry]\nType=Application\nName=Recorder\n"
                   f"Exec={REAL_PYTHON} {recorder} %u\nMimeType={';'.join(browser)};\n")
            _write(os.path.join(shell.config_home, "mimeapps.list"), "[Default Applications]\n"
                   + "".join(f"{kind}=recorder.desktop\n" for kind in browser))
        self.addCleanup(shell.cleanup)
        return shell.start()

    def open(self, source=SERVING_SERVER, shown="true", timeout=30, **options):
        """The shell, its window and its page; gives the address once the server's page shows."""
        self.start_shell(source, **options)
        self.window = self.session.main_window(self.shell)
        self.page = self.inspector()
        return self.page.wait_for(f"location.protocol === 'http:' && ({shown}) && location.href",
                                  timeout)

    def inspector(self, timeout=30.0):
        page = Inspector(self.inspector_port, timeout)
        self.addCleanup(page.close)
        return page

    def server_file(self, name):
        return os.path.join(self.shell.env["QUORVA_HOME"], name)

    def python_runs(self):
        """How the shell ran python3, one entry per run."""
        return [json.loads(line) for line in _lines(self.record)]

    def server_pid(self):
        return wait_until(self.python_runs, 20, what="the shell to run python3")[-1]["pid"]

    def recorded_urls(self):
        return _lines(self.opened)

    def press(self, window, *keys):
        self.session.press(window, *keys)

    def heading(self, page, title, timeout=30.0):
        """Waits for the error page with this title; gives its detail text."""
        page.wait_for(f"document.querySelector('h1')?.textContent === {title!r}", timeout)
        return page.evaluate("document.querySelector('pre').textContent")

    def gdbus(self, path, method, *args):
        """A method of the application's object (or one under it), as a desktop calls it."""
        return sessions.run(
            ["gdbus", "call", "--session", "--dest", APPLICATION_ID, "--object-path",
             "/" + APPLICATION_ID.replace(".", "/") + path, "--method", method, *args],
            {"PATH": sessions.PATH, "DBUS_SESSION_BUS_ADDRESS": self.bus, "LANG": "C.UTF-8"})

    def action(self, name, activate=False):
        """Whether the application's action is enabled, and its state (None without one)."""
        if activate:
            self.gdbus("", "org.gtk.Actions.Activate", name, "[]", "{}")
        enabled, state = re.match(r"^\(\((true|false), signature '[^']*', (?:@av )?\[(?:<(.*)>)?\]"
                                  r"\),\)$", self.gdbus("", "org.gtk.Actions.Describe", name)
                                  .strip(), re.S).groups()
        # GVariant text quotes and escapes strings as Python does.
        return enabled == "true", None if state is None else ast.literal_eval(state)

    def choose(self, label):
        """Chooses the item of the exported menu bar, as a desktop's global menu does."""
        menus = self.gdbus("/menus/menubar", "org.gtk.Menus.Start", str(list(range(32))))
        actions = dict((text, action) for action, text in re.findall(
            r"\{'action': <'app\.([\w-]+)'>, 'label': <'([^']*)'>\}", menus))
        self.assertIn(label, actions)
        self.action(actions[label], activate=True)

    # Saving through the window: the Downloads folder, the save dialog and the notice bar.
    def dialog(self, title=None):
        return wait_until(lambda: [w for w in self.session.windows(self.shell) if w != self.window
                                   and title in (None, self.session.title(w))], 20,
                          what=f"a dialog titled {title!r}")[0]

    def answer(self, dialog, key):
        self.press(dialog, key)
        wait_until(lambda: dialog not in self.session.windows(self.shell), 10,
                   what="the dialog to close")

    def click_link(self, text):
        self.page.evaluate(f"[...document.querySelectorAll('a')]"
                           f".find(a => a.textContent.trim() === {text!r}).focus()")
        self.press(self.window, "Return")

    def notice(self, text):
        wait_until(lambda: self.action("download-notice")[1] == text, 20,
                   what=f"the notice {text!r}")

    def assert_page_stays(self, address):
        # Status pages live at about:blank.
        self.assertEqual(self.page.location(), address)

    def files(self):
        return sorted(os.listdir(self.downloads))

    def saved(self):
        """The one file that took its final name, once it has, with its notice."""
        [name] = wait_until(lambda: [f for f in self.files() if not f.startswith(".")], 20,
                            what="the saved file")
        self.notice(f"บันทึกไฟล์ “{name}” ไว้ที่ {self.downloads} แล้ว")
        self.assertEqual(self.files(), [name])
        return name

