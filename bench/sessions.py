"""Each program the bench measures, started in a fresh home with a private display and bus,
and stopped with whatever it started."""

import contextlib
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time

from tests.e2e.support import sessions as e2e
from tests.e2e.support.quorva import free_port

from . import programs
from .procfs import gone, tree, wait_gone

LOAD_TIMEOUT = 60.0
WIDTH, HEIGHT = 1280, 840

# bash for $EPOCHREALTIME: the server's own start is counted from here.
FAKE_PYTHON = """#!/bin/bash
export QUORVA_BENCH_EXEC=$EPOCHREALTIME
exec {python} -u {server} "$@"
"""


class SessionBus:
    """A private session bus, as a desktop has one: nothing autolaunches another."""

    def __init__(self):
        self.session = e2e.Session()
        bus = self.session.spawn(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                                 None, stdout=subprocess.PIPE)
        self.address = bus.stdout.readline().decode().strip()
        bus.stdout.close()

    def stop(self):
        self.session.stack.close()


@contextlib.contextmanager
def xvfb():
    """A private Xvfb at the test's screen size, whatever DISPLAY the bench runs under."""
    session = e2e.XSession()
    try:
        yield session.start().display
    finally:
        session.stack.close()


def stop(process, grace=5.0):
    """SIGTERM to the leader, then SIGKILL to whatever of its tree is left."""
    if process is None:
        return
    snapshot = [(m["pid"], m["start"]) for m in tree(process.pid)]
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(grace)
        except subprocess.TimeoutExpired:
            pass
    for pid, start in snapshot + [(m["pid"], m["start"]) for m in tree(process.pid)]:
        if not gone(pid, start):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
    if process.poll() is None:
        process.kill()
    process.wait(10)
    wait_gone(snapshot, 5.0)


class Run:
    """One program started in a fresh home, with a fresh session bus."""

    def __init__(self, display, render_env):
        self.root = tempfile.mkdtemp(prefix="quorva-bench-")
        self.home = os.path.join(self.root, "home")
        self.log = os.path.join(self.root, "events.jsonl")
        self.bus = SessionBus()
        runtime = os.path.join(self.root, "runtime")
        os.makedirs(runtime, mode=0o700)
        self.env = {
            "PATH": "/usr/bin:/bin", "HOME": self.home, "LANG": "C.UTF-8", "DISPLAY": display,
            "XDG_CONFIG_HOME": os.path.join(self.home, ".config"),
            "XDG_DATA_HOME": os.path.join(self.home, ".local", "share"),
            "XDG_STATE_HOME": os.path.join(self.home, ".local", "state"),
            "XDG_CACHE_HOME": os.path.join(self.home, ".cache"),
            "XDG_RUNTIME_DIR": runtime,
            "DBUS_SESSION_BUS_ADDRESS": self.bus.address,
            "GTK_A11Y": "none",
            "QUORVA_BENCH_LOG": self.log,
            **render_env,
        }
        for key in ("XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME"):
            os.makedirs(self.env[key], exist_ok=True)
        self.process = None
        self.page_server = None
        self.started = None
        self._seen = 0
        self.events = []

    def serve_page(self, mode="serve"):
        """A page server of the bench's own, outside the measured tree."""
        env = dict(self.env, QUORVA_BENCH_MODE=mode)
        self.page_server = subprocess.Popen(
            [programs.PYTHON, "-u", programs.PAGE_SERVER, "--port", "0", "--exit-with-parent"],
            env=env, cwd=self.root,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            start_new_session=True)
        line = self.page_server.stdout.readline().decode().strip()
        if not line.startswith("http://127.0.0.1:"):
            raise RuntimeError(f"page server printed {line!r}")
        return line

    def shell_with_page_server(self, mode="serve", extra=None):
        bin_dir = os.path.join(self.root, "bin")
        os.makedirs(bin_dir)
        fake = os.path.join(bin_dir, "python3")
        with open(fake, "w") as handle:
            handle.write(FAKE_PYTHON.format(python=programs.PYTHON, server=programs.PAGE_SERVER))
        os.chmod(fake, 0o755)
        self.env["PATH"] = f"{bin_dir}:/usr/bin:/bin"
        self.env["QUORVA_HOME"] = os.path.join(self.root, "data")
        self.env["QUORVA_PORT"] = str(free_port())
        self.env["QUORVA_BENCH_MODE"] = mode
        self.env.update(extra or {})
        return self.start([programs.QUORVA])

    def start(self, argv):
        self.stderr_path = os.path.join(self.root, "stderr.log")
        with open(os.path.join(self.root, "stdout.log"), "wb") as out, \
                open(self.stderr_path, "wb") as err:
            self.started = time.monotonic()
            self.process = subprocess.Popen(argv, env=self.env, cwd=self.home,
                                            stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                            start_new_session=True)
        return self

    def poll_events(self):
        try:
            with open(self.log) as handle:
                handle.seek(self._seen)
                data = handle.read()
        except FileNotFoundError:
            return self.events
        complete = data[:data.rfind("\n") + 1]
        self._seen += len(complete.encode())
        self.events += [json.loads(line) for line in complete.splitlines() if line]
        return self.events

    def wait_event(self, name, timeout=LOAD_TIMEOUT):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for event in self.poll_events():
                if event["event"] == name:
                    return event
            if self.process is not None and self.process.poll() is not None:
                raise RuntimeError(f"{name}: program exited with {self.process.returncode}:"
                                   f" {self.stderr_tail()}")
            time.sleep(0.005)
        raise RuntimeError(f"no {name} event within {timeout:.0f}s: {self.stderr_tail()}")

    def stderr_tail(self):
        try:
            with open(self.stderr_path, "rb") as handle:
                handle.seek(0, os.SEEK_END)
                handle.seek(max(0, handle.tell() - 600))
                return handle.read().decode("utf-8", "replace").strip()
        except (OSError, AttributeError):
            return ""

    def close(self):
        try:
            stop(self.process)
            stop(self.page_server)
            if self.page_server is not None:
                self.page_server.stdout.close()
        finally:
            self.bus.stop()
            shutil.rmtree(self.root, ignore_errors=True)


def chromium_argv(url, root):
    argv = [programs.CHROMIUM, f"--app={url}",
            f"--user-data-dir={os.path.join(root, 'chromium')}",
            "--no-first-run", "--disable-background-networking", "--disable-component-update",
            "--disable-sync", f"--window-size={WIDTH},{HEIGHT}"]
    if os.geteuid() == 0:
        argv.append("--no-sandbox")
    return argv
