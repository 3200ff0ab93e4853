import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from collections import namedtuple

from .wait import WaitTimeout, wait_until

LIGHT_RENDERING = {"GSK_RENDERER": "cairo", "WEBKIT_DISABLE_COMPOSITING_MODE": "1"}

ProcInfo = namedtuple("ProcInfo", "pid ppid pgid sid state comm")


class ShellTimeout(TimeoutError):
    pass


def free_port(host="127.0.0.1"):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind((host, 0))
        return sock.getsockname()[1]


def inspector_env(port, host="127.0.0.1"):
    return {"WEBKIT_INSPECTOR_HTTP_SERVER": f"{host}:{port}", "QUORVA_DEBUG": "1"}


def read_proc(pid):
    try:
        with open(f"/proc/{pid}/stat", "rb") as handle:
            raw = handle.read().decode("utf-8", "replace")
    except OSError:
        return None
    # comm may itself contain spaces and parentheses; it ends at the last ")".
    comm = raw[raw.index("(") + 1:raw.rindex(")")]
    fields = raw[raw.rindex(")") + 2:].split()
    return ProcInfo(pid, int(fields[1]), int(fields[2]), int(fields[3]), fields[0], comm)


def all_processes():
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            info = read_proc(int(entry))
            if info is not None:
                found.append(info)
    return found


def process_group(pgid, include_zombies=False):
    return [p for p in all_processes()
            if p.pgid == pgid and (include_zombies or p.state != "Z")]


class ShellProcess:
    """The program under test, started in its own session with a fresh home.

    The environment is built from nothing: the caller's variables override
    the defaults, and a value of None removes a default.
    """

    def __init__(self, binary, args=(), *, env=None, display=None, path="/usr/bin:/bin",
                 root=None, cwd=None, keep_root=False):
        self.binary = str(binary)
        self.args = [str(a) for a in args]
        self._own_root = root is None
        self.root = tempfile.mkdtemp(prefix="quorva-e2e-") if root is None else str(root)
        self.keep_root = keep_root
        self.home = os.path.join(self.root, "home")
        self.config_home = os.path.join(self.home, ".config")
        self.data_home = os.path.join(self.home, ".local", "share")
        self.state_home = os.path.join(self.home, ".local", "state")
        self.cache_home = os.path.join(self.home, ".cache")
        self.runtime_dir = os.path.join(self.root, "runtime")
        self.stdout_path = os.path.join(self.root, "stdout.log")
        self.stderr_path = os.path.join(self.root, "stderr.log")
        self.cwd = str(cwd) if cwd is not None else self.home
        self.env = {
            "PATH": path,
            "HOME": self.home,
            "XDG_CONFIG_HOME": self.config_home,
            "XDG_DATA_HOME": self.data_home,
            "XDG_STATE_HOME": self.state_home,
            "XDG_CACHE_HOME": self.cache_home,
            "XDG_RUNTIME_DIR": self.runtime_dir,
            "LANG": "C.UTF-8",
        }
        if display:
            self.env["DISPLAY"] = display
        for key, value in (env or {}).items():
            if value is None:
                self.env.pop(key, None)
            else:
                self.env[key] = str(value)
        self.process = None
        self.started_at = None

    def start(self):
        for directory in (self.config_home, self.data_home, self.state_home, self.cache_home):
            os.makedirs(directory, exist_ok=True)
        os.makedirs(self.runtime_dir, mode=0o700, exist_ok=True)
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.process = subprocess.Popen(
                [self.binary, *self.args], env=self.env, cwd=self.cwd,
                stdin=subprocess.DEVNULL, stdout=out, stderr=err, start_new_session=True,
            )
        self.started_at = time.monotonic()
        return self

    def __enter__(self):
        if self.process is None:
            self.start()
        return self

    def __exit__(self, *exc):
        self.cleanup()

    @property
    def pid(self):
        return self.process.pid

    @property
    def pgid(self):
        return self.process.pid

    def poll(self):
        return self.process.poll()

    def running(self):
        return self.process.poll() is None

    def wait(self, timeout):
        """Exit status (negative for a signal); ShellTimeout if still running."""
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise ShellTimeout(
                f"{os.path.basename(self.binary)} (pid {self.pid}) still running after {timeout:.1f}s;"
                f" stderr tail:\n{self.stderr_text()[-2000:]}"
            ) from None

    def signal(self, sig):
        if self.process.poll() is None:
            self.process.send_signal(sig)


    def kill(self):
        self.signal(signal.SIGKILL)


    def stderr_text(self):
        return _read_text(self.stderr_path)

    def group_members(self, include_zombies=False):
        return process_group(self.pgid, include_zombies)

    def leftovers(self):
        """Live processes of its group other than the program itself."""
        return [p for p in self.group_members() if p.pid != self.pid]

    def wait_for_no_leftovers(self, timeout):
        seen = []

        def group_empty():
            seen[:] = self.leftovers()
            return not seen

        try:
            wait_until(group_empty, timeout, 0.1)
        except WaitTimeout:
            raise WaitTimeout(f"process group {self.pgid} still has {seen!r} after {timeout:.1f}s") from None

    def cleanup(self):
        if self.process is None:
            return
        deadline = time.monotonic() + 10.0
        while time.monotonic() < deadline:
            try:
                os.killpg(self.pgid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            try:
                self.process.wait(0.2)
            except subprocess.TimeoutExpired:
                continue
            if not self.leftovers():
                break
        if self.process.poll() is None:
            self.process.wait(5)
        if self._own_root and not self.keep_root:
            shutil.rmtree(self.root, ignore_errors=True)


def _read_text(path):
    try:
        with open(path, "rb") as handle:
            return handle.read().decode("utf-8", "replace")
    except FileNotFoundError:
        return ""
